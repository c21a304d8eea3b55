// SPDX-License-Identifier: GPL-3.0-or-later
// Boot-sector checks, the layout derived from them, and table entries of each width.
#include <gtest/gtest.h>

#include "core/date_time.h"
#include "fat/fat_layout.h"
#include "fat/fat_names.h"
#include "fat/fat_table.h"

namespace pyralis {
namespace {

struct Boot {
  std::array<uint8_t, 512> s{};
  Boot(uint16_t bps, uint8_t spc, uint16_t reserved, uint8_t fats, uint16_t root_entries,
       uint32_t total, uint32_t fat_sectors, bool fat32) {
    put(0x0B, bps, 2);
    s[0x0D] = spc;
    put(0x0E, reserved, 2);
    s[0x10] = fats;
    put(0x11, root_entries, 2);
    put(total < 0x10000 ? 0x13 : 0x20, total, total < 0x10000 ? 2 : 4);
    put(fat32 ? 0x24 : 0x16, fat_sectors, fat32 ? 4 : 2);
    put(0x2C, 2, 4);
  }
  void put(size_t at, uint32_t v, int width) {
    for (int i = 0; i < width; ++i) s[at + i] = static_cast<uint8_t>(v >> (8 * i));
  }
  std::optional<FatLayout> Layout(const std::string& name, std::string* error = nullptr) {
    std::string ignored;
    return make_fat_layout(s, name, 0, error ? error : &ignored);
  }
};

TEST(FatLayoutTest, RejectsBootSectorsThatCannotBeRight) {
  struct Case {
    size_t offset;
    uint32_t value;
    int width;
    const char* reason;
  } cases[] = {
      {0x0B, 300, 2, "300 bytes per sector"},         {0x0B, 8192, 2, "8192 bytes per sector"},
      {0x0B, 256, 2, "256 bytes per sector"},         {0x0D, 0, 1, "0 sectors per cluster"},
      {0x0D, 6, 1, "6 sectors per cluster"},          {0x0E, 0, 2, "0 reserved sectors"},
      {0x10, 0, 1, "0 file allocation tables"},       {0x16, 0, 2, "0 sectors per FAT"},
      {0x13, 40, 2, "beyond the volume's 40 sectors"}};
  for (const Case& c : cases) {
    Boot boot(512, 4, 4, 2, 512, 32768, 32, false);
    boot.put(c.offset, c.value, c.width);
    std::string error;
    EXPECT_FALSE(boot.Layout("FAT", &error).has_value()) << c.reason;
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
  }
  std::string error;
  EXPECT_FALSE(Boot(512, 4, 4, 2, 512, 32768, 32, false).Layout("exFAT", &error));
  EXPECT_EQ(error, "exFAT volumes are not supported");
  // The table and data area must lie inside the volume's length.
  Boot boot(512, 4, 4, 2, 512, 32768, 32, false);
  EXPECT_FALSE(make_fat_layout(boot.s, "FAT", 10 * 512, &error));
}

TEST(FatLayoutTest, Fat12RoundsTheRootRegionUpAndPacksEntries) {
  // A 1.44 MB floppy with 17 root entries: 544 bytes of root round up to two sectors.
  Boot boot(512, 1, 1, 2, 17, 2880, 9, false);
  const auto l = boot.Layout("FAT");
  ASSERT_TRUE(l);
  EXPECT_EQ(l->kind, FatKind::kFat12);
  EXPECT_EQ(l->first_data_sector, 1u + 18 + 2);
  EXPECT_EQ(l->cluster_offset(2), 21u * 512);
  EXPECT_EQ(l->cluster_count, 2859u);
  // Entries 2..5 = 0x003, 0xFFF, 0x000, 0xABC, packed two to three bytes.
  const uint8_t table[] = {0xF0, 0xFF, 0xFF, 0x03, 0xF0, 0xFF, 0x00, 0xC0, 0xAB};
  FatTable t(*l);
  t.load_fat_bytes(table, sizeof table);
  EXPECT_EQ(t.get_fat_entry(2), 0x003u);
  EXPECT_EQ(t.get_fat_entry(3), 0xFFFu);
  EXPECT_EQ(t.get_fat_entry(4), 0x000u);
  EXPECT_EQ(t.get_fat_entry(5), 0xABCu);
  EXPECT_TRUE(t.ends_chain(0xFF8));
  EXPECT_FALSE(t.ends_chain(0xFF7));
  EXPECT_EQ(t.next_free_cluster(2), 4u);
  EXPECT_EQ(t.get_fat_entry(400), 0u);  // beyond the loaded bytes
  // The same sectors with more than 4084 clusters are FAT16.
  EXPECT_EQ(Boot(512, 1, 1, 2, 16, 8000, 32, false).Layout("FAT")->kind, FatKind::kFat16);
}

TEST(FatLayoutTest, EntriesLieAtTwoAndFourTimesTheClusterOnLargeSectors) {
  Boot boot(4096, 1, 8, 2, 0, 100000, 100, true);
  const auto l = boot.Layout("FAT32");
  ASSERT_TRUE(l);
  EXPECT_EQ(l->kind, FatKind::kFat32);
  std::vector<uint8_t> table(8192);
  table[4400] = 0x05;
  table[4403] = 0x10;  // 0x10000005: a reserved top bit set ends the chain
  FatTable t(*l);
  t.load_fat_bytes(table.data(), table.size());
  EXPECT_EQ(t.get_fat_entry(1100), 0x10000005u);
  EXPECT_TRUE(t.ends_chain(t.get_fat_entry(1100)));
  EXPECT_TRUE(t.ends_chain(0x0FFFFFF8));
  EXPECT_FALSE(t.ends_chain(0x0FFFFFF7));

  Boot boot16(4096, 1, 1, 2, 512, 60000, 32, false);
  const auto l16 = boot16.Layout("FAT");
  ASSERT_TRUE(l16);
  std::vector<uint8_t> table16(4096 * 2, 0);
  table16[2 * 3000] = 0x34;
  table16[2 * 3000 + 1] = 0x12;
  FatTable t16(*l16);
  t16.load_fat_bytes(table16.data(), table16.size());
  EXPECT_EQ(t16.get_fat_entry(3000), 0x1234u);
}

TEST(FatLayoutTest, NextFreeClusterStopsAtTheVolumesLastCluster) {
  // 100 data clusters, all in use; the table's slack entries after them read 0.
  Boot boot(512, 1, 1, 1, 16, 1 + 1 + 1 + 100, 1, false);
  const auto l = boot.Layout("FAT");
  ASSERT_TRUE(l);
  ASSERT_EQ(l->last_cluster(), 101u);
  std::vector<uint8_t> table(512, 0);
  for (uint32_t x = 0; x <= 101; ++x) {  // FAT12: 0xFFF in every entry up to 101
    const uint32_t p = x + x / 2;
    if (x & 1) {
      table[p] |= 0xF0;
      table[p + 1] = 0xFF;
    } else {
      table[p] = 0xFF;
      table[p + 1] |= 0x0F;
    }
  }
  FatTable t(*l);
  t.load_fat_bytes(table.data(), table.size());
  EXPECT_EQ(t.get_fat_entry(102), 0u);
  EXPECT_EQ(t.next_free_cluster(50), 0u);
}

TEST(FatNamesTest, ShortNamesDatesAndCodePage) {
  auto entry = [](const std::string& name83) {
    std::array<uint8_t, 32> e{};
    for (size_t i = 0; i < 11; ++i) e[i] = static_cast<uint8_t>(name83[i]);
    return e;
  };
  EXPECT_EQ(read_short_name(entry("\xE5OO     TXT")), "xOO.TXT");
  EXPECT_EQ(read_short_name(entry("\xE5       TXT")), "x.TXT");
  EXPECT_EQ(read_short_name(entry("\xE5          ")), "\xCF\x83");  // one character keeps 0xE5
  EXPECT_EQ(read_short_name(entry("M\x81NCHEN    ")), "M\xC3\xBCNCHEN");
  EXPECT_EQ(read_short_name(entry("README     ")), "README");
  EXPECT_EQ(dos_date_time(0, 0x6000), 0.0);
  EXPECT_EQ(dos_date_time(0x3A21, 0xC000), 0.0);  // hour 24
  EXPECT_EQ(dos_date_time(0x3A5E, 0), 0.0);       // 2009-02-30
  EXPECT_EQ(dos_date_time(0x3A5C, 0x7BDD), *try_encode_date_time(2009, 2, 28, 15, 30, 58));
}

}  // namespace
}  // namespace pyralis
