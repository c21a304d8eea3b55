// SPDX-License-Identifier: GPL-3.0-or-later
// The version block: found in a program linked with it, absent from one without, and read
// safely from files that are not what they seem.
#include "platform/version_resource.h"

#include <gtest/gtest.h>

#include "tests/support/test_files.h"

namespace pyralis::platform {
namespace {

const std::string kPrefix = "StringFileInfo\\040904E4\\";

TEST(VersionResource, ThisProgramCarriesTheBlock) {
  const std::string self = running_executable_path();
  ASSERT_FALSE(self.empty());
  const std::vector<uint8_t> block = GetFileVersionInfo(self);
  ASSERT_FALSE(block.empty());
  EXPECT_EQ(GetFileVersionInfoSize(self), block.size());
  EXPECT_EQ(VerQueryValue(block, kPrefix + "FileVersion"), "1.1.5.10");
  EXPECT_EQ(VerQueryValue(block, kPrefix + "ProductVersion"), "1.0.0.0");
  EXPECT_EQ(VerQueryValue(block, kPrefix + "CompanyName"), "Quorel Data Recovery Centre");
  for (const char* key : {"FileDescription", "InternalName", "LegalCopyright", "LegalTrademarks",
                          "OriginalFilename", "ProductName", "Comments"}) {
    EXPECT_EQ(VerQueryValue(block, kPrefix + key), "") << key;
  }
  EXPECT_EQ(VerQueryValue(block, kPrefix + "NoSuchKey"), std::nullopt);
  EXPECT_EQ(VerQueryValue(block, "FileVersion"), std::nullopt);
}

TEST(VersionResource, ProgramWithoutTheBlockHasNone) {
  EXPECT_EQ(GetFileVersionInfoSize(NO_VERSION_BLOCK_PROGRAM), 0u);
  EXPECT_TRUE(GetFileVersionInfo(NO_VERSION_BLOCK_PROGRAM).empty());
}

TEST(VersionResource, FilesThatAreNotProgramsGiveNothing) {
  test::TempDir dir;
  EXPECT_EQ(GetFileVersionInfoSize(dir.file("missing")), 0u);
  test::write_file(dir.file("text"), "just some text, not an executable");
  EXPECT_EQ(GetFileVersionInfoSize(dir.file("text")), 0u);
  // A real program cut short: its section headers (at the end) are gone.
  const std::string self = test::read_file(running_executable_path());
  test::write_file(dir.file("cut"), self.substr(0, self.size() / 2));
  EXPECT_EQ(GetFileVersionInfoSize(dir.file("cut")), 0u);
}

TEST(VersionResource, TruncatedBlocksAnswerNothing) {
  const std::vector<uint8_t> block = GetFileVersionInfo(running_executable_path());
  ASSERT_GT(block.size(), 40u);
  for (size_t cut : {size_t{0}, size_t{10}, size_t{16}, size_t{40}, block.size() - 2}) {
    const std::vector<uint8_t> part(block.begin(), block.begin() + static_cast<long>(cut));
    EXPECT_EQ(VerQueryValue(part, kPrefix + "Comments"), std::nullopt) << cut;
  }
}

}  // namespace
}  // namespace pyralis::platform
