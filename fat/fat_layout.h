// SPDX-License-Identifier: GPL-3.0-or-later
// The FAT volume layout: the boot-sector fields the engine reads, their validation, and what
// follows from them (where the table, the root directory and each cluster lie).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace pyralis {

enum class FatKind { kFat12, kFat16, kFat32 };

// The BIOS parameter block fields of sector 0 that the engine reads (little-endian).
struct FatBootFields {
  uint16_t bytes_per_sector = 0;    // 0x0B
  uint8_t sectors_per_cluster = 0;  // 0x0D
  uint16_t reserved_sectors = 0;    // 0x0E
  uint8_t fat_count = 0;            // 0x10
  uint16_t root_entries = 0;        // 0x11 (FAT12/16)
  uint16_t total_sectors16 = 0;     // 0x13
  uint16_t fat_sectors16 = 0;       // 0x16
  uint32_t total_sectors32 = 0;     // 0x20
  uint32_t fat_sectors32 = 0;       // 0x24 (FAT32)
  uint16_t ext_flags = 0;           // 0x28 (FAT32): bit 7 mirroring off, bits 0-3 active copy
  uint32_t root_cluster = 0;        // 0x2C (FAT32)
};

// Reads the fields from the first 512 bytes of sector 0.
FatBootFields parse_boot_fields(std::span<const uint8_t, 512> sector);
// The FAT32 layout (root directory in clusters, 32-bit table): the 16-bit sectors-per-FAT
// field is 0 and the 32-bit one is not, whatever the cluster count.
bool has_fat32_layout(const FatBootFields& f);

struct FatLayout {
  FatKind kind = FatKind::kFat16;
  uint32_t bytes_per_sector = 0;
  uint32_t sectors_per_cluster = 0;
  uint32_t cluster_size = 0;  // bytes
  uint32_t fat_sectors = 0;   // sectors per FAT of the rule set in force
  uint64_t fat_offset = 0;    // byte offset of the first table copy
  uint32_t fat_copies = 1;    // table copies on the volume
  // The copy the entries are read from, and whether the others hold the same entries (FAT32
  // can switch mirroring off and name one active copy; the others are then stale).
  uint32_t active_fat = 0;
  bool mirrored = true;
  uint64_t first_data_sector = 0;
  uint64_t root_region_offset = 0;  // FAT12/16: the fixed root directory region
  uint32_t root_region_bytes = 0;
  uint32_t root_cluster = 0;   // FAT32: first cluster of the root directory
  uint32_t cluster_count = 0;  // data clusters; valid cluster numbers are 2 .. count + 1

  bool valid_cluster(uint64_t x) const { return x >= 2 && x <= uint64_t{cluster_count} + 1; }
  uint32_t last_cluster() const { return cluster_count + 1; }
  // Byte offset of cluster x (x >= 2) on the volume.
  uint64_t cluster_offset(uint32_t x) const {
    return ((uint64_t{x} - 2) * sectors_per_cluster + first_data_sector) * bytes_per_sector;
  }
  // Byte offset of table copy n (0 is the first).
  uint64_t fat_copy_offset(uint32_t n) const {
    return fat_offset + uint64_t{n} * fat_sectors * bytes_per_sector;
  }
  // Smallest table value that ends a chain (0xFF8, 0xFFF8 or 0x0FFFFFF8).
  uint32_t end_of_chain() const;
  // Bytes of table that describe clusters 0 .. last_cluster().
  uint64_t table_bytes() const;
};

// Checks sector 0 and derives the layout. `file_system` is the volume's file-system name
// ("FAT" for FAT12/16, "FAT32"; a boot sector with the FAT32 layout is read as FAT32 under
// either name); `volume_bytes` is the volume's length (0 when unknown).
// On failure returns none and puts one sentence naming the bad value into *error.
std::optional<FatLayout> make_fat_layout(std::span<const uint8_t, 512> sector,
                                         const std::string& file_system, uint64_t volume_bytes,
                                         std::string* error);

}  // namespace pyralis
