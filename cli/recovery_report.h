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
  std::string estimate;    // the row's Status word ("Good")
  ContentVerdict content;  // of the bytes as written
};

// {"files": [{"row", "inode", "name", "path", "file", "size", "bytes_written", "outcome",
// "unreadable": [{"offset", "length"}], "sha256", "estimate", "content", "damaged_at"}, ...]};
// "file" and "sha256" are null when nothing was written, "damaged_at" (the byte where the
// content breaks) unless the content is damaged.
void write_recovery_report(std::ostream& out, const std::vector<ReportEntry>& entries);

}  // namespace pyralis::cli
