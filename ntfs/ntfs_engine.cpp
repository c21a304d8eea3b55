// Placeholder entries until the NTFS engine lands: they only record that they were called.
#include "ntfs/ntfs_engine.h"

#include "core/engine_window.h"

namespace pyralis {

int ntfs_scan(TRawDiskAccessComponent&) {
  Window().LogLine("ntfs_scan called");
  return 1;
}

int ntfs_undelete(TRawDiskAccessComponent&, int64_t, const std::string&) {
  Window().LogLine("ntfs_undelete called");
  return 1;
}

void ntfs_clear_name_cache() {}

}  // namespace pyralis
