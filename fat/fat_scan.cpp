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
#include "fat/fat_first_cluster.h"
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

// A listed file whose first cluster is one of several candidates; chosen once its whole
// folder has been read, so that all its neighbours are known.
struct PendingChoice {
  int32_t row = 0;
  uint64_t size = 0;
  std::string extension;  // without the dot
};

class Scan {
 public:
  explicit Scan(FatVolume& volume) : volume_(volume) {}

  void Run(const std::string& root_path);
  int64_t found() const { return found_; }
  const std::unordered_set<uint32_t>& visited() const { return visited_; }

 private:
  DirectoryLead scan_directory(uint32_t first_cluster, const std::string& path, int depth);
  DirectoryLead enter(uint32_t first_cluster, const std::string& path, int depth);
  // Appends the record; false when its first cluster is still to be chosen.
  bool append_record(const Entry& entry, const std::string& name, const std::string& path,
                     const std::vector<uint32_t>& candidates);
  void choose_first_clusters(const std::vector<PendingChoice>& pending, std::vector<uint32_t> near);

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
  // First clusters known outright (live entries, whole cluster numbers): Windows allocates
  // a new file near its folder and the files written with it.
  std::vector<uint32_t> near;
  std::vector<PendingChoice> pending;
  Entry entry;
  do {
    Window().ProcessMessages();
    if (!stream.Next(entry)) break;
    const uint8_t attributes = entry[FatDirEntry::kAttributes];
    std::string name;
    if (attributes != FatDirEntry::kLongName) {
      name = read_short_name(entry);
    } else {
      // A long name that no file system would have written (a forbidden character, an
      // unpaired surrogate: one flipped bit does it) is passed over for the short name of
      // the entry it belongs to; it never ends the folder.
      bool usable = true;
      const std::string long_name = read_long_name(entry, stream, &usable);
      name =
          usable && !has_forbidden_name_character(long_name) ? long_name : read_short_name(entry);
    }
    const uint8_t attr = entry[FatDirEntry::kAttributes];
    // Such short names and the unused attribute bits show data that is no directory: leave
    // it.
    if (has_forbidden_name_character(name) || (attr & 0xC0) != 0) break;
    const uint8_t first = entry[FatDirEntry::kName];
    if (first == '.') continue;
    const bool deleted = first == FatDirEntry::kDeleted;
    uint32_t cluster = entry_first_cluster(entry);
    const uint32_t size = entry32(entry, FatDirEntry::kSize);
    // A deleted entry may have lost its first cluster's high word.
    const std::vector<uint32_t> candidates =
        deleted ? first_cluster_candidates(volume_.layout(), cluster) : std::vector<uint32_t>{};
    if (candidates.empty() && volume_.layout().valid_cluster(cluster)) near.push_back(cluster);
    if ((attr & FatDirEntry::kDirectory) && !(attr & FatDirEntry::kLabel)) {
      if (!candidates.empty()) {
        std::vector<uint32_t> around = stream.Clusters();
        around.insert(around.end(), near.begin(), near.end());
        if (const uint32_t chosen = choose_directory_cluster(volume_, candidates, around))
          cluster = chosen;
      }
      // The subdirectory's content was written before whatever this directory holds next.
      stream.AddLead(enter(cluster, path + "\\" + name, depth + 1));
    } else if (!(attr & (FatDirEntry::kDirectory | FatDirEntry::kLabel))) {
      if (size != 0 && candidates.empty())
        stream.AddLead({cluster, (size + cluster_size - 1) / cluster_size, deleted});
      if (!name.empty() && deleted && size != 0 && !append_record(entry, name, path, candidates)) {
        const std::string_view extension = extension_of(name);
        pending.push_back({FoundFiles.Count() - 1, size,
                           std::string(extension.empty() ? extension : extension.substr(1))});
      }
    }
  } while (ScanActive);
  if (!pending.empty()) {
    std::vector<uint32_t> around = stream.Clusters();
    around.insert(around.end(), near.begin(), near.end());
    choose_first_clusters(pending, around);
  }
  if (stream.Damaged()) ScanUnreadable.folders.insert(first_cluster);
  return stream.Reach();
}

bool Scan::append_record(const Entry& entry, const std::string& name, const std::string& path,
                         const std::vector<uint32_t>& candidates) {
  const uint32_t cluster = entry_first_cluster(entry);
  FoundFileRecord record;
  record.Inode = cluster;
  record.Size = entry32(entry, FatDirEntry::kSize);
  // With candidates, the estimate follows the choice (choose_first_clusters).
  record.RecoveryQuality = static_cast<int8_t>(
      candidates.empty() ? estimate_recovery_quality(volume_, cluster, extension_of(name)) : 33);
  record.Created = dos_date_time(entry16(entry, FatDirEntry::kCreateDate),
                                 entry16(entry, FatDirEntry::kCreateTime));
  record.Modified = dos_date_time(entry16(entry, FatDirEntry::kModifyDate),
                                  entry16(entry, FatDirEntry::kModifyTime));
  record.Name = name;
  record.Path = path;
  RowFacts facts;
  facts.candidates = candidates;
  FoundFiles.append(std::move(record), std::move(facts));
  ++found_;
  Window().SetFilesFoundText(std::to_string(found_));
  Window().SetElapsedText(elapsed_text());
  return candidates.empty();
}

void Scan::choose_first_clusters(const std::vector<PendingChoice>& pending,
                                 std::vector<uint32_t> near) {
  const uint64_t cluster_size = volume_.layout().cluster_size;
  // Files written one after another lie one after another: a deleted entry's file most likely
  // starts where the one before it ends.
  uint32_t previous_end = 0;
  for (const PendingChoice& p : pending) {
    FoundFileRecord& record = FoundFiles[p.row];
    const std::vector<uint32_t>& candidates = FoundFiles.Facts(p.row).candidates;
    if (previous_end != 0) near.push_back(previous_end);
    const FirstClusterChoice choice =
        choose_file_cluster(volume_, candidates, p.size, p.extension, near);
    if (previous_end != 0) near.pop_back();
    previous_end = static_cast<uint32_t>(
        std::min<uint64_t>(choice.cluster + (p.size + cluster_size - 1) / cluster_size,
                           volume_.layout().last_cluster()));
    record.Inode = choice.cluster;
    std::string dotted(1, '.');
    dotted += p.extension;
    int quality = estimate_recovery_quality(volume_, choice.cluster, dotted);
    // The type has a signature and no candidate starts with it: the start is overwritten.
    if (choice.type_has_signature && !choice.type_seen) quality = std::min(quality, 33);
    record.RecoveryQuality = static_cast<int8_t>(quality);
  }
}

}  // namespace

int estimate_recovery_quality(FatVolume& volume, uint32_t first_cluster,
                              std::string_view extension) {
  if (!volume.layout().valid_cluster(first_cluster)) return 33;
  int quality =
      volume.table().get_fat_entry(first_cluster) == 0 && volume.table().entry_known(first_cluster)
          ? 66
          : 33;
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
