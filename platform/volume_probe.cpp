// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/volume_probe.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/byte_loads.h"
#include "platform/code_page_437.h"
#include "platform/ntfs_bitmap.h"

namespace pyralis::platform {
namespace {

bool is_power_of_two(uint64_t v) {
  return v != 0 && (v & (v - 1)) == 0;
}

bool valid_sector_size(uint32_t bps) {
  return bps >= 512 && bps <= 4096 && is_power_of_two(bps);
}

bool has_text(std::span<const uint8_t> s, size_t offset, const char* text) {
  const size_t n = std::strlen(text);
  return span_has(s, offset, n) && std::memcmp(s.data() + offset, text, n) == 0;
}

// An 11-byte directory or BPB label: code page 437 like the short names, trailing blanks cut,
// control bytes shown as "?".
std::string short_label(std::span<const uint8_t> s, size_t offset) {
  std::string bytes;
  for (size_t i = 0; i < 11 && offset + i < s.size(); ++i) {
    uint8_t c = s[offset + i];
    if (i == 0 && c == 0x05) c = 0xE5;  // 0x05 stands for a leading 0xE5 byte
    bytes += static_cast<char>(c);
  }
  while (!bytes.empty() && (bytes.back() == ' ' || bytes.back() == '\0')) bytes.pop_back();
  for (char& c : bytes) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return cp437_to_utf8(bytes);
}

BootSectorInfo parse_ntfs(std::span<const uint8_t> s) {
  BootSectorInfo info;
  info.bytes_per_sector = load_u16(s, 0x0B);
  const uint8_t spc = load_u8(s, 0x0D);
  if (!valid_sector_size(info.bytes_per_sector)) {
    info.reason = "NTFS boot sector with bytes per sector " + std::to_string(info.bytes_per_sector);
    return info;
  }
  // Up to 0x80 the byte is the count; above, it is minus the power of two of the count.
  const uint32_t shift = spc > 0x80 ? 256u - spc : 0;
  info.sectors_per_cluster = spc > 0x80 ? (shift <= 20 ? (1u << shift) : 0) : spc;
  if (!is_power_of_two(info.sectors_per_cluster)) {
    info.reason = "NTFS boot sector with sectors per cluster byte " + std::to_string(spc);
    return info;
  }
  info.total_sectors = load_u64(s, 0x28);
  info.total_clusters = info.total_sectors / info.sectors_per_cluster;
  info.serial = load_u32(s, 0x48);
  info.kind = VolumeKind::kNtfs;
  return info;
}

BootSectorInfo parse_exfat(std::span<const uint8_t> s) {
  BootSectorInfo info;
  const uint8_t bps_shift = load_u8(s, 0x6C), spc_shift = load_u8(s, 0x6D);
  if (bps_shift < 9 || bps_shift > 12 || spc_shift > 25 - bps_shift) {
    info.reason = "exFAT boot sector with bad size shifts";
    return info;
  }
  info.bytes_per_sector = 1u << bps_shift;
  info.sectors_per_cluster = 1u << spc_shift;
  info.total_sectors = load_u64(s, 0x48);
  info.total_clusters = load_u32(s, 0x5C);
  info.serial = load_u32(s, 0x64);
  info.kind = VolumeKind::kExFat;
  return info;
}

BootSectorInfo parse_fat(std::span<const uint8_t> s) {
  BootSectorInfo info;
  info.bytes_per_sector = load_u16(s, 0x0B);
  info.sectors_per_cluster = load_u8(s, 0x0D);
  info.reserved_sectors = load_u16(s, 0x0E);
  info.fat_count = load_u8(s, 0x10);
  info.root_entries = load_u16(s, 0x11);
  const uint8_t media = load_u8(s, 0x15);
  const uint32_t total16 = load_u16(s, 0x13), fat16 = load_u16(s, 0x16);
  info.total_sectors = total16 != 0 ? total16 : load_u32(s, 0x20);
  const uint32_t fat32 = load_u32(s, 0x24);
  info.sectors_per_fat = fat16 != 0 ? fat16 : fat32;
  const uint8_t jump = load_u8(s, 0);
  const bool signature = load_u16(s, 0x1FE) == 0xAA55;
  if (!(jump == 0xEB || jump == 0xE9 || signature)) {
    info.reason = "no boot sector signature";
    return info;
  }
  if (!valid_sector_size(info.bytes_per_sector) || !is_power_of_two(info.sectors_per_cluster) ||
      info.sectors_per_cluster > 128 || info.reserved_sectors == 0 || info.fat_count == 0 ||
      info.fat_count > 4 || info.sectors_per_fat == 0 || info.total_sectors == 0 ||
      (media != 0xF0 && media < 0xF8)) {
    info.reason = "no valid FAT BIOS parameter block (bytes per sector " +
                  std::to_string(info.bytes_per_sector) + ", sectors per cluster " +
                  std::to_string(info.sectors_per_cluster) + ")";
    return info;
  }
  info.root_dir_sectors = static_cast<uint32_t>(
      (uint64_t{info.root_entries} * 32 + info.bytes_per_sector - 1) / info.bytes_per_sector);
  const uint64_t meta = uint64_t{info.reserved_sectors} +
                        uint64_t{info.fat_count} * info.sectors_per_fat + info.root_dir_sectors;
  if (meta >= info.total_sectors) {
    info.reason = "FAT layout larger than the volume (" + std::to_string(meta) + " of " +
                  std::to_string(info.total_sectors) + " sectors)";
    return info;
  }
  info.root_dir_sector = static_cast<uint32_t>(info.reserved_sectors +
                                               uint64_t{info.fat_count} * info.sectors_per_fat);
  info.first_data_sector = static_cast<uint32_t>(meta);
  info.total_clusters = (info.total_sectors - meta) / info.sectors_per_cluster;
  // A 16-bit sectors-per-FAT field of 0 beside a 32-bit one is the FAT32 layout, whatever
  // the cluster count (as Linux reads it: mkfs.fat -F 32 on small media). Otherwise the
  // cluster count decides.
  if (fat16 == 0 && fat32 != 0)
    info.kind = VolumeKind::kFat32;
  else if (info.total_clusters < 4085)
    info.kind = VolumeKind::kFat12;
  else if (info.total_clusters < 65525)
    info.kind = VolumeKind::kFat16;
  else
    info.kind = VolumeKind::kFat32;
  const size_t ebpb = info.kind == VolumeKind::kFat32 ? 0x42 : 0x26;
  const uint8_t ebpb_signature = load_u8(s, ebpb);
  if (ebpb_signature == 0x28 || ebpb_signature == 0x29) info.serial = load_u32(s, ebpb + 1);
  if (ebpb_signature == 0x29) {
    info.bpb_label = short_label(s, ebpb + 5);
    if (info.bpb_label == "NO NAME") info.bpb_label.clear();
  }
  if (info.kind == VolumeKind::kFat32) info.root_cluster = load_u32(s, 0x2C);
  return info;
}

// Reads the first FAT copy in pieces and looks at entries 2 .. total_clusters + 1.
class FatTable {
 public:
  FatTable(const ReadAt& read, const BootSectorInfo& info) : read_(read), info_(info) {
    width_bits_ = info.kind == VolumeKind::kFat12 ? 12 : info.kind == VolumeKind::kFat16 ? 16 : 32;
    table_bytes_ = uint64_t{info.sectors_per_fat} * info.bytes_per_sector;
    table_offset_ = uint64_t{info.reserved_sectors} * info.bytes_per_sector;
    const uint64_t capacity = table_bytes_ * 8 / width_bits_;
    last_cluster_ = std::min<uint64_t>(info.total_clusters + 1, capacity ? capacity - 1 : 0);
  }

  // Counts entries that are 0; false when the table could not be read.
  bool count_free(uint64_t& free) const {
    free = 0;
    if (last_cluster_ < 2) return true;
    const uint64_t needed = std::min(table_bytes_, (last_cluster_ + 1) * width_bits_ / 8 + 2);
    constexpr uint64_t kChunk = 3 * 4 * 65536;  // whole 12-, 16- and 32-bit entries per chunk
    std::vector<uint8_t> chunk;
    for (uint64_t start = 0; start < needed; start += kChunk) {
      chunk.resize(static_cast<size_t>(std::min(kChunk, needed - start)));
      if (!read_(table_offset_ + start, chunk.data(), chunk.size())) return false;
      const uint64_t first = std::max<uint64_t>(2, start * 8 / width_bits_);
      const uint64_t end = std::min(last_cluster_ + 1, (start + chunk.size()) * 8 / width_bits_);
      for (uint64_t n = first; n < end; ++n) {
        if (entry_in(chunk, start, n) == 0) ++free;
      }
    }
    return true;
  }

  // Entry `n` read from the volume; nullopt-like 0xFFFFFFFF when unreadable.
  uint32_t entry(uint64_t n) const {
    if (n > last_cluster_) return 0xFFFFFFFF;
    const uint64_t byte = n * width_bits_ / 8;
    std::vector<uint8_t> bytes(4, 0);
    const size_t count = static_cast<size_t>(std::min<uint64_t>(4, table_bytes_ - byte));
    if (!read_(table_offset_ + byte, bytes.data(), count)) return 0xFFFFFFFF;
    return entry_in(bytes, byte, n);
  }

  bool is_end(uint32_t value) const {
    if (width_bits_ == 12) return value >= 0xFF7;
    if (width_bits_ == 16) return value >= 0xFFF7;
    return value >= 0x0FFFFFF7;
  }

 private:
  // Entry `n` out of `bytes`, which hold the table from byte `base` on.
  uint32_t entry_in(std::span<const uint8_t> bytes, uint64_t base, uint64_t n) const {
    const uint64_t byte = n * width_bits_ / 8 - base;
    if (width_bits_ == 12) {
      const uint16_t pair = load_u16(bytes, static_cast<size_t>(byte));
      return (n & 1) ? pair >> 4 : pair & 0x0FFF;
    }
    if (width_bits_ == 16) return load_u16(bytes, static_cast<size_t>(byte));
    return load_u32(bytes, static_cast<size_t>(byte)) & 0x0FFFFFFF;
  }

  const ReadAt& read_;
  const BootSectorInfo& info_;
  uint32_t width_bits_ = 0;
  uint64_t table_bytes_ = 0, table_offset_ = 0, last_cluster_ = 0;
};

// Looks for the volume-label entry in a run of directory entries. Returns true when the
// directory ended (an entry starting with 0) or the label was found.
bool find_label_entry(std::span<const uint8_t> entries, std::string& label) {
  for (size_t at = 0; at + 32 <= entries.size(); at += 32) {
    const uint8_t first = entries[at];
    if (first == 0x00) return true;
    const uint8_t attributes = entries[at + 0x0B];
    if (first == 0xE5 || (attributes & 0x3F) == 0x0F) continue;  // deleted or long-name part
    if ((attributes & 0x18) == 0x08) {
      label = short_label(entries, at);
      return true;
    }
  }
  return false;
}

std::string root_directory_label(const ReadAt& read, const BootSectorInfo& info,
                                 const FatTable& table) {
  std::string label;
  const uint64_t bps = info.bytes_per_sector;
  if (info.kind != VolumeKind::kFat32) {
    std::vector<uint8_t> root(static_cast<size_t>(uint64_t{info.root_dir_sectors} * bps));
    if (!root.empty() && read(info.root_dir_sector * bps, root.data(), root.size())) {
      find_label_entry(root, label);
    }
    return label;
  }
  const uint64_t cluster_bytes = bps * info.sectors_per_cluster;
  std::vector<uint8_t> cluster(static_cast<size_t>(cluster_bytes));
  uint64_t n = info.root_cluster;
  // A label entry sits near the start; a bounded walk keeps looped chains harmless.
  for (int step = 0; step < 4096 && n >= 2 && n <= info.total_clusters + 1; ++step) {
    const uint64_t sector = info.first_data_sector + (n - 2) * info.sectors_per_cluster;
    if (!read(sector * bps, cluster.data(), cluster.size())) break;
    if (find_label_entry(cluster, label)) break;
    const uint32_t next = table.entry(n);
    if (table.is_end(next) || next == n) break;
    n = next;
  }
  return label;
}

}  // namespace

// exFAT: the label (entry 0x83) and the free clusters the allocation bitmap (entry 0x81)
// counts, from the first cluster of the root directory, where formatting puts both.
static void probe_exfat_root(const ReadAt& read, std::span<const uint8_t> s,
                             const BootSectorInfo& info, VolumeDetails& details) {
  const uint64_t bps = info.bytes_per_sector, cluster = bps * info.sectors_per_cluster;
  const uint64_t heap = load_u32(s, 0x58) * bps, root = load_u32(s, 0x60);
  const uint64_t clusters = info.total_clusters;
  // A cluster is at most 32 MiB; bitmaps above 64 MiB (2^29 clusters) are not counted.
  if (root < 2 || root > clusters + 1 || cluster > (32u << 20) || clusters > (1ull << 29)) return;
  std::vector<uint8_t> entries(static_cast<size_t>(cluster));
  if (!read(heap + (root - 2) * cluster, entries.data(), entries.size())) return;
  for (size_t at = 0; at + 32 <= entries.size() && entries[at] != 0; at += 32) {
    const std::span<const uint8_t> e(entries.data() + at, 32);
    if (e[0] == 0x83) {
      std::u16string units;
      for (size_t i = 0; i < std::min<size_t>(e[1], 11); ++i) units.push_back(load_u16(e, 2 + 2 * i));
      std::string text;  // the label is shown in ASCII, other characters as "?"
      for (const char16_t u : units) text += (u >= 0x20 && u < 0x7F) ? static_cast<char>(u) : '?';
      details.label = text;
    } else if (e[0] == 0x81 && (e[1] & 1) == 0) {
      const uint64_t first = load_u32(e, 20);
      if (first < 2 || first > clusters + 1) continue;
      std::vector<uint8_t> bitmap(static_cast<size_t>((clusters + 7) / 8));
      if (!read(heap + (first - 2) * cluster, bitmap.data(), bitmap.size())) continue;
      uint64_t used = 0;
      for (uint64_t x = 0; x < clusters; ++x) used += (bitmap[x / 8] >> (x % 8)) & 1;
      details.free_clusters = clusters - used;
    }
  }
}

BootSectorInfo parse_boot_sector(std::span<const uint8_t> sector) {
  if (sector.size() < 512) {
    BootSectorInfo info;
    info.reason = "boot sector shorter than 512 bytes";
    return info;
  }
  if (has_text(sector, 3, "NTFS    ")) return parse_ntfs(sector);
  if (has_text(sector, 3, "EXFAT   ")) return parse_exfat(sector);
  return parse_fat(sector);
}

bool exfat_boot_checksum_matches(std::span<const uint8_t> region, uint32_t bytes_per_sector) {
  const uint64_t covered = uint64_t{bytes_per_sector} * 11;
  if (bytes_per_sector < 512 || region.size() < covered + bytes_per_sector) return false;
  uint32_t sum = 0;
  for (uint64_t i = 0; i < covered; ++i) {
    if (i == 106 || i == 107 || i == 112) continue;  // VolumeFlags and PercentInUse
    sum = ((sum & 1) ? 0x80000000u : 0u) + (sum >> 1) + region[static_cast<size_t>(i)];
  }
  for (uint64_t at = covered; at < covered + bytes_per_sector; at += 4) {
    if (load_u32(region, static_cast<size_t>(at)) != sum) return false;
  }
  return true;
}

namespace {

constexpr uint32_t kSectorSizes[] = {512, 1024, 2048, 4096};
// FAT32 puts its backup here when BPB_BkBootSec cannot be read.
constexpr uint64_t kFat32BackupSector = 6;
constexpr uint64_t kExfatBackupRegion = 12;
constexpr uint64_t kExfatRegionSectors = 12;

// Reads the 512 bytes at sector `number` of `bytes_per_sector` and takes them when they
// parse as `kind` with that sector size.
bool try_backup(const ReadAt& read, uint64_t number, uint32_t bytes_per_sector, VolumeKind kind,
                BootSectorChoice& choice) {
  if (number == 0 || number > (UINT64_MAX >> 12)) return false;
  std::vector<uint8_t> sector(512);
  const uint64_t offset = number * bytes_per_sector;
  if (!read(offset, sector.data(), sector.size())) return false;
  BootSectorInfo info = parse_boot_sector(sector);
  if (info.kind != kind || info.bytes_per_sector != bytes_per_sector) return false;
  choice.sector = std::move(sector);
  choice.info = std::move(info);
  choice.offset = offset;
  choice.number = number;
  return true;
}

bool try_fat32_backup(const ReadAt& read, std::span<const uint8_t> main, BootSectorChoice& choice) {
  // The main sector's own pointer when it still gives a sector of the reserved area.
  const uint64_t pointed = main.size() >= 512 ? load_u16(main, 0x32) : 0;
  for (const uint32_t bps : kSectorSizes) {
    if (pointed != 0 && pointed < 64 && pointed != kFat32BackupSector &&
        try_backup(read, pointed, bps, VolumeKind::kFat32, choice))
      return true;
    if (try_backup(read, kFat32BackupSector, bps, VolumeKind::kFat32, choice)) return true;
  }
  return false;
}

bool try_exfat_backup(const ReadAt& read, BootSectorChoice& choice) {
  for (const uint32_t bps : kSectorSizes) {
    BootSectorChoice candidate;
    if (!try_backup(read, kExfatBackupRegion, bps, VolumeKind::kExFat, candidate)) continue;
    std::vector<uint8_t> region(static_cast<size_t>(kExfatRegionSectors * bps));
    if (!read(candidate.offset, region.data(), region.size()) ||
        !exfat_boot_checksum_matches(region, bps))
      continue;
    choice = std::move(candidate);
    return true;
  }
  return false;
}

// NTFS keeps its copy in the last sector of the partition, which is the sector just past
// the volume's own count when formatting left it one sector short of the partition.
bool try_ntfs_backup(const ReadAt& read, std::span<const uint8_t> main, uint64_t volume_length,
                     BootSectorChoice& choice) {
  for (const uint32_t bps : kSectorSizes) {
    std::vector<uint64_t> numbers;
    if (volume_length >= 2ull * bps) numbers.push_back(volume_length / bps - 1);
    if (main.size() >= 512 && has_text(main, 3, "NTFS    "))
      numbers.push_back(load_u64(main, 0x28));
    for (const uint64_t number : numbers) {
      BootSectorChoice candidate;
      if (!try_backup(read, number, bps, VolumeKind::kNtfs, candidate)) continue;
      // The copy names a volume that ends at it or just before it.
      const uint64_t count = candidate.info.total_sectors;
      if (count != number && count + 1 != number) continue;
      choice = std::move(candidate);
      return true;
    }
  }
  return false;
}

}  // namespace

BootSectorChoice choose_boot_sector(const ReadAt& read, uint64_t volume_length, bool backups) {
  BootSectorChoice choice;
  std::vector<uint8_t> main(512);
  const bool main_read = read(0, main.data(), main.size());
  if (main_read) {
    choice.info = parse_boot_sector(main);
    if (choice.info.kind != VolumeKind::kNone) {
      choice.sector = std::move(main);
      return choice;
    }
    choice.main_problem = "holds no FAT, exFAT or NTFS volume (" + choice.info.reason + ")";
  } else {
    choice.main_problem = "cannot read the boot sector";
    main.clear();
  }
  if (!backups) return choice;
  BootSectorChoice backup;
  if (try_fat32_backup(read, main, backup) || try_exfat_backup(read, backup) ||
      try_ntfs_backup(read, main, volume_length, backup)) {
    backup.main_problem = choice.main_problem;
    return backup;
  }
  return choice;
}

std::string file_system_name(VolumeKind kind) {
  switch (kind) {
    case VolumeKind::kFat12:
    case VolumeKind::kFat16:
      return "FAT";
    case VolumeKind::kFat32:
      return "FAT32";
    case VolumeKind::kExFat:
      return "exFAT";
    case VolumeKind::kNtfs:
      return "NTFS";
    case VolumeKind::kNone:
      break;
  }
  return "";
}

VolumeDetails probe_volume(const ReadAt& raw_read, uint64_t volume_length, bool backups) {
  VolumeDetails details;
  const ReadAt read = [&](uint64_t offset, void* buffer, size_t size) {
    if (volume_length != 0 && (offset > volume_length || size > volume_length - offset)) {
      return false;
    }
    return raw_read(offset, buffer, size);
  };
  const BootSectorChoice chosen = choose_boot_sector(read, volume_length, backups);
  const BootSectorInfo& info = chosen.info;
  if (info.kind == VolumeKind::kNone) {
    details.problem = chosen.main_problem;
    return details;
  }
  const std::vector<uint8_t>& sector = chosen.sector;
  details.boot_offset = chosen.offset;
  details.boot_sector = chosen.number;
  details.file_system = file_system_name(info.kind);
  details.serial = info.serial;
  details.bytes_per_sector = info.bytes_per_sector;
  details.sectors_per_cluster = info.sectors_per_cluster;
  details.total_clusters = info.total_clusters;
  if (info.kind == VolumeKind::kFat12 || info.kind == VolumeKind::kFat16 ||
      info.kind == VolumeKind::kFat32) {
    const FatTable table(read, info);
    uint64_t free = 0;
    if (table.count_free(free)) details.free_clusters = free;
    details.label = root_directory_label(read, info, table);
    if (details.label.empty()) details.label = info.bpb_label;
  } else if (info.kind == VolumeKind::kNtfs) {
    details.free_clusters = count_ntfs_free_clusters(read, sector, info).value_or(0);
  } else if (info.kind == VolumeKind::kExFat) {
    probe_exfat_root(read, sector, info, details);
  }
  return details;
}

}  // namespace pyralis::platform
