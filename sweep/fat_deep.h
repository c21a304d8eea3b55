// SPDX-License-Identifier: GPL-3.0-or-later
// The FAT deep scan: folders the tree walk no longer reaches (after a quick format the root
// and the table are new, every other folder's clusters are still there), found by the "."
// and ".." pair at the start of their first cluster, their later clusters by the
// continuation search of the directory walk, their tree rebuilt from the ".." links.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "fat/fat_layout.h"
#include "sweep/sweep.h"

namespace pyralis {

class FatVolume;
class TRawDiskAccessComponent;

// A cluster that starts with a "." entry naming itself and a ".." entry.
struct FatFolderStart {
  uint32_t cluster = 0;
  uint32_t parent = 0;  // the ".." entry's first cluster (0: the root)
};

// A "." and ".." pair at a sector that is no cluster start of the volume's geometry: the
// start of a folder of an earlier FAT volume with another cluster size or data area.
struct FatFolderAt {
  uint64_t offset = 0;   // volume byte of the "." entry
  uint32_t cluster = 0;  // the "." entry's first cluster
  uint32_t parent = 0;
};

// True when `bytes` (at least 64) start with the "." and ".." entries of folder `cluster`;
// `parent` then holds the ".." entry's first cluster.
bool fat_folder_start(std::span<const uint8_t> bytes, uint32_t cluster, const FatLayout& layout,
                      uint32_t* parent);

// Looks at the first 64 bytes of every sector: a folder start at a cluster start of the
// volume's geometry goes to found(), one elsewhere (a folder of an earlier volume) to
// elsewhere().
class FatFolderRecogniser : public Recogniser {
 public:
  explicit FatFolderRecogniser(const FatLayout& layout) : layout_(layout) {}
  void OnBlock(uint64_t volume_offset, std::span<const uint8_t> bytes,
               std::span<const RequestRange> unreadable) override;
  const std::vector<FatFolderStart>& found() const { return found_; }
  const std::vector<FatFolderAt>& elsewhere() const { return elsewhere_; }
  // The pass keeps at most this many of each.
  static constexpr size_t kMaxStarts = size_t{1} << 20;

 private:
  FatLayout layout_;
  std::vector<FatFolderStart> found_;
  std::vector<FatFolderAt> elsewhere_;
};

// The geometry of an earlier FAT volume whose folder starts are `starts`: every start gives
// the equation offset = data offset + (cluster - 2) * cluster size; the cluster size (a
// power of two, 512 bytes to 64 KiB) and data offset most pairs of folders agree on, when
// at least two folders agree and it is not `current`'s. The layout is `current`'s with that
// cluster size and data area, its cluster count bounded by `volume_bytes`.
std::optional<FatLayout> infer_earlier_fat_layout(const std::vector<FatFolderAt>& starts,
                                                  const FatLayout& current, uint64_t volume_bytes);

// The folder a deep-scan row is listed under: "Lost folders" below the drive.
inline constexpr const char* kLostFoldersName = "Lost folders";

// Lists every file (deleted or not) of the folders in `starts` that are not in `reached`
// (first clusters of the folders the tree walk read) in FoundFiles, under
// `root_path`\Lost folders\..., skipping rows the catalogue already holds. Returns the
// number of rows added.
// With `earlier`, `volume` is read through an earlier volume's geometry: each row then
// carries its bytes' extent (its clusters in a row, as the contiguous rule takes them once
// the table is gone), for the recovery reads it through the volume's own geometry.
int64_t fat_list_lost_folders(FatVolume& volume, const std::vector<FatFolderStart>& starts,
                              const std::unordered_set<uint32_t>& reached,
                              const std::string& root_path, bool earlier = false);

// The deep scan of a FAT volume after its tree walk: one sweep of the data area, then the
// lost folders' rows. `extra` recognisers join the same pass. Returns the rows added.
int64_t fat_deep_scan(TRawDiskAccessComponent& component,
                      const std::unordered_set<uint32_t>& reached,
                      std::span<Recogniser* const> extra = {});

}  // namespace pyralis
