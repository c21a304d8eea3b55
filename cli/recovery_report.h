// SPDX-License-Identifier: GPL-3.0-or-later
// The JSON report of `recover --report FILE`: one entry per chosen row with what became of
// it, so that scripts and forensic users can check every file (and keep its SHA-256).
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "core/recovery_outcome.h"
#include "core/row_facts.h"

namespace pyralis::cli {

struct ReportEntry {
  int32_t row = 0;
  int64_t inode = 0;
  std::string name;
  std::string path;  // the catalogue's folder path ("C:\DOCS")
  RecoveryOutcome outcome;
  int estimate = 0;         // the row's RecoveryQuality
  ContentVerdict content;  // of the bytes as written
};

// {"files": [{"row", "inode", "name", "path", "estimate": {"status", "percent"}, "file",
// "size", "bytes_written", "outcome", "unreadable": [{"offset", "length"}], "sha256",
// "content", "damaged_at"}, ...]}; "status" is the list's word ("Very Good", "Overwritten",
// "Compressed", ...), "percent" the estimate 0 to 100 or null for the words without one;
// "file" and "sha256" are null when nothing was written, "damaged_at" (the byte where the
// content breaks) unless the content is damaged.
void write_recovery_report(std::ostream& out, const std::vector<ReportEntry>& entries);

}  // namespace pyralis::cli
