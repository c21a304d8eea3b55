// SPDX-License-Identifier: GPL-3.0-or-later
// Writing a recovered file into the destination folder, safely:
//  - the name from the volume becomes one safe path component (no "/", control characters,
//    "." or "..", at most 255 bytes, never empty), so nothing is written outside the folder;
//  - within a recovery command that opened the folder (RecoveryCommand::UseFolder) every
//    name is created relative to that descriptor, never following a symbolic link;
//  - the content goes to a temporary file in the folder and is moved into place only when
//    complete (Discard, or destruction without Commit, leaves nothing behind);
//  - an existing file is never replaced: when `name` is taken the file becomes
//    "name (2).ext", "name (3).ext", ...
#pragma once

#include <fcntl.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/cluster_buffer.h"
#include "core/recovery_outcome.h"
#include "core/sha256.h"

namespace pyralis {

// One path component made of `name`: "/" and control characters (NUL to 0x1F, 0x7F) become
// "_", "", "." and ".." become "_",
// cut to 255 bytes on a character boundary (keeping the extension where it can).
std::string safe_file_name(std::string_view name);

// How the files of the recovery now running are written. The recovery driver sets it
// around one engine call (RecoveryTargetScope); the engines know nothing of it.
struct RecoveryTarget {
  // Given to each committed file as its modification time (days since 1899-12-30, local
  // time); 0 leaves the time of writing.
  double modified = 0.0;
  // When set, nothing is written to disk: the bytes of the first file opened land here (at
  // most capture_limit of them; a write beyond that fails), later files are dropped.
  std::vector<uint8_t>* capture = nullptr;
  uint64_t capture_limit = 0;
  // With capture: the file's bytes before this offset are passed over, not kept (the buffer
  // starts at it), so that a file larger than the buffer can be read a window at a time.
  uint64_t capture_from = 0;
};
const RecoveryTarget& CurrentRecoveryTarget();

// Installs a target for its lifetime and puts back the one before.
class RecoveryTargetScope {
 public:
  explicit RecoveryTargetScope(const RecoveryTarget& target);
  ~RecoveryTargetScope();
  RecoveryTargetScope(const RecoveryTargetScope&) = delete;
  RecoveryTargetScope& operator=(const RecoveryTargetScope&) = delete;

 private:
  RecoveryTarget previous_;
};

// Sets the modification time of `path` to `modified` (see RecoveryTarget); false when the
// value is no valid date or the system refuses.
bool set_modified_time(const std::string& path, double modified);

// Removes the temporary file being written, if any; only async-signal-safe calls, for a
// handler of a signal that ends the program.
void remove_part_file_from_signal_handler();

class RecoveredFile {
 public:
  RecoveredFile() = default;
  ~RecoveredFile();  // discards an uncommitted temporary file
  RecoveredFile(const RecoveredFile&) = delete;
  RecoveredFile& operator=(const RecoveredFile&) = delete;

  // `folder` ends with "/" (it is used as given: folder + name). Creates the temporary file.
  // On failure returns false and puts the system's reason into *error.
  bool Open(const std::string& folder, std::string_view name, std::string* error);
  bool Write(const void* data, size_t size, std::string* error);
  // Writes `size` zero bytes (holes).
  bool WriteZeros(uint64_t size, std::string* error);
  // Flushes, closes and moves the file into place under the first free name. *written_name
  // receives the name actually used (without the folder).
  bool Commit(std::string* written_name, std::string* error);
  // Removes the temporary file.
  void Discard();
  uint64_t BytesWritten() const { return written_; }

  // Notes that the `length` bytes at file offset `offset` stand for data the volume could
  // not deliver (written as zeros).
  void NoteUnreadable(uint64_t offset, uint64_t length);
  // The same for the unreadable `ranges` of one volume request whose first `used` bytes go
  // to file offset `at` (ranges past `used` are not part of the file).
  void NoteUnreadable(uint64_t at, const std::vector<RequestRange>& ranges, uint64_t used);
  // Notes that the `length` bytes at file offset `offset` were written from clusters that
  // another file now holds.
  void NoteOverwritten(uint64_t offset, uint64_t length);
  // After Commit: what was written of a file that should hold `size` bytes. Complete, or
  // partial with the noted ranges and, when fewer than `size` bytes were written, the
  // missing rest; with the path written and, when the recovery command asked for digests,
  // the SHA-256 of the bytes written.
  RecoveryOutcome Outcome(uint64_t size);
  // Whether the bytes written are digested (then a hole costs time for its length).
  bool Digesting() const { return digesting_; }

 private:
  int fd_ = -1;
  int dir_ = AT_FDCWD;  // or the command's descriptor of folder_
  std::string prefix_;  // folder_ when dir_ is AT_FDCWD, else empty
  std::string folder_;
  std::string name_;
  std::string temp_path_;
  uint64_t written_ = 0;
  // Capture mode (see RecoveryTarget): the buffer of this file, or none when dropped.
  bool capturing_ = false;
  std::vector<uint8_t>* capture_ = nullptr;
  std::string written_path_;
  std::vector<FileByteRange> unreadable_;
  std::vector<FileByteRange> overwritten_;
  Sha256 digest_;
  bool digesting_ = false;  // the current recovery command asked for digests
  bool ends_in_hole_ = false;  // the last bytes were a hole (WriteZeros)
};

// Adds [offset, offset + length) to ordered, merged `ranges` (ranges come in file order).
void add_file_range(std::vector<FileByteRange>& ranges, uint64_t offset, uint64_t length);
// 1000000 as "1,000,000".
std::string with_thousands(uint64_t value);
// The log line of a written file: "Undeleted <path> successfully." for a complete one;
// "Undeleted <path> with 4,096 of 1,000,000 bytes unreadable (written as zeros)." for a
// partial one (and the bytes overwritten by other files, and the bytes missing at its end,
// when it is short).
std::string undeleted_line(const RecoveryOutcome& outcome);

}  // namespace pyralis
