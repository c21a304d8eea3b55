// SPDX-License-Identifier: GPL-3.0-or-later
// TRawDiskAccessComponent on image files: status codes, the setters' rules, buffer sizing,
// and the bytes that ReadDrive delivers compared with the file's.
#include "rawdisk/raw_disk_access_component.h"

#include <gtest/gtest.h>

#include "platform/drive_table.h"
#include "tests/platform/test_images.h"

namespace pyralis {
namespace {

std::string buffer_bytes(TRawDiskAccessComponent& c) {
  return std::string(reinterpret_cast<const char*>(c.DiskBufferStream().Memory()),
                     static_cast<size_t>(c.DiskBufferStream().Size()));
}

class Component : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::reset_drive_table();
    // FAT16, 40960 sectors, 8 sectors per cluster, serial with its top bit set.
    image_ = test::make_fat_image(dir_, "v.img", 16, 40960, "-s 8 -i 89ABCDEF -n COMPONENT");
    if (image_.empty()) GTEST_SKIP() << "mkfs.fat missing";
    ASSERT_EQ(platform::attach_sources({image_}), std::vector<char>{'C'});
    c_.SetLogicalDrive('c');
    ASSERT_EQ(c_.StatusCode(), 9999);
  }
  void TearDown() override { platform::reset_drive_table(); }

  void expect_status(int32_t code, const char* text) {
    EXPECT_EQ(c_.StatusCode(), code);
    EXPECT_EQ(c_.StatusText(), text);
  }

  test::TempDir dir_;
  std::string image_;
  TRawDiskAccessComponent c_;
};

TEST(ComponentWithoutDrive, StartsReadyAndRefusesEverySetter) {
  platform::reset_drive_table();
  TRawDiskAccessComponent c;
  EXPECT_EQ(c.StatusCode(), 0);
  EXPECT_EQ(c.StatusText(), "Ready.");
  c.SetSectorCount(4);
  EXPECT_EQ(c.StatusCode(), 1);
  EXPECT_EQ(c.StatusText(), "Drive not selected first.");
  EXPECT_EQ(c.SectorCount(), 0);
  c.SetClusterNumber(1);
  c.SetSectorNumber(1);
  c.SetClusterCount(1);
  c.SetDiskBufferString("x");
  EXPECT_EQ(c.StatusCode(), 1);
  EXPECT_EQ(c.ClusterNumber() + c.SectorNumber() + c.ClusterCount(), 0);
  c.SetLogicalDrive('q');  // no drive behind Q
  EXPECT_EQ(c.StatusCode(), 2);
  EXPECT_EQ(c.StatusText(), "Bad drive ID or drive not responding.");
  EXPECT_EQ(c.LogicalDrive(), 0);
  EXPECT_EQ(c.DriveNumber(), 0);
  c.ReadDrive();
  EXPECT_EQ(c.StatusCode(), 30);
  EXPECT_EQ(c.StatusText(), "No cluster or sector count provided.");
}

TEST_F(Component, SelectionFillsGeometryAndIdentity) {
  EXPECT_EQ(c_.LogicalDrive(), 'C');
  EXPECT_EQ(c_.DriveNumber(), 3);
  EXPECT_EQ(c_.DriveType(), 3);
  EXPECT_EQ(c_.SectorSize(), 512);
  EXPECT_EQ(c_.SectorsPerCluster(), 8);
  EXPECT_EQ(c_.ClusterSize(), 4096);
  EXPECT_EQ(c_.FileSystem(), "FAT");
  EXPECT_EQ(c_.VolumeName(), "COMPONENT");
  EXPECT_EQ(c_.SerialNumber(), 0x89ABCDEFll);  // zero-extended, not negative
  EXPECT_EQ(c_.TotalDiskSpace(), c_.TotalClusters() * 4096);
  EXPECT_EQ(c_.FreeDiskSpace(), c_.FreeClusters() * 4096);
  EXPECT_EQ(c_.VolumeSectors(), 40960);
  // The data area is smaller than the volume: its clusters do not reach the last sectors.
  EXPECT_LT(c_.TotalClusters() * c_.SectorsPerCluster(), c_.VolumeSectors());
}

TEST_F(Component, PositionsAreBoundedByTheVolumesSectorCount) {
  c_.SetSectorCount(2);
  c_.SetSectorNumber(40960);
  EXPECT_EQ(c_.StatusCode(), 9999);
  c_.SetSectorNumber(40961);
  EXPECT_EQ(c_.StatusCode(), 11);
  EXPECT_EQ(c_.StatusText(), "Sector number too high.");
  EXPECT_EQ(c_.SectorNumber(), 40960);
  c_.SetSectorNumber(-1);  // an unsigned position beyond every bound
  EXPECT_EQ(c_.StatusCode(), 11);
  c_.SetClusterNumber(c_.TotalClusters());
  EXPECT_EQ(c_.StatusCode(), 9999);
  c_.SetClusterNumber(c_.TotalClusters() + 1);
  EXPECT_EQ(c_.StatusCode(), 10);
  EXPECT_EQ(c_.StatusText(), "Cluster number too high.");
}

TEST_F(Component, LastSectorsOfTheVolumeReadBack) {
  // Beyond TotalClusters * SectorsPerCluster, where a data-area bound would stop.
  c_.SetSectorNumber(40960 - 16);
  c_.SetSectorCount(16);
  c_.ReadDrive();
  EXPECT_EQ(c_.StatusCode(), 9999);
  EXPECT_EQ(buffer_bytes(c_), test::file_bytes(image_, (40960 - 16) * 512, 16 * 512));
  // One sector more than the volume holds: a failed read; the sizing zeroed the buffer and
  // the sectors that exist arrived.
  c_.SetSectorCount(17);
  c_.ReadDrive();
  EXPECT_EQ(c_.StatusCode(), 5000);
  EXPECT_EQ(c_.StatusText(), "Read failed.");
  EXPECT_EQ(c_.DiskBufferStream().Size(), 17 * 512);
  EXPECT_EQ(buffer_bytes(c_).substr(16 * 512), std::string(512, '\0'));
}

TEST_F(Component, ModesExcludeEachOtherAndSizingZeroesTheBuffer) {
  c_.SetSectorNumber(0);
  c_.SetSectorCount(1);
  c_.ReadDrive();
  ASSERT_EQ(c_.StatusCode(), 9999);
  EXPECT_EQ(buffer_bytes(c_), test::file_bytes(image_, 0, 512));
  EXPECT_EQ(c_.DiskBufferString(), std::string(512, '\0'));  // not refreshed by reads
  c_.SetSectorNumber(3);  // keeps the count, re-zeroes the buffer
  EXPECT_EQ(c_.SectorCount(), 1);
  EXPECT_EQ(buffer_bytes(c_), std::string(512, '\0'));
  c_.SetClusterCount(2);
  EXPECT_EQ(c_.SectorNumber(), 0);
  EXPECT_EQ(c_.SectorCount(), 0);
  EXPECT_EQ(c_.DiskBufferStream().Size(), 8192);
  c_.SetClusterNumber(10);
  c_.ReadDrive();  // clusters count from the volume's first sector: sectors 80 to 95
  EXPECT_EQ(c_.StatusCode(), 9999);
  EXPECT_EQ(buffer_bytes(c_), test::file_bytes(image_, 80 * 512, 16 * 512));
  c_.SetSectorCount(0);
  EXPECT_EQ(c_.ClusterCount(), 0);
  EXPECT_EQ(c_.ClusterNumber(), 0);
  EXPECT_EQ(c_.DiskBufferStream().Size(), 8192);  // left as it was
  c_.ReadDrive();
  EXPECT_EQ(c_.StatusCode(), 30);
}

TEST_F(Component, NegativeCountsAreRefused) {
  c_.SetSectorCount(4);
  c_.SetSectorCount(-1);
  EXPECT_EQ(c_.StatusCode(), 30);
  EXPECT_EQ(c_.StatusText(), "No cluster or sector count provided.");
  EXPECT_EQ(c_.SectorCount(), 4);
  EXPECT_EQ(c_.DiskBufferStream().Size(), 2048);
  c_.SetClusterCount(-65536);
  EXPECT_EQ(c_.StatusCode(), 30);
  EXPECT_EQ(c_.ClusterCount(), 0);
  c_.SetSectorCount(int64_t{1} << 62);  // count * 512 does not fit in 64 bits
  EXPECT_EQ(c_.StatusCode(), 20);
  EXPECT_EQ(c_.SectorCount(), 4);
}

TEST_F(Component, CountsAbove65535SectorsGoThrough) {
  // A FAT32 volume of 140000 sectors: 70000 sectors in one ReadDrive.
  const std::string big = test::make_fat_image(dir_, "big.img", 32, 140000, "-s 1");
  ASSERT_FALSE(big.empty());
  const char letter = platform::attach_sources({big}).at(0);
  TRawDiskAccessComponent c;
  c.SetLogicalDrive(letter);
  c.SetSectorNumber(1000);
  c.SetSectorCount(70000);
  c.ReadDrive();
  EXPECT_EQ(c.StatusCode(), 9999);
  EXPECT_EQ(buffer_bytes(c), test::file_bytes(big, 1000 * 512, 70000 * 512));
}

TEST_F(Component, BufferStringAndStreamKeepTheSize) {
  c_.SetDiskBufferString("abc");
  EXPECT_EQ(c_.StatusCode(), 21);
  EXPECT_EQ(c_.StatusText(), "Buffer size not set first.");
  c_.SetSectorCount(1);
  c_.SetDiskBufferString("abc");
  EXPECT_EQ(c_.StatusCode(), 20);
  EXPECT_EQ(c_.StatusText(), "Buffer size mismatch.");
  EXPECT_EQ(c_.DiskBufferString(), std::string(512, '\0'));
  const std::string filled(512, 'z');
  c_.SetDiskBufferString(filled);
  EXPECT_EQ(c_.StatusCode(), 9999);
  EXPECT_EQ(buffer_bytes(c_), filled);
  auto wrong = std::make_unique<TMemoryStream>();
  wrong->SetSize(100);
  c_.SetDiskBufferStream(std::move(wrong));
  EXPECT_EQ(c_.StatusCode(), 20);
  c_.SetDiskBufferStream(nullptr);
  EXPECT_EQ(c_.StatusCode(), 20);
  auto right = std::make_unique<TMemoryStream>();
  right->Write(std::string(512, 'q').data(), 512);
  c_.SetDiskBufferStream(std::move(right));
  EXPECT_EQ(c_.StatusCode(), 9999);
  EXPECT_EQ(c_.DiskBufferStream().Position(), 0);
  EXPECT_EQ(c_.DiskBufferString(), std::string(512, 'q'));
  c_.ReadDrive();  // into the swapped-in stream
  EXPECT_EQ(buffer_bytes(c_), test::file_bytes(image_, 0, 512));
}

TEST_F(Component, UnreadableDriveReadsFail) {
  const std::string zeros = dir_.file("zeros.img");
  ASSERT_EQ(test::run_command("truncate -s 1M " + test::shell_quote(zeros)), 0);
  const char letter = platform::attach_sources({zeros}).at(0);
  TRawDiskAccessComponent c;
  c.SetLogicalDrive(letter);  // an image file: a fixed drive, but no geometry
  EXPECT_EQ(c.StatusCode(), 9999);
  EXPECT_EQ(c.TotalClusters(), 0);
  EXPECT_EQ(c.FileSystem(), "");
  c.SetSectorCount(1);  // sector size 0: an empty buffer
  EXPECT_EQ(c.DiskBufferStream().Size(), 0);
  c.ReadDrive();
  EXPECT_EQ(c.StatusCode(), 5000);
}

}  // namespace
}  // namespace pyralis
