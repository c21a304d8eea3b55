// SPDX-License-Identifier: GPL-3.0-or-later
// Where recover writes a file, and whether the engine wrote it.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace pyralis {
class RecoveryCommand;
}

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

// Creates the folders of recovered files under the destination one by one, each relative to
// its parent's descriptor and never through a symbolic link: a name in the way that is not a
// folder (a recovered file, or a link planted in the destination) gives a numbered folder
// "name (2)" instead. The descriptors go to the recovery command, which creates the files
// through them, so nothing is written outside the destination.
class FolderMaker {
 public:
  explicit FolderMaker(RecoveryCommand& command) : command_(command) {}

  // Opens the destination; false with the reason in `error` when it cannot be opened.
  bool open_root(const std::string& destination, std::string* error);
  // The folder (ending in "/") for a row whose catalogue path is `path`; "" with *error set
  // when it cannot be made.
  std::string folder_for(std::string_view path, bool with_paths, std::string* error);

 private:
  static constexpr int kMaxNumberedFolders = 1000;

  // Creates (or opens) `part` in the folder `parent_fd`; returns the name used.
  std::string make_folder(int parent_fd, const std::string& parent, const std::string& part,
                          std::string* error);

  RecoveryCommand& command_;
  std::string root_;
  std::map<std::string, std::string> made_;  // folder as the catalogue names it -> as made
};

}  // namespace pyralis::cli
