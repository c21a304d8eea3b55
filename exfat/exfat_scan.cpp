// SPDX-License-Identifier: GPL-3.0-or-later
// exfat_scan: walks every directory of the volume, live ones first and then the deleted ones
// found in them, and lists every deleted file entry set in FoundFiles.
#include <algorithm>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/engine_window.h"
#include "core/found_files.h"
#include "core/process_state.h"
#include "exfat/exfat_engine.h"
#include "exfat/exfat_entries.h"
#include "exfat/exfat_volume.h"
#include "rawdisk/raw_disk_access.h"
#include "rawdisk/raw_disk_access_component.h"

namespace pyralis {

namespace exfat {

namespace {

constexpr int kMaxDirectoryDepth = 128;

struct PendingDirectory {
  uint32_t first_cluster;
  uint64_t length;
  bool no_fat_chain;
  std::string path;
  int depth;
};

class Scan {
 public:
  Scan(Volume& volume, std::unordered_set<uint32_t>* reached)
      : volume_(volume), reached_(reached) {}
  void Run(const std::string& root_path);
  int64_t found() const { return found_; }

 private:
  void WalkDirectory(const PendingDirectory& directory, bool deleted);
  void Push(const EntrySet& set, const std::string& path, int depth, bool deleted);
  void Append(const EntrySet& set, const std::string& name, const std::string& path);

  Volume& volume_;
  std::unordered_set<uint32_t>* reached_;  // every folder cluster read, when wanted
  // Live directories are walked before any deleted one, so that a deleted directory whose
  // first cluster a live one has taken over never hides the live one's entries.
  std::vector<PendingDirectory> live_, deleted_;
  std::unordered_set<uint32_t> visited_;
  std::unordered_set<uint32_t> live_clusters_;  // every cluster a live directory was read from
  std::unordered_set<uint32_t> reused_walked_;  // deleted directories walked despite visited_
  int64_t walked_ = 0;
  int64_t found_ = 0;
  int64_t bad_checksums_ = 0;  // deleted sets listed although their checksum fails
  bool depth_reported_ = false;
};

void Scan::Run(const std::string& root_path) {
  live_.push_back({volume_.layout().root_cluster, 0, false, root_path, 0});
  while (ScanActive && (!live_.empty() || !deleted_.empty())) {
    const bool deleted = live_.empty();
    std::vector<PendingDirectory>& stack = deleted ? deleted_ : live_;
    const PendingDirectory directory = std::move(stack.back());
    stack.pop_back();
    // A loop, or walked already; but a deleted directory whose first cluster a live one
    // has taken over is still read over its other clusters, once.
    if (!visited_.insert(directory.first_cluster).second &&
        (!deleted || live_clusters_.count(directory.first_cluster) == 0 ||
         !reused_walked_.insert(directory.first_cluster).second))
      continue;
    // The gauge counts directories: walked ones against all known so far.
    Window().SetGaugeMaxValue(walked_ + 1 + static_cast<int64_t>(live_.size() + deleted_.size()));
    Window().SetGaugeProgress(walked_);
    WalkDirectory(directory, deleted);
    ++walked_;
  }
  Window().SetGaugeMaxValue(walked_ + static_cast<int64_t>(live_.size() + deleted_.size()));
  Window().SetGaugeProgress(walked_);
  if (bad_checksums_ > 0)
    Window().LogLine(std::to_string(bad_checksums_) +
                     (bad_checksums_ == 1 ? " deleted file is" : " deleted files are") +
                     " listed as \"Bad\": the checksum of its directory entries fails.");
}

void Scan::WalkDirectory(const PendingDirectory& directory, bool deleted) {
  // The clusters live directories hold are theirs: a deleted directory passes over them.
  DirectoryReader reader(volume_, directory.first_cluster, directory.length, directory.no_fat_chain,
                         deleted ? &live_clusters_ : nullptr, deleted ? nullptr : &live_clusters_);
  reader.RecordClusters(reached_);
  while (ScanActive) {
    Window().ProcessMessages();
    const auto bytes = reader.Peek(1 + kMaxSecondaries);
    if (bytes.size() < kEntryBytes || bytes[0] == kEndOfDirectory) break;
    const auto set = parse_entry_set(bytes);
    if (!set) {
      reader.Skip(1);
      continue;
    }
    reader.Skip(1 + static_cast<size_t>(set->secondaries));
    if (set->directory())
      Push(*set, directory.path, directory.depth + 1, deleted || set->deleted);
    else if (set->deleted)
      Append(*set, cut_characters(WideToAnsi(set->name), 255), directory.path);
  }
  if (reader.Damaged()) ScanUnreadable.folders.insert(directory.first_cluster);
}

void Scan::Push(const EntrySet& set, const std::string& path, int depth, bool deleted) {
  const std::string child = path + "\\" + cut_characters(WideToAnsi(set.name), 255);
  if (!volume_.layout().valid_cluster(set.first_cluster) ||
      (!deleted && visited_.count(set.first_cluster)))
    return;
  if (depth > kMaxDirectoryDepth) {
    if (!depth_reported_)
      Window().LogLine("Directories deeper than " + std::to_string(kMaxDirectoryDepth) +
                       " levels were not scanned (first at " + child + ").");
    depth_reported_ = true;
    return;
  }
  // A directory is at least one cluster long, whatever a stale length says.
  const uint64_t length = std::max<uint64_t>(set.data_length, volume_.layout().cluster_size);
  (deleted ? deleted_ : live_).push_back({set.first_cluster, length, set.no_fat_chain, child, depth});
}

void Scan::Append(const EntrySet& set, const std::string& name, const std::string& path) {
  FoundFileRecord record;
  record.Inode = set.first_cluster;
  record.Sector = 0;
  record.Size = static_cast<int64_t>(std::min<uint64_t>(set.data_length, INT64_MAX));
  const uint64_t clusters = volume_.ClustersFor(set.data_length);
  int quality = volume_.EstimateQuality(
      volume_.PlanClusters(set.first_cluster, clusters, set.no_fat_chain), clusters);
  // Entries whose checksum fails may have any field wrong: never better than "Bad".
  if (!set.checksum_ok) {
    quality = std::clamp(quality, 1, 33);
    ++bad_checksums_;
  }
  record.RecoveryQuality = static_cast<int8_t>(quality);
  record.Created = entry_date_time(set.create_timestamp, set.create_10ms, set.create_utc_offset);
  record.Modified = entry_date_time(set.modify_timestamp, set.modify_10ms, set.modify_utc_offset);
  record.Name = name;
  record.Path = path;
  RowFacts facts;
  facts.exfat_facts = true;
  facts.no_fat_chain = set.no_fat_chain;
  facts.valid_data_length = set.valid_data_length;
  FoundFiles.append(std::move(record), std::move(facts));
  ++found_;
  Window().SetFilesFoundText(std::to_string(found_));
  Window().SetElapsedText(elapsed_text());
}

}  // namespace

}  // namespace exfat

int exfat_scan(TRawDiskAccessComponent& component, std::unordered_set<uint32_t>* reached) {
  const std::string root_path = std::string(1, component.LogicalDrive()) + ":";
  std::string error;
  auto volume = exfat::Volume::Open(component, &error);
  if (!volume) {
    Window().LogLine(root_path + " was not scanned: " + error + ".");
    Window().SetStatusFilesText("Files: 0");
    return 0;
  }
  for (const std::string& note : volume->notes()) Window().LogLine(root_path + " " + note + ".");
  exfat::Scan scan(*volume, reached);
  scan.Run(root_path);
  Window().SetStatusFilesText("Files: " + std::to_string(scan.found()));
  return 1;
}

}  // namespace pyralis
