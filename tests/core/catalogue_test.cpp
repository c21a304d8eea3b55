// SPDX-License-Identifier: GPL-3.0-or-later
// The found-file catalogue, its texts, name cuts, date-time values and the elapsed text.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "core/date_time.h"
#include "core/found_files.h"
#include "core/process_state.h"
#include "tests/support/test_files.h"

namespace pyralis {
namespace {

bool valid_utf8(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    const size_t n = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    if (lead >= 0x80 && lead < 0xC0) return false;
    if (i + n > text.size()) return false;
    for (size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}

size_t characters(const std::string& text) {
  size_t n = 0;
  for (unsigned char c : text) n += (c & 0xC0) != 0x80;
  return n;
}

FoundFileRecord record_named(int64_t inode) {
  FoundFileRecord record;
  record.Inode = inode;
  record.Name = "file" + std::to_string(inode);
  return record;
}

TEST(Catalogue, AppendKeepsOrderAndGrowsGeometrically) {
  TFoundFiles files;
  EXPECT_EQ(files.Count(), 0);
  EXPECT_EQ(files.Capacity(), 0u);
  size_t reallocations = 0, capacity = 0;
  for (int i = 0; i < 200000; ++i) {
    files.append(record_named(i));
    if (files.Capacity() != capacity) {
      ++reallocations;
      capacity = files.Capacity();
    }
  }
  ASSERT_EQ(files.Count(), 200000);
  // Growing by a fixed step would reallocate 200 times here.
  EXPECT_LT(reallocations, 40u);
  for (int i : {0, 999, 1000, 1001, 199999}) {
    EXPECT_EQ(files[i].Inode, i);
    EXPECT_EQ(files[i].Name, "file" + std::to_string(i));
  }
}

TEST(Catalogue, ClearReleasesStorageAndAppendStartsAgain) {
  TFoundFiles files;
  for (int i = 0; i < 1500; ++i) files.append(record_named(i));
  files.clear();
  EXPECT_EQ(files.Count(), 0);
  EXPECT_EQ(files.Capacity(), 0u);
  files.append(record_named(7));
  ASSERT_EQ(files.Count(), 1);
  EXPECT_EQ(files[0].Inode, 7);
}

TEST(Catalogue, RecordsKeepLargeSizesAndDefaultToZero) {
  TFoundFiles files;
  FoundFileRecord big;
  big.Size = 5LL * 1024 * 1024 * 1024;
  big.Inode = 4000000000LL;
  files.append(big);
  files.append(FoundFileRecord{});
  EXPECT_EQ(files[0].Size, 5LL * 1024 * 1024 * 1024);
  EXPECT_EQ(files[0].Inode, 4000000000LL);
  EXPECT_EQ(files[1].Sector, 0);
  EXPECT_EQ(files[1].Created, 0.0);
  EXPECT_EQ(size_to_text(files[0].Size), "5368.71 Mb");
}

TEST(Catalogue, AppendCutsNameAndPathTo255Characters) {
  TFoundFiles files;
  FoundFileRecord record;
  record.Name = std::string(300, 'n');
  std::string path;
  for (int i = 0; i < 300; ++i) path += "\xC3\xA9";  // 300 x U+00E9, two bytes each
  record.Path = path;
  files.append(record);
  EXPECT_EQ(files[0].Name, std::string(255, 'n'));
  EXPECT_EQ(characters(files[0].Path), 255u);
  EXPECT_EQ(files[0].Path.size(), 510u);
  EXPECT_TRUE(valid_utf8(files[0].Path));
}

TEST(Catalogue, CutsNeverSplitACharacter) {
  const std::string euro = "\xE2\x82\xAC";       // three bytes
  const std::string emoji = "\xF0\x9F\x98\x80";  // four bytes
  EXPECT_EQ(cut_characters(std::string(254, 'a') + euro + "z"), std::string(254, 'a') + euro);
  EXPECT_EQ(cut_characters(std::string(255, 'a') + euro), std::string(255, 'a'));
  EXPECT_EQ(cut_characters("short"), "short");
  EXPECT_EQ(cut_characters(euro + emoji + "x", 2), euro + emoji);
  // Byte cuts end before a character that would not fit whole.
  EXPECT_EQ(cut_bytes(std::string(254, 'a') + "\xC3\xA9"), std::string(254, 'a'));
  EXPECT_EQ(cut_bytes(std::string(253, 'a') + emoji), std::string(253, 'a'));
  EXPECT_EQ(cut_bytes(std::string(251, 'a') + emoji), std::string(251, 'a') + emoji);
  EXPECT_EQ(cut_bytes(euro + euro, 5), euro);
  // A truncated sequence at the end of the text is kept as it is, never read past.
  EXPECT_EQ(cut_characters("ab\xE2\x82", 10), "ab\xE2\x82");
}

TEST(Catalogue, RowFactsFollowTheirRowThroughSwapsAndEndWithClear) {
  FoundFiles.clear();
  for (int i = 0; i < 3; ++i) {
    FoundFileRecord r;
    r.Name = "f" + std::to_string(i);
    RowFacts facts;
    facts.valid_data_length = 100u + static_cast<unsigned>(i);
    FoundFiles.append(r, facts);
  }
  FoundFiles.SwapRows(0, 2);
  EXPECT_EQ(FoundFiles[0].Name, "f2");
  EXPECT_EQ(FoundFiles.Id(0), 2u);
  EXPECT_EQ(FoundFiles.Facts(0).valid_data_length, 102u);
  EXPECT_EQ(FoundFiles.IndexOf(0), 2);
  FoundFiles.Facts(2).content.state = ContentState::kIntact;
  EXPECT_EQ(FoundFiles.FactsOf(0).content.state, ContentState::kIntact);
  FoundFiles.clear();
  EXPECT_EQ(FoundFiles.IndexOf(0), -1);
  FoundFiles.append(FoundFileRecord{});
  EXPECT_EQ(FoundFiles.Id(0), 0u);
  EXPECT_EQ(FoundFiles.Facts(0).content.state, ContentState::kUnchecked);
  FoundFiles.clear();
}

TEST(CatalogueTexts, QualityToText) {
  const std::pair<int, const char*> table[] = {
      {0, "Overwritten"}, {1, "Bad"},   {33, "Bad"},        {34, "Middle"}, {66, "Middle"},
      {67, "Good"},       {99, "Good"}, {100, "Very Good"}, {-1, "Error"},  {-2, "Compressed"},
      {-3, "Encrypted"},  {101, ""},    {-4, ""},           {127, ""},      {-128, ""}};
  for (const auto& [quality, text] : table) EXPECT_EQ(quality_to_text(quality), text) << quality;
}

TEST(CatalogueTexts, SizeToText) {
  const std::pair<int64_t, const char*> table[] = {{0, "0 b"},
                                                   {1023, "1023 b"},
                                                   {1024, "1 Kb"},
                                                   {1600, "2 Kb"},
                                                   {999999, "977 Kb"},
                                                   {1000000, "1.00 Mb"},
                                                   {1048576, "1.05 Mb"},
                                                   {-5, "-5 b"},
                                                   {1536, "2 Kb"},
                                                   {2560, "2 Kb"},
                                                   {2147483648LL, "2147.48 Mb"},
                                                   {-2000000, "-2000000 b"}};
  for (const auto& [size, text] : table) EXPECT_EQ(size_to_text(size), text) << size;
  EXPECT_EQ(size_to_text(1048576, ','), "1,05 Mb");
  // Drives and volumes: the same units, with a Gb step for the sizes of whole disks.
  for (const auto& [size, text] :
       std::vector<std::pair<uint64_t, std::string>>{{4194304, "4.19 Mb"},
                                                     {999999999, "1000.00 Mb"},
                                                     {1000000000, "1.00 Gb"},
                                                     {15600000000, "15.60 Gb"},
                                                     {512, "512 b"}})
    EXPECT_EQ(volume_size_text(size), text) << size;
}

// A locale whose decimal separator is a comma, built at test time (only LC_NUMERIC
// matters); empty when localedef is missing.
std::string make_comma_locale(const test::TempDir& dir) {
  if (!test::have_program("localedef")) return "";
  const std::string source = dir.file("comma.src");
  test::write_file(source,
                   "LC_CTYPE\ncopy \"POSIX\"\nEND LC_CTYPE\nLC_NUMERIC\n"
                   "decimal_point \"<U002C>\"\nthousands_sep \"<U002E>\"\ngrouping 3;3\n"
                   "END LC_NUMERIC\n");
  test::run_command("localedef -c -i " + test::shell_quote(source) + " -f ANSI_X3.4-1968 " +
                    test::shell_quote(dir.file("xx_COMMA")));
  return dir.path();
}

TEST(CatalogueTexts, SizeToTextIgnoresTheCLocale) {
  test::TempDir dir;
  const std::string locale_path = make_comma_locale(dir);
  if (locale_path.empty()) GTEST_SKIP() << "localedef missing";
  setenv("LOCPATH", locale_path.c_str(), 1);
  const bool comma_locale = std::setlocale(LC_NUMERIC, "xx_COMMA") != nullptr;
  char printed[16];
  std::snprintf(printed, sizeof printed, "%.2f", 1.05);
  const std::string text = size_to_text(1048576);
  const std::string kilo = size_to_text(1600);
  std::setlocale(LC_NUMERIC, "C");
  unsetenv("LOCPATH");
  if (!comma_locale) GTEST_SKIP() << "the test locale could not be made";
  ASSERT_STREQ(printed, "1,05") << "the locale is in force";
  EXPECT_EQ(text, "1.05 Mb");
  EXPECT_EQ(kilo, "2 Kb");
}

TEST(DateTime, EpochsAndMissingDate) {
  EXPECT_EQ(try_encode_date_time(1899, 12, 30, 0, 0, 0), 0.0);
  EXPECT_EQ(format_list_date(0.0), "30-Dec-1899 00:00");
  EXPECT_EQ(format_iso_date(0.0), "");
  EXPECT_EQ(unix_to_date_time(0), 25569.0);
  EXPECT_EQ(try_encode_date_time(1970, 1, 1, 0, 0, 0), 25569.0);
  EXPECT_EQ(try_encode_date_time(1980, 1, 1, 0, 0, 0), 29221.0);  // first DOS date
  EXPECT_DOUBLE_EQ(unix_to_date_time(86400 + 43200), 25570.5);
}

TEST(DateTime, DosLikeValuesRoundTrip) {
  // DOS times come in two-second steps; none may come back a second early.
  const struct {
    int y, mo, d, h, mi, s;
    const char* list;
    const char* iso;
  } cases[] = {
      {2004, 3, 5, 14, 7, 30, "05-Mar-2004 14:07", "2004-03-05 14:07:30"},
      {1980, 1, 1, 0, 0, 0, "01-Jan-1980 00:00", "1980-01-01 00:00:00"},
      {2107, 12, 31, 23, 59, 58, "31-Dec-2107 23:59", "2107-12-31 23:59:58"},
      {2000, 2, 29, 12, 0, 2, "29-Feb-2000 12:00", "2000-02-29 12:00:02"},
      {2023, 10, 31, 9, 41, 44, "31-Oct-2023 09:41", "2023-10-31 09:41:44"},
  };
  for (const auto& c : cases) {
    const auto value = try_encode_date_time(c.y, c.mo, c.d, c.h, c.mi, c.s);
    ASSERT_TRUE(value.has_value()) << c.iso;
    EXPECT_EQ(format_list_date(*value), c.list);
    EXPECT_EQ(format_iso_date(*value), c.iso);
    const DateTimeParts p = decode_date_time(*value);
    EXPECT_EQ(p.second, c.s) << c.iso;
  }
}

TEST(DateTime, RejectsFieldsOutOfRange) {
  EXPECT_FALSE(try_encode_date_time(2004, 0, 1, 0, 0, 0));
  EXPECT_FALSE(try_encode_date_time(2004, 13, 1, 0, 0, 0));
  EXPECT_FALSE(try_encode_date_time(2004, 4, 31, 0, 0, 0));
  EXPECT_FALSE(try_encode_date_time(1900, 2, 29, 0, 0, 0));
  EXPECT_FALSE(try_encode_date_time(2004, 1, 1, 24, 0, 0));
  EXPECT_FALSE(try_encode_date_time(2004, 1, 1, 0, 60, 0));
  EXPECT_FALSE(try_encode_date_time(2004, 1, 1, 0, 0, 60));
  EXPECT_FALSE(try_encode_date_time(2004, 1, 0, 0, 0, 0));
}

TEST(DateTime, LocalTimeFollowsTheTimeZone) {
  const char* old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  setenv("TZ", "EST5", 1);
  tzset();
  const TDateTime local = unix_to_local_date_time(0);
  if (old)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
  EXPECT_DOUBLE_EQ(local, 25569.0 - 5.0 / 24.0);
  EXPECT_EQ(format_list_date(local), "31-Dec-1969 19:00");
}

TEST(ElapsedText, IsADurationPastMidnightAndADay) {
  using namespace std::chrono;
  ScanStartTime = steady_clock::now() - (hours(25) + minutes(1) + seconds(2));
  EXPECT_EQ(elapsed_text(), "25:01:02");
  ScanStartTime = steady_clock::now() - seconds(59);
  EXPECT_EQ(elapsed_text(), "00:00:59");
  reset_process_state();
}

TEST(ProcessState, ResetEmptiesCatalogueAndFlags) {
  FoundFiles.append(record_named(1));
  ScanActive = true;
  RecoveryActive = true;
  FatBootSector[0] = 0xEB;
  NtfsBootSector[3] = 'N';
  SelectedDrive = 'c';
  reset_process_state();
  EXPECT_EQ(FoundFiles.Count(), 0);
  EXPECT_FALSE(ScanActive);
  EXPECT_FALSE(RecoveryActive);
  EXPECT_EQ(FatBootSector[0], 0);
  EXPECT_EQ(NtfsBootSector[3], 0);
  EXPECT_EQ(SelectedDrive, 0);
}

}  // namespace
}  // namespace pyralis
