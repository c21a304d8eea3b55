// SPDX-License-Identifier: GPL-3.0-or-later
// The deep scan of FAT volumes that mkfs.fat formatted again after mtools filled them, the
// sweep's handling of unreadable blocks and Stop, and saved scans.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>

#include "core/found_files.h"
#include "core/process_state.h"
#include "core/saved_scan.h"
#include "drivers/drivers.h"
#include "platform/drive_table.h"
#include "platform/unreadable_areas.h"
#include "tests/fat/fat_test_volume.h"

namespace pyralis::test {
namespace {

std::string content(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>(random());
  return s;
}

void deep_scan_image(const std::string& image) {
  platform::reset_drive_table();
  platform::attach_sources({image});
  FoundFiles.clear();
  ScanStartTime = std::chrono::steady_clock::now();
  scan_drive('c', ScanOptions{true, false});
}

void quick_format(const std::string& image, const std::string& options) {
  ASSERT_EQ(
      std::system(
          ("mkfs.fat -F 32 " + options + " " + shell_quote(image) + " >/dev/null 2>&1").c_str()),
      0);
}

// The files a test puts on the volume: path inside the volume -> bytes.
using Files = std::map<std::string, std::string>;

Files camera_card(FatTestVolume& v) {
  Files files;
  v.MakeDir("::/DCIM");
  v.MakeDir("::/DCIM/100CANON");
  v.MakeDir("::/Documents");
  v.MakeDir("::/Documents/Old letters");
  for (int i = 1; i <= 12; ++i) {
    const std::string name = "IMG_" + std::to_string(1000 + i) + ".JPG";
    files["DCIM/100CANON/" + name] = content(3000 + i * 1777, i);
  }
  files["Documents/Annual report 2025 final.docx"] = content(9000, 100);
  files["Documents/Meeting notes — März.txt"] = content(700, 101);
  files["Documents/Old letters/Letter to the bank.odt"] = content(5000, 102);
  for (const auto& [path, bytes] : files) v.Put("::/" + path, bytes);
  // Deleted before the format: listed too, as the tree walk would have.
  v.Put("::/Documents/gone.txt", content(1500, 103));
  v.Delete("::/Documents/gone.txt");
  return files;
}

struct Format {
  const char* name;
  int kib;
  const char* fill;   // mkfs.fat options of the filled volume
  const char* again;  // of the format over it
};

class FatDeepFormatTest : public ::testing::TestWithParam<Format> {
 protected:
  TempDir dir;
  RecordingWindow window;
};

TEST_P(FatDeepFormatTest, ListsAndRecoversEveryFileOfTheOldFolders) {
  FatTestVolume v(dir, 32, GetParam().kib, GetParam().fill);
  const Files files = camera_card(v);
  quick_format(v.image(), GetParam().again);

  scan_image(v.image());
  EXPECT_EQ(FoundFiles.Count(), 0) << "the tree walk of a formatted volume finds nothing";
  deep_scan_image(v.image());
  ASSERT_TRUE(ScanActive) << window.LogText();
  ASSERT_EQ(FoundFiles.Count(), static_cast<int32_t>(files.size()) + 1) << window.LogText();

  // The folders whose parent entry survives keep their names; the top folders' entries were
  // in the root, which the format rewrote.
  std::map<std::string, std::string> folder_of;
  const bool other_geometry = std::string(GetParam().fill) != GetParam().again;
  for (int32_t i = 0; i < FoundFiles.Count(); ++i) {
    EXPECT_EQ(FoundFiles.Facts(i).origin, RowOrigin::kDeepScan);
    // Read through the earlier geometry, a row says where its bytes lie.
    EXPECT_EQ(FoundFiles.Facts(i).extents.empty(), !other_geometry) << FoundFiles[i].Name;
    folder_of[FoundFiles[i].Name] = FoundFiles[i].Path;
  }
  const std::string dcim = folder_of["IMG_1001.JPG"];
  const std::string docs = folder_of["Annual report 2025 final.docx"];
  EXPECT_TRUE(dcim.starts_with("C:\\Lost folders\\Lost folder ")) << dcim;
  EXPECT_TRUE(dcim.ends_with("\\100CANON")) << dcim;
  EXPECT_TRUE(docs.starts_with("C:\\Lost folders\\Lost folder ")) << docs;
  EXPECT_EQ(folder_of["Letter to the bank.odt"], docs + "\\Old letters");
  EXPECT_EQ(folder_of["xONE.TXT"], docs);

  RecoveryActive = true;
  for (const auto& [path, bytes] : files) {
    const std::string name = path.substr(path.rfind('/') + 1);
    const int32_t row = row_index(name);
    ASSERT_GE(row, 0) << name;
    EXPECT_EQ(FoundFiles[row].Size, static_cast<int64_t>(bytes.size())) << name;
    const std::string out = dir.path() + "/out" + std::to_string(row);
    std::filesystem::create_directories(out);
    recover_row(row, out);
    EXPECT_EQ(read_file(out + "/" + name), bytes) << name;
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, FatDeepFormatTest,
                         ::testing::Values(Format{"HalfKiBClusters", 40960, "-s 1", "-s 1"},
                                           Format{"OneKiBClusters", 81920, "-s 2", "-s 2"},
                                           // Another cluster size: the folders' clusters
                                           // count in the earlier volume's geometry.
                                           Format{"HalfKiBUnderFourKiB", 81920, "-s 1", "-s 8"},
                                           Format{"OneKiBUnderTwoKiB", 81920, "-s 2", "-s 4"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FatDeepScanTest, ReachedFoldersAndRandomFreeClustersAddNoRows) {
  TempDir dir;
  RecordingWindow window;
  FatTestVolume v(dir, 32, 40960, "-s 1");
  v.MakeDir("::/LIVE");
  v.Put("::/LIVE/kept.txt", "kept");
  v.Put("::/LIVE/deleted.txt", content(2000, 7));
  v.Delete("::/LIVE/deleted.txt");
  // Free clusters full of noise, text and directory-like bytes without the "." pair.
  const FatLayout l = v.Layout();
  std::string noise = content(l.cluster_size * 4000, 9);
  for (size_t i = 0; i < 1000 * l.cluster_size; ++i) noise[i] = "abc .\n"[i % 6];
  v.Patch(l.cluster_offset(l.cluster_count - 4000), noise);

  scan_image(v.image());
  const int32_t walked = FoundFiles.Count();
  ASSERT_EQ(walked, 1);
  deep_scan_image(v.image());
  EXPECT_EQ(FoundFiles.Count(), walked) << window.LogText();
  EXPECT_TRUE(window.Logged("Deep scan of C: found 0 files in folders the tree no longer reaches."))
      << window.LogText();
}

TEST(FatDeepScanTest, UnreadableBlocksAndStopKeepWhatWasFound) {
  TempDir dir;
  RecordingWindow window;
  FatTestVolume v(dir, 32, 40960, "-s 1");
  v.MakeDir("::/A");
  v.Put("::/A/a.txt", content(1000, 1));
  v.MakeDir("::/B");
  v.Put("::/B/b.txt", content(1000, 2));
  quick_format(v.image(), "-s 1");
  // An unreadable area far from the folders: logged, the pass goes on past it.
  const uint64_t bad = 30u << 20;
  platform::set_unreadable_areas(v.image(), {{bad, 4096}});
  deep_scan_image(v.image());
  EXPECT_TRUE(ScanActive);
  EXPECT_EQ(FoundFiles.Count(), 2) << window.LogText();
  EXPECT_EQ(window.LinesWith("Cannot read sector").size(), 1u) << window.LogText();
  EXPECT_EQ(window.gauge_progress, window.gauge_max);
  platform::clear_unreadable_areas();

  // Stop once the pass (its gauge counts the volume's 40 MiB) has read its first block: the
  // folders in it are still listed.
  window.gauge_max = window.gauge_progress = -1;
  window.on_pump = [&] {
    if (window.gauge_max == 40 && window.gauge_progress >= 1) ScanActive = false;
  };
  deep_scan_image(v.image());
  EXPECT_FALSE(ScanActive);
  EXPECT_EQ(FoundFiles.Count(), 2) << window.LogText();
  EXPECT_LT(window.gauge_progress, window.gauge_max);
}

TEST(SavedScanTest, ReopensOnItsVolumeOnlyAndRefusesDamage) {
  TempDir dir;
  RecordingWindow window;
  FatTestVolume v(dir, 32, 40960, "-s 1");
  v.MakeDir("::/A");
  v.Put("::/A/Long name of a file.txt", content(1000, 1));
  quick_format(v.image(), "-s 1");
  deep_scan_image(v.image());
  ASSERT_EQ(FoundFiles.Count(), 1);
  FoundFiles.Facts(0).extents = {{4096, 1000}};
  FoundFiles.Facts(0).content = {ContentState::kDamaged, 17, "JPEG"};
  const FoundFileRecord before = FoundFiles[0];
  const std::string file = dir.path() + "/c.scan";
  std::string error;
  ASSERT_TRUE(save_scan('c', file, &error)) << error;

  FoundFiles.clear();
  ASSERT_TRUE(open_scan('c', file, &error)) << error;
  ASSERT_EQ(FoundFiles.Count(), 1);
  EXPECT_EQ(FoundFiles[0].Name, before.Name);
  EXPECT_EQ(FoundFiles[0].Path, before.Path);
  EXPECT_EQ(FoundFiles[0].Inode, before.Inode);
  EXPECT_EQ(FoundFiles[0].Size, before.Size);
  EXPECT_EQ(FoundFiles[0].Modified, before.Modified);
  EXPECT_EQ(FoundFiles[0].RecoveryQuality, before.RecoveryQuality);
  EXPECT_EQ(FoundFiles.Facts(0).origin, RowOrigin::kDeepScan);
  ASSERT_EQ(FoundFiles.Facts(0).extents.size(), 1u);
  EXPECT_EQ(FoundFiles.Facts(0).extents[0].length, 1000u);
  EXPECT_EQ(FoundFiles.Facts(0).content.type, "JPEG");
  EXPECT_EQ(FoundFiles.Facts(0).content.damaged_at, 17u);

  // Another volume (same size, another serial): refused, the list stays as it was.
  TempDir other_dir;
  FatTestVolume other(other_dir, 32, 40960, "-s 1");
  platform::reset_drive_table();
  platform::attach_sources({other.image()});
  EXPECT_FALSE(open_scan('c', file, &error));
  EXPECT_TRUE(error.starts_with("it was saved from another volume (FAT32 volume with serial "))
      << error;
  EXPECT_EQ(FoundFiles.Count(), 1);

  // Each kind of damage is refused with its line.
  platform::reset_drive_table();
  platform::attach_sources({v.image()});
  std::string bytes = read_file(file);
  for (size_t at : {size_t{3}, size_t{40}, bytes.size() - 40}) {
    std::string damaged = bytes;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x5A);
    write_file(file, damaged);
    EXPECT_FALSE(open_scan('c', file, &error)) << at;
    EXPECT_FALSE(error.empty());
  }
  write_file(file, bytes.substr(0, bytes.size() / 2));
  EXPECT_FALSE(open_scan('c', file, &error));
  EXPECT_FALSE(open_scan('c', dir.path() + "/missing.scan", &error));
  EXPECT_EQ(error, "No such file or directory");
}

// A source that holds no volume, searched by content: its scan is kept by the source's
// length and first sectors, and its rows are written from the reopened scan.
TEST(SavedScanTest, ASourceWithoutVolumeReopensByItsLengthAndFirstSectors) {
  TempDir dir, out;
  RecordingWindow window;
  const std::string photo = read_file(fixture_path("filetypes/photo.jpg"));
  const std::string filler = content(64 * 1024, 5);
  std::string bytes = filler + photo;
  bytes += content(8192 - bytes.size() % 4096, 6);
  const std::string image = dir.file("card.img");
  ASSERT_TRUE(write_file(image, bytes));
  platform::reset_drive_table();
  platform::attach_sources({image});
  FoundFiles.clear();
  ASSERT_EQ(scan_drive('c', ScanOptions{true, true}), ScanResult::kScanned) << window.LogText();
  ASSERT_EQ(FoundFiles.Count(), 1) << window.LogText();
  const std::string file = dir.file("card.scan");
  std::string error;
  ASSERT_TRUE(save_scan('c', file, &error)) << error;

  FoundFiles.clear();
  ASSERT_TRUE(open_scan('c', file, &error)) << error;
  ASSERT_EQ(FoundFiles.Count(), 1);
  RecoveryActive = true;
  EXPECT_EQ(undelete_found_file('c', 0, out.path() + "/").result, RecoveryResult::kComplete);
  EXPECT_TRUE(read_file(out.file(FoundFiles[0].Name)) == photo);

  // The same length with other first sectors, and another length: refused.
  for (const std::string& other :
       {content(64 * 1024, 7) + bytes.substr(64 * 1024), bytes + std::string(4096, '\0')}) {
    ASSERT_TRUE(write_file(image, other));
    platform::reset_drive_table();
    platform::attach_sources({image});
    EXPECT_FALSE(open_scan('c', file, &error));
    EXPECT_TRUE(
        error.starts_with("it was saved from another volume (a source without a volume, "
                          "of " +
                          std::to_string(bytes.size()) + " bytes)"))
        << error;
  }
}

}  // namespace
}  // namespace pyralis::test
