// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/recovery_paths.h"

#include <gtest/gtest.h>

namespace pyralis::cli {
namespace {

using Parts = std::vector<std::string>;

TEST(CliRecoveryPaths, DriveDroppedAndEscapesRefused) {
  EXPECT_EQ(path_folders("C:"), Parts{});
  EXPECT_EQ(path_folders("C:\\"), Parts{});
  EXPECT_EQ(path_folders("C:\\DOCS\\xLD"), (Parts{"DOCS", "xLD"}));
  EXPECT_EQ(path_folders("D:\\..\\..\\etc\\.\\x"), (Parts{"etc", "x"}));
  EXPECT_EQ(path_folders("C:\\a/b\\\\c"), (Parts{"a_b", "c"}));
  // Only a leading drive is dropped.
  EXPECT_EQ(path_folders("C:\\E:"), Parts{"E:"});
  const std::string long_part(300, 'n');
  EXPECT_EQ(path_folders("C:\\" + long_part)[0].size(), 255u);
}

TEST(CliRecoveryPaths, EngineFolderAlwaysEndsWithASlash) {
  EXPECT_EQ(engine_folder("out", "C:\\A\\B", false), "out/");
  EXPECT_EQ(engine_folder("out/", "C:\\A\\B", true), "out/A/B/");
  EXPECT_EQ(engine_folder("/tmp/r", "C:\\", true), "/tmp/r/");
}

TEST(CliRecoveryPaths, RowWrittenOnlyOnTheEnginesSuccessLine) {
  RowOutcome none;
  none.observe("ERROR: something 12");
  EXPECT_FALSE(none.written());

  RowOutcome ok;
  ok.observe("Undeleted out/a.txt successfully.");
  EXPECT_TRUE(ok.written());

  RowOutcome short_write;  // a first stream written, a second one cut short
  short_write.observe("Undeleted out/a.txt successfully.");
  short_write.observe("Cannot write to out/a.txt");
  EXPECT_FALSE(short_write.written());

  RowOutcome thrown;
  thrown.observe("Undeleted out/a.txt successfully.");
  thrown.fail();
  EXPECT_FALSE(thrown.written());
}

}  // namespace
}  // namespace pyralis::cli
