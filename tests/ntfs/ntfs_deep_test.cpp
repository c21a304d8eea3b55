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
#include "tests/ntfsimg/mft_record.h"
#include "tests/support/recording_window.h"

namespace pyralis::test {
namespace {

// Writes `image` as drive C: and scans it with carving.
ScanResult scan_carving(const TempDir& dir, const std::vector<uint8_t>& image) {
  const std::string path = dir.file("ntfs.img");
  write_file(path, std::string(image.begin(), image.end()));
  platform::reset_drive_table();
  platform::attach_sources({path});
  FoundFiles.clear();
  ntfs_clear_name_cache();
  ScanStartTime = std::chrono::steady_clock::now();
  return scan_drive('c', ScanOptions{true, true});
}

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
  scan_carving(dir, image);
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

// A deleted file whose $DATA is split over its record and an extension record that its
// $ATTRIBUTE_LIST names: the clusters of the extension's runs are the file's too, so the
// picture that starts in them is not found again by content.
TEST(NtfsDeepScanTest, CarvingLeavesTheRunsOfAnAttributeListsExtensionRecordsAlone) {
  TempDir dir;
  RecordingWindow window;
  NtfsGeometry geometry;
  geometry.total_sectors = 65536;
  NtfsImageBuilder volume(geometry);
  const uint64_t cluster = volume.cluster_size();
  const std::string photo = read_file(fixture_path("filetypes/photo.jpg"));
  const std::string content = test_content(2 * cluster, 3) + photo;
  const uint64_t first = volume.total_clusters() / 2, second = first + 16;
  FileSpec f;
  f.name = "split.bin";
  f.content = content;
  f.deleted = true;
  f.runs = {{2, first}, {1, second}};
  const uint64_t base = volume.add_file(f);
  FileSpec carrier;
  carrier.name = "carrier.txt";
  carrier.content = "x";
  carrier.deleted = true;
  const uint64_t extension = volume.add_file(carrier);
  std::vector<uint8_t> image = volume.build();

  // The base record: its names, an attribute list, and the first piece's runs; the
  // extension record: the second piece's runs, its header naming the base record.
  using namespace test::ntfs;
  const uint16_t sequence = volume.file(base).sequence;
  const auto entry = [](uint32_t type, uint64_t vcn, uint64_t record, uint16_t sequence) {
    Bytes e(0x20, 0);
    const auto put = [&](size_t at, uint64_t value, size_t width) {
      for (size_t i = 0; i < width; ++i) e[at + i] = static_cast<uint8_t>(value >> (8 * i));
    };
    put(0x00, type, 4);
    put(0x04, 0x20, 2);
    put(0x07, 0x1A, 1);
    put(0x08, vcn, 8);
    put(0x10, file_reference(record, sequence), 8);
    return e;
  };
  Bytes list;
  for (const Bytes& e : {entry(kAttrStandardInformation, 0, base, sequence),
                         entry(0x20, 0, base, sequence), entry(kAttrFileName, 0, base, sequence),
                         entry(kAttrData, 0, base, sequence), entry(kAttrData, 2, extension, 1)})
    list.insert(list.end(), e.begin(), e.end());
  const Times times{unix_to_filetime(1262304000), unix_to_filetime(1293840000),
                    unix_to_filetime(1325376000), unix_to_filetime(1356998400)};
  RecordWriter base_record(geometry.mft_record_size, base, sequence, 0, 1);
  base_record.add_resident(kAttrStandardInformation, {}, standard_information(times, 0x20));
  base_record.add_resident(0x20, {}, list);
  base_record.add_resident(
      kAttrFileName, {},
      file_name_value(file_reference(kRootRecord, volume.file(kRootRecord).sequence), times,
                      3 * cluster, content.size(), 0x20, u"split.bin", NameSpace::kWin32),
      0, true);
  NonResidentAttribute data;
  data.runs = {{2, first}};
  data.allocated_size = 3 * cluster;
  data.data_size = data.initialized_size = content.size();
  base_record.add_nonresident(data);
  RecordWriter extension_record(geometry.mft_record_size, extension, 1, 0, 0);
  data.runs = {{1, second}};
  extension_record.add_nonresident(data);
  Bytes extension_bytes = extension_record.finish();
  for (size_t i = 0; i < 8; ++i)
    extension_bytes[0x20 + i] = static_cast<uint8_t>(file_reference(base, sequence) >> (8 * i));
  for (const auto& [record, bytes] :
       {std::pair{base, base_record.finish()}, std::pair{extension, extension_bytes}})
    std::copy(bytes.begin(), bytes.end(),
              image.begin() + static_cast<std::ptrdiff_t>(volume.record_offset(record)));
  ASSERT_EQ(scan_carving(dir, image), ScanResult::kScanned) << window.LogText();
  bool listed = false;
  for (int32_t i = 0; i < FoundFiles.Count(); ++i) {
    if (FoundFiles[i].Name == "split.bin") {
      listed = true;
      // The row keeps both pieces' clusters, as volume bytes.
      const RowFacts& facts = FoundFiles.Facts(i);
      ASSERT_TRUE(facts.data_runs_known);
      ASSERT_EQ(facts.data_runs.size(), 2u);
      EXPECT_EQ(facts.data_runs[0].offset, first * cluster);
      EXPECT_EQ(facts.data_runs[0].length, 2 * cluster);
      EXPECT_EQ(facts.data_runs[1].offset, second * cluster);
      EXPECT_EQ(facts.data_runs[1].length, cluster);
    }
    EXPECT_NE(FoundFiles.Facts(i).origin, RowOrigin::kCarved) << FoundFiles[i].Name << "\n"
                                                              << window.LogText();
  }
  EXPECT_TRUE(listed) << window.LogText();
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
