// SPDX-License-Identifier: GPL-3.0-or-later
// The FAT deep scan: folders the tree walk no longer reaches (after a quick format the root
// and the table are new, every other folder's clusters are still there), found by the "."
// and ".." pair at the start of their first cluster, their later clusters by the
// continuation search of the directory walk, their tree rebuilt from the ".." links.
#pragma once

#include <cstdint>
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

// True when `bytes` (at least 64) start with the "." and ".." entries of folder `cluster`;
// `parent` then holds the ".." entry's first cluster.
bool fat_folder_start(std::span<const uint8_t> bytes, uint32_t cluster, const FatLayout& layout,
                      uint32_t* parent);

// Looks at the first 64 bytes of every cluster of the data area.
class FatFolderRecogniser : public Recogniser {
 public:
  explicit FatFolderRecogniser(const FatLayout& layout) : layout_(layout) {}
  void OnBlock(uint64_t volume_offset, std::span<const uint8_t> bytes,
               std::span<const RequestRange> unreadable) override;
  const std::vector<FatFolderStart>& found() const { return found_; }

 private:
  FatLayout layout_;
  std::vector<FatFolderStart> found_;
};

// The folder a deep-scan row is listed under: "Lost folders" below the drive.
inline constexpr const char* kLostFoldersName = "Lost folders";

// Lists every file (deleted or not) of the folders in `starts` that are not in `reached`
// (first clusters of the folders the tree walk read) in FoundFiles, under
// `root_path`\Lost folders\..., skipping rows the catalogue already holds. Returns the
// number of rows added.
int64_t fat_list_lost_folders(FatVolume& volume, const std::vector<FatFolderStart>& starts,
                              const std::unordered_set<uint32_t>& reached,
                              const std::string& root_path);

// The deep scan of a FAT volume after its tree walk: one sweep of the data area, then the
// lost folders' rows. `extra` recognisers join the same pass. Returns the rows added.
int64_t fat_deep_scan(TRawDiskAccessComponent& component,
                      const std::unordered_set<uint32_t>& reached,
                      std::span<Recogniser* const> extra = {});

}  // namespace pyralis
