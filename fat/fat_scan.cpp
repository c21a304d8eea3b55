// SPDX-License-Identifier: GPL-3.0-or-later
// fat_scan: a depth-first walk over the directory tree, live and deleted directories alike,
// that lists every deleted file entry in FoundFiles.
#include "fat/fat_scan.h"

#include <algorithm>
#include <array>
#include <unordered_set>

#include "core/engine_window.h"
#include "core/found_files.h"
#include "core/process_state.h"
#include "fat/fat_directory.h"
#include "fat/fat_engine.h"
#include "fat/fat_names.h"
#include "fat/fat_volume.h"
#include "rawdisk/raw_disk_access_component.h"

namespace pyralis {

namespace {

struct Signature {
  const char* extension;
  uint8_t first;
  uint8_t second;
};

// Leading content bytes by extension.
constexpr Signature SignatureTable[] = {
    {".exe", 0x4D, 0x5A}, {".rar", 0x52, 0x61}, {".zip", 0x50, 0x4B}, {".xls", 0xD0, 0xCF},
    {".doc", 0xD0, 0xCF}, {".gif", 0x47, 0x49}, {".jpg", 0xFF, 0xD8},
};

bool same_ignoring_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; };
           return lower(x) == lower(y);
         });
}

std::string_view extension_of(std::string_view name) {
  const size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? std::string_view() : name.substr(dot);
}

using Entry = std::array<uint8_t, 32>;

class Scan {
 public:
  explicit Scan(FatVolume& volume) : volume_(volume) {}

  void Run(const std::string& root_path);
  int64_t found() const { return found_; }
  const std::unordered_set<uint32_t>& visited() const { return visited_; }

 private:
  DirectoryLead scan_directory(uint32_t first_cluster, const std::string& path, int depth);
  DirectoryLead enter(uint32_t first_cluster, const std::string& path, int depth);
  void append_record(const Entry& entry, const std::string& name, const std::string& path);

  FatVolume& volume_;
  std::unordered_set<uint32_t> visited_;
  PastChainClusters past_chain_;
  int64_t found_ = 0;
  int64_t gauge_ = 0;
  int64_t gauge_max_ = 0;
  bool depth_reported_ = false;
};

void Scan::Run(const std::string& root_path) {
  // The gauge's maximum is the sectors-per-FAT field masked to its low five bits.
  gauge_max_ = volume_.layout().fat_sectors & 31;
  Window().SetGaugeMaxValue(gauge_max_);
  Window().SetGaugeProgress(0);
  // Cluster 0 stands for the root; the FAT32 root also has its own first cluster.
  visited_.insert(0);
  if (volume_.layout().kind == FatKind::kFat32) visited_.insert(volume_.layout().root_cluster);
  scan_directory(0, root_path, 0);
}

DirectoryLead Scan::enter(uint32_t first_cluster, const std::string& path, int depth) {
  const DirectoryLead itself{first_cluster, 1, false};
  // A cluster that reads as negative (signed 32-bit) means the root, like 0.
  if (static_cast<int32_t>(first_cluster) <= 0) return itself;
  // A loop, or walked already (as a directory's start or as the continuation of one).
  if (past_chain_.taken.count(first_cluster) != 0 || !visited_.insert(first_cluster).second)
    return itself;
  past_chain_.taken.insert(first_cluster);
  if (depth > kMaxDirectoryDepth) {
    if (!depth_reported_)
      Window().LogLine("Directories deeper than " + std::to_string(kMaxDirectoryDepth) +
                       " levels were not scanned (first at " + path + ").");
    depth_reported_ = true;
    return itself;
  }
  return scan_directory(first_cluster, path, depth);
}

DirectoryLead Scan::scan_directory(uint32_t first_cluster, const std::string& path, int depth) {
  gauge_ = std::min(gauge_ + 1, gauge_max_);
  Window().SetGaugeProgress(gauge_);
  DirectoryStream stream(volume_, first_cluster, &past_chain_);
  const uint64_t cluster_size = volume_.layout().cluster_size;
  Entry entry;
  do {
    Window().ProcessMessages();
    if (!stream.Next(entry)) break;
    const uint8_t attributes = entry[FatDirEntry::kAttributes];
    const std::string name = attributes == FatDirEntry::kLongName ? read_long_name(entry, stream)
                                                                  : read_short_name(entry);
    const uint8_t attr = entry[FatDirEntry::kAttributes];
    // Such names and the unused attribute bits show data that is no directory: leave it.
    if (has_forbidden_name_character(name) || (attr & 0xC0) != 0) break;
    const uint8_t first = entry[FatDirEntry::kName];
    if (first == '.') continue;
    const uint32_t cluster = entry_first_cluster(entry);
    const uint32_t size = entry32(entry, FatDirEntry::kSize);
    if ((attr & FatDirEntry::kDirectory) && !(attr & FatDirEntry::kLabel)) {
      // The subdirectory's content was written before whatever this directory holds next.
      stream.AddLead(enter(cluster, path + "\\" + name, depth + 1));
    } else if (!(attr & (FatDirEntry::kDirectory | FatDirEntry::kLabel))) {
      const bool deleted = first == FatDirEntry::kDeleted;
      if (size != 0) stream.AddLead({cluster, (size + cluster_size - 1) / cluster_size, deleted});
      if (!name.empty() && deleted && size != 0) append_record(entry, name, path);
    }
  } while (ScanActive);
  return stream.Reach();
}

void Scan::append_record(const Entry& entry, const std::string& name, const std::string& path) {
  const uint32_t cluster = entry_first_cluster(entry);
  FoundFileRecord record;
  record.Inode = cluster;
  record.Size = entry32(entry, FatDirEntry::kSize);
  record.RecoveryQuality =
      static_cast<int8_t>(estimate_recovery_quality(volume_, cluster, extension_of(name)));
  record.Created = dos_date_time(entry16(entry, FatDirEntry::kCreateDate),
                                 entry16(entry, FatDirEntry::kCreateTime));
  record.Modified = dos_date_time(entry16(entry, FatDirEntry::kModifyDate),
                                  entry16(entry, FatDirEntry::kModifyTime));
  record.Name = name;
  record.Path = path;
  FoundFiles.append(std::move(record));
  ++found_;
  Window().SetFilesFoundText(std::to_string(found_));
  Window().SetElapsedText(elapsed_text());
}

}  // namespace

int estimate_recovery_quality(FatVolume& volume, uint32_t first_cluster,
                              std::string_view extension) {
  if (!volume.layout().valid_cluster(first_cluster)) return 33;
  int quality = volume.table().get_fat_entry(first_cluster) == 0 ? 66 : 33;
  for (const Signature& row : SignatureTable) {
    if (!same_ignoring_case(row.extension, extension)) continue;
    // Only a row that applies needs the cluster's first bytes.
    TMemoryStream sector;
    volume.Read(volume.layout().cluster_offset(first_cluster), volume.layout().bytes_per_sector,
                sector);
    const uint8_t* bytes = sector.Memory();
    if (bytes[0] == row.first && bytes[1] == row.second) quality = quality == 66 ? 99 : 66;
    break;
  }
  return quality;
}

int fat_scan(TRawDiskAccessComponent& component, std::unordered_set<uint32_t>* reached) {
  const char letter = component.LogicalDrive();
  const std::string root_path = std::string(1, letter) + ":";
  std::string error;
  int64_t found = 0;
  if (auto volume = FatVolume::Open(component, &error)) {
    Scan scan(*volume);
    scan.Run(root_path);
    found = scan.found();
    if (reached) *reached = scan.visited();
  } else {
    Window().LogLine(root_path + " was not scanned: " + error + ".");
    Window().SetStatusFilesText("Files: 0");
    return 0;
  }
  Window().SetStatusFilesText("Files: " + std::to_string(found));
  return 1;
}

}  // namespace pyralis
