// SPDX-License-Identifier: GPL-3.0-or-later
// The NTFS deep scan on a volume whose $MFT a fresh, smaller one overwrote (as a quick
// format leaves it): the older records past the new $MFT's end are listed with their
// folders and recovered.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "core/found_files.h"
#include "core/process_state.h"
#include "drivers/drivers.h"
#include "ntfs/ntfs_engine.h"
#include "platform/drive_table.h"
#include "sweep/ntfs_deep.h"
#include "tests/ntfs/ntfs_test_volume.h"
#include "tests/support/recording_window.h"

namespace pyralis::test {
namespace {

void scan_c(bool deep) {
  FoundFiles.clear();
  ntfs_clear_name_cache();
  ScanStartTime = std::chrono::steady_clock::now();
  scan_drive('c', ScanOptions{deep, false});
}

TEST(NtfsDeepScanTest, RecordsPastANewSmallerMftAreListedAndRecovered) {
  TempDir dir;
  RecordingWindow window;
  NtfsGeometry geometry;
  geometry.total_sectors = 65536;
  NtfsImageBuilder old_volume(geometry);
  std::map<uint64_t, std::string> folder_of;  // record -> expected Path
  for (int i = 0; i < 12; ++i) {
    FileSpec f;
    f.name = "early file " + std::to_string(i) + ".txt";
    f.content = test_content(300 + i * 10, i);
    folder_of[old_volume.add_file(f)] = "C:\\";
  }
  const uint64_t photos = old_volume.add_directory("Photos");
  FileSpec year_spec;
  year_spec.name = "2024 Holidays";
  year_spec.parent = photos;
  year_spec.directory = true;
  const uint64_t year = old_volume.add_file(year_spec);
  for (int i = 0; i < 10; ++i) {
    FileSpec f;
    f.name = "IMG_" + std::to_string(100 + i) + ".jpg";
    f.parent = year;
    f.content = test_content(6000 + i * 4099, 50 + i);
    f.deleted = i == 3;  // deleted before the format: listed all the same
    f.fragments = i % 3 + 1;
    folder_of[old_volume.add_file(f)] = "C:\\Photos\\2024 Holidays\\";
  }
  std::vector<uint8_t> image = old_volume.build();

  // The format: a fresh volume of the same size writes its system files and a $MFT of a
  // few records over the old one.
  const NtfsImageBuilder fresh(geometry);
  const std::vector<uint8_t> fresh_image = fresh.build();
  ASSERT_EQ(fresh_image.size(), image.size());
  ASSERT_EQ(fresh.mft_lcn(), old_volume.mft_lcn());
  for (size_t at = 0; at < image.size(); at += 512) {
    const auto sector = fresh_image.begin() + static_cast<std::ptrdiff_t>(at);
    if (std::any_of(sector, sector + 512, [](uint8_t b) { return b != 0; }))
      std::copy(sector, sector + 512, image.begin() + static_cast<std::ptrdiff_t>(at));
  }
  const uint64_t mft_start = fresh.record_offset(0);
  const uint64_t mft_end = mft_start + fresh.record_count() * geometry.mft_record_size;
  std::copy(fresh_image.begin() + static_cast<std::ptrdiff_t>(mft_start),
            fresh_image.begin() + static_cast<std::ptrdiff_t>(mft_end),
            image.begin() + static_cast<std::ptrdiff_t>(mft_start));
  const std::string path = dir.file("formatted.img");
  write_file(path, std::string(image.begin(), image.end()));
  platform::reset_drive_table();
  platform::attach_sources({path});

  scan_c(false);
  const int32_t walked = FoundFiles.Count();
  scan_c(true);
  ASSERT_TRUE(ScanActive) << window.LogText();

  size_t expected = 0;
  RecoveryActive = true;
  for (const auto& [record, folder] : folder_of) {
    const uint64_t offset = old_volume.record_offset(record);
    if (offset < mft_end) continue;  // the new $MFT took its place
    ++expected;
    const std::string name = old_volume.file(record).name;
    int32_t row = -1;
    for (int32_t i = 0; i < FoundFiles.Count(); ++i)
      if (FoundFiles[i].Name == name) row = i;
    ASSERT_GE(row, 0) << name << "\n" << window.LogText();
    EXPECT_EQ(FoundFiles[row].Path, folder) << name;
    EXPECT_EQ(FoundFiles[row].Inode, static_cast<int64_t>(record));
    EXPECT_EQ(FoundFiles.Facts(row).origin, RowOrigin::kDeepScan);
    EXPECT_EQ(FoundFiles.Facts(row).record_offset, offset);
    EXPECT_GT(FoundFiles[row].RecoveryQuality, 0) << name;
    const std::string out = dir.path() + "/out" + std::to_string(row) + "/";
    std::filesystem::create_directories(out);
    undelete_found_file('c', row, out);
    EXPECT_EQ(read_file(out + name), old_volume.expected_content(record)) << name;
  }
  EXPECT_GE(expected, 15u);
  EXPECT_EQ(static_cast<size_t>(FoundFiles.Count()), walked + expected) << window.LogText();
}

// Carving joins the deep scan's pass. Rows name records, not clusters: the clusters of the
// listed deleted files (their records' data runs, a fragmented one too) are theirs, and a
// live file's are in use; only a file whose record is gone is found by content.
TEST(NtfsDeepScanTest, CarvingLeavesTheClustersOfListedAndLiveFilesAlone) {
  TempDir dir;
  RecordingWindow window;
  NtfsGeometry geometry;
  geometry.total_sectors = 65536;
  NtfsImageBuilder volume(geometry);
  const auto sample = [](const std::string& name) {
    return read_file(fixture_path("filetypes/" + name));
  };
  const auto add = [&](const std::string& name, const std::string& content, bool deleted,
                       uint32_t fragments) {
    FileSpec f;
    f.name = name;
    f.content = content;
    f.deleted = deleted;
    f.fragments = fragments;
    f.residency = Residency::kNonResident;
    return volume.add_file(f);
  };
  add("deleted.jpg", sample("photo.jpg"), true, 1);
  add("fragmented.png", sample("picture.png"), true, 3);
  add("live.gif", sample("picture.gif"), false, 1);
  const uint64_t orphan = add("orphan.zip", sample("archive.zip"), true, 1);
  std::vector<uint8_t> image = volume.build();
  // The orphan's record is wiped: nothing but its bytes is left.
  std::fill_n(image.begin() + static_cast<std::ptrdiff_t>(volume.record_offset(orphan)),
              geometry.mft_record_size, uint8_t{0});
  const std::string path = dir.file("ntfs.img");
  write_file(path, std::string(image.begin(), image.end()));
  platform::reset_drive_table();
  platform::attach_sources({path});

  FoundFiles.clear();
  ntfs_clear_name_cache();
  ScanStartTime = std::chrono::steady_clock::now();
  scan_drive('c', ScanOptions{true, true});
  std::vector<int32_t> carved;
  for (int32_t i = 0; i < FoundFiles.Count(); ++i)
    if (FoundFiles.Facts(i).origin == RowOrigin::kCarved) carved.push_back(i);
  ASSERT_EQ(carved.size(), 1u) << window.LogText();
  const BuiltFile& zip = volume.file(orphan);
  ASSERT_FALSE(zip.runs.empty());
  EXPECT_EQ(FoundFiles.Facts(carved[0]).extents.front().offset,
            volume.cluster_offset(*zip.runs.front().lcn) - volume.volume_offset());
  EXPECT_EQ(FoundFiles[carved[0]].Size, static_cast<int64_t>(sample("archive.zip").size()));
  EXPECT_TRUE(window.Logged("Found by content: 1 file (0 damaged).")) << window.LogText();
}

// A volume whose $MFT is broken cannot be mounted: the search by content reads the whole
// drive as a source without a volume, live files' clusters too, and says so.
TEST(NtfsDeepScanTest, AVolumeThatCannotBeMountedIsSearchedWhole) {
  TempDir dir;
  RecordingWindow window;
  NtfsGeometry geometry;
  geometry.total_sectors = 65536;
  NtfsImageBuilder volume(geometry);
  const auto add = [&](const std::string& name, bool deleted) {
    FileSpec f;
    f.name = name;
    f.content = read_file(fixture_path("filetypes/" + name));
    f.deleted = deleted;
    f.residency = Residency::kNonResident;
    return volume.file(volume.add_file(f));
  };
  const BuiltFile jpeg = add("photo.jpg", true);
  const BuiltFile gif = add("picture.gif", false);
  std::vector<uint8_t> image = volume.build();
  for (const uint64_t at :
       {volume.record_offset(0), volume.cluster_offset(volume.mft_mirror_lcn())})
    std::fill_n(image.begin() + static_cast<std::ptrdiff_t>(at), 4 * geometry.mft_record_size,
                uint8_t{0});
  const std::string path = dir.file("ntfs.img");
  write_file(path, std::string(image.begin(), image.end()));
  platform::reset_drive_table();
  platform::attach_sources({path});

  scan_c(false);
  EXPECT_EQ(FoundFiles.Count(), 0);
  FoundFiles.clear();
  EXPECT_EQ(scan_drive('c', ScanOptions{true, true}), ScanResult::kScanned) << window.LogText();
  EXPECT_TRUE(window.Logged(
      "C: its NTFS volume could not be mounted; the whole drive is searched by content instead."))
      << window.LogText();
  std::map<int64_t, std::string> carved;  // first sector → name
  for (int32_t i = 0; i < FoundFiles.Count(); ++i) {
    EXPECT_EQ(FoundFiles.Facts(i).origin, RowOrigin::kCarved);
    carved[FoundFiles[i].Inode] = FoundFiles[i].Name;
  }
  for (const BuiltFile* f : {&jpeg, &gif}) {
    SCOPED_TRACE(f->name);
    const uint64_t at = volume.cluster_offset(*f->runs.front().lcn) - volume.volume_offset();
    EXPECT_EQ(carved.count(static_cast<int64_t>(at / 512)), 1u) << window.LogText();
  }
}

TEST(NtfsDeepScanTest, PathsFollowTheFoundFoldersAndMarkWhereTheyAreCut) {
  const std::unordered_map<int64_t, NtfsRecordRecogniser::Folder> folders = {{40, {"Photos", 5}},
                                                                             {41, {"2024", 40}},
                                                                             {42, {"Lost", 77}},
                                                                             {50, {"Loop a", 51}},
                                                                             {51, {"Loop b", 50}}};
  const struct {
    int64_t parent;
    const char* path;
  } cases[] = {{5, "C:\\"},           {40, "C:\\Photos\\"}, {41, "C:\\Photos\\2024\\"},
               {42, "C:\\?\\Lost\\"}, {99, "C:\\?\\"},      {50, "C:\\?\\Loop b\\Loop a\\"}};
  for (const auto& c : cases)
    EXPECT_EQ(ntfs_deep_path(folders, c.parent, "C:\\"), c.path) << c.parent;
}

}  // namespace
}  // namespace pyralis::test
