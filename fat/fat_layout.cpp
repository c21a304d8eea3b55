// SPDX-License-Identifier: GPL-3.0-or-later
#include "fat/fat_layout.h"

#include <algorithm>
#include <cctype>

namespace pyralis {

namespace {

uint16_t load16(std::span<const uint8_t, 512> s, size_t at) {
  return static_cast<uint16_t>(s[at] | s[at + 1] << 8);
}

uint32_t load32(std::span<const uint8_t, 512> s, size_t at) {
  return static_cast<uint32_t>(s[at]) | static_cast<uint32_t>(s[at + 1]) << 8 |
         static_cast<uint32_t>(s[at + 2]) << 16 | static_cast<uint32_t>(s[at + 3]) << 24;
}

bool power_of_two(uint32_t v) {
  return v != 0 && (v & (v - 1)) == 0;
}

// A FAT12 volume has fewer than 4085 data clusters; FAT16 fewer than 65525.
constexpr uint32_t kFat12ClusterLimit = 4085;

bool contains_exfat(const std::string& name) {
  std::string lower(name);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower.find("exfat") != std::string::npos;
}

std::optional<FatLayout> fail(std::string* error, const std::string& reason) {
  if (error) *error = reason;
  return std::nullopt;
}

}  // namespace

FatBootFields parse_boot_fields(std::span<const uint8_t, 512> s) {
  FatBootFields f;
  f.bytes_per_sector = load16(s, 0x0B);
  f.sectors_per_cluster = s[0x0D];
  f.reserved_sectors = load16(s, 0x0E);
  f.fat_count = s[0x10];
  f.root_entries = load16(s, 0x11);
  f.total_sectors16 = load16(s, 0x13);
  f.fat_sectors16 = load16(s, 0x16);
  f.total_sectors32 = load32(s, 0x20);
  f.fat_sectors32 = load32(s, 0x24);
  f.ext_flags = load16(s, 0x28);
  f.root_cluster = load32(s, 0x2C);
  return f;
}

bool has_fat32_layout(const FatBootFields& f) {
  return f.fat_sectors16 == 0 && f.fat_sectors32 != 0;
}

uint32_t FatLayout::end_of_chain() const {
  switch (kind) {
    case FatKind::kFat12:
      return 0xFF8;
    case FatKind::kFat16:
      return 0xFFF8;
    case FatKind::kFat32:
      break;
  }
  return 0x0FFFFFF8;
}

uint64_t FatLayout::table_bytes() const {
  const uint64_t entries = uint64_t{cluster_count} + 2;
  switch (kind) {
    case FatKind::kFat12:
      return (entries * 3 + 1) / 2;
    case FatKind::kFat16:
      return entries * 2;
    case FatKind::kFat32:
      break;
  }
  return entries * 4;
}

std::optional<FatLayout> make_fat_layout(std::span<const uint8_t, 512> sector,
                                         const std::string& file_system, uint64_t volume_bytes,
                                         std::string* error) {
  if (contains_exfat(file_system)) return fail(error, "exFAT volumes are not supported");
  if (file_system != "FAT32" && file_system != "FAT")
    return fail(error, "the file system \"" + file_system + "\" is neither FAT nor FAT32");

  const FatBootFields f = parse_boot_fields(sector);
  // A 16-bit sectors-per-FAT field of 0 beside a 32-bit one that is not 0 is the FAT32
  // layout, whatever the cluster count (small volumes formatted as FAT32).
  const bool fat32 = file_system == "FAT32" || has_fat32_layout(f);
  const std::string bad = "the boot sector gives ";
  if (f.bytes_per_sector < 512 || f.bytes_per_sector > 4096 || !power_of_two(f.bytes_per_sector))
    return fail(error, bad + std::to_string(f.bytes_per_sector) +
                           " bytes per sector (a power of two from 512 to 4096 is expected)");
  if (!power_of_two(f.sectors_per_cluster))
    return fail(error, bad + std::to_string(f.sectors_per_cluster) +
                           " sectors per cluster (a power of two is expected)");
  if (f.reserved_sectors == 0) return fail(error, bad + "0 reserved sectors");
  if (f.fat_count == 0) return fail(error, bad + "0 file allocation tables");

  FatLayout l;
  l.bytes_per_sector = f.bytes_per_sector;
  l.sectors_per_cluster = f.sectors_per_cluster;
  l.cluster_size = l.bytes_per_sector * l.sectors_per_cluster;
  l.fat_sectors = fat32 ? f.fat_sectors32 : f.fat_sectors16;
  if (l.fat_sectors == 0) return fail(error, bad + "0 sectors per FAT");
  const uint64_t total_sectors = f.total_sectors16 != 0 ? f.total_sectors16 : f.total_sectors32;
  if (total_sectors == 0) return fail(error, bad + "0 sectors in the volume");

  const uint64_t bps = l.bytes_per_sector;
  const uint64_t root_sectors = fat32 ? 0 : (uint64_t{f.root_entries} * 32 + bps - 1) / bps;
  const uint64_t tables_end = f.reserved_sectors + uint64_t{f.fat_count} * l.fat_sectors;
  l.fat_offset = uint64_t{f.reserved_sectors} * bps;
  l.fat_copies = f.fat_count;
  if (fat32 && (f.ext_flags & 0x80) != 0 && (f.ext_flags & 0x0F) < f.fat_count) {
    l.mirrored = false;
    l.active_fat = f.ext_flags & 0x0F;
  }
  l.root_region_offset = tables_end * bps;
  l.root_region_bytes = fat32 ? 0 : uint32_t{f.root_entries} * 32;
  l.first_data_sector = tables_end + root_sectors;
  if (l.first_data_sector >= total_sectors)
    return fail(error, bad + "a data area starting at sector " +
                           std::to_string(l.first_data_sector) + ", beyond the volume's " +
                           std::to_string(total_sectors) + " sectors");
  if (volume_bytes != 0 && l.first_data_sector * bps > volume_bytes)
    return fail(error,
                bad + "a data area starting at byte " + std::to_string(l.first_data_sector * bps) +
                    ", beyond the end of the volume (" + std::to_string(volume_bytes) + " bytes)");

  const uint64_t clusters = (total_sectors - l.first_data_sector) / l.sectors_per_cluster;
  if (clusters == 0) return fail(error, bad + "a data area smaller than one cluster");
  l.kind = fat32                           ? FatKind::kFat32
           : clusters < kFat12ClusterLimit ? FatKind::kFat12
                                           : FatKind::kFat16;
  // The table describes no cluster beyond its own last entry.
  const uint64_t bits = l.kind == FatKind::kFat12 ? 12 : l.kind == FatKind::kFat16 ? 16 : 32;
  const uint64_t entries = uint64_t{l.fat_sectors} * bps * 8 / bits;
  if (entries < 3) return fail(error, bad + "a file allocation table too small for any cluster");
  l.cluster_count = static_cast<uint32_t>(std::min<uint64_t>({clusters, entries - 2, 0x0FFFFFF5}));

  if (fat32) {
    l.root_cluster = f.root_cluster;
    if (!l.valid_cluster(l.root_cluster))
      return fail(error, bad + "root directory cluster " + std::to_string(f.root_cluster) +
                             ", outside the volume's clusters 2 to " +
                             std::to_string(l.last_cluster()));
  }
  return l;
}

}  // namespace pyralis
