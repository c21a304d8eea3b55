// Placeholder entries until the FAT engine lands: they only record that they were called.
#include "fat/fat_engine.h"

#include "core/engine_window.h"

namespace pyralis {

int fat_scan(TRawDiskAccessComponent&) {
  Window().LogLine("fat_scan called");
  return 1;
}

int fat_undelete(TRawDiskAccessComponent&, int32_t, const std::string&) {
  Window().LogLine("fat_undelete called");
  return 1;
}

}  // namespace pyralis
