// SPDX-License-Identifier: GPL-3.0-or-later
// Boot sector checks and the geometry derived from them.
#include <gtest/gtest.h>

#include "ntfs/ntfs_internal.h"
#include "tests/ntfs/ntfs_test_records.h"

namespace pyralis::test {
namespace {

using namespace pyralis::ntfs;

std::vector<uint8_t> boot_sector(uint16_t bytes_per_sector, uint8_t sectors_per_cluster,
                                 int8_t per_record, int64_t total_sectors, int64_t mft_lcn) {
  std::vector<uint8_t> s(512, 0);
  std::copy_n("\xEB\x52\x90NTFS    ", 11, s.begin());
  put16(s, 0x0B, bytes_per_sector);
  s[0x0D] = sectors_per_cluster;
  put64(s, 0x28, static_cast<uint64_t>(total_sectors));
  put64(s, 0x30, static_cast<uint64_t>(mft_lcn));
  s[0x40] = static_cast<uint8_t>(per_record);
  return s;
}

TEST(NtfsBootSector, DerivesGeometry) {
  std::string problem;
  auto g = parse_boot_sector(boot_sector(512, 8, -10, 65536, 4), &problem);
  ASSERT_TRUE(g) << problem;
  EXPECT_EQ(g->cluster_size, 4096u);
  EXPECT_EQ(g->mft_record_size, 1024u);
  EXPECT_EQ(lowest_bit(g->cluster_size), 12);
  EXPECT_EQ(lowest_bit(g->mft_record_size), 10);

  g = parse_boot_sector(boot_sector(512, 8, 1, 65536, 4), &problem);
  ASSERT_TRUE(g);
  EXPECT_EQ(g->mft_record_size, 4096u);  // one cluster per record

  g = parse_boot_sector(boot_sector(512, 0xF4, -10, 1 << 22, 4), &problem);
  ASSERT_TRUE(g) << problem;
  EXPECT_EQ(g->cluster_size, 2u << 20);  // 2^(256-244) sectors: 2 MiB clusters

  g = parse_boot_sector(boot_sector(4096, 1, -12, 65536, 4), &problem);
  ASSERT_TRUE(g) << problem;
  EXPECT_EQ(g->mft_record_size, 4096u);
}

TEST(NtfsBootSector, RefusesValuesOutsideTheSupportedRanges) {
  std::string problem;
  EXPECT_FALSE(parse_boot_sector(boot_sector(0, 8, -10, 65536, 4), &problem));
  EXPECT_NE(problem.find("bytes per sector 0"), std::string::npos) << problem;
  EXPECT_FALSE(parse_boot_sector(boot_sector(1000, 8, -10, 65536, 4), &problem));
  EXPECT_FALSE(parse_boot_sector(boot_sector(256, 8, -10, 65536, 4), &problem));
  EXPECT_FALSE(parse_boot_sector(boot_sector(8192, 8, -10, 65536, 4), &problem));
  EXPECT_FALSE(parse_boot_sector(boot_sector(512, 0, -10, 65536, 4), &problem));
  EXPECT_FALSE(parse_boot_sector(boot_sector(512, 3, -10, 65536, 4), &problem));
  EXPECT_FALSE(parse_boot_sector(boot_sector(512, 0xF0, -10, 65536, 4), &problem));
  EXPECT_FALSE(parse_boot_sector(boot_sector(512, 8, -7, 65536, 4), &problem));   // 128 bytes
  EXPECT_FALSE(parse_boot_sector(boot_sector(512, 8, -17, 65536, 4), &problem));  // 128 KiB
  EXPECT_FALSE(parse_boot_sector(boot_sector(512, 8, 0, 65536, 4), &problem));
  EXPECT_FALSE(parse_boot_sector(boot_sector(512, 128, 2, 65536, 4), &problem));  // 128 KiB
  EXPECT_FALSE(parse_boot_sector(boot_sector(512, 8, 3, 65536, 4), &problem));    // 12 KiB
  EXPECT_FALSE(parse_boot_sector(boot_sector(512, 8, -10, 65536, 8192), &problem));
  EXPECT_NE(problem.find("MFT cluster 8192"), std::string::npos) << problem;
  EXPECT_FALSE(parse_boot_sector(boot_sector(512, 8, -10, 65536, -1), &problem));
  EXPECT_FALSE(parse_boot_sector(boot_sector(512, 8, -10, 0, 0), &problem));
  EXPECT_FALSE(parse_boot_sector(boot_sector(512, 8, -10, INT64_MAX, 4), &problem));
  EXPECT_FALSE(parse_boot_sector(std::vector<uint8_t>(100), &problem));
}

TEST(NtfsMount, NoComponentGivesNoVolumeAndNoLine) {
  EXPECT_EQ(mount_volume(nullptr, true), nullptr);
}

}  // namespace
}  // namespace pyralis::test
