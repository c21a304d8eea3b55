// SPDX-License-Identifier: GPL-3.0-or-later
// Directory data that tools will not write, crafted into the root region of a FAT16 volume:
// unused attribute bits, long names the narrow encoding cannot hold, leftover long-name runs,
// bad dates, clusters outside the volume, directory loops, signatures.
#include <gtest/gtest.h>

#include "core/date_time.h"
#include "core/found_files.h"
#include "core/process_state.h"
#include "tests/fat/fat_test_volume.h"

namespace pyralis::test {
namespace {

const std::string kDel = "\xE5";

class FatCraftedTest : public ::testing::Test {
 protected:
  TempDir dir;
  RecordingWindow window;
  FatTestVolume v{dir, 16, 4096, "-s 1"};

  void Scan(const std::vector<std::string>& root) {
    v.WriteRoot(root);
    scan_image(v.image());
  }
};

TEST_F(FatCraftedTest, UnusedAttributeBitEndsTheDirectory) {
  Scan({short_entry(kDel + "AAA    TXT", 0x20, 0, 5), short_entry("JUNK    BIN", 0xA0, 0, 5),
        short_entry(kDel + "BBB    TXT", 0x20, 0, 5)});
  ASSERT_EQ(FoundFiles.Count(), 1);
  EXPECT_EQ(FoundFiles[0].Name, "xAAA.TXT");
}

TEST_F(FatCraftedTest, LongNamesThatTheNarrowEncodingLacks) {
  // A long name with an unpaired surrogate, or a character no file name holds, gives way to
  // the short name; the directory goes on after it.
  Scan({long_entry(0xE5, u"Tail\xD800"), short_entry(kDel + "AIL    TXT", 0x20, 0, 5),
        long_entry(0xE5, u"Bad\xD800name"), short_entry(kDel + "AD     TXT", 0x20, 0, 5),
        long_entry(0xE5, u"a<b"), short_entry(kDel + "B      TXT", 0x20, 0, 5),
        long_entry(0xE5, u"Good \xD83D\xDE00"), short_entry(kDel + "OOD    TXT", 0x20, 0, 5),
        short_entry(kDel + "FTER   TXT", 0x20, 0, 5)});
  ASSERT_EQ(FoundFiles.Count(), 5) << window.LogText();
  EXPECT_EQ(FoundFiles[0].Name, "xAIL.TXT");
  EXPECT_EQ(FoundFiles[1].Name, "xAD.TXT");
  EXPECT_EQ(FoundFiles[2].Name, "xB.TXT");
  EXPECT_NE(FoundFiles[3].Name.find("Good"), std::string::npos);
  EXPECT_EQ(FoundFiles[4].Name, "xFTER.TXT");
}

TEST_F(FatCraftedTest, LongNameRunsAreJoinedInOrder) {
  // Fifteen characters in two entries, the last piece first; then a leftover run of another
  // file directly followed by a second run, which the next short entry takes as one name.
  Scan({long_entry(0x42, u"NO"), long_entry(0x01, u"ABCDEFGHIJKLM"),
        short_entry(kDel + "BCDEF~1   ", 0x20, 0, 7), long_entry(0xE5, u"tail"),
        long_entry(0xE5, u"Full thirteen"), short_entry(kDel + "EFTOV~1TXT", 0x20, 0, 7)});
  ASSERT_EQ(FoundFiles.Count(), 2);
  EXPECT_EQ(FoundFiles[0].Name, "ABCDEFGHIJKLMNO");
  EXPECT_EQ(FoundFiles[1].Name, "Full thirteentail");
}

TEST_F(FatCraftedTest, DatesSizesAndSkippedEntries) {
  Scan({short_entry(kDel + "ZERO   TXT", 0x20, 0, 0),          // size 0: not listed
        short_entry("LIVE    TXT", 0x20, 0, 9),                // live: not listed
        short_entry(kDel + "ABEL      ", 0x08, 0, 9),          // label: not listed
        std::string(32, '\0'),                                 // unused: the walk goes on
        short_entry(kDel + "ADDATE TXT", 0x20, 0, 9, 0x3A01),  // month 0
        short_entry(kDel + "IDNIGHTTXT", 0x20, 0, 0xFFFFFFFF, 0x3A21, 0),
        short_entry(kDel + "OCLUST TXT", 0x20, 0x00FF0000, 9)});
  ASSERT_EQ(FoundFiles.Count(), 3);
  EXPECT_EQ(FoundFiles[0].Name, "xADDATE.TXT");
  EXPECT_EQ(FoundFiles[0].Modified, 0.0);
  EXPECT_EQ(FoundFiles[1].Size, 4294967295LL);
  EXPECT_EQ(FoundFiles[1].Modified, *try_encode_date_time(2009, 1, 1, 0, 0, 0));
  EXPECT_EQ(FoundFiles[2].Inode, 0x00FF0000);
  EXPECT_EQ(FoundFiles[2].RecoveryQuality, 33);  // beyond the volume
}

TEST_F(FatCraftedTest, DirectoryLoopsEnd) {
  // DIR (clusters 2 and 3, whose chain comes back to 2) holds a file in each cluster, a link
  // back to the root (cluster 0), a link to itself, and a deleted directory pointing at DIR.
  v.SetFat16(2, 3);
  v.SetFat16(3, 2);
  v.WriteCluster(3, short_entry(kDel + "ECOND  TXT", 0x20, 0, 3));
  v.WriteCluster(
      2, short_entry(".          ", 0x10, 2, 0) + short_entry("..         ", 0x10, 0, 0) +
             short_entry(kDel + "NSIDE  TXT", 0x20, 0, 3) + short_entry("ROOT       ", 0x10, 0, 0) +
             short_entry("SELF       ", 0x10, 2, 0) + short_entry(kDel + "GAIN      ", 0x10, 2, 0));
  Scan({short_entry("DIR        ", 0x10, 2, 0), short_entry(kDel + "IRCOPY    ", 0x10, 2, 0)});
  ASSERT_EQ(FoundFiles.Count(), 2);
  EXPECT_EQ(FoundFiles[0].Path, "C:\\DIR");
  EXPECT_EQ(FoundFiles[1].Name, "xECOND.TXT");
}

TEST_F(FatCraftedTest, SignaturesRaiseTheEstimate) {
  v.WriteCluster(10, "\xFF\xD8 jpeg");
  v.WriteCluster(11, "\xFF\xD8 jpeg");
  v.SetFat16(11, 0xFFFF);
  Scan({short_entry(kDel + "REE    JPG", 0x20, 10, 9),
        short_entry(kDel + "SED    JPG", 0x20, 11, 9),
        short_entry(kDel + "LAIN   TXT", 0x20, 12, 9),
        short_entry(kDel + "ONE    JPG", 0x20, 12, 9)});
  ASSERT_EQ(FoundFiles.Count(), 4);
  EXPECT_EQ(FoundFiles[0].RecoveryQuality, 99);
  EXPECT_EQ(FoundFiles[1].RecoveryQuality, 66);
  EXPECT_EQ(FoundFiles[2].RecoveryQuality, 66);
  EXPECT_EQ(FoundFiles[3].RecoveryQuality, 66);
}

TEST_F(FatCraftedTest, BadBootSectorGetsOneLineAndNoScan) {
  v.WriteRoot({short_entry(kDel + "AAA    TXT", 0x20, 0, 5)});
  v.Patch(0x0D, std::string(1, '\x03'));  // three sectors per cluster
  scan_image(v.image());
  EXPECT_EQ(FoundFiles.Count(), 0);
  EXPECT_EQ(window.LinesWith("sectors per cluster").size(), 1u) << window.LogText();
}

}  // namespace
}  // namespace pyralis::test
