// The scan and recovery drivers: open the drive, tell FAT from NTFS by the file-system
// name, read sector 0 and hand the volume to the engine.
#pragma once

#include <cstdint>
#include <string>

namespace pyralis {

// Scans drive `letter` (either case) into FoundFiles. The outcome is in ScanActive and
// FoundFiles.
void scan_drive(char letter);
// Recovers row `index` of FoundFiles from drive `letter` into `folder` (ends with "/").
// Returns 1 on every path.
int undelete_found_file(char letter, int32_t index, const std::string& folder);

}  // namespace pyralis
