// SPDX-License-Identifier: GPL-3.0-or-later
// Entries of the NTFS engine.
#pragma once

#include <cstdint>
#include <string>

#include "core/recovery_outcome.h"

namespace pyralis {

class TRawDiskAccessComponent;

// Mounts the volume, walks the MFT bitmap and appends every unused record that still holds
// a file to FoundFiles. Returns 1, or 0 when the volume could not be mounted or its MFT
// bitmap opened (a line says why).
int ntfs_scan(TRawDiskAccessComponent& component);
// Writes the file of MFT record `inode` into `folder`: complete, partial (unreadable
// clusters written as zeros, or runs leaving the volume), failed or stopped.
RecoveryOutcome ntfs_undelete(TRawDiskAccessComponent& component, int64_t inode,
                              const std::string& folder);
// Empties the scan's NameCache (the Scan command does this before every scan).
void ntfs_clear_name_cache();

}  // namespace pyralis
