// SPDX-License-Identifier: GPL-3.0-or-later
// The scan and recovery drivers: open the drive, tell FAT from NTFS by the file-system
// name, read sector 0 and hand the volume to the engine.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/recovery_outcome.h"

namespace pyralis {

enum class ScanResult {
  kScanned,     // the engine walked the volume to its end
  kStopped,     // Stop (ScanActive cleared) ended the walk early
  kNotScanned,  // the drive could not be read or its volume was refused; a line says why
};

// Scans drive `letter` (either case) into FoundFiles. A drive that could not be scanned
// leaves ScanActive false and its reason line in the log (the caller adds no "Process
// interrupted" for it).
ScanResult scan_drive(char letter);
// Recovers row `index` of FoundFiles from drive `letter` into `folder` (ends with "/"):
// complete, partial (kept, with the ranges of zeros or missing bytes), failed (nothing left
// behind) or stopped.
RecoveryOutcome undelete_found_file(char letter, int32_t index, const std::string& folder);
// How many of row `index`'s clusters drive `letter` still marks free, as its engine counts
// them; none when the drive, its volume or the row cannot be read.
std::optional<ClusterTally> count_found_file_clusters(char letter, int32_t index);

}  // namespace pyralis
