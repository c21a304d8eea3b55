// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/arguments.h"

#include <gtest/gtest.h>

namespace pyralis::cli {
namespace {

ParseResult parse(std::vector<std::string> args) {
  return parse_arguments(args);
}

TEST(CliArguments, ScanTakesSourcesDriveAndFormatInAnyOrder) {
  const ParseResult r = parse({"scan", "a.img", "--format=tsv", "b.img", "--drive", "d:"});
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.options.command, Command::Scan);
  EXPECT_EQ(r.options.sources, (std::vector<std::string>{"a.img", "b.img"}));
  EXPECT_EQ(r.options.drive, 'D');
  EXPECT_EQ(r.options.format, OutputFormat::Tsv);
}

TEST(CliArguments, RecoverCollectsNumbersUntilTheNextArgument) {
  const ParseResult r =
      parse({"recover", "img", "--inode", "5", "7,9", "--to", "out", "--with-paths"});
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.options.inodes, (std::vector<int64_t>{5, 7, 9}));
  EXPECT_EQ(r.options.sources, std::vector<std::string>{"img"});
  EXPECT_EQ(r.options.destination, "out");
  EXPECT_TRUE(r.options.with_paths);
  EXPECT_FALSE(r.options.no_dates);
  EXPECT_TRUE(parse({"recover", "img", "--all", "--to", "o", "--no-dates"}).options.no_dates);
  EXPECT_NE(parse({"scan", "img", "--no-dates"}).error, "");

  const ParseResult rows = parse({"recover", "--row=0,3", "--to=o", "img"});
  ASSERT_EQ(rows.error, "");
  EXPECT_EQ(rows.options.rows, (std::vector<int32_t>{0, 3}));
  EXPECT_EQ(rows.options.sources, std::vector<std::string>{"img"});
}

TEST(CliArguments, HelpAndVersionWinOverEverythingElse) {
  EXPECT_EQ(parse({"scan", "--bogus", "--help"}).options.command, Command::Help);
  EXPECT_EQ(parse({"--version"}).options.command, Command::Version);
  EXPECT_EQ(parse({"--version"}).error, "");
  // After "--" they are sources.
  const ParseResult r = parse({"scan", "--", "--help"});
  EXPECT_EQ(r.options.command, Command::Scan);
  EXPECT_EQ(r.options.sources, std::vector<std::string>{"--help"});
}

TEST(CliArguments, MistakesGiveOneLineEach) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"scna"},
      {"scan", "--drive", "B"},
      {"scan", "--drive", "CD"},
      {"scan", "--drive"},
      {"scan", "--format", "xml"},
      {"scan", "--to", "x"},
      {"drives", "--drive", "C"},
      {"drives", "--format", "bodyfile"},
      {"recover", "img", "--all"},
      {"recover", "img", "--to", "o"},
      {"recover", "img", "--to", "o", "--all", "--row", "1"},
      {"recover", "img", "--to", "o", "--inode"},
      {"recover", "img", "--to", "o", "--inode=-3"},
      {"recover", "img", "--to", "o", "--row=99999999999"},
      {"recover", "img", "--to", "o", "--all", "--format", "tsv"},
      {"scan", "--frobnicate"},
      {"drives", "--deep"},
      {"recover", "img", "--to", "o", "--all", "--save", "s.scan"},
      {"scan", "img", "--from-scan", "s.scan"},
      {"recover", "img", "--to", "o", "--all", "--deep", "--from-scan", "s.scan"},
      {"scan", "img", "--save"},
  };
  for (const auto& args : bad) {
    const ParseResult r = parse(args);
    EXPECT_FALSE(r.error.empty()) << testing::PrintToString(args);
    EXPECT_EQ(r.error.find('\n'), std::string::npos) << r.error;
  }
}

TEST(CliArguments, DeepScanAndSavedScans) {
  const ParseResult scan = parse({"scan", "img", "--deep", "--save=c.scan"});
  ASSERT_TRUE(scan.error.empty()) << scan.error;
  EXPECT_TRUE(scan.options.deep);
  EXPECT_EQ(scan.options.save, "c.scan");
  const ParseResult recover =
      parse({"recover", "img", "--to", "o", "--all", "--from-scan", "c.scan"});
  ASSERT_TRUE(recover.error.empty()) << recover.error;
  EXPECT_EQ(recover.options.from_scan, "c.scan");
  EXPECT_FALSE(recover.options.deep);
}

TEST(CliArguments, DriveLetters) {
  EXPECT_EQ(parse_drive_letter("c"), 'C');
  EXPECT_EQ(parse_drive_letter("E:"), 'E');
  EXPECT_EQ(parse_drive_letter("z:\\"), 'Z');
  EXPECT_EQ(parse_drive_letter("d:/"), 'D');
  EXPECT_FALSE(parse_drive_letter("a"));
  EXPECT_FALSE(parse_drive_letter("1"));
  EXPECT_FALSE(parse_drive_letter("C:x"));
  EXPECT_FALSE(parse_drive_letter(""));
}

}  // namespace
}  // namespace pyralis::cli
