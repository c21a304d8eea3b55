// SPDX-License-Identifier: GPL-3.0-or-later
// What became of one recovered file: the engines' recovery entries and the recovery driver
// return it, the window unselects only complete rows, and the command line turns it into
// its exit status and report.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace pyralis {

enum class RecoveryResult {
  kComplete,  // every byte written as read from the volume
  kPartial,   // written and kept, but some bytes stand for unreadable, overwritten or missing data
  kFailed,    // nothing left behind in the destination
  kStopped,   // the user stopped the recovery before this file was finished; nothing left behind
};

// A byte range of the file (not of the volume).
struct FileByteRange {
  uint64_t offset = 0;
  uint64_t length = 0;
};

struct RecoveryOutcome {
  RecoveryResult result = RecoveryResult::kFailed;
  std::string written_path;  // folder + name actually written; empty when nothing was written
  uint64_t size = 0;         // the size the file should have
  uint64_t bytes_written = 0;
  // Ranges written as zeros because the volume could not be read there, or left out because
  // the data was missing (no free cluster followed, a run left the volume). Ordered, merged.
  std::vector<FileByteRange> unreadable;
  // Ranges written from clusters that another (live) file now holds: their bytes are that
  // file's, not this one's. Ordered, merged; apart from `unreadable`.
  std::vector<FileByteRange> overwritten;
  // Lower-case hex digest of what was written; empty when nothing was, or when the recovery
  // command did not ask for digests.
  std::string sha256;

  bool complete() const { return result == RecoveryResult::kComplete; }
  // Bytes counted in `unreadable`.
  uint64_t unreadable_bytes() const {
    uint64_t n = 0;
    for (const auto& r : unreadable) n += r.length;
    return n;
  }
  // Bytes counted in `overwritten`.
  uint64_t overwritten_bytes() const {
    uint64_t n = 0;
    for (const auto& r : overwritten) n += r.length;
    return n;
  }
};

// "complete", "partial", "failed", "stopped".
inline const char* recovery_result_text(RecoveryResult r) {
  switch (r) {
    case RecoveryResult::kComplete: return "complete";
    case RecoveryResult::kPartial: return "partial";
    case RecoveryResult::kFailed: return "failed";
    case RecoveryResult::kStopped: return "stopped";
  }
  return "failed";
}

// How many of a found file's clusters the volume still marks free: what is left of it.
struct ClusterTally {
  uint64_t clusters = 0;  // clusters that hold the file's data (holes not counted)
  uint64_t free = 0;      // of those, the ones still free
};

}  // namespace pyralis
