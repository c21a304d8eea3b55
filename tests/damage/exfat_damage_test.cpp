// SPDX-License-Identifier: GPL-3.0-or-later
// Damaged exFAT volumes: every scan and recovery ends in order, reads and writes stay inside
// their buffers and the destination, and a volume that cannot be read says so once.
#include <gtest/gtest.h>

#include "core/found_files.h"
#include "tests/damage/damage_support.h"

namespace pyralis::test {
namespace {

struct ExfatPlace {
  uint64_t fat_offset = 0, heap_offset = 0;
  uint32_t cluster_size = 0, cluster_count = 0, root_cluster = 0;
  uint64_t cluster_offset(uint32_t x) const { return heap_offset + uint64_t{x - 2} * cluster_size; }
};

ExfatPlace exfat_place(const std::string& image) {
  ExfatPlace p;
  const unsigned sector_shift = static_cast<uint8_t>(image[0x6C]);
  p.cluster_size = 1u << (sector_shift + static_cast<uint8_t>(image[0x6D]));
  p.fat_offset = uint64_t{get32(image, 0x50)} << sector_shift;
  p.heap_offset = uint64_t{get32(image, 0x58)} << sector_shift;
  p.cluster_count = get32(image, 0x5C);
  p.root_cluster = get32(image, 0x60);
  return p;
}

// An 8 MiB volume with 4 KiB clusters: deleted files in the root, in a live folder and in a
// deleted folder inside a deleted folder, fragmented ones, and a deleted folder that grew
// by a chain.
const std::string& base_volume() {
  static const std::string image = [] {
    TempDir dir;
    const std::string path = dir.file("base.img");
    std::string script =
        "mkdir\t/Live\nmkdir\t/Gone\nmkdir\t/Gone/Deeper\nmkdir\t/many\n"
        "put\t/a.jpg\t20000\t1\nput\t/Live/b.bin\t9000\t2\tfrag\n"
        "put\t/Gone/Deeper/c.txt\t5000\t3\nput\t/Gone/d.bin\t13000\t4\tfrag\n"
        "put\t/keep.txt\t100\t5\n";
    for (int i = 0; i < 50; ++i) script += "put\t/many/f" + std::to_string(i) + "\t300\t9\n";
    script += "delete\t/a.jpg\ndelete\t/Live/b.bin\ndelete\t/Gone\ndelete\t/many\n";
    write_file(dir.file("script"), script);
    if (!have_program("mkfs.exfat") ||
        run_command("truncate -s 8M " + path + " && mkfs.exfat -c 4K " + path + " && python3 " +
                    shell_quote(PYRALIS_EXFAT_WRITER) + " " + path + " < " + dir.file("script")) != 0)
      return std::string();
    return read_file(path);
  }();
  return image;
}

constexpr int32_t kBaseRows = 54;

class ExfatDamage : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = base_volume();
    if (base_.empty()) GTEST_SKIP() << "mkfs.exfat missing";
    place_ = exfat_place(base_);
  }
  RunResult Run(const std::string& image, bool recover = true) {
    return scan_and_recover(dir_, "volume.img", image, recover);
  }
  // The first cluster of the live or deleted set named `name` (ASCII) in the directory
  // cluster `x`, 0 when not there.
  uint32_t FirstCluster(uint32_t x, const std::string& name) const {
    const uint64_t at = place_.cluster_offset(x);
    for (uint64_t e = at; e < at + place_.cluster_size; e += 32) {
      if ((static_cast<uint8_t>(base_[e]) | 0x80) != 0x85) continue;
      std::string n;
      for (size_t i = 0; i < name.size() && i < 15; ++i) n += base_[e + 64 + 2 + 2 * i];
      if (n == name.substr(0, 15)) return get32(base_, e + 32 + 20);
    }
    return 0;
  }
  TempDir dir_;
  std::string base_;
  ExfatPlace place_;
};

TEST_F(ExfatDamage, UndamagedVolumeListsAndRecoversItsDeletedFiles) {
  const RunResult r = Run(base_);
  EXPECT_EQ(r.rows, kBaseRows);
  EXPECT_EQ(count_lines(r.recover_log, "successfully."), static_cast<size_t>(kBaseRows));
}

TEST_F(ExfatDamage, TruncatedZeroedAndRandomRegionsEndInOrder) {
  for (const uint64_t length : {uint64_t{512}, uint64_t{4096}, place_.heap_offset,
                                place_.cluster_offset(place_.root_cluster) + 100,
                                uint64_t{base_.size() / 2}})
    Run(base_.substr(0, length));
  const uint64_t regions[][2] = {{place_.fat_offset, 4096},
                                 {place_.cluster_offset(2), 4096},  // the allocation bitmap
                                 {place_.cluster_offset(place_.root_cluster), 4096},
                                 {place_.heap_offset, 1 << 20}};
  uint32_t seed = 1;
  for (const auto& [at, size] : regions) {
    std::string zeroed = base_, random = base_;
    fill_zero(zeroed, at, size);
    fill_random(random, at, size, seed++);
    Run(zeroed);
    Run(random);
  }
}

TEST_F(ExfatDamage, AbsurdBootSectorValuesAreRefusedWithOneLine) {
  const std::pair<size_t, uint64_t> patches[] = {
      {0x48, 1},           {0x48, ~0ull},       {0x50, 0},          {0x50, 0xFFFFFFFF},
      {0x54, 0},           {0x58, 0xFFFFFFFF},  {0x5C, 0},          {0x5C, 0xFFFFFFFF},
      {0x60, 0},           {0x60, 1},           {0x60, 0xFFFFFFFF}, {0x6E, 0}};
  for (const auto& [at, value] : patches) {
    std::string image = base_;
    if (at == 0x48)
      put64(image, at, value);
    else if (at == 0x6E)
      put8(image, at, static_cast<uint8_t>(value));
    else
      put32(image, at, static_cast<uint32_t>(value));
    const RunResult r = Run(image);
    EXPECT_EQ(r.rows, 0) << at;
    EXPECT_LE(count_lines(r.scan_log, "was not scanned"), 1u) << at;
  }
}

TEST_F(ExfatDamage, LoopingChainsAndDirectoriesEnd) {
  const uint32_t many = FirstCluster(place_.root_cluster, "many");
  ASSERT_NE(many, 0u);
  // The root's chain, and the grown deleted folder's, come back to themselves.
  std::string looping = base_;
  put32(looping, place_.fat_offset + 4ull * place_.root_cluster, place_.root_cluster);
  put32(looping, place_.fat_offset + 4ull * many, many);
  // The grown folder keeps the files of its first cluster only.
  const RunResult r = Run(looping);
  EXPECT_LT(r.rows, kBaseRows);
  EXPECT_GE(r.rows, kBaseRows - 50 + 4096 / 96);
  // Every table entry points at cluster 2, and a folder's set names the root as its cluster.
  std::string runaway = base_;
  for (uint32_t x = 2; x < place_.cluster_count + 2; ++x)
    put32(runaway, place_.fat_offset + 4ull * x, 2);
  Run(runaway);
  std::string self = base_;
  const uint64_t root = place_.cluster_offset(place_.root_cluster);
  for (uint64_t e = root; e < root + place_.cluster_size; e += 32)
    if (static_cast<uint8_t>(self[e]) == 0xC0 || static_cast<uint8_t>(self[e]) == 0x40)
      put32(self, e + 20, place_.root_cluster);
  Run(self);
}

}  // namespace
}  // namespace pyralis::test
