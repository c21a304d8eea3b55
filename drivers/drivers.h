// SPDX-License-Identifier: GPL-3.0-or-later
// The scan and recovery drivers: open the drive, tell FAT from NTFS by the file-system
// name, read sector 0 and hand the volume to the engine.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/found_files.h"
#include "core/recovery_outcome.h"
#include "core/row_facts.h"
#include "filetypes/filetypes.h"

namespace pyralis {

enum class ScanResult {
  kScanned,     // the engine walked the volume to its end
  kStopped,     // Stop (ScanActive cleared) ended the walk early
  kNotScanned,  // the drive could not be read or its volume was refused; a line says why
};

// What a scan does beyond walking the volume's folder tree or MFT.
struct ScanOptions {
  // Deep scan: one pass over the whole volume that lists what the tree no longer reaches
  // (lost folders, entry sets, MFT records outside the current MFT).
  bool deep = false;
  // Search by content (carving) in the same pass; implies `deep`.
  bool carve = false;
};

// Scans drive `letter` (either case) into FoundFiles. A drive that could not be scanned
// leaves ScanActive false and its reason line in the log (the caller adds no "Process
// interrupted" for it).
ScanResult scan_drive(char letter);
ScanResult scan_drive(char letter, const ScanOptions& options);
// Recovers row `index` of FoundFiles from drive `letter` into `folder` (ends with "/"):
// complete, partial (kept, with the ranges of zeros or missing bytes), failed (nothing left
// behind) or stopped.
RecoveryOutcome undelete_found_file(char letter, int32_t index, const std::string& folder);
// How many of row `index`'s clusters drive `letter` still marks free, as its engine counts
// them; none when the drive, its volume or the row cannot be read.
std::optional<ClusterTally> count_found_file_clusters(char letter, int32_t index);
// Reads the first `limit` bytes (at most) of row `index` of FoundFiles from drive `letter`
// the way its recovery reads them, into `bytes`; nothing is written and nothing is logged.
// The outcome says whether the file was read whole (a file longer than `limit` ends as
// failed, with its first `limit` bytes read).
RecoveryOutcome read_found_file(char letter, int32_t index, uint64_t limit,
                                std::vector<uint8_t>& bytes);
// Reads row `index` of FoundFiles from drive `letter` the way its recovery reads it, into
// memory only (nothing is written), and says what its bytes are: intact, damaged at byte N,
// or unchecked (an unknown type, or a file that could not be read). Also kept in the row's
// facts.
ContentVerdict check_found_file(char letter, int32_t index);
// The same for a file larger than the check holds in memory: the walk reads it through
// windows of `window` bytes, each read again from the file's start as recovery reads it (a
// walk that goes forward costs about size / (¾ window) reads of the file up to its window).
// Unchecked when the walk needs more windows than a bound.
ContentVerdict check_found_file_in_windows(char letter, int32_t index, uint64_t window);
// The same for a copy of a row and its facts, safe to call from a worker thread while the
// interface thread sorts or replaces FoundFiles: the catalogue is not touched, the read opens
// its own reader, logs nothing, and stops (Unchecked) once `go_on` turns false. Nothing is
// kept in the facts; the caller stores the verdict by the row's id. At Depth::kStructure a
// JPEG's image data is not decoded (see decoding_may_tell_more).
ContentVerdict check_found_row(char letter, const FoundFileRecord& record, const RowFacts& facts,
                               const std::atomic<bool>& go_on,
                               filetypes::Depth depth = filetypes::Depth::kDecode);

// Reads the first `limit` bytes (at most) of a copy of a row the way its recovery reads it,
// into `bytes`, safe from a worker thread as check_found_row is: nothing is written, nothing
// logged, the catalogue is not touched, and the read stops (failed) once `go_on` turns false.
RecoveryOutcome read_found_row(char letter, const FoundFileRecord& record, const RowFacts& facts,
                               uint64_t limit, std::vector<uint8_t>& bytes,
                               const std::atomic<bool>& go_on);

// Saved scans: the catalogue with its row facts, and the identity of the volume of drive
// `letter` (serial, size, a digest of its first sectors), written to `path`; and read back,
// refused when the file does not describe the volume now behind `letter`. False with a
// one-line reason in `error` when it cannot be done; FoundFiles is left as it was then.
bool save_scan(char letter, const std::string& path, std::string* error);
bool open_scan(char letter, const std::string& path, std::string* error);

}  // namespace pyralis
