// Entries of the NTFS engine.
#pragma once

#include <cstdint>
#include <string>

namespace pyralis {

class TRawDiskAccessComponent;

// Mounts the volume, walks the MFT bitmap and appends every unused record that still holds
// a file to FoundFiles. Returns 1.
int ntfs_scan(TRawDiskAccessComponent& component);
// Writes the file of MFT record `inode` into `folder`. Returns 1.
int ntfs_undelete(TRawDiskAccessComponent& component, int64_t inode, const std::string& folder);
// Empties the scan's NameCache (the Scan command does this before every scan).
void ntfs_clear_name_cache();

}  // namespace pyralis
