// SPDX-License-Identifier: GPL-3.0-or-later
// The NT-family route over the drive table, drive descriptions, and WideToAnsi.
#include <gtest/gtest.h>

#include "platform/drive_table.h"
#include "rawdisk/raw_disk_access.h"
#include "tests/platform/test_images.h"

namespace pyralis {
namespace {

class NtRoute : public ::testing::Test {
 protected:
  void SetUp() override { platform::reset_drive_table(); }
  void TearDown() override { platform::reset_drive_table(); }
  test::TempDir dir_;
};

TEST_F(NtRoute, ReadsCountTimesSectorSizeAtTheSectorsOffset) {
  const std::string image = test::make_fat_image(dir_, "v.img", 12, 4096, "-s 8");
  if (image.empty()) GTEST_SKIP() << "mkfs.fat missing";
  platform::attach_sources({image});
  std::string buffer(3 * 512, '\0');
  ASSERT_TRUE(ReadSectorsNT(3, 5, 3, buffer.data()));
  EXPECT_EQ(buffer, test::file_bytes(image, 5 * 512, 3 * 512));
  // A short read at the end is a failure, with the sectors that exist in the buffer.
  std::string tail(2 * 512, '\x11');
  EXPECT_FALSE(ReadSectorsNT(3, 4095, 2, tail.data()));
  EXPECT_EQ(tail.substr(0, 512), test::file_bytes(image, 4095 * 512, 512));
  EXPECT_EQ(tail.substr(512), std::string(512, '\x11'));
  EXPECT_TRUE(ReadSectorsNT(3, 0, 0, buffer.data()));
  EXPECT_FALSE(ReadSectorsNT(3, -1, 1, buffer.data()));
  EXPECT_FALSE(ReadSectorsNT(3, 0, -1, buffer.data()));
  // Clusters from the volume's first sector: cluster 10, count 2 = sectors 80 to 95.
  std::string clusters(16 * 512, '\0');
  ASSERT_TRUE(ReadClusters(3, 10, 2, clusters.data()));
  EXPECT_EQ(clusters, test::file_bytes(image, 80 * 512, 16 * 512));
  ASSERT_TRUE(ReadSectors(3, 80, 16, clusters.data()));
  EXPECT_EQ(clusters, test::file_bytes(image, 80 * 512, 16 * 512));
}

TEST_F(NtRoute, WritesGoToTheSourceAtTheSameOffset) {
  const std::string image = test::make_fat_image(dir_, "w.img", 12, 4096);
  if (image.empty()) GTEST_SKIP() << "mkfs.fat missing";
  platform::attach_sources({image});
  const std::string data(1024, 'W');
  ASSERT_TRUE(WriteSectorsNT(3, 100, 2, data.data()));
  EXPECT_EQ(test::file_bytes(image, 100 * 512, 1024), data);
  EXPECT_FALSE(WriteSectorsNT(3, 4096, 1, data.data()));  // past the end
}

TEST_F(NtRoute, NoGeometryNoTransfer) {
  std::string buffer(512, '\0');
  EXPECT_FALSE(ReadSectorsNT(3, 0, 1, buffer.data()));  // no drive C
  const std::string zeros = dir_.file("zeros.img");
  ASSERT_EQ(test::run_command("truncate -s 64K " + test::shell_quote(zeros)), 0);
  platform::attach_sources({zeros});
  EXPECT_EQ(GetDiskGeometry('C').SectorSize, 0);
  EXPECT_FALSE(ReadSectorsNT(3, 0, 1, buffer.data()));
  EXPECT_FALSE(ReadClusters(3, 0, 1, buffer.data()));
  const TMediaIdentifier media = GetMediaIdentifier('C');
  EXPECT_EQ(media.SerialNumber, 0u);
  EXPECT_EQ(media.FileSystem, "");
  EXPECT_EQ(media.VolumeName, "");
  EXPECT_EQ(GetVolumeSectorCount('C'), 0);
}

TEST_F(NtRoute, ProblemTextsNameDriveSourceAndReason) {
  const std::string missing = dir_.file("gone.img");
  const std::string zeros = dir_.file("zeros.img");
  ASSERT_EQ(test::run_command("truncate -s 64K " + test::shell_quote(zeros)), 0);
  const std::string good = test::make_fat_image(dir_, "good.img", 12, 2048);
  if (good.empty()) GTEST_SKIP() << "mkfs.fat missing";
  platform::attach_sources({missing, zeros, good});
  const std::string c = DescribeDriveProblem('c');
  EXPECT_EQ(c.rfind("Drive C: " + missing, 0), 0u) << c;
  EXPECT_NE(c.find("No such file or directory"), std::string::npos) << c;
  EXPECT_NE(DescribeDriveProblem('D').find("no FAT, exFAT or NTFS"), std::string::npos);
  EXPECT_EQ(DescribeDriveProblem('E'), "");
  EXPECT_EQ(DescribeDriveSource('E'), "E: " + good);
  EXPECT_NE(DescribeDriveProblem('Z').find("Z:"), std::string::npos);
  EXPECT_EQ(GetDriveTypeCode('Z'), 1u);
}

TEST_F(NtRoute, PartitionSourcesAreDescribedWithTheirPartition) {
  const std::string disk =
      test::gunzip_fixture_head("cc0-ntfs-samples/ntfs-lastaccess.raw.gz", dir_, 1 << 20);
  platform::attach_sources({disk});
  EXPECT_EQ(DescribeDriveSource('C'), "C: " + disk + " (partition 1 at byte 65536)");
  const TDiskGeometry g = GetDiskGeometry('C');
  EXPECT_EQ(GetMediaIdentifier('C').FileSystem, "NTFS");
  EXPECT_EQ(g.ClusterSize, g.SectorSize * g.SectorsPerCluster);
  EXPECT_EQ(g.FreeClusters, 0);  // the cluster bitmap lies beyond the first MiB kept here
  std::string boot(512, '\0');
  ASSERT_TRUE(ReadSectorsNT(3, 0, 1, boot.data()));
  EXPECT_EQ(boot, test::file_bytes(disk, 65536, 512));
}

TEST(WideToAnsi, Utf8WithQuestionMarksForWhatCannotBeShown) {
  EXPECT_EQ(WideToAnsi(u""), "");
  EXPECT_EQ(WideToAnsi(u"readme.txt"), "readme.txt");
  EXPECT_EQ(WideToAnsi(u"Gr\u00FC\u00DFe \u20AC"),
            "Gr\xC3\xBC\xC3\x9F"
            "e \xE2\x82\xAC");
  EXPECT_EQ(WideToAnsi(u"\U0001F600"), "\xF0\x9F\x98\x80");  // a surrogate pair
  const char16_t lone_high[] = {u'a', 0xD800, u'b', 0};
  EXPECT_EQ(WideToAnsi(lone_high), "a?b");
  const char16_t lone_low[] = {0xDC00, u'x', 0};
  EXPECT_EQ(WideToAnsi(lone_low), "?x");
  const char16_t high_at_end[] = {u'x', 0xDBFF, 0};
  EXPECT_EQ(WideToAnsi(high_at_end), "x?");
  // Long-name fillers after a name that fills its last piece.
  const char16_t fillers[] = {u'a', u'b', 0xFFFF, 0xFFFF, 0xFFFE};
  EXPECT_EQ(WideToAnsi(std::u16string_view(fillers, 5)), "ab???");
  // The text ends at its first zero character.
  const char16_t with_zero[] = {u'a', 0, 0xFFFF};
  EXPECT_EQ(WideToAnsi(std::u16string_view(with_zero, 3)), "a");
}

}  // namespace
}  // namespace pyralis
