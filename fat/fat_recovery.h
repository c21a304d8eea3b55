// SPDX-License-Identifier: GPL-3.0-or-later
// Rebuilding a deleted file: its first cluster, then the free clusters after it in cluster
// order (a deleted file's chain is gone from the table).
#pragma once

#include <cstdint>
#include <string>

namespace pyralis {

class FatVolume;
class RecoveredFile;

enum class CollectResult {
  kComplete,       // all `size` bytes were written
  kOutOfClusters,  // no free cluster followed; fewer bytes were written
  kTableUnknown,   // the table could not be read where the next cluster would be found
  kStopped,        // RecoveryActive was cleared
  kWriteFailed,    // *error holds the reason
};

// Streams the first `size` bytes of the rebuilt content into `out`, a bounded run of
// contiguous clusters per read. The first cluster must lie in the data area.
// With kTableUnknown, *unknown_cluster is the first cluster whose entry no table copy gave.
CollectResult read_free_clusters(FatVolume& volume, uint32_t first_cluster, uint64_t size,
                                 RecoveredFile& out, std::string* error,
                                 uint32_t* unknown_cluster = nullptr);

}  // namespace pyralis
