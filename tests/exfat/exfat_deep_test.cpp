// SPDX-License-Identifier: GPL-3.0-or-later
// The deep scan of exFAT volumes that mkfs.exfat formatted again after exfat_writer.py filled
// them, and of noise and entry sets across the pass's block boundaries on free clusters.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <random>

#include "core/found_files.h"
#include "core/process_state.h"
#include "drivers/drivers.h"
#include "exfat/exfat_entries.h"
#include "platform/drive_table.h"
#include "platform/unreadable_areas.h"
#include "tests/exfat/exfat_test_volume.h"
#include "tests/support/recording_window.h"

namespace pyralis::test {
namespace {

void deep_scan_exfat_image(const std::string& image) {
  platform::reset_drive_table();
  platform::attach_sources({image});
  FoundFiles.clear();
  ScanStartTime = std::chrono::steady_clock::now();
  scan_drive('c', ScanOptions{true, false});
}

void patch(const std::string& image, uint64_t offset, const std::string& bytes) {
  std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(static_cast<std::streamoff>(offset));
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string bytes_at(const std::string& image, uint64_t offset, size_t n) {
  return read_file(image).substr(offset, n);
}

// The volume's heap offset and cluster size, from its boot sector.
std::pair<uint64_t, uint64_t> heap_of(const std::string& image) {
  const std::string boot = bytes_at(image, 0, 512);
  const auto u32 = [&](size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(boot[at + i]);
    return v;
  };
  const uint64_t sector = uint64_t{1} << static_cast<uint8_t>(boot[0x6C]);
  return {u32(0x58) * sector, sector << static_cast<uint8_t>(boot[0x6D])};
}

struct Entry {
  const char* path;
  const char* how;  // size and writer options
};

class ExfatDeepFormatTest : public ::testing::TestWithParam<const char*> {
 protected:
  TempDir dir, out, saved;
  RecordingWindow window;
};

TEST_P(ExfatDeepFormatTest, ListsAndRecoversEveryFileOfTheOldFolders) {
  if (!have_program("mkfs.exfat")) GTEST_SKIP() << "mkfs.exfat (exfatprogs) is not installed";
  ExfatTestVolume v(dir, 48, GetParam());
  const std::vector<Entry> entries = {
      {"DCIM/100CANON/IMG_0001.JPG", "70000"},
      {"DCIM/100CANON/IMG_0002.JPG", "150000\tfrag"},
      {"Documents/Annual report 2025 — final version.docx", "9000"},
      {"Documents/Old letters/Letter to the bank about the mortgage.odt", "5000"},
      {"Documents/Old letters/Deeper/d.txt", "3000"},
      {"Documents/partial.bin", "20000\tvalid=5000"},
  };
  std::string script =
      "mkdir\t/DCIM\nmkdir\t/DCIM/100CANON\nmkdir\t/Documents\nmkdir\t/Documents/Old letters\n"
      "mkdir\t/Documents/Old letters/Deeper\nmkdir\t/many\n";
  std::vector<std::string> paths;
  for (const Entry& e : entries) paths.push_back(e.path);
  // Enough files to take "many" past one cluster of entries.
  for (int i = 0; i < 60; ++i) paths.push_back("many/file number " + std::to_string(i) + ".dat");
  for (size_t i = 0; i < paths.size(); ++i) {
    const std::string how = i < entries.size() ? entries[i].how : "600";
    const size_t tab = how.find('\t');
    script += "put\t/" + paths[i] + "\t" + how.substr(0, tab) + "\t" + std::to_string(i + 1) +
              "\tsave=" + saved.file("s" + std::to_string(i)) +
              (tab == std::string::npos ? "" : how.substr(tab)) + "\n";
  }
  // Deleted before the format: listed too.
  script += "put\t/Documents/gone.txt\t1500\t999\n";
  v.Write(script);
  v.Write("delete\t/Documents/gone.txt\n");
  std::string output;
  ASSERT_EQ(run_command(
                "mkfs.exfat -c " + std::string(GetParam()) + " " + shell_quote(v.image()) + " 2>&1",
                &output),
            0)
      << output;

  scan_exfat_image(v.image());
  EXPECT_EQ(FoundFiles.Count(), 0) << "the tree walk of a formatted volume finds nothing";
  deep_scan_exfat_image(v.image());
  ASSERT_TRUE(ScanActive) << window.LogText();
  ASSERT_EQ(FoundFiles.Count(), static_cast<int32_t>(paths.size()) + 1) << window.LogText();
  EXPECT_TRUE(window.Logged("Deep scan of C: found " + std::to_string(paths.size() + 1) +
                            " files in folders the tree no longer reaches."))
      << window.LogText();

  std::map<std::string, std::string> folder_of;
  for (int32_t i = 0; i < FoundFiles.Count(); ++i) {
    EXPECT_EQ(FoundFiles.Facts(i).origin, RowOrigin::kDeepScan);
    folder_of[FoundFiles[i].Name] = FoundFiles[i].Path;
  }
  // The top folders' entries were in the root, which the format rewrote.
  const std::string dcim = folder_of["IMG_0001.JPG"];
  const std::string docs = folder_of["Annual report 2025 — final version.docx"];
  const std::string many = folder_of["file number 0.dat"];
  EXPECT_TRUE(dcim.starts_with("C:\\Lost folders\\Lost folder ")) << dcim;
  EXPECT_TRUE(dcim.ends_with("\\100CANON")) << dcim;
  EXPECT_TRUE(docs.starts_with("C:\\Lost folders\\Lost folder ")) << docs;
  EXPECT_EQ(folder_of["Letter to the bank about the mortgage.odt"], docs + "\\Old letters");
  EXPECT_EQ(folder_of["d.txt"], docs + "\\Old letters\\Deeper");
  EXPECT_EQ(folder_of["gone.txt"], docs);
  EXPECT_TRUE(many.starts_with("C:\\Lost folders\\Lost folder ")) << many;
  // On small clusters "many" grew by a chain, which the format cleared: its later cluster is
  // a lost folder of its own.
  if (std::string(GetParam()) == "32K") {
    EXPECT_EQ(folder_of["file number 59.dat"], many);
  }
  EXPECT_TRUE(folder_of["file number 59.dat"].starts_with("C:\\Lost folders\\Lost folder "));

  RecoveryActive = true;
  for (size_t i = 0; i < paths.size(); ++i) {
    const std::string name = paths[i].substr(paths[i].rfind('/') + 1);
    int32_t row = -1;
    for (int32_t r = 0; r < FoundFiles.Count(); ++r)
      if (FoundFiles[r].Name == name) row = r;
    ASSERT_GE(row, 0) << name;
    undelete_found_file('c', row, out.path() + "/");
    const std::string recovered = read_file(out.file(name));
    const std::string original = read_file(saved.file("s" + std::to_string(i)));
    ASSERT_EQ(recovered.size(), original.size()) << paths[i];
    // The format cleared the fragmented file's chain: only its first cluster is sure.
    if (std::string(i < entries.size() ? entries[i].how : "").ends_with("frag"))
      EXPECT_TRUE(recovered.substr(0, 4096) == original.substr(0, 4096)) << paths[i];
    else
      EXPECT_TRUE(recovered == original) << paths[i];
  }
}

INSTANTIATE_TEST_SUITE_P(Clusters, ExfatDeepFormatTest, ::testing::Values("4K", "32K"),
                         [](const auto& info) { return std::string("Clusters") + info.param; });

struct EarlierFormat {
  const char* name;
  const char* cluster;  // of the filled exFAT volume
  const char* format;   // the command that formats it again, before the image's name
  bool root_survives;   // the new volume's structures leave the old root folder alone
};

class ExfatEarlierVolumeTest : public ::testing::TestWithParam<EarlierFormat> {
 protected:
  TempDir dir, out, saved;
  RecordingWindow window;
};

TEST_P(ExfatEarlierVolumeTest, ListsAndRecoversTheFilesThroughTheInferredGeometry) {
  if (!have_program("mkfs.exfat")) GTEST_SKIP() << "mkfs.exfat (exfatprogs) is not installed";
  ExfatTestVolume v(dir, 48, GetParam().cluster);
  // The filler puts the folders past the clusters a new format's own structures take.
  const std::vector<std::string> paths = {
      "filler.bin",
      "DCIM/100CANON/IMG_0001.JPG",
      "DCIM/100CANON/IMG_0002.JPG",
      "Documents/Annual report 2025 — final version.docx",
      "Documents/Old letters/Letter to the bank about the mortgage.odt",
      "Top level file.txt"};
  std::string script = "put\t/filler.bin\t300000\t99\tsave=" + saved.file("s0") +
                       "\nmkdir\t/DCIM\nmkdir\t/DCIM/100CANON\nmkdir\t/Documents\n"
                       "mkdir\t/Documents/Old letters\n";
  for (size_t i = 1; i < paths.size(); ++i)
    script += "put\t/" + paths[i] + "\t" + std::to_string(7000 + 13000 * i) + "\t" +
              std::to_string(i + 1) + "\tsave=" + saved.file("s" + std::to_string(i)) + "\n";
  v.Write(script);
  std::string output;
  ASSERT_EQ(
      run_command(std::string(GetParam().format) + " " + shell_quote(v.image()) + " 2>&1", &output),
      0)
      << output;

  deep_scan_exfat_image(v.image());
  ASSERT_TRUE(ScanActive) << window.LogText();
  const std::string earlier = "C:\\Earlier exFAT volume";
  std::map<std::string, int32_t> row_of_name;
  for (int32_t i = 0; i < FoundFiles.Count(); ++i) {
    EXPECT_TRUE(FoundFiles[i].Path.starts_with(earlier)) << FoundFiles[i].Path;
    row_of_name[FoundFiles[i].Name] = i;
  }
  // The root's files are gone with it when the new format wrote over it.
  const size_t in_root = 2;
  ASSERT_EQ(FoundFiles.Count(),
            static_cast<int32_t>(paths.size() - (GetParam().root_survives ? 0 : in_root)))
      << window.LogText();
  const auto folder = [&](const std::string& name) {
    return FoundFiles[row_of_name.at(name)].Path;
  };
  const std::string dcim = folder("IMG_0001.JPG");
  const std::string docs = folder("Annual report 2025 — final version.docx");
  EXPECT_EQ(folder("IMG_0002.JPG"), dcim);
  EXPECT_EQ(folder("Letter to the bank about the mortgage.odt"), docs + "\\Old letters");
  if (GetParam().root_survives) {
    EXPECT_EQ(dcim, earlier + "\\DCIM\\100CANON");
    EXPECT_EQ(docs, earlier + "\\Documents");
    EXPECT_EQ(folder("Top level file.txt"), earlier);
  } else {
    // The top folders' entries were in the root.
    EXPECT_TRUE(dcim.starts_with(earlier + "\\Lost folder ") && dcim.ends_with("\\100CANON"))
        << dcim;
    EXPECT_TRUE(docs.starts_with(earlier + "\\Lost folder ")) << docs;
  }

  RecoveryActive = true;
  for (size_t i = 0; i < paths.size(); ++i) {
    const std::string name = paths[i].substr(paths[i].rfind('/') + 1);
    if (!row_of_name.count(name) && paths[i].find('/') == std::string::npos) continue;
    undelete_found_file('c', row_of_name.at(name), out.path() + "/");
    EXPECT_TRUE(read_file(out.file(name)) == read_file(saved.file("s" + std::to_string(i))))
        << paths[i];
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, ExfatEarlierVolumeTest,
                         ::testing::Values(EarlierFormat{"Fat32OverExfat", "4K",
                                                         "mkfs.fat -F 32 -s 1", true},
                                           EarlierFormat{"Fat32OverSmallExfatClusters", "1K",
                                                         "mkfs.fat -F 32 -s 8", true},
                                           EarlierFormat{"ExfatOverExfatOtherClusterSize", "4K",
                                                         "mkfs.exfat -c 32K", false}),
                         [](const auto& info) { return std::string(info.param.name); });

// An earlier exFAT volume that started further into the space a FAT32 volume now takes: its
// boot region survives and gives the geometry, although one folder alone would not.
TEST(ExfatDeepScanTest, AnEarlierVolumesBootRegionGivesItsGeometry) {
  if (!have_program("mkfs.exfat")) GTEST_SKIP() << "mkfs.exfat (exfatprogs) is not installed";
  TempDir dir, out, saved;
  RecordingWindow window;
  ExfatTestVolume old(dir, 16, "4K", false, "old.img");
  old.Write("mkdir\t/Photos\nput\t/Photos/a.jpg\t30000\t1\tsave=" + saved.file("a.jpg") +
            "\nput\t/Photos/b.jpg\t50000\t2\tsave=" + saved.file("b.jpg") +
            "\nput\t/top.txt\t3000\t3\tsave=" + saved.file("top.txt") + "\n");
  const std::string image = dir.file("card.img");
  std::string output;
  ASSERT_EQ(run_command("truncate -s 48M " + shell_quote(image) + " && mkfs.fat -F 32 -s 1 " +
                            shell_quote(image) + " 2>&1",
                        &output),
            0)
      << output;
  patch(image, 16u << 20, read_file(old.image()));

  deep_scan_exfat_image(image);
  std::map<std::string, std::string> folder_of;
  for (int32_t i = 0; i < FoundFiles.Count(); ++i)
    folder_of[FoundFiles[i].Name] = FoundFiles[i].Path;
  ASSERT_EQ(folder_of.size(), 3u) << window.LogText();
  EXPECT_EQ(folder_of["a.jpg"], "C:\\Earlier exFAT volume\\Photos");
  EXPECT_EQ(folder_of["b.jpg"], "C:\\Earlier exFAT volume\\Photos");
  EXPECT_EQ(folder_of["top.txt"], "C:\\Earlier exFAT volume");
  RecoveryActive = true;
  for (int32_t i = 0; i < FoundFiles.Count(); ++i) {
    undelete_found_file('c', i, out.path() + "/");
    EXPECT_TRUE(read_file(out.file(FoundFiles[i].Name)) ==
                read_file(saved.file(FoundFiles[i].Name)))
        << FoundFiles[i].Name;
  }
}

// A folder whose set survives grew into a cluster after its files: that cluster joins it when
// it is the one lost run of the length the folder's size lacks; with a second such run (a
// lost folder of its own) the evidence is not clear and the cluster stays apart.
TEST(ExfatDeepScanTest, AFolderGrownPastItsFilesKeepsItsLaterCluster) {
  if (!have_program("mkfs.exfat")) GTEST_SKIP() << "mkfs.exfat (exfatprogs) is not installed";
  for (const bool second_grown : {false, true}) {
    TempDir dir;
    RecordingWindow window;
    ExfatTestVolume v(dir, 16, "4K");
    // Names of four entries a set: no set crosses from one cluster of a folder to the next.
    std::string script = "mkdir\t/Top\nmkdir\t/Top/Big\n";
    for (int i = 0; i < 60; ++i)
      script += "put\t/Top/Big/file number " + std::to_string(i) + ".dat\t600\t" +
                std::to_string(i + 1) + "\n";
    if (second_grown) {
      script += "mkdir\t/Top/Other\n";
      for (int i = 0; i < 60; ++i)
        script += "put\t/Top/Other/other number " + std::to_string(i) + ".dat\t600\t" +
                  std::to_string(i + 1) + "\n";
    }
    v.Write(script);
    std::string output;
    ASSERT_EQ(run_command("mkfs.exfat -c 4K " + shell_quote(v.image()) + " 2>&1", &output), 0)
        << output;
    deep_scan_exfat_image(v.image());
    std::map<std::string, std::string> folder_of;
    for (int32_t i = 0; i < FoundFiles.Count(); ++i)
      folder_of[FoundFiles[i].Name] = FoundFiles[i].Path;
    ASSERT_EQ(folder_of.size(), second_grown ? 120u : 60u) << window.LogText();
    const std::string big = folder_of["file number 0.dat"];
    EXPECT_TRUE(big.starts_with("C:\\Lost folders\\Lost folder ") && big.ends_with("\\Big")) << big;
    if (second_grown)
      EXPECT_NE(folder_of["file number 59.dat"], big) << "two folders lack a cluster";
    else
      EXPECT_EQ(folder_of["file number 59.dat"], big);
  }
}

TEST(ExfatDeepScanTest, NoiseAddsNoRowsAndASetAcrossABlockEdgeIsFoundOnce) {
  if (!have_program("mkfs.exfat")) GTEST_SKIP() << "mkfs.exfat (exfatprogs) is not installed";
  TempDir dir;
  RecordingWindow window;
  ExfatTestVolume v(dir, 16, "4K");
  v.Write("mkdir\t/LIVE\nput\t/LIVE/kept.txt\t400\t1\nput\t/LIVE/deleted.txt\t2000\t2\n");
  v.Write("delete\t/LIVE/deleted.txt\n");
  // Free clusters from 4 MiB on: noise, text and lone file entry type bytes.
  std::mt19937 random(9);
  std::string noise(8u << 20, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  for (size_t i = 0; i < (1u << 20); ++i) noise[i] = "abc \x85\n"[i % 6];
  for (size_t i = 2u << 20; i < (3u << 20); i += 32) noise[i] = static_cast<char>(0x85);
  patch(v.image(), 4u << 20, noise);

  scan_exfat_image(v.image());
  ASSERT_EQ(FoundFiles.Count(), 1) << window.LogText();
  deep_scan_exfat_image(v.image());
  EXPECT_EQ(FoundFiles.Count(), 1) << "found both ways, listed once\n" << window.LogText();
  EXPECT_TRUE(window.Logged("Deep scan of C: found 0 files in folders the tree no longer reaches."))
      << window.LogText();

  // The deleted file's entry set, pointed at another cluster and copied to free clusters so
  // that it straddles the 12 MiB block edge at each entry boundary in turn: found once each
  // time, in a lost folder.
  const auto [heap, cluster] = heap_of(v.image());
  const std::string image = read_file(v.image());
  const std::string name("d\0e\0l\0e\0t\0e\0d\0.\0t\0x\0t\0", 22);
  const size_t set_at = image.find(name, heap) / 32 * 32 - 64;
  ASSERT_EQ(static_cast<uint8_t>(image[set_at]), 0x05);
  std::string set = image.substr(set_at, 96);
  set[32 + 20] = static_cast<char>(set[32 + 20] + 1);
  const uint16_t sum =
      exfat::set_checksum(std::span(reinterpret_cast<const uint8_t*>(set.data()), set.size()));
  set[2] = static_cast<char>(sum & 0xFF);
  set[3] = static_cast<char>(sum >> 8);
  for (uint64_t before : {32u, 64u, 96u}) {
    const uint64_t at = (12u << 20) - before;
    patch(v.image(), at, set);
    deep_scan_exfat_image(v.image());
    ASSERT_EQ(FoundFiles.Count(), 2) << before << "\n" << window.LogText();
    const int32_t row = FoundFiles.Facts(0).origin == RowOrigin::kDeepScan ? 0 : 1;
    EXPECT_EQ(FoundFiles[row].Name, "deleted.txt");
    EXPECT_EQ(FoundFiles[row].Path,
              "C:\\Lost folders\\Lost folder " + std::to_string(2 + (at - heap) / cluster));
    patch(v.image(), at, std::string(96, '\0'));
  }
  // Nothing is taken from sectors that could not be read, on either side of the edge.
  const uint64_t at = (12u << 20) - 64;
  patch(v.image(), at, set);
  for (uint64_t bad : {uint64_t{12u << 20}, uint64_t{(12u << 20) - 4096}}) {
    platform::set_unreadable_areas(v.image(), {{bad, 4096}});
    deep_scan_exfat_image(v.image());
    EXPECT_EQ(FoundFiles.Count(), 1) << bad << "\n" << window.LogText();
    EXPECT_FALSE(window.LinesWith("Cannot read sector").empty()) << window.LogText();
    platform::clear_unreadable_areas();
  }
}

}  // namespace
}  // namespace pyralis::test
