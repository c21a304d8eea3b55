// SPDX-License-Identifier: GPL-3.0-or-later
#include "sweep/fat_deep.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <unordered_map>

#include "core/engine_window.h"
#include "core/found_files.h"
#include "core/process_state.h"
#include "fat/fat_directory.h"
#include "fat/fat_names.h"
#include "fat/fat_scan.h"
#include "fat/fat_volume.h"
#include "rawdisk/raw_disk_access_component.h"
#include "sweep/exfat_deep.h"
#include "sweep/listed_rows.h"

namespace pyralis {

namespace {

constexpr std::string_view kDotName = ".          ";
constexpr std::string_view kDotDotName = "..         ";

bool named(std::span<const uint8_t> entry, std::string_view name) {
  return std::memcmp(entry.data(), name.data(), name.size()) == 0;
}

bool is_folder_entry(FatEntry e) {
  const uint8_t a = e[FatDirEntry::kAttributes];
  return (a & FatDirEntry::kDirectory) && !(a & FatDirEntry::kLabel) &&
         a != FatDirEntry::kLongName && (a & 0xC0) == 0;
}

bool unreadable_at(std::span<const RequestRange> unreadable, int64_t at, int64_t length) {
  for (const RequestRange& r : unreadable)
    if (at < r.offset + r.length && at + length > r.offset) return true;
  return false;
}

// A file of a lost folder, kept until the folders' paths are known.
struct LostFile {
  uint32_t folder = 0;
  FoundFileRecord record;
};

// A subfolder entry seen in a lost folder: the name it gives the folder at `cluster`.
struct FolderName {
  std::string name;
  uint32_t in_folder = 0;
};

class LostTree {
 public:
  LostTree(FatVolume& volume, const std::string& root_path, bool earlier)
      : volume_(volume), root_path_(root_path), earlier_(earlier) {}

  void Read(const std::vector<FatFolderStart>& lost);
  int64_t Append();

 private:
  void ReadFolder(uint32_t cluster);
  const std::string& PathOf(uint32_t cluster, int depth);

  FatVolume& volume_;
  std::string root_path_;
  bool earlier_ = false;  // read through an earlier volume's geometry
  PastChainClusters past_;
  std::unordered_map<uint32_t, uint32_t> parent_;  // lost folder -> its ".." cluster
  std::unordered_map<uint32_t, FolderName> names_;
  std::unordered_map<uint32_t, std::string> paths_;
  std::vector<LostFile> files_;
};

void LostTree::Read(const std::vector<FatFolderStart>& lost) {
  for (const FatFolderStart& f : lost) {
    parent_[f.cluster] = f.parent;
    past_.taken.insert(f.cluster);  // a folder's start is never another's continuation
  }
  for (const FatFolderStart& f : lost) ReadFolder(f.cluster);
}

void LostTree::ReadFolder(uint32_t cluster) {
  DirectoryStream stream(volume_, cluster, &past_);
  const uint64_t cluster_size = volume_.layout().cluster_size;
  std::array<uint8_t, 32> entry;
  while (stream.Next(entry)) {
    Window().ProcessMessages();
    if (entry[0] == 0) break;  // the end marker
    const bool long_name = entry[FatDirEntry::kAttributes] == FatDirEntry::kLongName;
    const std::string name = long_name ? read_long_name(entry, stream) : read_short_name(entry);
    const uint8_t attr = entry[FatDirEntry::kAttributes];
    if (has_forbidden_name_character(name) || (attr & 0xC0) != 0) break;
    if (entry[0] == '.' || entry[0] == 0) continue;
    const uint32_t first = entry_first_cluster(entry);
    const uint32_t size = entry32(entry, FatDirEntry::kSize);
    const bool deleted = entry[0] == FatDirEntry::kDeleted;
    if (is_folder_entry(entry)) {
      // A live entry names the folder over a deleted one.
      auto [it, added] = names_.try_emplace(first, FolderName{name, cluster});
      if (!added && !deleted) it->second = FolderName{name, cluster};
      stream.AddLead({first, 1, false});
      continue;
    }
    if (attr & (FatDirEntry::kDirectory | FatDirEntry::kLabel)) continue;
    if (size == 0) continue;
    stream.AddLead({first, (size + cluster_size - 1) / cluster_size, true});
    if (name.empty()) continue;
    LostFile file{cluster, {}};
    file.record.Inode = first;
    file.record.Size = size;
    file.record.Created = dos_date_time(entry16(entry, FatDirEntry::kCreateDate),
                                        entry16(entry, FatDirEntry::kCreateTime));
    file.record.Modified = dos_date_time(entry16(entry, FatDirEntry::kModifyDate),
                                         entry16(entry, FatDirEntry::kModifyTime));
    file.record.Name = name;
    files_.push_back(std::move(file));
  }
}

// A lost folder's path: below its parent when the parent is a lost folder too (by its
// name there, or as "Lost folder N" when the parent holds no entry for it), else right
// below "Lost folders".
const std::string& LostTree::PathOf(uint32_t cluster, int depth) {
  if (auto known = paths_.find(cluster); known != paths_.end()) return known->second;
  const std::string lost_name = "Lost folder " + std::to_string(cluster);
  std::string path = root_path_ + "\\" + kLostFoldersName + "\\" + lost_name;
  const auto parent = parent_.find(cluster);
  if (parent != parent_.end() && parent->second != cluster && parent_.count(parent->second) &&
      depth < kMaxDirectoryDepth) {
    const auto name = names_.find(cluster);
    const bool named_there = name != names_.end() && name->second.in_folder == parent->second;
    // The entry is held before the recursion: PathOf may add to paths_.
    paths_[cluster] = path;  // ends a loop of ".." links
    path = PathOf(parent->second, depth + 1) + "\\" + (named_there ? name->second.name : lost_name);
  }
  return paths_[cluster] = path;
}

int64_t LostTree::Append() {
  // Rows the tree walk listed already (by first cluster, size and name) are left out.
  ListedRows listed;
  int64_t added = 0;
  for (LostFile& file : files_) {
    FoundFileRecord& r = file.record;
    if (!listed.Add(r.Inode, r.Size, r.Name)) continue;
    r.Path = PathOf(file.folder, 0);
    const size_t dot = r.Name.rfind('.');
    r.RecoveryQuality = static_cast<int8_t>(estimate_recovery_quality(
        volume_, static_cast<uint32_t>(r.Inode),
        dot == std::string::npos ? std::string_view() : std::string_view(r.Name).substr(dot)));
    RowFacts facts;
    facts.origin = RowOrigin::kDeepScan;
    const FatLayout& l = volume_.layout();
    if (earlier_ && l.valid_cluster(r.Inode))
      facts.extents = {
          {l.cluster_offset(static_cast<uint32_t>(r.Inode)), static_cast<uint64_t>(r.Size)}};
    FoundFiles.append(std::move(r), std::move(facts));
    ++added;
  }
  files_.clear();
  return added;
}

}  // namespace

namespace {

// The "." and ".." entries at the start of `bytes` (at least 64), whatever the geometry:
// `cluster` gets the "." entry's first cluster, `parent` the ".." entry's.
bool folder_pair(std::span<const uint8_t> bytes, uint32_t* cluster, uint32_t* parent) {
  if (bytes.size() < 64) return false;
  const FatEntry dot(bytes.data(), 32);
  const FatEntry dotdot(bytes.data() + 32, 32);
  if (!named(dot, kDotName) || !named(dotdot, kDotDotName)) return false;
  if (!is_folder_entry(dot) || !is_folder_entry(dotdot)) return false;
  *cluster = entry_first_cluster(dot);
  *parent = entry_first_cluster(dotdot);
  return *cluster >= 2 && *parent != *cluster && *parent != 1;
}

}  // namespace

bool fat_folder_start(std::span<const uint8_t> bytes, uint32_t cluster, const FatLayout& layout,
                      uint32_t* parent) {
  uint32_t self = 0, up = 0;
  if (!folder_pair(bytes, &self, &up) || self != cluster) return false;
  const FatEntry dot(bytes.data(), 32);
  const FatEntry dotdot(bytes.data() + 32, 32);
  if (layout.kind != FatKind::kFat32 && (entry16(dot, FatDirEntry::kClusterHigh) != 0 ||
                                         entry16(dotdot, FatDirEntry::kClusterHigh) != 0))
    return false;
  if (up != 0 && !layout.valid_cluster(up)) return false;
  if (parent) *parent = up;
  return true;
}

void FatFolderRecogniser::OnBlock(uint64_t volume_offset, std::span<const uint8_t> bytes,
                                  std::span<const RequestRange> unreadable) {
  const FatLayout& l = layout_;
  const uint64_t sector = std::max<uint32_t>(l.bytes_per_sector, 512);
  const uint64_t data_start = l.cluster_offset(2);
  // Every sector, not only the clusters' starts: an earlier volume's folders start at its own
  // clusters. Most sectors do not start with ".", which is the one test they cost.
  for (uint64_t in_block = (sector - volume_offset % sector) % sector;
       in_block + 64 <= bytes.size(); in_block += sector) {
    if (bytes[in_block] != '.') continue;
    uint32_t cluster = 0, parent = 0;
    if (!folder_pair(bytes.subspan(in_block, 64), &cluster, &parent)) continue;
    if (unreadable_at(unreadable, static_cast<int64_t>(in_block), 64)) continue;
    const uint64_t at = volume_offset + in_block;
    const bool own_start =
        at >= data_start && l.cluster_size != 0 && (at - data_start) % l.cluster_size == 0 &&
        (at - data_start) / l.cluster_size + 2 == cluster && l.valid_cluster(cluster);
    if (own_start) {
      if (found_.size() < kMaxStarts &&
          fat_folder_start(bytes.subspan(in_block, 64), cluster, l, &parent))
        found_.push_back({cluster, parent});
    } else if (elsewhere_.size() < kMaxStarts) {
      elsewhere_.push_back({at, cluster, parent});
    }
  }
}

std::optional<FatLayout> infer_earlier_fat_layout(const std::vector<FatFolderAt>& starts,
                                                  const FatLayout& current, uint64_t volume_bytes) {
  const uint64_t sector = std::max<uint32_t>(current.bytes_per_sector, 512);
  std::vector<FatFolderAt> sorted(starts);
  std::sort(sorted.begin(), sorted.end(),
            [](const FatFolderAt& a, const FatFolderAt& b) { return a.cluster < b.cluster; });
  // Each pair of neighbours (and next but one, so that one stray start does not cut the
  // rest off) votes for the cluster size and data offset that put both where they are.
  std::map<std::pair<uint32_t, uint64_t>, uint32_t> votes;
  for (size_t i = 0; i < sorted.size(); ++i) {
    for (size_t j = i + 1; j < std::min(sorted.size(), i + 3); ++j) {
      const FatFolderAt& a = sorted[i];
      const FatFolderAt& b = sorted[j];
      if (b.cluster == a.cluster || b.offset <= a.offset) continue;
      const uint64_t span = b.offset - a.offset;
      const uint64_t apart = b.cluster - a.cluster;
      if (span % apart != 0) continue;
      const uint64_t size = span / apart;
      if (size < 512 || size > 65536 || (size & (size - 1)) != 0 || size % sector != 0) continue;
      const uint64_t before = (uint64_t{a.cluster} - 2) * size;
      if (before > a.offset) continue;
      ++votes[{static_cast<uint32_t>(size), a.offset - before}];
    }
  }
  const auto current_key = std::make_pair(current.cluster_size, current.cluster_offset(2));
  const std::pair<const std::pair<uint32_t, uint64_t>, uint32_t>* best = nullptr;
  for (const auto& v : votes)
    if (v.first != current_key && (!best || v.second > best->second)) best = &v;
  if (!best) return std::nullopt;
  const auto [size, data_offset] = best->first;
  if (data_offset % sector != 0 || data_offset >= volume_bytes) return std::nullopt;
  FatLayout l = current;
  l.cluster_size = size;
  l.sectors_per_cluster = static_cast<uint32_t>(size / current.bytes_per_sector);
  l.first_data_sector = data_offset / current.bytes_per_sector;
  l.cluster_count =
      static_cast<uint32_t>(std::min<uint64_t>((volume_bytes - data_offset) / size, 0x0FFFFFF5));
  l.root_cluster = 0;  // not known: its folder holds no "." pair to find it by
  return l;
}

int64_t fat_list_lost_folders(FatVolume& volume, const std::vector<FatFolderStart>& starts,
                              const std::unordered_set<uint32_t>& reached,
                              const std::string& root_path, bool earlier) {
  std::vector<FatFolderStart> lost;
  const FatLayout& l = volume.layout();
  for (const FatFolderStart& f : starts) {
    if (reached.count(f.cluster) != 0) continue;
    if (l.kind == FatKind::kFat32 && f.cluster == l.root_cluster) continue;
    lost.push_back(f);
  }
  if (lost.empty()) return 0;
  LostTree tree(volume, root_path, earlier);
  tree.Read(lost);
  return tree.Append();
}

int64_t fat_deep_scan(TRawDiskAccessComponent& component,
                      const std::unordered_set<uint32_t>& reached,
                      std::span<Recogniser* const> extra) {
  const std::string root_path = std::string(1, component.LogicalDrive()) + ":";
  std::string error;
  auto volume = FatVolume::Open(component, &error);
  if (!volume) {
    Window().LogLine(root_path + " was not deep-scanned: " + error + ".");
    return 0;
  }
  const auto sector = static_cast<uint32_t>(std::max<int32_t>(component.SectorSize(), 512));
  const uint64_t volume_bytes =
      static_cast<uint64_t>(std::max<int64_t>(component.VolumeSectors(), 0)) * sector;
  FatFolderRecogniser folders(volume->layout());
  // Cameras format a card as exFAT and FAT32 in turn: an earlier exFAT volume's entry sets.
  ExfatSetRecogniser earlier_sets(exfat_whole_volume_layout(sector, volume_bytes), nullptr, true);
  ExfatBootRecogniser earlier_boots;
  Sweep sweep(component);
  sweep.Add(folders);
  sweep.Add(earlier_sets);
  sweep.Add(earlier_boots);
  for (Recogniser* r : extra) sweep.Add(*r);
  sweep.Run();
  // What the pass found before a Stop is listed too.
  int64_t added = fat_list_lost_folders(*volume, folders.found(), reached, root_path);
  // The folders of an earlier FAT volume with another cluster size or data area, read
  // through its geometry.
  if (const auto earlier =
          infer_earlier_fat_layout(folders.elsewhere(), volume->layout(), volume_bytes)) {
    std::vector<FatFolderStart> starts;
    for (const FatFolderAt& f : folders.elsewhere())
      if (earlier->valid_cluster(f.cluster) && earlier->cluster_offset(f.cluster) == f.offset)
        starts.push_back({f.cluster, f.parent});
    FatVolume old(component, *earlier);
    added += fat_list_lost_folders(old, starts, {}, root_path, true);
  }
  if (const auto earlier = infer_earlier_exfat_layout(earlier_sets.found(), sector, volume_bytes,
                                                      nullptr, earlier_boots.found()))
    added += exfat_list_earlier_sets(component, *earlier, earlier_sets.found(), root_path);
  return added;
}

}  // namespace pyralis
