// SPDX-License-Identifier: GPL-3.0-or-later
// Entries of the exFAT engine.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_set>

#include "core/found_files.h"
#include "core/recovery_outcome.h"

namespace pyralis {

class TRawDiskAccessComponent;

// Mounts the volume from its own boot sector, walks every directory, live and deleted, and
// appends every deleted file entry set to FoundFiles. Returns 1, or 0 when the volume was
// refused (with its line). `reached`, when given, receives every folder cluster the walk read.
int exfat_scan(TRawDiskAccessComponent& component, std::unordered_set<uint32_t>* reached = nullptr);
// Writes row `index` of FoundFiles into `folder` (ends with "/"): the file's own clusters
// when its entry said they are contiguous, its table chain when that is still whole, else
// its first cluster and the free clusters after it.
RecoveryOutcome exfat_undelete(TRawDiskAccessComponent& component, int32_t index,
                               const std::string& folder);
// The same for a copy of a row and its facts, without touching FoundFiles (a worker's check).
RecoveryOutcome exfat_undelete(TRawDiskAccessComponent& component, const FoundFileRecord& record,
                               const RowFacts& facts, const std::string& folder);
// The clusters the recovery of row `index` would read, and how many of them are free; none
// when the volume or the row cannot be read.
std::optional<ClusterTally> exfat_count_clusters(TRawDiskAccessComponent& component,
                                                 int32_t index);

}  // namespace pyralis
