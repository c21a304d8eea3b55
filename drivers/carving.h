// SPDX-License-Identifier: GPL-3.0-or-later
// Search by content on a drive: the carver over the clusters that neither a live file nor a
// listed row holds (FAT, exFAT, NTFS), or over the whole source when it holds no volume
// Pyralis knows; its files become rows under "<drive>\Found by content\<category>". And the
// recovery of such rows from the byte extents their facts name.
#pragma once

#include <cstdint>
#include <string>

#include "core/recovery_outcome.h"

namespace pyralis {

enum class CarveResult {
  kSearched,     // the whole area was searched
  kStopped,      // Stop ended the search; what was found stays listed
  kNotSearched,  // the drive could not be read; a line says why
};

// Appends the files found by content on drive `letter` to FoundFiles, after the rows the
// engine listed (whose clusters it leaves alone).
CarveResult carve_drive(char letter);

// Writes row `index` (a carved row: its facts name its extents) from drive `letter` into
// `folder`: byte-exact, partial where a sector of its extents cannot be read.
RecoveryOutcome undelete_carved_file(char letter, int32_t index, const std::string& folder);

}  // namespace pyralis
