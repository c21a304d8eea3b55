// SPDX-License-Identifier: GPL-3.0-or-later
// Entries of the NTFS engine.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/recovery_outcome.h"

namespace pyralis {

class TRawDiskAccessComponent;

// Mounts the volume, walks the MFT bitmap and appends every unused record that still holds
// a file to FoundFiles. Returns 1, or 0 when the volume could not be mounted or its MFT
// bitmap opened (a line says why).
int ntfs_scan(TRawDiskAccessComponent& component);
// Writes the file of MFT record `inode` into `folder`: complete, partial (unreadable
// clusters written as zeros, or runs leaving the volume), failed or stopped. A record the deep
// scan found outside the MFT is read at its volume byte `record_offset` (0: through the MFT).
RecoveryOutcome ntfs_undelete(TRawDiskAccessComponent& component, int64_t inode,
                              const std::string& folder, uint64_t record_offset = 0);
// The clusters of the main stream of MFT record `inode` (holes not counted, clusters past
// the volume and unmapped runs counted as taken) and how many of them $Bitmap marks free;
// none when the record cannot be read or its data lies in the record itself.
std::optional<ClusterTally> ntfs_count_clusters(TRawDiskAccessComponent& component, int64_t inode,
                                                uint64_t record_offset = 0);
// Empties the scan's NameCache (the Scan command does this before every scan).
void ntfs_clear_name_cache();

}  // namespace pyralis
