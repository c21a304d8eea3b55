// SPDX-License-Identifier: GPL-3.0-or-later
// Entries of the FAT engine (FAT12, FAT16, FAT32 with long names).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_set>

#include "core/found_files.h"
#include "core/recovery_outcome.h"

namespace pyralis {

class TRawDiskAccessComponent;

// Walks the volume's directory tree and appends every deleted file to FoundFiles.
// Expects FatBootSector filled by the driver. Returns 1, or 0 when the volume was refused
// (its line says why). `reached`, when given, receives the first clusters of the
// directories the walk read (the deep scan lists what lies outside them).
int fat_scan(TRawDiskAccessComponent& component, std::unordered_set<uint32_t>* reached = nullptr);
// Rebuilds row `index` of FoundFiles from its first cluster and the free clusters after it
// and writes it into `folder`. Complete, partial (kept: unreadable sectors written as zeros,
// or no free cluster followed), failed (nothing left behind) or stopped.
RecoveryOutcome fat_undelete(TRawDiskAccessComponent& component, int32_t index,
                             const std::string& folder);
// The same for a copy of a row, without touching FoundFiles (a worker's check).
RecoveryOutcome fat_undelete(TRawDiskAccessComponent& component, const FoundFileRecord& record,
                             const std::string& folder);
// The clusters row `index` needs from its first cluster on, and how many of those are free
// in the FAT (a file written in one piece is whole when all are); none when the volume
// cannot be read.
std::optional<ClusterTally> fat_count_clusters(TRawDiskAccessComponent& component,
                                               int32_t index);

}  // namespace pyralis
