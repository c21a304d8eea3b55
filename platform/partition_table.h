// SPDX-License-Identifier: GPL-3.0-or-later
// MBR (with extended and logical partitions) and GPT partition tables. Their numbers count
// the disk's logical sectors: 512 bytes, or 4,096 on a 4Kn disk (where the GPT header is at
// byte 4,096).
//   MBR: sector 0, four 16-byte entries at 0x1BE: +4 type, +8 first sector (u32), +12 sector
//   count (u32); signature 0x55AA at 0x1FE. Types 0x05, 0x0F, 0x85 are extended partitions:
//   a chain of extended boot records, each with the logical partition in entry 0 (relative
//   to that record) and the next record in entry 1 (relative to the extended partition).
//   Type 0xEE protects a GPT: header at sector 1 ("EFI PART"; 0x48 entries' first sector
//   (u64), 0x50 entry count (u32), 0x54 entry size (u32)); each entry: 0x00 type GUID (all
//   zero: unused), 0x20 first sector (u64), 0x28 last sector (u64, inclusive).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/source_file.h"

namespace pyralis::platform {

struct PartitionEntry {
  int number = 0;       // 1-4 primary, 5 on logical (MBR); GPT entry index + 1
  uint64_t offset = 0;  // bytes from the start of the disk
  uint64_t length = 0;  // bytes
};

struct PartitionTable {
  std::string kind;  // "MBR", "GPT" or "" when sector 0 holds no partition table
  std::vector<PartitionEntry> partitions;
};

// Reads the table of a disk of `disk_length` bytes (0: unknown) whose sector numbers count
// `sector_size` bytes. Entries that lie outside the disk are cut to it or dropped; the
// extended chain and the GPT entry array are bounded.
PartitionTable read_partition_table(const ReadAt& read, uint64_t disk_length,
                                    uint32_t sector_size = 512);

}  // namespace pyralis::platform
