// SPDX-License-Identifier: GPL-3.0-or-later
// Command-line arguments of pyralis-cli: the command, its sources and its options.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/output_formats.h"

namespace pyralis::cli {

enum class Command { Help, Version, Drives, Scan, Recover };

struct Options {
  Command command = Command::Help;
  std::vector<std::string> sources;  // image files or block devices, attached from C: on
  char drive = 0;                    // upper-case letter of --drive; 0 when not given
  OutputFormat format = OutputFormat::Table;
  // scan only: --check reads every found file (nothing written) and adds its content verdict
  bool check = false;
  // recover only
  std::string destination;  // --to
  bool all = false;
  std::vector<int64_t> inodes;
  std::vector<int32_t> rows;
  bool with_paths = false;
  bool no_dates = false;
  std::string report;  // --report FILE: JSON of what became of every chosen row
  // --map FILE: GNU ddrescue mapfile of the (first) source; sectors not marked finished
  // read as unreadable (scan, recover)
  std::string map;
  // --deep: a deep scan (scan, recover)
  bool deep = false;
  // --save FILE: the scan is also written to FILE (scan)
  std::string save;
  // --from-scan FILE: rows come from a saved scan instead of a new scan (recover)
  std::string from_scan;
  // --carve: search the free clusters (or a source without a volume) by content too
  bool carve = false;
};

struct ParseResult {
  Options options;
  std::string error;  // one line saying what is wrong; empty when the arguments are good
};

// Parses argv[1..argc-1]. --help and --version win over everything else.
ParseResult parse_arguments(const std::vector<std::string>& arguments);

// Drive letter from "X", "X:", "X:\" or "X:/" (either case); none for anything else, and for
// A and B, which are never given out.
std::optional<char> parse_drive_letter(const std::string& text);

// The text of --help.
std::string help_text();

}  // namespace pyralis::cli
