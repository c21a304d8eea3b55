// SPDX-License-Identifier: GPL-3.0-or-later
// Whole folder paths of deep files, times before 1899-12-30, and the compressed flag.
#include <gtest/gtest.h>

#include <cstdlib>

#include "core/date_time.h"
#include "ntfs/ntfs_internal.h"
#include "tests/ntfs/ntfs_test_drive.h"
#include "tests/ntfs/ntfs_test_records.h"
#include "tests/ntfsimg/ntfs_image_builder.h"
#include "tests/support/recording_window.h"

namespace pyralis::test {
namespace {

// Sets TZ for one test and puts the old value back.
class ZoneGuard {
 public:
  explicit ZoneGuard(const char* zone) {
    if (const char* old = std::getenv("TZ")) saved_ = old, had_ = true;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ZoneGuard() {
    if (had_)
      setenv("TZ", saved_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  std::string saved_;
  bool had_ = false;
};

NtfsGeometry geometry() {
  NtfsGeometry g;
  g.total_sectors = 65536;
  return g;
}

// Adds the deleted file, writes and scans the volume; the file's row, or -1.
int32_t scan_with(NtfsImageBuilder& b, FileSpec f, const TempDir& dir) {
  f.deleted = true;
  const uint64_t record = b.add_file(f);
  const std::string image = dir.file("volume.img");
  b.write(image);
  scan_image(image);
  return row_of_inode(static_cast<int64_t>(record));
}

TEST(NtfsPaths, ThirtyLevelsAreFollowedToTheRoot) {
  TempDir dir;
  RecordingWindow window;
  NtfsImageBuilder b(geometry());
  uint64_t parent = kRootRecord;
  std::string expected = "C:\\";
  for (int level = 1; level <= 30; ++level) {
    const std::string name = (level < 10 ? "level0" : "level") + std::to_string(level);
    parent = b.add_directory(name, parent);
    expected += name + "\\";
  }
  FileSpec f;
  f.name = "bottom.txt";
  f.content = "thirty folders down";
  f.parent = parent;
  const int32_t row = scan_with(b, f, dir);
  ASSERT_GE(row, 0) << window.LogText();
  EXPECT_EQ(FoundFiles[row].Path, expected);
}

TEST(NtfsTimes, TimesBeforeTheDateEpochKeepTheirDayAndTime) {
  const ZoneGuard zone("UTC0");
  TempDir dir;
  RecordingWindow window;
  NtfsImageBuilder b(geometry());
  FileSpec f;
  f.name = "old.txt";
  f.content = "from the first day of the NTFS calendar";
  f.created = 6ull * 3600 * 10'000'000;  // 1601-01-01 06:00:00
  f.modified = 0;                        // a zeroed time
  const int32_t row = scan_with(b, f, dir);
  ASSERT_GE(row, 0) << window.LogText();
  EXPECT_EQ(format_iso_date(FoundFiles[row].Created), "1601-01-01 06:00:00");
  EXPECT_EQ(format_list_date(FoundFiles[row].Created), "01-Jan-1601 06:00");
  EXPECT_EQ(format_iso_date(FoundFiles[row].Modified), "1601-01-01 00:00:00");
  // Later times sort after earlier ones, before the epoch as after it.
  EXPECT_LT(FoundFiles[row].Modified, FoundFiles[row].Created);
  // Half a second before 1970 is still 1969.
  EXPECT_EQ(ntfs::ntfs_time_to_unix(116'444'736'000'000'000LL - 5'000'000), -1);
  EXPECT_EQ(format_iso_date(unix_to_date_time(-1)), "1969-12-31 23:59:59");
  EXPECT_EQ(format_iso_date(*try_encode_date_time(1899, 12, 29, 6, 0, 0)), "1899-12-29 06:00:00");
}

TEST(NtfsStreams, CompressedIsTheFlagOneNotTheCompressionMask) {
  const auto streams_with_flags = [](uint16_t flags) {
    TestRecord r;
    r.AddResident(ntfs::kStandardInformation, standard_information(0, 0, 0));
    r.AddResident(ntfs::kFileName, file_name_value(5, u"a.txt"));
    r.AddResident(ntfs::kData, {'a', 'b'}, u"", flags);
    ntfs::FileRecordInfo info;
    info.record = r.Finish(false);
    ntfs::NtfsVolume volume;
    EXPECT_EQ(ntfs::get_data_streams(info, volume), 1);
    return info.streams.at(0);
  };
  EXPECT_TRUE(streams_with_flags(0x0001).compressed);
  EXPECT_FALSE(streams_with_flags(0x0002).compressed);
  EXPECT_FALSE(streams_with_flags(0x00FE).compressed);
  EXPECT_FALSE(streams_with_flags(0x4000).compressed);
  EXPECT_TRUE(streams_with_flags(0x4000).encrypted);
}

}  // namespace
}  // namespace pyralis::test
