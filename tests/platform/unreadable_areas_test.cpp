// SPDX-License-Identifier: GPL-3.0-or-later
// GNU ddrescue mapfiles and the reads they make fail.
#include <gtest/gtest.h>

#include <sstream>

#include "platform/drive_table.h"
#include "platform/unreadable_areas.h"
#include "platform/volume_access.h"
#include "tests/support/test_files.h"

namespace pyralis::platform {
namespace {

TEST(DdrescueMap, ParsesHexAndDecimalAndKeepsWhatIsNotFinished) {
  std::istringstream map(
      "# Mapfile. Created by GNU ddrescue version 1.27\n"
      "# Command line: ddrescue -d /dev/sdb card.img card.map\n"
      "# current_pos  current_status  current_pass\n"
      "0x00120000     ?               1\n"
      "#      pos        size  status\n"
      "0x00000000  0x00010000  +\n"
      "0x00010000  0x00000200  -   # bad sector\n"
      "66048  512  *\n"
      "0x00010400  0x00001000  +\n"
      "0x00011400  0x00000400  /\n");
  std::string error;
  const auto areas = parse_ddrescue_map(map, &error);
  ASSERT_TRUE(areas) << error;
  ASSERT_EQ(areas->size(), 2u);
  EXPECT_EQ((*areas)[0].offset, 0x10000u);
  EXPECT_EQ((*areas)[0].length, 1024u) << "adjacent areas are merged";
  EXPECT_EQ((*areas)[1].offset, 0x11400u);

  std::istringstream garbage("0x0 + 1\n0x0 0x10 X\n");
  EXPECT_FALSE(parse_ddrescue_map(garbage, &error));
  EXPECT_NE(error.find("line 2"), std::string::npos) << error;
  std::istringstream empty("# nothing\n");
  EXPECT_FALSE(parse_ddrescue_map(empty, &error));
}

TEST(DdrescueMap, ReadsTouchingAnAreaFailWithEioAfterWhatLiesBefore) {
  test::TempDir dir;
  const std::string image = dir.file("v.img");
  ASSERT_TRUE(test::write_file(image, std::string(8192, 'x')));
  attach_sources({image});
  set_unreadable_areas(image, {{4096, 512}});
  std::string buffer(8192, '\0');
  EXPECT_TRUE(read_volume('C', 0, buffer.data(), 4096));
  EXPECT_FALSE(read_volume('C', 3584, buffer.data(), 1024));
  EXPECT_EQ(last_transfer_error(), EIO);
  EXPECT_TRUE(read_volume('C', 4608, buffer.data(), 512));
  set_source_cut_for_testing(image, 6000);
  EXPECT_FALSE(read_volume('C', 5120, buffer.data(), 1024));
  EXPECT_EQ(last_transfer_error(), 0) << "a cut source ends like a short file";
  clear_unreadable_areas();
  EXPECT_TRUE(read_volume('C', 0, buffer.data(), 8192));
  reset_drive_table();
}

}  // namespace
}  // namespace pyralis::platform
