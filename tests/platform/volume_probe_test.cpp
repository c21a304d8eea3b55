// SPDX-License-Identifier: GPL-3.0-or-later
// Boot-sector recognition and the values the volume queries report, on volumes made by
// mkfs.fat, on a Windows-made NTFS sample, and on damaged boot sectors.
#include "platform/volume_probe.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <vector>

#include "platform/byte_loads.h"
#include "platform/partition_table.h"
#include "platform/source_file.h"
#include "tests/platform/test_images.h"

namespace pyralis::platform {
namespace {

using test::TempDir;

VolumeDetails probe_file(const std::string& path, uint64_t offset = 0) {
  const SourceFile file(path, false);
  return probe_volume([&](uint64_t at, void* buffer,
                          size_t size) { return file.read_at(offset + at, buffer, size); },
                      file.length() - offset);
}

void patch(const std::string& path, uint64_t offset, const std::string& bytes) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(static_cast<std::streamoff>(offset));
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

TEST(VolumeProbe, FatTypesNamesSerialsAndLabelsAsWindowsReportsThem) {
  TempDir dir;
  struct Case {
    int bits;
    uint64_t sectors;
    const char* options;
    const char* name;
    uint32_t serial;
    const char* label;
  };
  const Case cases[] = {
      {12, 4096, "-n SMALL -i 0A0B0C0D", "FAT", 0x0A0B0C0D, "SMALL"},
      {16, 40960, "-i 89ABCDEF", "FAT", 0x89ABCDEF, ""},  // no label given: "NO NAME"
      {32, 140000, "-s 1 -n BIG -i 12345678", "FAT32", 0x12345678, "BIG"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bits);
    const std::string image =
        test::make_fat_image(dir, "v" + std::to_string(c.bits), c.bits, c.sectors, c.options);
    if (image.empty()) GTEST_SKIP() << "mkfs.fat not available";
    const VolumeDetails d = probe_file(image);
    EXPECT_EQ(d.file_system, c.name);
    EXPECT_EQ(d.serial, c.serial);
    EXPECT_EQ(d.label, c.label);
    EXPECT_EQ(d.bytes_per_sector, 512u);
    // A fresh volume: every data cluster is free, except FAT32's root directory cluster.
    std::string fsck;
    test::run_command("fsck.fat -n " + test::shell_quote(image), &fsck);
    const auto slash = fsck.rfind('/');
    const auto end = fsck.find(" clusters", slash);
    ASSERT_NE(slash, std::string::npos) << fsck;
    EXPECT_EQ(d.total_clusters, std::stoull(fsck.substr(slash + 1, end - slash - 1))) << fsck;
    EXPECT_EQ(d.free_clusters, d.total_clusters - (c.bits == 32 ? 1 : 0));
  }
}

TEST(VolumeProbe, FreeClustersCountTableEntriesThatAreZero) {
  TempDir dir;
  const std::string image = test::make_fat_image(dir, "f12", 12, 4096, "-s 1");
  if (image.empty() || !test::have_program("mcopy")) GTEST_SKIP() << "dosfstools/mtools missing";
  const uint64_t before = probe_file(image).free_clusters;
  // 3000 bytes take 6 clusters of 512 bytes; the odd count exercises 12-bit entry packing.
  ASSERT_TRUE(test::write_file(dir.file("data.bin"), std::string(3000, 'x')));
  ASSERT_EQ(test::run_command("mcopy -i " + test::shell_quote(image) + " " +
                              test::shell_quote(dir.file("data.bin")) + " ::data.bin"),
            0);
  EXPECT_EQ(probe_file(image).free_clusters, before - 6);
}

TEST(VolumeProbe, RootDirectoryLabelWinsOverTheBootSectorLabel) {
  TempDir dir;
  const std::string image = test::make_fat_image(dir, "l16", 16, 40960, "-n BPBLABEL");
  if (image.empty()) GTEST_SKIP() << "mkfs.fat not available";
  std::vector<uint8_t> boot(512);
  const SourceFile file(image, false);
  ASSERT_TRUE(file.read_at(0, boot.data(), boot.size()));
  const BootSectorInfo info = parse_boot_sector(boot);
  ASSERT_EQ(info.kind, VolumeKind::kFat16);
  EXPECT_EQ(info.bpb_label, "BPBLABEL");
  // The label entry is the root directory's first entry.
  patch(image, uint64_t{info.root_dir_sector} * 512, "ROOT LABEL ");
  EXPECT_EQ(probe_file(image).label, "ROOT LABEL");
  // Without a label entry (directory ends at once) the boot sector's label shows.
  patch(image, uint64_t{info.root_dir_sector} * 512, std::string(1, '\0'));
  EXPECT_EQ(probe_file(image).label, "BPBLABEL");
}

TEST(VolumeProbe, SmallFat32AndCodePage437Labels) {
  TempDir dir;
  // mkfs.fat -F 32 on 64 MiB with 2 KiB clusters: 32,000 clusters, fewer than FAT16's
  // limit, yet the FAT32 layout (16-bit sectors-per-FAT field 0), as Linux reads it.
  const std::string image =
      test::make_fat_image(dir, "small32", 32, 131072, "-s 4 -n MUNCHEN -i 0BADCAFE");
  if (image.empty()) GTEST_SKIP() << "mkfs.fat not available";
  // "MÜNCHEN" in code page 437 (Ü is 0x9A): the boot sector's label and the root's entry.
  const std::string bytes = test::read_file(image);
  for (size_t at = bytes.find("MUNCHEN"); at != std::string::npos && at < 4 << 20;
       at = bytes.find("MUNCHEN", at + 1))
    patch(image, at + 1, "\x9A");
  const VolumeDetails d = probe_file(image);
  EXPECT_EQ(d.file_system, "FAT32");
  EXPECT_LT(d.total_clusters, 65525u);
  EXPECT_EQ(d.serial, 0x0BADCAFEu);
  EXPECT_EQ(d.label, "MÜNCHEN");
  std::vector<uint8_t> boot(512);
  const SourceFile file(image, false);
  ASSERT_TRUE(file.read_at(0, boot.data(), boot.size()));
  EXPECT_EQ(parse_boot_sector(boot).bpb_label, "MÜNCHEN");
}

TEST(VolumeProbe, NtfsSampleInsideItsPartition) {
  TempDir dir;
  const std::string disk =
      test::gunzip_fixture_head("cc0-ntfs-samples/ntfs-lastaccess.raw.gz", dir, 1 << 20);
  const VolumeDetails d = probe_file(disk, 128 * 512);
  const std::string boot = test::file_bytes(disk, 128 * 512, 512);
  const auto bytes = std::span(reinterpret_cast<const uint8_t*>(boot.data()), boot.size());
  EXPECT_EQ(d.file_system, "NTFS");
  EXPECT_EQ(d.serial, load_u32(bytes, 0x48));
  EXPECT_EQ(d.bytes_per_sector, 512u);
  EXPECT_EQ(d.total_clusters, load_u64(bytes, 0x28) / d.sectors_per_cluster);
  EXPECT_EQ(d.free_clusters, 0u);  // only the first MiB is here: the bitmap lies beyond
  // The whole disk starts with its partition table, not with a volume.
  EXPECT_EQ(probe_file(disk).file_system, "");
}

TEST(VolumeProbe, NtfsFreeClustersAgreeWithTheBitmapAnIndependentReaderGives) {
  TempDir dir;
  const std::string volume = test::gunzip_fixture("gpl3-samples/ntfs3.raw.gz", dir);
  if (!test::have_program("icat")) GTEST_SKIP() << "icat (sleuthkit) missing";
  const VolumeDetails d = probe_file(volume);
  ASSERT_EQ(d.file_system, "NTFS");
  std::string bitmap;
  ASSERT_EQ(test::run_command("icat " + test::shell_quote(volume) + " 6 > " +
                              test::shell_quote(dir.file("bitmap"))),
            0);
  bitmap = test::read_file(dir.file("bitmap"));
  ASSERT_GE(bitmap.size() * 8, d.total_clusters);
  uint64_t free = 0;
  for (uint64_t n = 0; n < d.total_clusters; ++n) {
    free += ((static_cast<uint8_t>(bitmap[n / 8]) >> (n % 8)) & 1) == 0 ? 1 : 0;
  }
  EXPECT_EQ(d.free_clusters, free);
  EXPECT_GT(free, 0u);
  EXPECT_LT(free, d.total_clusters);

  // A torn $Bitmap record (update sequence number not at the end of its first stride):
  // still NTFS, free clusters unknown.
  const std::string boot = test::file_bytes(volume, 0, 512);
  const auto b = std::span(reinterpret_cast<const uint8_t*>(boot.data()), boot.size());
  const uint64_t cluster = 512ull * d.sectors_per_cluster;
  const uint64_t record = load_u64(b, 0x30) * cluster + 6 * 1024;  // 1 KiB records
  ASSERT_EQ(static_cast<int8_t>(load_u8(b, 0x40)), -10);
  patch(volume, record + 510, "\xAB\xCD");
  const VolumeDetails torn = probe_file(volume);
  EXPECT_EQ(torn.file_system, "NTFS");
  EXPECT_EQ(torn.free_clusters, 0u);
}

TEST(VolumeProbe, NtfsLargeClusterByteIsANegativePowerOfTwo) {
  std::vector<uint8_t> s(512, 0);
  std::memcpy(s.data() + 3, "NTFS    ", 8);
  store_le(s, 0x0B, 512, 2);
  store_le(s, 0x0D, 0xF4, 1);  // 2^12 sectors: 2 MiB clusters
  store_le(s, 0x28, 4096 * 10 + 7, 8);
  const BootSectorInfo info = parse_boot_sector(s);
  EXPECT_EQ(info.kind, VolumeKind::kNtfs);
  EXPECT_EQ(info.sectors_per_cluster, 4096u);
  EXPECT_EQ(info.total_clusters, 10u);
  store_le(s, 0x0D, 3, 1);  // not a power of two
  EXPECT_EQ(parse_boot_sector(s).kind, VolumeKind::kNone);
}

TEST(VolumeProbe, DamagedBootSectorsAreRefusedWithAReason) {
  TempDir dir;
  const std::string image = test::make_fat_image(dir, "d16", 16, 40960);
  if (image.empty()) GTEST_SKIP() << "mkfs.fat not available";
  const std::string good = test::file_bytes(image, 0, 512);
  auto parse = [](std::string bytes) {
    return parse_boot_sector(
        std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
  };
  ASSERT_EQ(parse(good).kind, VolumeKind::kFat16);
  struct Damage {
    size_t offset;
    std::string bytes;
  };
  const Damage damages[] = {
      {0x0B, std::string("\0\0", 2)},      // bytes per sector 0
      {0x0B, std::string("\x00\x03", 2)},  // 768: not a power of two
      {0x0D, std::string("\x03", 1)},      // sectors per cluster 3
      {0x0E, std::string("\0\0", 2)},      // no reserved sectors
      {0x10, std::string("\0", 1)},        // no FAT
      {0x16, std::string("\xFF\xFF", 2)},  // tables larger than the volume
      {0x13, std::string("\x10\x00", 2)},  // 16 sectors in all
  };
  for (const Damage& d : damages) {
    std::string bad = good;
    bad.replace(d.offset, d.bytes.size(), d.bytes);
    const BootSectorInfo info = parse(bad);
    EXPECT_EQ(info.kind, VolumeKind::kNone) << "offset " << d.offset;
    EXPECT_FALSE(info.reason.empty());
  }
  EXPECT_EQ(parse(std::string(512, '\0')).kind, VolumeKind::kNone);
  EXPECT_EQ(parse(good.substr(0, 100)).kind, VolumeKind::kNone);
}

TEST(VolumeProbe, LoopedFat32RootChainEnds) {
  TempDir dir;
  const std::string image = test::make_fat_image(dir, "loop32", 32, 140000, "-s 1");
  if (image.empty()) GTEST_SKIP() << "mkfs.fat not available";
  std::vector<uint8_t> boot(512);
  ASSERT_TRUE(SourceFile(image, false).read_at(0, boot.data(), boot.size()));
  const BootSectorInfo info = parse_boot_sector(boot);
  // Root directory (cluster 2): fill with live entries, chain it to itself.
  std::string entry = "FILE    TXT";
  entry += std::string(21, '\0');
  std::string cluster;
  while (cluster.size() < 512) cluster += entry;
  patch(image, uint64_t{info.first_data_sector} * 512, cluster);
  patch(image, uint64_t{info.reserved_sectors} * 512 + 2 * 4, std::string("\x02\0\0\0", 4));
  const VolumeDetails d = probe_file(image);
  EXPECT_EQ(d.file_system, "FAT32");
  EXPECT_EQ(d.label, "");
}

}  // namespace
}  // namespace pyralis::platform

namespace pyralis::platform {
namespace {

// Boot sectors and partition tables with random fields over an in-memory disk: every probe
// ends, and reads stay inside the disk.
TEST(VolumeProbe, RandomFieldsEndInOrder) {
  test::TempDir dir;
  const std::string image = test::make_fat_image(dir, "r32", 32, 140000, "-s 1");
  if (image.empty()) GTEST_SKIP() << "mkfs.fat not available";
  const std::string original = test::file_bytes(image, 0, 256 << 10);
  uint32_t seed = 12345;
  auto next = [&] {
    seed = seed * 1103515245u + 12345u;
    return seed >> 8;
  };
  for (int round = 0; round < 300; ++round) {
    std::string disk = original;
    // Scramble a few bytes of the boot record, the start of the table and the partition area.
    for (int i = 0; i < 6; ++i) disk[next() % 0x60] = static_cast<char>(next());
    for (int i = 0; i < 4; ++i) disk[0x1BE + next() % 64] = static_cast<char>(next());
    const ReadAt read = [&](uint64_t at, void* buffer, size_t size) {
      if (at > disk.size() || size > disk.size() - at) return false;
      std::memcpy(buffer, disk.data() + at, size);
      return true;
    };
    const VolumeDetails d = probe_volume(read, 0);
    EXPECT_TRUE(d.file_system.empty() || d.bytes_per_sector != 0);
    read_partition_table(read, disk.size());
  }
}

}  // namespace
}  // namespace pyralis::platform
