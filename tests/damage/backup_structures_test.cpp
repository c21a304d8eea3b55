// SPDX-License-Identifier: GPL-3.0-or-later
// Volumes read by their backup structures: a zeroed or unreadable main boot sector gives way
// to FAT32's copy at sector 6, exFAT's backup boot region at sector 12 and NTFS's copy in the
// last sector, with the same rows and the same recovered bytes as the undamaged volume and
// one line naming the backup. exFAT structures the engine does not use cost a line, not the
// volume.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>

#include "platform/unreadable_areas.h"
#include "tests/damage/damage_support.h"

namespace pyralis::test {
namespace {

namespace fs = std::filesystem;

std::string fat32_volume() {
  TempDir dir;
  const std::string path = dir.file("fat32.img");
  return make_fat_volume(path, 32, dir) ? read_file(path) : std::string();
}

std::string exfat_volume() {
  TempDir dir;
  const std::string path = dir.file("exfat.img");
  write_file(dir.file("script"),
             "mkdir\t/Live\nput\t/a.bin\t20000\t1\nput\t/Live/b.bin\t9000\t2\tfrag\n"
             "put\t/keep.txt\t100\t5\ndelete\t/a.bin\ndelete\t/Live/b.bin\n");
  if (!have_program("mkfs.exfat") ||
      run_command("truncate -s 8M " + path + " && mkfs.exfat -c 4K " + path + " >/dev/null && " +
                  "python3 " + shell_quote(PYRALIS_EXFAT_WRITER) + " " + path + " < " +
                  dir.file("script")) != 0)
    return std::string();
  return read_file(path);
}

std::string ntfs_volume() {
  return make_ntfs_volume().bytes;
}

struct Volume {
  const char* name;
  std::function<std::string()> make;
  // Where the backup lies, in 512-byte sectors, for an image of `size` bytes.
  std::function<uint64_t(uint64_t size)> backup_sector;
};

const Volume kVolumes[] = {
    {"FAT32", fat32_volume, [](uint64_t) { return uint64_t{6}; }},
    {"exFAT", exfat_volume, [](uint64_t) { return uint64_t{12}; }},
    {"NTFS", ntfs_volume, [](uint64_t size) { return size / 512 - 1; }},
};

// Name -> content of every file recovered into dir/out.
std::map<std::string, std::string> recovered(const TempDir& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::directory_iterator(dir.file("out")))
    files[e.path().filename().string()] = read_file(e.path().string());
  return files;
}

class BackupStructures : public ::testing::TestWithParam<Volume> {
 protected:
  void TearDown() override { platform::clear_unreadable_areas(); }
  TempDir dir_;
};

TEST_P(BackupStructures, DamagedMainBootSectorGivesWayToTheBackup) {
  const std::string image = GetParam().make();
  if (image.empty()) GTEST_SKIP() << "the formatting tools are missing";
  const RunResult undamaged = scan_and_recover(dir_, "volume.img", image);
  ASSERT_GT(undamaged.rows, 0);
  const auto expected = recovered(dir_);
  const std::string line = "C: the main boot sector is damaged; the backup at sector " +
                           std::to_string(GetParam().backup_sector(image.size())) + " is used.";
  EXPECT_EQ(count_lines(undamaged.scan_log, "the main boot sector is damaged"), 0u);

  for (const bool zeroed : {true, false}) {
    SCOPED_TRACE(zeroed ? "sector 0 zeroed" : "sector 0 unreadable");
    std::string damaged = image;
    if (zeroed)
      fill_zero(damaged, 0, 512);
    else
      platform::set_unreadable_areas(dir_.file("volume.img"), {{0, 512}});
    const RunResult r = scan_and_recover(dir_, "volume.img", damaged);
    platform::clear_unreadable_areas();
    EXPECT_TRUE(r.scan_finished);
    EXPECT_EQ(r.rows, undamaged.rows);
    EXPECT_EQ(count_lines(r.scan_log, line), 1u) << ::testing::PrintToString(r.scan_log);
    EXPECT_EQ(recovered(dir_), expected);
  }

  // With the backup gone too, the volume is refused as before.
  std::string both = image;
  fill_zero(both, 0, 512);
  fill_zero(both, GetParam().backup_sector(image.size()) * 512, 512);
  EXPECT_EQ(scan_and_recover(dir_, "volume.img", both, false).rows, 0);
}

INSTANTIATE_TEST_SUITE_P(Kinds, BackupStructures, ::testing::ValuesIn(kVolumes),
                         [](const auto& info) { return std::string(info.param.name); });

// Root directory entries of the exFAT volume the engine does not need: an up-case table
// pointer outside the heap, and an allocation bitmap entry flagged as the second table's on
// a volume of one table. The volume is scanned and recovered as before, with one line each.
TEST(ExfatUnusedStructures, DamageThereCostsALineNotTheVolume) {
  const std::string image = exfat_volume();
  if (image.empty()) GTEST_SKIP() << "mkfs.exfat missing";
  TempDir dir;
  const RunResult undamaged = scan_and_recover(dir, "volume.img", image);
  const auto expected = recovered(dir);
  const unsigned sector_shift = static_cast<uint8_t>(image[0x6C]);
  const uint64_t cluster = uint64_t{1} << (sector_shift + static_cast<uint8_t>(image[0x6D]));
  const uint64_t root =
      (uint64_t{get32(image, 0x58)} << sector_shift) + (get32(image, 0x60) - 2) * cluster;
  uint64_t upcase = 0, bitmap = 0;
  for (uint64_t at = root; at < root + cluster; at += 32) {
    if (static_cast<uint8_t>(image[at]) == 0x82 && upcase == 0) upcase = at;
    if (static_cast<uint8_t>(image[at]) == 0x81 && bitmap == 0) bitmap = at;
  }
  ASSERT_NE(upcase, 0u);
  ASSERT_NE(bitmap, 0u);
  struct Case {
    const char* what;
    std::function<void(std::string&)> patch;
    const char* line;
  };
  const Case cases[] = {
      {"up-case pointer", [&](std::string& i) { put32(i, upcase + 20, 0x0FFFFFF0); },
       "an up-case table at cluster 268435440"},
      {"bitmap flags", [&](std::string& i) { put8(i, bitmap + 1, 1); },
       "the allocation bitmap entry is marked as the second table's"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string damaged = image;
    c.patch(damaged);
    const RunResult r = scan_and_recover(dir, "volume.img", damaged);
    EXPECT_EQ(r.rows, undamaged.rows);
    EXPECT_EQ(count_lines(r.scan_log, c.line), 1u) << ::testing::PrintToString(r.scan_log);
    EXPECT_EQ(recovered(dir), expected);
  }
}

}  // namespace
}  // namespace pyralis::test
