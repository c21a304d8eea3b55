// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/output_formats.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <sstream>

#include "core/date_time.h"
#include "tests/cli/json_checker.h"

namespace pyralis::cli {
namespace {

TFoundFiles awkward_catalogue() {
  TFoundFiles files;
  FoundFileRecord a;
  a.Name = "tab\there, \"quoted\"\nnew|line.txt";
  a.Path = "C:\\DOCS";
  a.Size = 3'000'000'000LL;  // above 2 GiB
  a.RecoveryQuality = 99;
  a.Modified = *try_encode_date_time(2024, 3, 5, 14, 7, 9);
  a.Inode = 42;
  files.append(a);
  FoundFileRecord b;
  b.Name = std::string("bad\xff\xfe utf8 \xc3\xa9");
  b.Path = "C:\\";
  b.Sector = 0x1A2B;
  b.RecoveryQuality = -2;
  files.append(b);
  return files;
}

std::string written(OutputFormat format, const TFoundFiles& files) {
  std::ostringstream out;
  write_found_files(out, format, files);
  return out.str();
}

TEST(CliFormats, TsvKeepsEachRecordOnOneLine) {
  const std::string text = written(OutputFormat::Tsv, awkward_catalogue());
  std::istringstream in(text);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "Name\tPath\tStatus\tSize\tModified\tCreated\tSector\tInode");
  std::getline(in, line);
  EXPECT_EQ(line,
            "tab\\there, \"quoted\"\\nnew|line.txt\tC:\\DOCS\tGood\t3000000000\t"
            "2024-03-05 14:07:09\t\t00\t42");
  std::getline(in, line);
  EXPECT_EQ(line.substr(line.find('\t')), "\tC:\\\tCompressed\t0\t\t\t1A2B\t0");
  EXPECT_FALSE(std::getline(in, line));
}

TEST(CliFormats, ControlCharactersAreShownEscapedInTableAndTsv) {
  TFoundFiles files;
  FoundFileRecord r;
  r.Name = "red\x1b[31m\a\x7f \xc2\x9b.txt";
  r.Path = "C:\\bell\a";
  files.append(r);
  for (const OutputFormat format : {OutputFormat::Tsv, OutputFormat::Table}) {
    const std::string text = written(format, files);
    EXPECT_NE(text.find("red\\x1b[31m\\x07\\x7f \\xc2\\x9b.txt"), std::string::npos) << text;
    EXPECT_NE(text.find("C:\\bell\\x07"), std::string::npos) << text;
    EXPECT_EQ(text.find_first_of("\x1b\a\x7f"), std::string::npos);
  }
  EXPECT_EQ(escape_controls("tab\there\r\n\xc3\xa9"), "tab\\there\\r\\n\xc3\xa9");
}

TEST(CliFormats, JsonIsValidAndNullsMissingDates) {
  const std::string text = written(OutputFormat::Json, awkward_catalogue());
  const test::JsonCheck check = test::check_json(text);
  EXPECT_TRUE(check.valid) << text;
  EXPECT_EQ(check.top_level_items, 2);
  EXPECT_NE(text.find("\"Created\": null"), std::string::npos);
  EXPECT_NE(text.find("\"Size\": 3000000000"), std::string::npos);
  EXPECT_NE(text.find("bad\\ufffd\\ufffd utf8 \xc3\xa9"), std::string::npos);
  EXPECT_EQ(test::check_json(written(OutputFormat::Json, TFoundFiles())).top_level_items, 0);
}

TEST(CliFormats, CsvQuotesOnlyWhatNeedsIt) {
  EXPECT_EQ(csv_field("plain"), "plain");
  EXPECT_EQ(csv_field("a,b"), "\"a,b\"");
  EXPECT_EQ(csv_field("say \"hi\""), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(csv_field("two\nlines"), "\"two\nlines\"");
  const std::string text = written(OutputFormat::Csv, awkward_catalogue());
  EXPECT_TRUE(text.starts_with("Name,Path,Status,Size,Modified,Created,Sector,Inode\r\n"));
}

TEST(CliFormats, TableShowsTheListTextsAligned) {
  const std::string text = written(OutputFormat::Table, awkward_catalogue());
  EXPECT_NE(text.find(size_to_text(3'000'000'000LL)), std::string::npos);
  EXPECT_NE(text.find("05-Mar-2024 14:07"), std::string::npos);
  EXPECT_NE(text.find("30-Dec-1899 00:00"), std::string::npos);
  // Aligned columns: "Path" starts at the same column in the header and in each row.
  std::istringstream in(text);
  std::string header, first, second;
  std::getline(in, header);
  std::getline(in, first);
  std::getline(in, second);
  EXPECT_TRUE(header.starts_with("#  File"));
  EXPECT_EQ(first.find("C:\\DOCS"), header.find("Path"));
  EXPECT_EQ(second.find("C:\\ "), header.find("Path") + 1);  // "é" takes two bytes
}

TEST(CliFormats, SectorIsUpperCaseHexOfAtLeastTwoDigits) {
  EXPECT_EQ(sector_text(0), "00");
  EXPECT_EQ(sector_text(0xA), "0A");
  EXPECT_EQ(sector_text(0x123ABC), "123ABC");
  EXPECT_EQ(sector_text(0x7FFFFFFFFFFFFFFFLL), "7FFFFFFFFFFFFFFF");
}

class CliBodyfile : public testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    saved_ = tz ? tz : "";
    had_ = tz != nullptr;
  }
  void TearDown() override {
    if (had_)
      setenv("TZ", saved_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
  static void zone(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
  }
  std::string saved_;
  bool had_ = false;
};

TEST_F(CliBodyfile, LocalDateTimesGoBackToTheSameInstant) {
  for (const char* tz : {"UTC0", "CET-1CEST,M3.5.0,M10.5.0/3", "EST5EDT,M3.2.0,M11.1.0"}) {
    zone(tz);
    // Summer and winter instants: the date-time is the local wall clock of that instant;
    // before 1970 and 1899-12-30 too (1601-01-01 06:00 is the NTFS calendar's first morning,
    // and -1 is a second like any other).
    for (int64_t t : {int64_t{1720000000}, int64_t{1705000000}, int64_t{946684800},
                      int64_t{-11644452000}, int64_t{-1}}) {
      EXPECT_EQ(date_time_to_unix(unix_to_local_date_time(t)), t) << tz << " " << t;
    }
  }
  EXPECT_EQ(date_time_to_unix(0.0), 0);
}

TEST_F(CliBodyfile, LineHasElevenFieldsAndNamesThePath) {
  zone("UTC0");
  FoundFileRecord r;
  r.Name = "a|b.txt";
  r.Path = "C:\\DOCS\\xLD";
  r.Inode = 17;
  r.Size = 1234;
  r.Modified = unix_to_date_time(1700000000);
  const std::string line = bodyfile_line(r);
  EXPECT_EQ(line, "0|C:/DOCS/xLD/a\\x7cb.txt (deleted)|17|r/rrwxrwxrwx|0|0|1234|0|1700000000|0|0");
  r.Path = "C:\\";
  EXPECT_EQ(bodyfile_name(r), "C:/a\\x7cb.txt (deleted)");
}

}  // namespace
}  // namespace pyralis::cli
