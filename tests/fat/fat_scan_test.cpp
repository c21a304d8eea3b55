// SPDX-License-Identifier: GPL-3.0-or-later
// The deleted-file scan on volumes written by mkfs.fat and mtools, FAT12, FAT16 and FAT32.
#include <gtest/gtest.h>

#include "core/found_files.h"
#include "core/process_state.h"
#include "tests/fat/fat_test_volume.h"

namespace pyralis::test {
namespace {

std::string content(size_t size, char seed) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>(seed + i * 7 + i / 251);
  return s;
}

struct Kind {
  int bits;
  int kib;
  const char* extra;
};

class FatScanTest : public ::testing::TestWithParam<Kind> {
 protected:
  TempDir dir;
  RecordingWindow window;
};

TEST_P(FatScanTest, ListsDeletedFilesWithNamesPathsAndSizes) {
  FatTestVolume v(dir, GetParam().bits, GetParam().kib, GetParam().extra);
  v.Put("::/foo.txt", "hello world");
  v.Put("::/Report 2005 long name.doc", content(9000, 1));
  v.Put("::/empty.txt", "");
  v.Put("::/keep.txt", "live");
  v.MakeDir("::/DOCS");
  v.Put("::/DOCS/inner.txt", "inner");
  v.Put("::/DOCS/Ünïcödé файл.txt", "unicode");
  v.MakeDir("::/DOCS/SUB");
  v.Put("::/DOCS/SUB/deep.bin", content(3000, 2));
  v.Delete("::/foo.txt");
  v.Delete("::/Report 2005 long name.doc");
  v.Delete("::/empty.txt");
  v.DeleteTree("::/DOCS");

  scan_image(v.image());
  EXPECT_TRUE(ScanActive);
  EXPECT_EQ(FoundFiles.Count(), 5) << window.LogText();
  ASSERT_EQ(rows_named("xOO.TXT").size(), 1u);
  EXPECT_EQ(rows_named("xOO.TXT")[0]->Path, "C:");
  EXPECT_EQ(rows_named("xOO.TXT")[0]->Size, 11);
  ASSERT_EQ(rows_named("Report 2005 long name.doc").size(), 1u);
  EXPECT_EQ(rows_named("Report 2005 long name.doc")[0]->Size, 9000);
  ASSERT_EQ(rows_named("xNNER.TXT").size(), 1u);
  EXPECT_EQ(rows_named("xNNER.TXT")[0]->Path, "C:\\xOCS");
  ASSERT_EQ(rows_named("Ünïcödé файл.txt").size(), 1u);
  ASSERT_EQ(rows_named("xEEP.BIN").size(), 1u);
  EXPECT_EQ(rows_named("xEEP.BIN")[0]->Path, "C:\\xOCS\\xUB");
  EXPECT_TRUE(rows_named("xMPTY.TXT").empty());
  EXPECT_EQ(window.status_files, "Files: 5");
  EXPECT_EQ(window.files_found, "5");
  EXPECT_EQ(window.gauge_max, v.Layout().fat_sectors & 31);
  // On a FAT32 volume of more than 65,536 clusters an entry whose high word is 0 may stand
  // for several clusters: a .doc none of whose candidates starts like an OLE2 file is "Bad".
  const bool ambiguous = v.Layout().kind == FatKind::kFat32 && v.Layout().cluster_count > 65536;
  for (int32_t i = 0; i < FoundFiles.Count(); ++i) {
    EXPECT_NE(FoundFiles[i].Modified, 0.0) << FoundFiles[i].Name;
    const bool fake_doc = ambiguous && FoundFiles[i].Name.ends_with(".doc");
    EXPECT_EQ(FoundFiles[i].RecoveryQuality, fake_doc ? 33 : 66) << FoundFiles[i].Name;
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, FatScanTest,
                         ::testing::Values(Kind{12, 2048, ""}, Kind{16, 16384, ""},
                                           Kind{32, 40960, "-s 1"}),
                         [](const auto& info) { return "FAT" + std::to_string(info.param.bits); });

TEST(FatScanStopTest, StopKeepsWhatWasFoundAndEndsEveryLevel) {
  TempDir dir;
  RecordingWindow window;
  FatTestVolume v(dir, 16, 4096, "-s 1");
  v.MakeDir("::/A");
  std::string names;
  for (int i = 0; i < 40; ++i) {
    write_file(dir.file("f" + std::to_string(i)), "x");
    names += shell_quote(dir.file("f" + std::to_string(i))) + " ";
  }
  v.Tool("mcopy", names + "::/A/");
  v.Tool("mdel", "'::/A/*'");
  long pumps = 0;
  window.on_pump = [&] {
    if (++pumps == 10) ScanActive = false;
  };
  scan_image(v.image());
  EXPECT_FALSE(ScanActive);
  EXPECT_GT(FoundFiles.Count(), 0);
  EXPECT_LT(FoundFiles.Count(), 40);
  EXPECT_EQ(window.status_files, "Files: " + std::to_string(FoundFiles.Count()));
  EXPECT_LE(pumps, 11);
}

// mkfs.fat -S 4096 (and FAT on 4Kn disks) counts in 4096-byte sectors; the layout follows
// the boot sector while transfers stay in 512-byte sectors, so content lands right.
TEST(FatScanStopTest, VolumesWithLargeSectorsAreScannedAndRecovered) {
  for (const int bits : {16, 32}) {
    TempDir dir, out;
    RecordingWindow window;
    // 50,000 and 75,000 clusters of 4 KiB: inside the cluster-count range of each type.
    FatTestVolume v(dir, bits, bits == 16 ? 200000 : 300000, "-S 4096 -s 1");
    const std::string kind = "FAT" + std::to_string(bits);
    std::string content;
    for (int i = 0; i < 3000; ++i) content += "line " + std::to_string(i) + "\n";
    v.Put("::/keep.txt", "live");
    v.Put("::/gone.txt", content);
    v.Delete("::/gone.txt");
    scan_image(v.image());
    ASSERT_EQ(FoundFiles.Count(), 1) << kind << "\n" << window.LogText();
    EXPECT_EQ(FoundFiles[0].Name, "xONE.TXT");  // an 8.3 name: mtools wrote no long name
    EXPECT_EQ(FoundFiles[0].Size, static_cast<int64_t>(content.size()));
    recover_row(0, out.path());
    EXPECT_TRUE(read_file(out.file("xONE.TXT")) == content) << kind << "\n" << window.LogText();
  }
}

}  // namespace
}  // namespace pyralis::test
