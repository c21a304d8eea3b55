// SPDX-License-Identifier: GPL-3.0-or-later
// Where recover writes a file, and whether the engine wrote it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pyralis::cli {

// Folders of a catalogue Path under the destination: "C:\DOCS\xLD" gives {"DOCS", "xLD"}.
// The drive ("C:") is dropped; empty, "." and ".." parts are skipped so that nothing lands
// outside the destination; "/" and control characters inside a part become "_"; each part
// is cut to 255 bytes.
std::vector<std::string> path_folders(std::string_view path);

// The folder text handed to the engine (which joins it and the name as they are): the
// destination, plus the Path's folders when `with_paths`, always ending in "/".
std::string engine_folder(const std::string& destination, std::string_view path, bool with_paths);

// Follows the engine's log lines for one row: the file counts as written when the engine
// said "Undeleted ... successfully." and reported no failure to write it.
class RowOutcome {
 public:
  void observe(const std::string& line);
  void fail() { failed_ = true; }
  bool written() const { return undeleted_ && !failed_; }

 private:
  bool undeleted_ = false;
  bool failed_ = false;
};

}  // namespace pyralis::cli
