// SPDX-License-Identifier: GPL-3.0-or-later
#include "sweep/exfat_deep.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
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

// The first of the 32-byte steps from `at` below `to` whose type byte is a file entry's
// (`to` when none is).
size_t next_file_entry(std::span<const uint8_t> bytes, size_t at, size_t to) {
  const uint8_t* p = bytes.data();
  constexpr size_t k = kEntryBytes;
  for (; at + 8 * k <= to; at += 8 * k) {
    unsigned hits = 0;
    for (unsigned i = 0; i < 8; ++i) hits |= unsigned{file_entry_type(p[at + i * k])} << i;
    if (hits != 0) return at + k * static_cast<size_t>(std::countr_zero(hits));
  }
  for (; at < to; at += k)
    if (file_entry_type(p[at])) return at;
  return to;
}

// A type byte a folder's sector may start with: an entry of a set (file, stream extension,
// name), of the root (bitmap, up-case table, label), a GUID, padding or vendor entry, in use
// or not. Entries fill a folder's clusters from their start without gaps, so every sector of
// a folder that holds entries starts with one of these.
constexpr bool folder_sector_start(uint8_t type) {
  switch (type & 0x7F) {
    case 0x01:
    case 0x02:
    case 0x03:
    case 0x05:  // bitmap, up-case, label, file
    case 0x20:
    case 0x21:
    case 0x22:  // GUID, padding, Windows CE ACL
    case 0x40:
    case 0x41:  // stream extension, name
    case 0x60:
    case 0x61:  // vendor extension, vendor allocation
      return true;
    default:
      return false;
  }
}

// Whether the sector at `p` may hold a folder's entries: its first entry's type is one of
// those above and so is its second's, or the second is the end of the folder (type 0). As
// tables, without the switch's branches (on data that is no folder, each is a coin toss):
// about one random sector in 140 passes.
constexpr auto kFolderSectorStart = [] {
  std::array<uint8_t, 256> table{};
  for (unsigned type = 0; type < 256; ++type)
    table[type] = folder_sector_start(static_cast<uint8_t>(type)) ? 1 : 0;
  return table;
}();
constexpr auto kFolderSecondEntry = [] {
  std::array<uint8_t, 256> table = kFolderSectorStart;
  table[0] = 1;
  return table;
}();
inline bool may_be_folder_sector(const uint8_t* p) {
  return (kFolderSectorStart[p[0]] & kFolderSecondEntry[p[kEntryBytes]]) != 0;
}

bool overlaps_unreadable(std::span<const RequestRange> unreadable, int64_t at, int64_t length) {
  for (const RequestRange& r : unreadable)
    if (at < r.offset + r.length && at + length > r.offset) return true;
  return false;
}

// The files and folders of the sets found, with the folders' paths worked out on demand.
// Without a volume (`volume` null) the sets are an earlier volume's, read through its
// inferred `layout`: rows then carry their bytes' extent.
class LostSets {
 public:
  LostSets(const exfat::Layout& layout, exfat::Volume* volume,
           const std::vector<ExfatFoundSet>& sets, const std::string& lost_root,
           TRawDiskAccessComponent* component);
  int64_t Append();

 private:
  uint32_t ClusterOf(uint64_t offset) const {
    return static_cast<uint32_t>(2 + (offset - layout_.heap_offset) / layout_.cluster_size);
  }
  uint64_t ClustersFor(uint64_t bytes) const {
    return bytes / layout_.cluster_size + (bytes % layout_.cluster_size != 0);
  }
  // The first cluster of the folder that holds cluster `x`.
  uint32_t FolderOf(uint32_t x);
  const std::string& PathOf(uint32_t folder, int depth);
  // True when folder cluster x starts with the allocation bitmap's entry: the root folder.
  bool RootFolder(uint32_t x);
  // Gives the clusters a named folder grew into, away from its first one, to that folder
  // (joined_) where the evidence is clear.
  void JoinGrownFolders();
  bool Claimed(uint32_t c) const;

  exfat::Layout layout_;
  exfat::Volume* volume_;
  const std::vector<ExfatFoundSet>& sets_;
  std::string lost_root_;
  TRawDiskAccessComponent* component_;
  // Folder first cluster -> the directory set that names it (a live one over a deleted one).
  std::unordered_map<uint32_t, size_t> directory_;
  // The clusters each directory set says its folder has, as (first, end) runs: exact for a
  // contiguous folder; for a chained one (its table is gone after a format) the run its length
  // would take if it was written in one piece.
  std::map<uint32_t, uint32_t> extents_;
  std::unordered_set<uint32_t> holding_;              // clusters that hold a found set
  std::unordered_map<uint32_t, uint32_t> joined_;     // a grown folder's cluster -> its first
  std::unordered_map<uint32_t, uint32_t> folder_of_;  // FolderOf's answers so far
  std::unordered_map<uint32_t, std::string> paths_;
};

LostSets::LostSets(const exfat::Layout& layout, exfat::Volume* volume,
                   const std::vector<ExfatFoundSet>& sets, const std::string& lost_root,
                   TRawDiskAccessComponent* component)
    : layout_(layout), volume_(volume), sets_(sets), lost_root_(lost_root), component_(component) {
  const exfat::Layout& l = layout_;
  for (size_t i = 0; i < sets.size(); ++i) {
    holding_.insert(ClusterOf(sets[i].offset));
    const exfat::EntrySet& s = sets[i].set;
    if (!s.directory() || !l.valid_cluster(s.first_cluster)) continue;
    auto [it, added] = directory_.try_emplace(s.first_cluster, i);
    if (!added && sets_[it->second].set.deleted && !s.deleted) it->second = i;
    const uint64_t length =
        std::clamp<uint64_t>(s.data_length, l.cluster_size, exfat::kMaxDirectoryBytes);
    const uint64_t end =
        std::min<uint64_t>(s.first_cluster + ClustersFor(length), uint64_t{l.last_cluster()} + 1);
    uint32_t& known = extents_[s.first_cluster];
    known = std::max(known, static_cast<uint32_t>(end));
  }
  JoinGrownFolders();
}

bool LostSets::Claimed(uint32_t c) const {
  if (directory_.count(c) || joined_.count(c)) return true;
  auto after = extents_.upper_bound(c);
  return after != extents_.begin() && c < std::prev(after)->second;
}

// A chained folder (its set's NoFatChain clear) of more than one cluster whose first cluster
// holds sets but the clusters right after it do not grew elsewhere. Its later clusters are
// the ones the table's chain gives, while the table still holds the chain; else, when this
// is the only folder short of clusters, the one run of set-holding clusters after it that
// no folder claims and that is exactly as long as what it lacks.
void LostSets::JoinGrownFolders() {
  std::vector<std::pair<uint32_t, uint64_t>> short_of;  // first cluster, clusters lacking
  for (const auto& [first, index] : directory_) {
    const exfat::EntrySet& s = sets_[index].set;
    const uint64_t k = ClustersFor(std::min<uint64_t>(s.data_length, exfat::kMaxDirectoryBytes));
    if (s.no_fat_chain || k < 2 || !holding_.count(first)) continue;
    bool chained = false;
    uint32_t x = first;
    for (uint64_t n = 1; volume_ && n < k; ++n) {
      const auto next = volume_->KnownFatEntry(x);
      if (!next || !layout_.valid_cluster(*next) || *next == x || !holding_.count(*next)) break;
      x = *next;
      chained = chained || x != first + n;
      joined_[x] = first;
    }
    if (chained) continue;
    bool continues = false;
    for (uint64_t n = 1; n < k && !continues; ++n) continues = holding_.count(first + n) != 0;
    if (!continues) short_of.emplace_back(first, k - 1);
  }
  if (short_of.size() != 1) return;
  const auto [first, lacking] = short_of.front();
  std::vector<uint32_t> free_runs;  // unclaimed set-holding clusters after the folder
  for (uint32_t c : holding_)
    if (c > first && !Claimed(c)) free_runs.push_back(c);
  std::sort(free_runs.begin(), free_runs.end());
  // The runs of consecutive clusters among them: exactly one, as long as what is lacking.
  size_t runs = 0;
  for (size_t i = 0; i < free_runs.size(); ++i)
    runs += i == 0 || free_runs[i] != free_runs[i - 1] + 1;
  if (runs != 1 || free_runs.size() != lacking) return;
  for (uint32_t c : free_runs) joined_[c] = first;
}

bool LostSets::RootFolder(uint32_t x) {
  if (layout_.root_cluster != 0) return x == layout_.root_cluster;  // from a boot region
  if (component_ == nullptr || !layout_.valid_cluster(x)) return false;
  const int64_t unit = component_->SectorSize();
  if (unit < 512 || unit > int64_t{1} << 16 || layout_.cluster_offset(x) % unit != 0) return false;
  std::vector<uint8_t> sector(static_cast<size_t>(unit));
  if (!ReadSectors(component_->DriveNumber(),
                   static_cast<int64_t>(layout_.cluster_offset(x) / unit), 1, sector.data()))
    return false;
  // The root holds the label, bitmap and up-case entries, in that order or another, first.
  for (size_t at = 0; at < 4 * kEntryBytes; at += kEntryBytes)
    if (sector[at] == exfat::kAllocationBitmap) return true;
  return false;
}

uint32_t LostSets::FolderOf(uint32_t x) {
  if (auto known = folder_of_.find(x); known != folder_of_.end()) return known->second;
  const auto claimed = [&](uint32_t c) -> std::optional<uint32_t> {
    if (directory_.count(c)) return c;
    if (auto grown = joined_.find(c); grown != joined_.end()) return grown->second;
    // A run of a directory set that covers c.
    auto after = extents_.upper_bound(c);
    if (after != extents_.begin() && c < std::prev(after)->second) return std::prev(after)->first;
    return std::nullopt;
  };
  std::optional<uint32_t> folder = claimed(x);
  // Else the folder's first cluster is the start of the clusters holding sets right before x
  // that no directory set claims (a folder whose parent entry is gone). Sets come in volume
  // order, so the cluster before is mostly known already.
  const uint64_t max_back = exfat::kMaxDirectoryBytes / layout_.cluster_size;
  uint32_t first = x;
  for (uint64_t back = 0; !folder && back < max_back; ++back) {
    const uint32_t before = first - 1;
    if (!layout_.valid_cluster(before) || !holding_.count(before) || claimed(before)) break;
    if (auto known = folder_of_.find(before); known != folder_of_.end()) folder = known->second;
    first = before;
  }
  return folder_of_[x] = folder.value_or(first);
}

// A folder's path: below the folder of the directory set that names it, else right below
// the lost root as "Lost folder N" (an earlier volume's root folder is the lost root itself).
const std::string& LostSets::PathOf(uint32_t folder, int depth) {
  if (auto known = paths_.find(folder); known != paths_.end()) return known->second;
  std::string path = lost_root_ + "\\Lost folder " + std::to_string(folder);
  const auto named = directory_.find(folder);
  if (named != directory_.end() && depth < kMaxDirectoryDepth) {
    const ExfatFoundSet& entry = sets_[named->second];
    const uint32_t parent = FolderOf(ClusterOf(entry.offset));
    if (parent != folder) {
      // Held before the recursion: ends a loop of folders naming each other.
      paths_[folder] = path;
      path = PathOf(parent, depth + 1) + "\\" + cut_characters(WideToAnsi(entry.set.name), 255);
    }
  } else if (volume_ == nullptr && RootFolder(folder)) {
    path = lost_root_;
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
    const uint64_t clusters = ClustersFor(s.data_length);
    // An earlier volume's table and bitmap are gone: nothing tells whether its clusters were
    // written over since.
    r.RecoveryQuality = static_cast<int8_t>(
        volume_ ? volume_->EstimateQuality(
                      volume_->PlanClusters(s.first_cluster, clusters, s.no_fat_chain), clusters)
                : 66);
    r.Created = exfat::entry_date_time(s.create_timestamp, s.create_10ms, s.create_utc_offset);
    r.Modified = exfat::entry_date_time(s.modify_timestamp, s.modify_10ms, s.modify_utc_offset);
    RowFacts facts;
    facts.origin = RowOrigin::kDeepScan;
    facts.exfat_facts = true;
    facts.no_fat_chain = s.no_fat_chain;
    facts.valid_data_length = s.valid_data_length;
    if (!volume_ && layout_.valid_cluster(s.first_cluster) && s.data_length != 0)
      facts.extents = {{layout_.cluster_offset(s.first_cluster), s.data_length}};
    FoundFiles.append(std::move(r), std::move(facts));
    ++added;
  }
  return added;
}

}  // namespace

ExfatSetRecogniser::ExfatSetRecogniser(const exfat::Layout& layout,
                                       const std::unordered_set<uint32_t>* reached,
                                       bool folder_sectors_only)
    : layout_(layout), reached_(reached), folder_sectors_only_(folder_sectors_only) {
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

size_t ExfatSetRecogniser::NextCandidate(std::span<const uint8_t> bytes, size_t at,
                                         size_t to) const {
  // Most positions hold no file entry: they are skipped eight at a time.
  if (!folder_sectors_only_) return next_file_entry(bytes, at, to);
  // Only the sectors that start like a folder's are looked into.
  constexpr size_t kSector = 512;
  const uint8_t* p = bytes.data();
  while (at < to) {
    // Eight sectors at a time while none of them starts like a folder's (most of them).
    size_t sector = at / kSector * kSector;
    while (sector + 8 * kSector <= to) {
      unsigned any = 0;
      for (size_t i = 0; i < 8; ++i) any |= may_be_folder_sector(p + sector + i * kSector);
      if (any) break;
      sector += 8 * kSector;
    }
    at = std::max(at, sector);
    if (at >= to) break;
    const size_t sector_end = std::min(to, (at / kSector + 1) * kSector);
    sector = at / kSector * kSector;
    if (sector + 2 * kEntryBytes > bytes.size() ? kFolderSectorStart[p[sector]] != 0
                                                : may_be_folder_sector(p + sector)) {
      const size_t hit = next_file_entry(bytes, at, sector_end);
      if (hit < sector_end) return hit;
    }
    at = sector_end;
  }
  return to;
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
  const uint64_t limit = std::min(whole_end, heap_end_);
  for (; at < limit; at += kEntryBytes) {
    const size_t in_block = NextCandidate(bytes, at - volume_offset, limit - volume_offset);
    at = volume_offset + in_block;
    if (at >= limit) break;
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

namespace {

// How many directory sets of `firsts` have a set run starting where (cluster size, heap
// offset) put their folder's first cluster.
size_t folders_in_place(const std::vector<uint32_t>& firsts,
                        const std::unordered_set<uint64_t>& starts, uint64_t cluster_size,
                        uint64_t heap, size_t enough = SIZE_MAX) {
  size_t n = 0;
  for (uint32_t c : firsts) {
    n += starts.count(heap + (uint64_t{c} - 2) * cluster_size);
    if (n >= enough) break;
  }
  return n;
}

// How many files of `files` (first clusters) start in a cluster that holds entry sets (at
// the sorted `offsets`) under (cluster size, heap offset): a file's data is no folder, so
// each one counts against the geometry.
size_t files_on_folders(const std::vector<uint32_t>& files, const std::vector<uint64_t>& offsets,
                        uint64_t cluster_size, uint64_t heap) {
  size_t n = 0;
  for (uint32_t c : files) {
    const uint64_t at = heap + (uint64_t{c} - 2) * cluster_size;
    const auto it = std::lower_bound(offsets.begin(), offsets.end(), at);
    n += it != offsets.end() && *it < at + cluster_size;
  }
  return n;
}

}  // namespace

exfat::Layout exfat_whole_volume_layout(uint32_t sector, uint64_t volume_bytes) {
  exfat::Layout l;
  l.bytes_per_sector = std::max<uint32_t>(sector, 512);
  l.cluster_size = l.bytes_per_sector;
  l.volume_bytes = volume_bytes;
  l.cluster_count =
      static_cast<uint32_t>(std::min<uint64_t>(volume_bytes / l.cluster_size, UINT32_MAX - 2));
  return l;
}

void ExfatBootRecogniser::OnBlock(uint64_t volume_offset, std::span<const uint8_t> bytes,
                                  std::span<const RequestRange> unreadable) {
  constexpr size_t kSector = 512;
  for (size_t at = (kSector - volume_offset % kSector) % kSector; at + kSector <= bytes.size();
       at += kSector) {
    if (bytes[at] != 0xEB || std::memcmp(bytes.data() + at + 3, "EXFAT   ", 8) != 0) continue;
    if (overlaps_unreadable(unreadable, static_cast<int64_t>(at), kSector)) continue;
    const auto layout =
        exfat::make_layout(std::span<const uint8_t, 512>(bytes.data() + at, kSector), 0, nullptr);
    if (!layout) continue;
    const uint64_t here = volume_offset + at;
    const uint64_t backup = uint64_t{12} * layout->bytes_per_sector;
    for (const uint64_t start : {here, here >= backup ? here - backup : UINT64_MAX}) {
      if (start == UINT64_MAX || found_.size() >= kMaxFound) continue;
      exfat::Layout l = *layout;
      l.heap_offset += start;
      found_.push_back(l);
    }
  }
}

std::optional<exfat::Layout> infer_earlier_exfat_layout(const std::vector<ExfatFoundSet>& sets,
                                                        uint32_t sector, uint64_t volume_bytes,
                                                        const exfat::Layout* current,
                                                        const std::vector<exfat::Layout>& boot) {
  sector = std::max<uint32_t>(sector, 512);
  // Where runs of sets start (no found set ends right there): a folder's first cluster
  // starts with one, the first entry of a folder other than the root being a file's.
  std::unordered_set<uint64_t> ends, starts;
  for (const ExfatFoundSet& f : sets)
    ends.insert(f.offset + uint64_t(1 + f.set.secondaries) * kEntryBytes);
  std::vector<uint64_t> run_starts;
  for (const ExfatFoundSet& f : sets)
    if (!ends.count(f.offset) && starts.insert(f.offset).second) run_starts.push_back(f.offset);
  std::vector<uint32_t> firsts, files;
  std::unordered_set<uint32_t> seen;
  constexpr size_t kMaxFilesWeighed = 4096;
  for (const ExfatFoundSet& f : sets) {
    if (f.set.first_cluster < 2) continue;
    if (f.set.directory() && seen.insert(f.set.first_cluster).second)
      firsts.push_back(f.set.first_cluster);
    else if (!f.set.directory() && f.set.data_length != 0 && files.size() < kMaxFilesWeighed)
      files.push_back(f.set.first_cluster);
  }
  if (firsts.empty()) return std::nullopt;
  std::vector<uint64_t> offsets;
  for (const ExfatFoundSet& f : sets) offsets.push_back(f.offset);
  std::sort(offsets.begin(), offsets.end());
  const auto score_of = [&](uint64_t size, uint64_t heap) {
    const size_t in_place = folders_in_place(firsts, starts, size, heap);
    const size_t against = files_on_folders(files, offsets, size, heap);
    return in_place > against ? in_place - against : 0;
  };
  // Candidates: each of a few anchor folders put at each run start, for every cluster size;
  // a candidate is kept when another anchor agrees, then scored over all folders.
  constexpr size_t kAnchors = 8;
  constexpr size_t kMaxStartsTried = size_t{1} << 16;
  std::vector<uint32_t> anchors;
  for (size_t i = 0; i < firsts.size() && anchors.size() < kAnchors;
       i += std::max<size_t>(1, firsts.size() / kAnchors))
    anchors.push_back(firsts[i]);
  const size_t tried = std::min(run_starts.size(), kMaxStartsTried);
  size_t best_score = 0;
  uint64_t best_size = 0, best_heap = 0;
  for (uint64_t size = sector; size <= (uint64_t{32} << 20); size *= 2) {
    for (uint32_t anchor : anchors) {
      const uint64_t before = (uint64_t{anchor} - 2) * size;
      for (size_t i = 0; i < tried; ++i) {
        const uint64_t r = run_starts[i];
        if (r < before) continue;
        const uint64_t heap = r - before;
        // The heap follows the boot regions (24 sectors) and the table.
        if (heap % sector != 0 || heap < 24 * uint64_t{sector} || heap >= volume_bytes) continue;
        if (folders_in_place(anchors, starts, size, heap, 2) < 2) continue;
        const size_t score = score_of(size, heap);
        // On a tie the larger cluster size: folders an even number of clusters apart fit half
        // the size too when their clusters hold sets side by side, never twice the size.
        if (score >= best_score && (score > best_score || size > best_size))
          best_score = score, best_size = size, best_heap = heap;
      }
    }
  }
  // An old boot region says the geometry outright: it wins over an inferred one when it
  // places as many folders (one is enough).
  const exfat::Layout* from_boot = nullptr;
  size_t boot_score = 0;
  for (const exfat::Layout& b : boot) {
    const bool own =
        current && current->cluster_size == b.cluster_size && current->heap_offset == b.heap_offset;
    if (b.cluster_size == 0 || own) continue;
    const size_t score = score_of(b.cluster_size, b.heap_offset);
    if (score >= std::max<size_t>(1, best_score) && score > boot_score)
      from_boot = &b, boot_score = score;
  }
  if (from_boot) {
    if (current && score_of(current->cluster_size, current->heap_offset) >= boot_score)
      return std::nullopt;
    exfat::Layout l = *from_boot;
    l.volume_bytes = volume_bytes;
    l.cluster_count = static_cast<uint32_t>(std::min<uint64_t>(
        l.heap_offset < volume_bytes ? (volume_bytes - l.heap_offset) / l.cluster_size : 0,
        std::min<uint64_t>(l.cluster_count, UINT32_MAX - 2)));
    return l;
  }
  if (best_score < 2) return std::nullopt;
  if (current && current->cluster_size != 0) {
    if (current->cluster_size == best_size && current->heap_offset == best_heap)
      return std::nullopt;
    // The volume's own geometry places as many folders: the sets are its own.
    if (score_of(current->cluster_size, current->heap_offset) >= best_score) return std::nullopt;
  }
  exfat::Layout l;
  l.bytes_per_sector = sector;
  l.cluster_size = static_cast<uint32_t>(best_size);
  l.heap_offset = best_heap;
  l.volume_bytes = volume_bytes;
  l.cluster_count = static_cast<uint32_t>(
      std::min<uint64_t>((volume_bytes - best_heap) / best_size, UINT32_MAX - 2));
  return l;
}

int64_t exfat_list_earlier_sets(TRawDiskAccessComponent& component, const exfat::Layout& layout,
                                const std::vector<ExfatFoundSet>& sets,
                                const std::string& root_path) {
  std::vector<ExfatFoundSet> inside;
  for (const ExfatFoundSet& f : sets)
    if (f.offset >= layout.heap_offset) inside.push_back(f);
  if (inside.empty()) return 0;
  LostSets lost(layout, nullptr, inside, root_path + "\\" + kEarlierExfatName, &component);
  return lost.Append();
}

int64_t exfat_list_lost_sets(exfat::Volume& volume, const std::vector<ExfatFoundSet>& sets,
                             const std::string& root_path) {
  if (sets.empty()) return 0;
  LostSets lost(volume.layout(), &volume, sets, root_path + "\\" + kLostFoldersName, nullptr);
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
  ExfatBootRecogniser boots;
  Sweep sweep(component);
  sweep.Add(sets);
  sweep.Add(boots);
  for (Recogniser* r : extra) sweep.Add(*r);
  sweep.Run();
  if (sets.dropped() != 0)
    Window().LogLine(root_path + " holds more entry sets than the deep scan keeps; " +
                     std::to_string(sets.dropped()) + " were left out.");
  // What the pass found before a Stop is listed too: as an earlier volume's when its folders
  // lie where another geometry puts them.
  const uint64_t volume_bytes =
      static_cast<uint64_t>(std::max<int64_t>(component.VolumeSectors(), 0)) *
      static_cast<uint64_t>(std::max<int32_t>(component.SectorSize(), 0));
  if (const auto earlier =
          infer_earlier_exfat_layout(sets.found(), static_cast<uint32_t>(component.SectorSize()),
                                     volume_bytes, &volume->layout(), boots.found()))
    return exfat_list_earlier_sets(component, *earlier, sets.found(), root_path);
  return exfat_list_lost_sets(*volume, sets.found(), root_path);
}

}  // namespace pyralis
