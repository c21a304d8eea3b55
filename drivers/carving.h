// SPDX-License-Identifier: GPL-3.0-or-later
// Search by content on a drive: the carver over the clusters that neither a live file nor a
// listed row holds (FAT, exFAT, NTFS), or over the whole source when it holds no volume
// Pyralis knows; its files become rows under "<drive>\Found by content\<category>". And the
// recovery of such rows from the byte extents their facts name.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/found_files.h"
#include "core/recovery_outcome.h"
#include "core/row_facts.h"
#include "sweep/sweep.h"

namespace pyralis {

enum class CarveResult {
  kSearched,     // the whole area was searched
  kStopped,      // Stop ended the search; what was found stays listed
  kNotSearched,  // the drive could not be read; a line says why
};

// A search by content of drive `letter`: in a pass of its own, or joined to another pass
// over the volume (the deep scan's sweep) as one of its recognisers. The files found are
// listed by finish(), after the rows of the tree walk and the deep scan, whose clusters it
// leaves alone.
class DriveCarving {
 public:
  // Opens the drive; ok() is false (a line says why) when it cannot be searched.
  explicit DriveCarving(char letter);
  ~DriveCarving();
  DriveCarving(const DriveCarving&) = delete;
  DriveCarving& operator=(const DriveCarving&) = delete;

  bool ok() const;
  // Hands the blocks of another pass over the volume to the search.
  Recogniser& recogniser();
  // Reads the carved area itself (the free clusters' area of the volume, or the whole
  // source); Stop ends it, keeping what was found.
  CarveResult run();
  // Appends the files found to FoundFiles (not those whose first byte a listed row holds),
  // and logs "Found by content: N files (M damaged)."
  void finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The whole search by content of drive `letter` in a pass of its own, then finish().
CarveResult carve_drive(char letter);

// Writes a row whose facts name its extents (a carved row, or one found in an earlier
// volume's geometry) from drive `letter` into `folder`: byte-exact, partial where a sector of
// its extents cannot be read. Takes a copy of the row, so it does not touch FoundFiles.
RecoveryOutcome undelete_carved_file(char letter, const FoundFileRecord& record,
                                     const RowFacts& facts, const std::string& folder);

}  // namespace pyralis
