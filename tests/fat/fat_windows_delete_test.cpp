// SPDX-License-Identifier: GPL-3.0-or-later
// FAT32 files deleted as Windows deletes them: the entry keeps only the low 16 bits of its
// first cluster. On a volume of more than 65,536 clusters whose files lie past cluster
// 65,535, every file must still come back byte-exact from its real first cluster.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "core/found_files.h"
#include "core/process_state.h"
#include "tests/fat/fat_test_volume.h"

namespace pyralis::test {
namespace {

// A JPEG's start marker and APP0 segment header followed by bytes of no structure and the
// end marker: enough for the signature and the end, and unique per seed.
std::string photo(uint32_t seed, size_t size) {
  std::string bytes = "\xFF\xD8\xFF\xE0";
  std::mt19937 random(seed);
  while (bytes.size() + 2 < size) bytes += static_cast<char>(random() & 0x7F);
  return bytes + "\xFF\xD9";
}

std::string text(uint32_t seed, size_t size) {
  std::string bytes;
  while (bytes.size() < size) bytes += "line " + std::to_string(seed++) + " of some notes\n";
  return bytes.substr(0, size);
}

class FatWindowsDeleteTest : public ::testing::Test {
 protected:
  TempDir dir, out;
  RecordingWindow window;
  // 40 MiB of 512-byte clusters: about 81,000 clusters.
  FatTestVolume v{dir, 32, 40 * 1024, "-s 1 -S 512"};
  std::map<std::string, std::string> originals;  // listed name -> content

  void SetUp() override {
    // A file at the volume's start, then 33 MiB that push every later file past cluster
    // 65,535; the filler is deleted too, so the low candidates are free and hold its zeros.
    const std::string early = text(1, 1500);
    v.Put("::/early notes.txt", early);
    const std::string filler = dir.file("filler");
    ASSERT_EQ(run_command("truncate -s 33M " + shell_quote(filler)), 0);
    v.Tool("mcopy", shell_quote(filler) + " ::/FILLER.BIN");
    v.MakeDir("::/DCIM");
    for (int i = 0; i < 20; ++i) {  // 40 entries: the folder spans three clusters
      const std::string name = "Photo " + std::to_string(100 + i) + ".jpg";
      originals[name] = photo(i, 700 + 311 * i);
      v.Put("::/DCIM/" + name, originals[name]);
    }
    for (int i = 0; i < 4; ++i) {
      const std::string name = "Scan " + std::to_string(i) + ".jpg";
      originals[name] = photo(100 + i, 2000 + 997 * i);
      v.Put("::/" + name, originals[name]);
      const std::string note = "note " + std::to_string(i) + ".txt";
      originals[note] = text(10 * i, 600 + 200 * i);
      v.Put("::/" + note, originals[note]);
    }
    v.DeleteAsWindows("::/DCIM", true);
    for (int i = 0; i < 4; ++i) {
      v.DeleteAsWindows("::/Scan " + std::to_string(i) + ".jpg");
      v.DeleteAsWindows("::/note " + std::to_string(i) + ".txt");
    }
    v.DeleteAsWindows("::/FILLER.BIN");
    v.DeleteAsWindows("::/early notes.txt");
    originals["early notes.txt"] = early;
  }
};

TEST_F(FatWindowsDeleteTest, EveryFileComesBackByteExactFromItsRealFirstCluster) {
  ASSERT_GT(v.Layout().cluster_count, 65536u);
  scan_image(v.image());
  for (const auto& [name, content] : originals) {
    const int32_t row = row_index(name);
    ASSERT_GE(row, 0) << name << "\n" << window.LogText();
    const FoundFileRecord& r = FoundFiles[row];
    EXPECT_EQ(r.Size, static_cast<int64_t>(content.size())) << name;
    // The entry kept the low word only: the Inode is the candidate chosen among several.
    const std::vector<uint32_t>& candidates = FoundFiles.Facts(row).candidates;
    EXPECT_GE(candidates.size(), 2u) << name;
    EXPECT_NE(std::find(candidates.begin(), candidates.end(), r.Inode), candidates.end());
    if (name.ends_with(".jpg")) {
      EXPECT_EQ(quality_to_text(r.RecoveryQuality), "Good") << name;
    }
    recover_row(row, out.path());
    EXPECT_EQ(read_file(out.file(name)), content) << name << " from cluster " << r.Inode;
  }
  EXPECT_TRUE(window.Logged("Undeleted " + out.path() + "/Photo 119.jpg successfully."))
      << window.LogText();
}

TEST_F(FatWindowsDeleteTest, APhotoWhoseStartIsOverwrittenEverywhereIsBad) {
  scan_image(v.image());
  const int32_t row = row_index("Scan 2.jpg");
  ASSERT_GE(row, 0);
  const uint32_t first = static_cast<uint32_t>(FoundFiles[row].Inode);
  // Another file's bytes over its first cluster.
  v.WriteCluster(first, text(7, 512));
  scan_image(v.image());
  const int32_t again = row_index("Scan 2.jpg");
  ASSERT_GE(again, 0);
  EXPECT_EQ(quality_to_text(FoundFiles[again].RecoveryQuality), "Bad");
  // A text file has no signature: it keeps the estimate of the candidate chosen.
  EXPECT_EQ(quality_to_text(FoundFiles[row_index("note 2.txt")].RecoveryQuality), "Middle");
}

// Another photo at a candidate nearer the file's folder, free and as long in clusters: the
// file is the one whose last bytes, at the entry's size, end as a JPEG ends.
TEST(FatWindowsDelete, ThePhotoThatEndsAtTheEntrysSizeWinsOverAnotherPhotoNearer) {
  TempDir dir, out;
  RecordingWindow window;
  FatTestVolume v{dir, 32, 40 * 1024, "-s 1 -S 512"};
  v.MakeDir("::/DCIM");  // its cluster comes first
  const std::string filler = dir.file("filler");
  ASSERT_EQ(run_command("truncate -s 33M " + shell_quote(filler)), 0);
  v.Tool("mcopy", shell_quote(filler) + " ::/FILLER.BIN");
  const std::string original = photo(5, 3000);
  v.Put("::/DCIM/Photo.jpg", original);
  v.DeleteAsWindows("::/DCIM/Photo.jpg");
  v.DeleteAsWindows("::/FILLER.BIN");
  scan_image(v.image());
  int32_t row = row_index("Photo.jpg");
  ASSERT_GE(row, 0) << window.LogText();
  const auto right = static_cast<uint32_t>(FoundFiles[row].Inode);
  ASSERT_GT(right, 65536u + 2);
  v.WriteCluster(right - 65536, photo(6, original.size() + 7));
  scan_image(v.image());
  row = row_index("Photo.jpg");
  ASSERT_GE(row, 0);
  EXPECT_EQ(FoundFiles[row].Inode, right);
  recover_row(row, out.path());
  EXPECT_EQ(read_file(out.file("Photo.jpg")), original);
}

}  // namespace
}  // namespace pyralis::test
