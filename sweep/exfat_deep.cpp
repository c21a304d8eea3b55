// SPDX-License-Identifier: GPL-3.0-or-later
#include "sweep/exfat_deep.h"

#include <algorithm>
#include <map>
#include <optional>
#include <unordered_map>

#include "core/engine_window.h"
#include "core/found_files.h"
#include "core/process_state.h"
#include "fat/fat_scan.h"
#include "rawdisk/raw_disk_access.h"
#include "rawdisk/raw_disk_access_component.h"
#include "sweep/fat_deep.h"
#include "sweep/listed_rows.h"

namespace pyralis {

using exfat::kEntryBytes;
using exfat::kMaxSetBytes;

namespace {

// The type byte of a file entry, in use or not.
bool file_entry_type(uint8_t type) {
  return (type | exfat::kInUse) == exfat::kFileEntry;
}

bool overlaps_unreadable(std::span<const RequestRange> unreadable, int64_t at, int64_t length) {
  for (const RequestRange& r : unreadable)
    if (at < r.offset + r.length && at + length > r.offset) return true;
  return false;
}

// The files and folders of the sets found, with the folders' paths worked out on demand.
class LostSets {
 public:
  LostSets(exfat::Volume& volume, const std::vector<ExfatFoundSet>& sets,
           const std::string& root_path);
  int64_t Append();

 private:
  uint32_t ClusterOf(uint64_t offset) const {
    const exfat::Layout& l = volume_.layout();
    return static_cast<uint32_t>(2 + (offset - l.heap_offset) / l.cluster_size);
  }
  // The first cluster of the folder that holds cluster `x`.
  uint32_t FolderOf(uint32_t x);
  const std::string& PathOf(uint32_t folder, int depth);

  exfat::Volume& volume_;
  const std::vector<ExfatFoundSet>& sets_;
  std::string root_path_;
  // Folder first cluster -> the directory set that names it (a live one over a deleted one).
  std::unordered_map<uint32_t, size_t> directory_;
  // The clusters each directory set says its folder has, as (first, end) runs: exact for a
  // contiguous folder; for a chained one (its table is gone after a format) the run its length
  // would take if it was written in one piece.
  std::map<uint32_t, uint32_t> extents_;
  std::unordered_set<uint32_t> holding_;              // clusters that hold a found set
  std::unordered_map<uint32_t, uint32_t> folder_of_;  // FolderOf's answers so far
  std::unordered_map<uint32_t, std::string> paths_;
};

LostSets::LostSets(exfat::Volume& volume, const std::vector<ExfatFoundSet>& sets,
                   const std::string& root_path)
    : volume_(volume), sets_(sets), root_path_(root_path) {
  const exfat::Layout& l = volume.layout();
  for (size_t i = 0; i < sets.size(); ++i) {
    holding_.insert(ClusterOf(sets[i].offset));
    const exfat::EntrySet& s = sets[i].set;
    if (!s.directory() || !l.valid_cluster(s.first_cluster)) continue;
    auto [it, added] = directory_.try_emplace(s.first_cluster, i);
    if (!added && sets_[it->second].set.deleted && !s.deleted) it->second = i;
    const uint64_t length =
        std::clamp<uint64_t>(s.data_length, l.cluster_size, exfat::kMaxDirectoryBytes);
    const uint64_t end = std::min<uint64_t>(s.first_cluster + volume.ClustersFor(length),
                                            uint64_t{l.last_cluster()} + 1);
    uint32_t& known = extents_[s.first_cluster];
    known = std::max(known, static_cast<uint32_t>(end));
  }
}

uint32_t LostSets::FolderOf(uint32_t x) {
  if (auto known = folder_of_.find(x); known != folder_of_.end()) return known->second;
  const auto claimed = [&](uint32_t c) -> std::optional<uint32_t> {
    if (directory_.count(c)) return c;
    // A run of a directory set that covers c.
    auto after = extents_.upper_bound(c);
    if (after != extents_.begin() && c < std::prev(after)->second) return std::prev(after)->first;
    return std::nullopt;
  };
  std::optional<uint32_t> folder = claimed(x);
  // Else the folder's first cluster is the start of the clusters holding sets right before x
  // that no directory set claims (a folder whose parent entry is gone). Sets come in volume
  // order, so the cluster before is mostly known already.
  const uint64_t max_back = exfat::kMaxDirectoryBytes / volume_.layout().cluster_size;
  uint32_t first = x;
  for (uint64_t back = 0; !folder && back < max_back; ++back) {
    const uint32_t before = first - 1;
    if (!volume_.layout().valid_cluster(before) || !holding_.count(before) || claimed(before))
      break;
    if (auto known = folder_of_.find(before); known != folder_of_.end()) folder = known->second;
    first = before;
  }
  return folder_of_[x] = folder.value_or(first);
}

// A folder's path: below the folder of the directory set that names it, else right below
// "Lost folders" as "Lost folder N".
const std::string& LostSets::PathOf(uint32_t folder, int depth) {
  if (auto known = paths_.find(folder); known != paths_.end()) return known->second;
  std::string path =
      root_path_ + "\\" + kLostFoldersName + "\\Lost folder " + std::to_string(folder);
  const auto named = directory_.find(folder);
  if (named != directory_.end() && depth < kMaxDirectoryDepth) {
    const ExfatFoundSet& entry = sets_[named->second];
    const uint32_t parent = FolderOf(ClusterOf(entry.offset));
    if (parent != folder) {
      // Held before the recursion: ends a loop of folders naming each other.
      paths_[folder] = path;
      path = PathOf(parent, depth + 1) + "\\" + cut_characters(WideToAnsi(entry.set.name), 255);
    }
  }
  return paths_[folder] = path;
}

int64_t LostSets::Append() {
  // Rows the tree walk listed already (by first cluster, size and name) are left out.
  ListedRows listed;
  int64_t added = 0;
  for (const ExfatFoundSet& found : sets_) {
    const exfat::EntrySet& s = found.set;
    if (s.directory()) continue;
    Window().ProcessMessages();
    FoundFileRecord r;
    r.Inode = s.first_cluster;
    r.Size = static_cast<int64_t>(std::min<uint64_t>(s.data_length, INT64_MAX));
    r.Name = cut_characters(WideToAnsi(s.name), 255);
    if (!listed.Add(r.Inode, r.Size, r.Name)) continue;
    r.Path = PathOf(FolderOf(ClusterOf(found.offset)), 0);
    const uint64_t clusters = volume_.ClustersFor(s.data_length);
    r.RecoveryQuality = static_cast<int8_t>(volume_.EstimateQuality(
        volume_.PlanClusters(s.first_cluster, clusters, s.no_fat_chain), clusters));
    r.Created = exfat::entry_date_time(s.create_timestamp, s.create_10ms, s.create_utc_offset);
    r.Modified = exfat::entry_date_time(s.modify_timestamp, s.modify_10ms, s.modify_utc_offset);
    RowFacts facts;
    facts.origin = RowOrigin::kDeepScan;
    facts.exfat_facts = true;
    facts.no_fat_chain = s.no_fat_chain;
    facts.valid_data_length = s.valid_data_length;
    FoundFiles.append(std::move(r), std::move(facts));
    ++added;
  }
  return added;
}

}  // namespace

ExfatSetRecogniser::ExfatSetRecogniser(const exfat::Layout& layout,
                                       const std::unordered_set<uint32_t>* reached)
    : layout_(layout), reached_(reached) {
  heap_end_ = layout.heap_offset + uint64_t{layout.cluster_count} * layout.cluster_size;
  if (layout.volume_bytes != 0) heap_end_ = std::min(heap_end_, layout.volume_bytes);
}

void ExfatSetRecogniser::Look(uint64_t at, std::span<const uint8_t> bytes) {
  if (at < layout_.heap_offset || layout_.cluster_size == 0) return;
  bytes = bytes.first(std::min<size_t>(bytes.size(), kMaxSetBytes));
  if (at + bytes.size() > heap_end_) {
    if (at >= heap_end_) return;
    bytes = bytes.first(heap_end_ - at);
  }
  auto set = exfat::parse_entry_set(bytes);
  if (!set) return;
  const auto cluster = static_cast<uint32_t>(2 + (at - layout_.heap_offset) / layout_.cluster_size);
  if (reached_ && reached_->count(cluster)) return;
  if (found_.size() >= kMaxSets) {
    ++dropped_;
    return;
  }
  found_.push_back({at, std::move(*set)});
}

void ExfatSetRecogniser::OnBlock(uint64_t volume_offset, std::span<const uint8_t> bytes,
                                 std::span<const RequestRange> unreadable) {
  const uint64_t end = volume_offset + bytes.size();
  // The positions the previous block left: its carry joined to this block's first bytes, up
  // to the first of them that could not be read.
  if (!carry_.empty() && carry_offset_ + carry_.size() == volume_offset) {
    size_t readable = std::min<size_t>(bytes.size(), kMaxSetBytes);
    for (const RequestRange& r : unreadable)
      if (r.offset >= 0 && static_cast<size_t>(r.offset) < readable)
        readable = static_cast<size_t>(r.offset);
    const size_t carried = carry_.size();
    carry_.insert(carry_.end(), bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(readable));
    const std::span<const uint8_t> joined(carry_);
    for (size_t q = 0; q < carried; q += kEntryBytes)
      if (file_entry_type(joined[q])) Look(carry_offset_ + q, joined.subspan(q));
  }
  carry_.clear();
  if (end <= layout_.heap_offset || volume_offset >= heap_end_) return;

  // Entries are 32-byte aligned in the heap, which starts on a sector.
  uint64_t at = std::max(volume_offset, layout_.heap_offset);
  at += (kEntryBytes - (at - layout_.heap_offset) % kEntryBytes) % kEntryBytes;
  // Positions whose longest set fits in the block are read here, the rest with the next one.
  const uint64_t whole_end = end >= kMaxSetBytes ? end - kMaxSetBytes + kEntryBytes : 0;
  for (; at < whole_end && at < heap_end_; at += kEntryBytes) {
    const size_t in_block = at - volume_offset;
    if (!file_entry_type(bytes[in_block])) continue;  // most positions
    const size_t before = found_.size();
    Look(at, bytes.subspan(in_block));
    if (found_.size() == before) continue;
    const auto set_bytes = static_cast<int64_t>((1 + found_.back().set.secondaries) * kEntryBytes);
    if (overlaps_unreadable(unreadable, static_cast<int64_t>(in_block), set_bytes))
      found_.pop_back();
  }
  if (at >= heap_end_) return;
  // The carry starts after the last unreadable byte it would hold.
  uint64_t carry_from = at;
  for (const RequestRange& r : unreadable) {
    const uint64_t r_end = volume_offset + static_cast<uint64_t>(r.offset + r.length);
    if (r_end > carry_from) carry_from = r_end;
  }
  carry_from += (kEntryBytes - (carry_from - layout_.heap_offset) % kEntryBytes) % kEntryBytes;
  if (carry_from >= end) return;
  carry_offset_ = carry_from;
  carry_.assign(bytes.begin() + static_cast<ptrdiff_t>(carry_from - volume_offset), bytes.end());
}

void ExfatSetRecogniser::OnEnd(bool) {
  // The last block's tail: sets that fit in what is left.
  const std::span<const uint8_t> tail(carry_);
  for (size_t q = 0; q < tail.size(); q += kEntryBytes)
    if (file_entry_type(tail[q])) Look(carry_offset_ + q, tail.subspan(q));
  carry_.clear();
}

int64_t exfat_list_lost_sets(exfat::Volume& volume, const std::vector<ExfatFoundSet>& sets,
                             const std::string& root_path) {
  if (sets.empty()) return 0;
  LostSets lost(volume, sets, root_path);
  return lost.Append();
}

int64_t exfat_deep_scan(TRawDiskAccessComponent& component,
                        const std::unordered_set<uint32_t>& reached,
                        std::span<Recogniser* const> extra) {
  const std::string root_path = std::string(1, component.LogicalDrive()) + ":";
  std::string error;
  auto volume = exfat::Volume::Open(component, &error);
  if (!volume) {
    Window().LogLine(root_path + " was not deep-scanned: " + error + ".");
    return 0;
  }
  ExfatSetRecogniser sets(volume->layout(), &reached);
  Sweep sweep(component);
  sweep.Add(sets);
  for (Recogniser* r : extra) sweep.Add(*r);
  sweep.Run();
  if (sets.dropped() != 0)
    Window().LogLine(root_path + " holds more entry sets than the deep scan keeps; " +
                     std::to_string(sets.dropped()) + " were left out.");
  // What the pass found before a Stop is listed too.
  return exfat_list_lost_sets(*volume, sets.found(), root_path);
}

}  // namespace pyralis
