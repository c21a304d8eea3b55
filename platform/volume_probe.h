// SPDX-License-Identifier: GPL-3.0-or-later
// Recognising a FAT, exFAT or NTFS volume from its boot sector, and deriving what the
// Windows volume and free-space queries report for it: file-system name, serial number,
// label, sector and cluster sizes, total and free clusters.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/source_file.h"

namespace pyralis::platform {

enum class VolumeKind { kNone, kFat12, kFat16, kFat32, kExFat, kNtfs };

// The fields of a boot sector this layer uses.
//   FAT BPB: 0x0B bytes per sector (u16), 0x0D sectors per cluster (u8), 0x0E reserved
//   sectors (u16), 0x10 number of FATs (u8), 0x11 root entries (u16), 0x13 total sectors
//   (u16), 0x16 sectors per FAT (u16), 0x20 total sectors (u32); FAT32: 0x24 sectors per FAT
//   (u32), 0x2C root cluster (u32); extended BPB at 0x26 (FAT12/16) or 0x42 (FAT32):
//   +0 signature 0x28/0x29, +1 volume id (u32), +5 label (11 bytes, only with 0x29).
//   NTFS: 0x03 "NTFS    ", 0x0B bytes per sector, 0x0D sectors per cluster (a value above
//   0x80 is a negative power of two), 0x28 total sectors (u64), 0x48 serial (u64).
//   exFAT: 0x03 "EXFAT   ", 0x48 total sectors (u64), 0x58 cluster heap offset (u32),
//   0x5C cluster count (u32), 0x64 serial (u32), 0x6C bytes-per-sector shift, 0x6D
//   sectors-per-cluster shift.
struct BootSectorInfo {
  VolumeKind kind = VolumeKind::kNone;
  uint32_t bytes_per_sector = 0;
  uint32_t sectors_per_cluster = 0;
  uint64_t total_sectors = 0;
  uint64_t total_clusters = 0;  // clusters of the data area (NTFS: total sectors / spc)
  uint32_t serial = 0;
  std::string bpb_label;  // FAT: the label field of the extended BPB, trailing blanks cut
  // FAT layout, in sectors from the volume's start.
  uint32_t reserved_sectors = 0;
  uint32_t fat_count = 0;
  uint32_t sectors_per_fat = 0;
  uint32_t root_entries = 0;
  uint32_t root_dir_sector = 0;  // FAT12/16 fixed root directory
  uint32_t root_dir_sectors = 0;
  uint32_t first_data_sector = 0;
  uint32_t root_cluster = 0;  // FAT32
  std::string reason;         // why the sector is not recognised
};

// Parses the first sector of a volume (pure; at least 512 bytes are looked at).
BootSectorInfo parse_boot_sector(std::span<const uint8_t> sector);

// The boot sector a volume is read by: sector 0 when it can be read and passes its checks,
// else the first backup that does: FAT32's copy at BPB_BkBootSec (0x32, else sector 6),
// exFAT's backup boot region at sector 12 (only when its checksum sector, 12 + 11, matches),
// NTFS's copy in the volume's last sector (by `volume_length`, or by the sector count a
// damaged main sector still gives).
struct BootSectorChoice {
  std::vector<uint8_t> sector;  // the 512 bytes used; empty when none passed
  BootSectorInfo info;          // kind kNone when none passed (reason: sector 0's)
  uint64_t offset = 0;          // byte offset of the sector used in the volume
  uint64_t number = 0;          // its number in the volume's own sectors; 0: the main one
  std::string main_problem;     // why sector 0 was not used; empty when it was
};
// With `backups` false only sector 0 is looked at (a whole disk that may hold a partition
// table is probed so first).
BootSectorChoice choose_boot_sector(const ReadAt& read, uint64_t volume_length, bool backups);
// True when the exFAT boot region of `region` (12 sectors of `bytes_per_sector`) matches
// its checksum sector.
bool exfat_boot_checksum_matches(std::span<const uint8_t> region, uint32_t bytes_per_sector);
// "FAT" for FAT12 and FAT16, "FAT32", "exFAT", "NTFS"; "" for kNone.
std::string file_system_name(VolumeKind kind);

// What the volume queries report; zeros and empty texts for an unknown volume.
struct VolumeDetails {
  std::string file_system;
  uint32_t serial = 0;
  std::string label;
  uint32_t bytes_per_sector = 0;
  uint32_t sectors_per_cluster = 0;
  uint64_t total_clusters = 0;
  uint64_t free_clusters = 0;
  std::string problem;  // why the volume could not be read or recognised
  // Where the boot sector the volume is read by lies (see choose_boot_sector): byte offset
  // and number in the volume's sectors; both 0 for the main boot sector.
  uint64_t boot_offset = 0;
  uint64_t boot_sector = 0;
};

// Reads the boot sector through `read` (offsets relative to the volume's first byte) and,
// for FAT, the first table (free clusters: entries that are 0) and the root directory (the
// volume-label entry); for NTFS, the cluster bitmap (free clusters). `volume_length`
// bounds every read (0: unknown, not bounded).
// Without `backups`, a damaged sector 0 is not replaced by a backup.
VolumeDetails probe_volume(const ReadAt& read, uint64_t volume_length, bool backups = true);

}  // namespace pyralis::platform
