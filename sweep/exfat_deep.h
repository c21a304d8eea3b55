// SPDX-License-Identifier: GPL-3.0-or-later
// The exFAT deep scan: file entry sets (a file entry, its stream extension and name entries,
// with a checksum that holds) anywhere in the cluster heap that the tree walk did not read.
// After a quick format the boot region, table, bitmap, up-case table and root are new; every
// other folder's entry sets are still there. Folders are rebuilt by matching a folder's
// clusters to the directory entry set whose stream extension points at them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "exfat/exfat_entries.h"
#include "exfat/exfat_volume.h"
#include "sweep/sweep.h"

namespace pyralis {

class TRawDiskAccessComponent;

// An entry set the pass found, and the volume byte of its file entry.
struct ExfatFoundSet {
  uint64_t offset = 0;
  exfat::EntrySet set;
};

// Looks at every 32-byte position of the cluster heap whose type byte is a file entry (in
// use or not). A set that runs past the end of a block is read from a carry-over of the
// block's last bytes joined to the next block's first ones.
class ExfatSetRecogniser : public Recogniser {
 public:
  // Sets in clusters of `reached` (folder clusters the tree walk read) are left out. With
  // `folder_sectors_only`, only 512-byte sectors whose first byte is a folder entry's type
  // are looked into (folders fill their clusters from the start; a quarter of the cost on
  // a volume of data, for the search of an earlier volume's sets over the whole volume).
  explicit ExfatSetRecogniser(const exfat::Layout& layout,
                              const std::unordered_set<uint32_t>* reached = nullptr,
                              bool folder_sectors_only = false);
  void OnBlock(uint64_t volume_offset, std::span<const uint8_t> bytes,
               std::span<const RequestRange> unreadable) override;
  void OnEnd(bool complete) override;
  const std::vector<ExfatFoundSet>& found() const { return found_; }
  // The pass keeps at most this many sets; the rest are counted in dropped().
  static constexpr size_t kMaxSets = size_t{1} << 22;
  uint64_t dropped() const { return dropped_; }

 private:
  // Reads the set at volume byte `at`; `bytes` runs from there to as far as is known.
  void Look(uint64_t at, std::span<const uint8_t> bytes);
  // The first position of the block from `at` below `to` (32-byte steps) worth a Look.
  size_t NextCandidate(std::span<const uint8_t> bytes, size_t at, size_t to) const;

  exfat::Layout layout_;
  const std::unordered_set<uint32_t>* reached_;
  bool folder_sectors_only_ = false;
  uint64_t heap_end_ = 0;
  // The last bytes of the previous block, from its first position not yet looked at.
  std::vector<uint8_t> carry_;
  uint64_t carry_offset_ = 0;
  std::vector<ExfatFoundSet> found_;
  uint64_t dropped_ = 0;
};

// Looks at every 512-byte sector for an exFAT boot sector (a main or backup boot region of an
// earlier volume that a newer format left): each gives the geometry of the volume that
// starts there or 12 sectors before (the backup region's place).
class ExfatBootRecogniser : public Recogniser {
 public:
  void OnBlock(uint64_t volume_offset, std::span<const uint8_t> bytes,
               std::span<const RequestRange> unreadable) override;
  // Candidate geometries (heap offset and cluster size from the volume's start; root cluster).
  const std::vector<exfat::Layout>& found() const { return found_; }
  static constexpr size_t kMaxFound = 64;

 private:
  std::vector<exfat::Layout> found_;
};

// Lists every file of `sets` in FoundFiles (deleted or not), under the folders rebuilt from
// the directory sets among them, below `root_path`\Lost folders\..., skipping rows the
// catalogue already holds. Returns the number of rows added.
int64_t exfat_list_lost_sets(exfat::Volume& volume, const std::vector<ExfatFoundSet>& sets,
                             const std::string& root_path);

// The folder an earlier exFAT volume's rows are listed under, below the drive.
inline constexpr const char* kEarlierExfatName = "Earlier exFAT volume";

// A layout whose heap is the whole volume in clusters of one sector: a recogniser of it
// finds entry sets at every 32-byte position (an earlier exFAT volume under another one).
exfat::Layout exfat_whole_volume_layout(uint32_t sector, uint64_t volume_bytes);

// The geometry of an earlier exFAT volume the sets belong to: the cluster size (a sector to
// 32 MiB) and heap offset that put the most directory sets' first clusters at the start of
// a run of found sets (at least two folders), when that is not `current`'s geometry and
// `current` (when given) places fewer folders. None when no such geometry is found.
// A geometry of `boot` (from old boot sectors the pass found) wins when it places at least
// as many folders.
std::optional<exfat::Layout> infer_earlier_exfat_layout(
    const std::vector<ExfatFoundSet>& sets, uint32_t sector, uint64_t volume_bytes,
    const exfat::Layout* current, const std::vector<exfat::Layout>& boot = {});

// Lists the sets of the earlier volume of `layout` (those inside its heap) under
// `root_path`\Earlier exFAT volume\..., its root folder's files right there; the rows carry
// their bytes' extent. Returns the number of rows added.
int64_t exfat_list_earlier_sets(TRawDiskAccessComponent& component, const exfat::Layout& layout,
                                const std::vector<ExfatFoundSet>& sets,
                                const std::string& root_path);

// The deep scan of an exFAT volume after its tree walk (`reached`: the folder clusters it
// read): one sweep of the volume, then the rows of the sets found. `extra` recognisers join
// the same pass. Returns the rows added.
int64_t exfat_deep_scan(TRawDiskAccessComponent& component,
                        const std::unordered_set<uint32_t>& reached,
                        std::span<Recogniser* const> extra = {});

}  // namespace pyralis
