// SPDX-License-Identifier: GPL-3.0-or-later
// What the scan learns of each listed file that its catalogue row has no column for (whether
// its clusters are contiguous, how many of its bytes were written), kept for the recovery of
// the same rows. Rows are sorted in place by the list, so the facts are found by the row's
// own values, not by its index.
#pragma once

#include <cstdint>
#include <optional>

#include "core/found_files.h"

namespace pyralis::exfat {

struct FileFacts {
  bool no_fat_chain = false;
  uint64_t valid_data_length = 0;
};

void clear_file_facts();
void remember_file_facts(const FoundFileRecord& record, const FileFacts& facts);
std::optional<FileFacts> recall_file_facts(const FoundFileRecord& record);

}  // namespace pyralis::exfat
