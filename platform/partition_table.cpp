// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/partition_table.h"

#include <algorithm>
#include <set>
#include <span>
#include <vector>

#include "platform/byte_loads.h"

namespace pyralis::platform {
namespace {

constexpr uint64_t kMbrSize = 512;
constexpr int kMaxLogicalPartitions = 128;
constexpr uint32_t kMaxGptEntries = 1024;

bool is_extended(uint8_t type) {
  return type == 0x05 || type == 0x0F || type == 0x85;
}

void add_partition(PartitionTable& table, int number, uint64_t first_sector, uint64_t sectors,
                   uint64_t disk_length, uint64_t sector_size) {
  if (sectors == 0 || first_sector > UINT64_MAX / sector_size || sectors > UINT64_MAX / sector_size)
    return;
  uint64_t offset = first_sector * sector_size, length = sectors * sector_size;
  if (disk_length != 0) {
    if (offset >= disk_length) return;
    length = std::min(length, disk_length - offset);
  }
  table.partitions.push_back({number, offset, length});
}

void walk_extended(const ReadAt& read, uint64_t extended_start, uint64_t disk_length,
                   uint64_t sector_size, PartitionTable& table) {
  std::set<uint64_t> visited;
  uint64_t record = extended_start;
  std::vector<uint8_t> sector(kMbrSize);
  int number = 5;
  for (int step = 0; step < kMaxLogicalPartitions && visited.insert(record).second; ++step) {
    if (!read(record * sector_size, sector.data(), sector.size()) ||
        load_u16(sector, 0x1FE) != 0xAA55)
      return;
    const std::span<const uint8_t> logical(sector.data() + 0x1BE, 16);
    const std::span<const uint8_t> next(sector.data() + 0x1CE, 16);
    if (load_u8(logical, 4) != 0) {
      add_partition(table, number++, record + load_u32(logical, 8), load_u32(logical, 12),
                    disk_length, sector_size);
    }
    if (!is_extended(load_u8(next, 4)) || load_u32(next, 8) == 0) return;
    record = extended_start + load_u32(next, 8);
  }
}

bool read_gpt(const ReadAt& read, uint64_t disk_length, uint64_t sector_size,
              PartitionTable& table) {
  std::vector<uint8_t> header(kMbrSize);
  if (!read(sector_size, header.data(), header.size())) return false;
  if (std::string(header.begin(), header.begin() + 8) != "EFI PART") return false;
  const uint64_t entries_sector = load_u64(header, 0x48);
  const uint32_t count = std::min(load_u32(header, 0x50), kMaxGptEntries);
  const uint32_t entry_size = load_u32(header, 0x54);
  if (entry_size < 128 || entry_size > 4096 || entries_sector > (UINT64_MAX / sector_size))
    return false;
  std::vector<uint8_t> entries(size_t{count} * entry_size);
  if (!read(entries_sector * sector_size, entries.data(), entries.size())) return false;
  table.kind = "GPT";
  for (uint32_t i = 0; i < count; ++i) {
    const std::span<const uint8_t> entry(entries.data() + size_t{i} * entry_size, entry_size);
    if (load_u64(entry, 0) == 0 && load_u64(entry, 8) == 0) continue;
    const uint64_t first = load_u64(entry, 0x20), last = load_u64(entry, 0x28);
    if (last < first || last >= UINT64_MAX / sector_size) continue;
    add_partition(table, static_cast<int>(i) + 1, first, last - first + 1, disk_length,
                  sector_size);
  }
  return true;
}

}  // namespace

PartitionTable read_partition_table(const ReadAt& read, uint64_t disk_length,
                                    uint32_t sector_size) {
  PartitionTable table;
  if (sector_size < kMbrSize) return table;
  std::vector<uint8_t> mbr(kMbrSize);
  if (!read(0, mbr.data(), mbr.size()) || load_u16(mbr, 0x1FE) != 0xAA55) return table;
  bool any = false;
  for (int i = 0; i < 4; ++i) {
    const std::span<const uint8_t> entry(mbr.data() + 0x1BE + 16 * i, 16);
    const uint8_t status = load_u8(entry, 0), type = load_u8(entry, 4);
    if (status != 0x00 && status != 0x80) return PartitionTable{};  // not a partition table
    if (type == 0) continue;
    any = true;
    if (type == 0xEE && read_gpt(read, disk_length, sector_size, table)) return table;
  }
  if (!any) return table;
  table.kind = "MBR";
  for (int i = 0; i < 4; ++i) {
    const std::span<const uint8_t> entry(mbr.data() + 0x1BE + 16 * i, 16);
    const uint8_t type = load_u8(entry, 4);
    if (type == 0) continue;
    if (is_extended(type)) {
      walk_extended(read, load_u32(entry, 8), disk_length, sector_size, table);
    } else {
      add_partition(table, i + 1, load_u32(entry, 8), load_u32(entry, 12), disk_length,
                    sector_size);
    }
  }
  return table;
}

}  // namespace pyralis::platform
