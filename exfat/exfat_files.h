// SPDX-License-Identifier: GPL-3.0-or-later
// What the exFAT scan learnt of a listed file that its catalogue row has no column for
// (whether its clusters are contiguous, how many of its bytes were written), read back from
// the row's facts for its recovery.
#pragma once

#include <cstdint>

#include "core/found_files.h"

namespace pyralis::exfat {

struct FileFacts {
  bool no_fat_chain = false;
  uint64_t valid_data_length = 0;
};

// Row `index`'s exFAT facts; a row the exFAT scan did not list itself is taken as chained and
// fully written (`size` bytes valid).
inline FileFacts file_facts(const RowFacts& facts, uint64_t size) {
  if (!facts.exfat_facts) return {false, size};
  return {facts.no_fat_chain, facts.valid_data_length};
}
inline FileFacts file_facts(int32_t index, uint64_t size) {
  return file_facts(FoundFiles.Facts(index), size);
}

}  // namespace pyralis::exfat
