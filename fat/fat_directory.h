// A directory's entries, read one cluster (or, for the FAT12/16 root, one piece of the fixed
// region) at a time, so that each level of the walk holds little memory.
#pragma once

#include <array>
#include <cstdint>
#include <unordered_set>

#include "core/cluster_buffer.h"
#include "core/memory_stream.h"

namespace pyralis {

class FatVolume;

class DirectoryStream {
 public:
  // First cluster 0 is the root directory. A directory follows its chain in the table (a
  // deleted directory's chain is gone, so it yields its first cluster), for at most the
  // 65536 entries a FAT directory can hold, so that a looping chain ends.
  DirectoryStream(FatVolume& volume, uint32_t first_cluster);

  // Reads the next 32-byte entry; false when no whole entry remains. Entries in sectors
  // that could not be read are left out (their zeros would end the directory).
  bool Next(std::array<uint8_t, 32>& entry);

  static constexpr uint64_t kMaxDirectoryBytes = 65536 * 32;

 private:
  bool Refill();
  bool Unreadable(int64_t position) const;  // the entry at `position` lies in a bad sector

  FatVolume& volume_;
  TMemoryStream piece_;
  std::vector<RequestRange> unreadable_;  // bytes of piece_ the volume could not deliver
  int64_t position_ = 0;
  bool in_region_ = false;    // FAT12/16 root: a fixed byte range
  uint64_t region_next_ = 0;  // next byte of the region to read
  uint64_t region_end_ = 0;
  uint32_t cluster_ = 0;  // cluster held in piece_ (chain mode); 0 before the first
  uint32_t first_cluster_ = 0;
  uint64_t clusters_left_ = 0;          // bound on the clusters still to read
  std::unordered_set<uint32_t> chain_;  // clusters read so far: a chain that comes back ends
};

}  // namespace pyralis
