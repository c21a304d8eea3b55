// SPDX-License-Identifier: GPL-3.0-or-later
// Damaged FAT12/16/32 volumes: every scan and recovery ends in order, reads and writes stay
// inside their buffers and the destination, and a volume that cannot be read says so once.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>

#include "core/found_files.h"
#include "core/process_state.h"
#include "fat/fat_engine.h"
#include "platform/drive_table.h"
#include "rawdisk/raw_disk_access_component.h"
#include "tests/damage/damage_support.h"

namespace pyralis::test {
namespace {

class FatDamage : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    auto& cache = base_images();
    if (!cache.count(bits())) {
      std::string image;
      if (make_fat_volume(dir_.file("base.img"), bits(), dir_)) image = read_file(dir_.file("base.img"));
      cache[bits()] = image;
    }
    base_ = cache[bits()];
    if (base_.empty()) GTEST_SKIP() << "mkfs.fat or mtools missing";
    place_ = fat_place(base_);
  }

  int bits() const { return GetParam(); }
  static std::map<int, std::string>& base_images() {
    static std::map<int, std::string> images;
    return images;
  }

  RunResult Run(const std::string& image, bool recover = true) {
    return scan_and_recover(dir_, "volume.img", image, recover);
  }

  uint32_t Entry(const std::string& image, uint32_t x) const {
    if (bits() == 32) return get32(image, place_.fat_offset + 4ull * x) & 0x0FFFFFFF;
    if (bits() == 16) return get16(image, place_.fat_offset + 2ull * x);
    const uint16_t pair = get16(image, place_.fat_offset + x + x / 2);
    return (x & 1) ? pair >> 4 : pair & 0xFFF;
  }

  // Byte offset of the live short entry named `name83` (11 characters) in the directory
  // starting at `cluster` (0: the root), or 0.
  uint64_t FindEntry(const std::string& image, uint32_t cluster, const char* name83) const {
    std::vector<std::pair<uint64_t, uint64_t>> pieces;  // offset, bytes
    if (cluster == 0 && bits() != 32) {
      pieces.push_back({place_.root_offset, place_.data_offset - place_.root_offset});
    } else {
      uint32_t x = cluster == 0 ? place_.root_cluster : cluster;
      for (int n = 0; n < 64 && x >= 2 && x < 0x0FFFFFF0; ++n, x = Entry(image, x)) {
        if (bits() != 32 && x >= (bits() == 16 ? 0xFFF8u : 0xFF8u)) break;
        pieces.push_back({place_.cluster_offset(x), place_.cluster_size});
      }
    }
    for (const auto& [at, size] : pieces) {
      for (uint64_t p = at; p + 32 <= at + size; p += 32) {
        if (std::memcmp(image.data() + p, name83, 11) == 0) return p;
      }
    }
    return 0;
  }

  uint32_t FirstCluster(const std::string& image, uint64_t entry) const {
    return get16(image, entry + 0x1A) | uint32_t{get16(image, entry + 0x14)} << 16;
  }

  TempDir dir_;
  std::string base_;
  FatPlace place_;
};

// A 32-byte short entry.
std::string short_entry(const std::string& name83, uint8_t attributes, uint32_t cluster,
                        uint32_t size) {
  std::string e(32, '\0');
  std::memcpy(e.data(), name83.data(), std::min<size_t>(11, name83.size()));
  e[11] = static_cast<char>(attributes);
  put16(e, 0x14, static_cast<uint16_t>(cluster >> 16));
  put16(e, 0x1A, static_cast<uint16_t>(cluster));
  put32(e, 0x1C, size);
  put16(e, 0x18, 0x3A21);
  return e;
}

// A long-name entry holding 13 UTF-16 units.
std::string long_entry(uint8_t sequence, const std::u16string& units) {
  std::string e(32, '\0');
  e[0] = static_cast<char>(sequence);
  e[11] = 0x0F;
  static constexpr int kPlaces[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  for (int i = 0; i < 13; ++i)
    put16(e, kPlaces[i], i < static_cast<int>(units.size()) ? units[i] : 0xFFFF);
  return e;
}

TEST_P(FatDamage, UndamagedVolumeListsAndRecoversItsDeletedFiles) {
  const RunResult r = Run(base_);
  EXPECT_TRUE(r.scan_finished);
  EXPECT_GE(r.rows, 4);
  EXPECT_GE(count_lines(r.recover_log, "successfully."), 4u);
  EXPECT_EQ(read_file(dir_.file("out/deleted one.txt")), "first deleted file");
  int longest = 0;
  for (int32_t i = 0; i < FoundFiles.Count(); ++i)
    longest += FoundFiles[i].Name.size() == 255;
  EXPECT_EQ(longest, 1);
}

TEST_P(FatDamage, TruncatedImagesEndInOrder) {
  const uint64_t cuts[] = {100,
                           600,
                           place_.fat_offset + place_.fat_bytes / 2,
                           place_.root_offset + 48,
                           place_.data_offset + place_.cluster_size * 3 + 100,
                           base_.size() - 4096};
  for (uint64_t cut : cuts) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    const RunResult r = Run(base_.substr(0, cut));
    if (r.rows == 0) {
      EXPECT_GE(r.scan_log.size(), 1u);
    }
  }
}

TEST_P(FatDamage, ZeroAndRandomRegionsEndInOrder) {
  struct Region {
    uint64_t at, size;
  };
  const Region regions[] = {{0, 512},
                            {place_.fat_offset, place_.fat_bytes * 2},
                            {place_.root_offset, 4096},
                            {place_.data_offset, 65536},
                            {place_.fat_offset + 8, place_.fat_bytes - 8}};
  uint32_t seed = 1;
  for (const Region& region : regions) {
    SCOPED_TRACE("region at " + std::to_string(region.at));
    std::string zeroed = base_;
    fill_zero(zeroed, region.at, region.size);
    Run(zeroed);
    std::string random = base_;
    fill_random(random, region.at, region.size, seed++);
    Run(random);
  }
}

// Boot-sector values the engine must refuse: one line, no rows, nothing read from the
// table. Checked through the drivers (where the volume probe may refuse first) and against
// the engine itself with the damaged sector in FatBootSector.
TEST_P(FatDamage, AbsurdBootSectorValuesAreRefusedWithOneLine) {
  struct Patch {
    const char* what;
    uint64_t at;
    int width;
    uint64_t value;
  };
  std::vector<Patch> patches = {
      {"bytes per sector 0", 0x0B, 2, 0},        {"bytes per sector 1", 0x0B, 2, 1},
      {"bytes per sector 3", 0x0B, 2, 3},        {"bytes per sector 65535", 0x0B, 2, 65535},
      {"sectors per cluster 0", 0x0D, 1, 0},     {"sectors per cluster 3", 0x0D, 1, 3},
      {"sectors per cluster 6", 0x0D, 1, 6},     {"reserved sectors 0", 0x0E, 2, 0},
      {"no tables", 0x10, 1, 0},
  };
  if (bits() == 32) {
    patches.push_back({"root cluster 0", 0x2C, 4, 0});
    patches.push_back({"root cluster 1", 0x2C, 4, 1});
    patches.push_back({"root cluster beyond", 0x2C, 4, 0x0FFFFFF0});
    patches.push_back({"sectors per table 0", 0x24, 4, 0});
    patches.push_back({"table beyond the volume", 0x24, 4, 0x00FFFFFF});
  } else {
    patches.push_back({"sectors per table 0", 0x16, 2, 0});
    patches.push_back({"table beyond the volume", 0x16, 2, 0xFFFF});
  }
  for (const Patch& p : patches) {
    SCOPED_TRACE(p.what);
    std::string image = base_;
    // FAT32: the same values in the backup at sector 6, or the volume is read by that.
    for (const uint64_t copy : {uint64_t{0}, uint64_t{bits() == 32 ? 6u * 512 : 0u}})
      for (int i = 0; i < p.width; ++i)
        put8(image, copy + p.at + i, static_cast<uint8_t>(p.value >> (8 * i)));
    const RunResult r = Run(image);
    EXPECT_EQ(r.rows, 0);
    EXPECT_EQ(r.scan_log.size(), 1u) << (r.scan_log.empty() ? "" : r.scan_log.front());

    // The engine on its own: the volume is the undamaged one, sector 0 is not.
    write_file(dir_.file("engine.img"), base_);
    platform::reset_drive_table();
    const char letter = platform::attach_sources({dir_.file("engine.img")}).front();
    RecordingWindow window;
    FoundFiles.clear();
    TRawDiskAccessComponent component;
    component.SetLogicalDrive(letter);
    std::memcpy(FatBootSector.data(), image.data(), 512);
    fat_scan(component);
    EXPECT_EQ(FoundFiles.Count(), 0);
    EXPECT_EQ(count_lines(window.log, "was not scanned"), 1u) << window.LogText();
    platform::reset_drive_table();
  }
}

TEST_P(FatDamage, ClusterCountsBeyondTheImageEndInOrder) {
  std::string image = base_;
  put16(image, 0x13, 0);
  put32(image, 0x20, 0xFFFFFFF0);
  const RunResult r = Run(image);
  EXPECT_LE(r.scan_log.size(), 3u);
}

TEST_P(FatDamage, LoopingAndRunawayChainsEnd) {
  const uint64_t docs = FindEntry(base_, 0, "DOCS       ");
  ASSERT_NE(docs, 0u);
  const uint32_t x = FirstCluster(base_, docs);
  const uint32_t beyond = bits() == 12 ? 0xFF0 : bits() == 16 ? 0xFFF0 : 0x0FFFFFF0;
  const uint32_t values[] = {x, 2, beyond, 1};
  for (uint32_t v : values) {
    SCOPED_TRACE("DOCS chain continues at " + std::to_string(v));
    std::string image = base_;
    set_fat_entry(image, place_, bits(), x, v);
    Run(image);
  }
  // Every entry of the table leads to cluster 2, and cluster 2 to itself.
  std::string image = base_;
  const uint32_t entries = static_cast<uint32_t>(place_.fat_bytes * 8 / bits());
  for (uint32_t c = 2; c < entries; ++c) set_fat_entry(image, place_, bits(), c, 2);
  Run(image);
}

TEST_P(FatDamage, DirectoriesPointingAtThemselvesAtTheRootOrAtClusterOneEnd) {
  write_file(dir_.file("craft.img"), base_);
  ASSERT_TRUE(mtool(dir_.file("craft.img"), "mmd", "::/CRAFT"));
  std::string image = read_file(dir_.file("craft.img"));
  const uint64_t craft_entry = FindEntry(image, 0, "CRAFT      ");
  ASSERT_NE(craft_entry, 0u);
  const uint32_t craft = FirstCluster(image, craft_entry);
  const uint32_t docs = FirstCluster(image, FindEntry(image, 0, "DOCS       "));
  uint64_t at = place_.cluster_offset(craft) + 64;  // after "." and ".."
  const auto add = [&](const std::string& entry) {
    image.replace(at, 32, entry);
    at += 32;
  };
  add(short_entry("SELF       ", 0x10, craft, 0));
  add(short_entry("ROOT       ", 0x10, bits() == 32 ? place_.root_cluster : 0, 0));
  add(short_entry("ONE        ", 0x10, 1, 0));
  add(short_entry("DOCS       ", 0x10, docs, 0));
  add(short_entry("BEYOND     ", 0x10, 0x0FFFFFF0, 0));
  add(short_entry("\xE5" "ELDIR     ", 0x10, craft, 0));  // a deleted directory back here
  add(short_entry("\xE5" "ONE    TXT", 0x20, 1, 5000));
  add(short_entry("\xE5" "BIG    BIN", 0x20, 2, 0xFFFFFFFF));
  const RunResult r = Run(image);
  EXPECT_TRUE(r.scan_finished);
  EXPECT_GE(r.rows, 4);
}

TEST_P(FatDamage, EmptyHostileAndLongestNamesStayInsideTheDestination) {
  write_file(dir_.file("craft.img"), base_);
  ASSERT_TRUE(mtool(dir_.file("craft.img"), "mmd", "::/CRAFT"));
  std::string image = read_file(dir_.file("craft.img"));
  const uint32_t craft = FirstCluster(image, FindEntry(image, 0, "CRAFT      "));
  uint64_t at = place_.cluster_offset(craft) + 64;
  const auto add = [&](const std::string& entry) {
    image.replace(at, 32, entry);
    at += 32;
  };
  // A long name of no characters, then names that would leave the destination.
  add(long_entry(0x41, u""));
  add(short_entry("\xE5" "          ", 0x20, 0, 10));
  add(long_entry(0x41, u".."));
  add(short_entry("\xE5" "DOTS   TXT", 0x20, 0, 10));
  add(long_entry(0x41, u"../../etc/x"));
  add(short_entry("\xE5" "ESCAPE TXT", 0x20, 0, 10));
  add(long_entry(0x41, u"."));
  add(short_entry("\xE5" "DOT    TXT", 0x20, 0, 10));
  add(short_entry("\xE5" "/\\..   ..", 0x20, 0, 10));
  Run(image);
  EXPECT_FALSE(std::filesystem::exists(dir_.file("etc")));
}

INSTANTIATE_TEST_SUITE_P(Bits, FatDamage, ::testing::Values(12, 16, 32),
                         [](const auto& info) { return "FAT" + std::to_string(info.param); });

}  // namespace
}  // namespace pyralis::test
