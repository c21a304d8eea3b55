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
  LostTree(FatVolume& volume, const std::string& root_path)
      : volume_(volume), root_path_(root_path) {}

  void Read(const std::vector<FatFolderStart>& lost);
  int64_t Append();

 private:
  void ReadFolder(uint32_t cluster);
  const std::string& PathOf(uint32_t cluster, int depth);

  FatVolume& volume_;
  std::string root_path_;
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
    FoundFiles.append(std::move(r), std::move(facts));
    ++added;
  }
  files_.clear();
  return added;
}

}  // namespace

bool fat_folder_start(std::span<const uint8_t> bytes, uint32_t cluster, const FatLayout& layout,
                      uint32_t* parent) {
  if (bytes.size() < 64) return false;
  const FatEntry dot(bytes.data(), 32);
  const FatEntry dotdot(bytes.data() + 32, 32);
  if (!named(dot, kDotName) || !named(dotdot, kDotDotName)) return false;
  if (!is_folder_entry(dot) || !is_folder_entry(dotdot)) return false;
  if (layout.kind != FatKind::kFat32 && (entry16(dot, FatDirEntry::kClusterHigh) != 0 ||
                                         entry16(dotdot, FatDirEntry::kClusterHigh) != 0))
    return false;
  if (entry_first_cluster(dot) != cluster) return false;
  const uint32_t up = entry_first_cluster(dotdot);
  if (up != 0 && (!layout.valid_cluster(up) || up == cluster)) return false;
  if (parent) *parent = up;
  return true;
}

void FatFolderRecogniser::OnBlock(uint64_t volume_offset, std::span<const uint8_t> bytes,
                                  std::span<const RequestRange> unreadable) {
  const FatLayout& l = layout_;
  const uint64_t data_start = l.cluster_offset(2);
  const uint64_t end = volume_offset + bytes.size();
  if (end <= data_start || l.cluster_size == 0) return;
  // The first cluster that starts inside this block.
  uint64_t index = volume_offset <= data_start
                       ? 0
                       : (volume_offset - data_start + l.cluster_size - 1) / l.cluster_size;
  for (;; ++index) {
    const uint64_t at = data_start + index * l.cluster_size;
    if (at + 64 > end || index >= l.cluster_count) break;
    const uint64_t in_block = at - volume_offset;
    // The cheap test first: most clusters do not start with ".".
    if (bytes[in_block] != '.') continue;
    if (unreadable_at(unreadable, static_cast<int64_t>(in_block), 64)) continue;
    const auto cluster = static_cast<uint32_t>(index + 2);
    uint32_t parent = 0;
    if (fat_folder_start(bytes.subspan(in_block, 64), cluster, l, &parent))
      found_.push_back({cluster, parent});
  }
}

int64_t fat_list_lost_folders(FatVolume& volume, const std::vector<FatFolderStart>& starts,
                              const std::unordered_set<uint32_t>& reached,
                              const std::string& root_path) {
  std::vector<FatFolderStart> lost;
  const FatLayout& l = volume.layout();
  for (const FatFolderStart& f : starts) {
    if (reached.count(f.cluster) != 0) continue;
    if (l.kind == FatKind::kFat32 && f.cluster == l.root_cluster) continue;
    lost.push_back(f);
  }
  if (lost.empty()) return 0;
  LostTree tree(volume, root_path);
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
  FatFolderRecogniser folders(volume->layout());
  Sweep sweep(component);
  sweep.Add(folders);
  for (Recogniser* r : extra) sweep.Add(*r);
  sweep.Run();
  // What the pass found before a Stop is listed too.
  return fat_list_lost_folders(*volume, folders.found(), reached, root_path);
}

}  // namespace pyralis
