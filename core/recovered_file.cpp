// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/recovered_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <random>
#include <utility>

#include "core/date_time.h"
#include "core/found_files.h"
#include "core/recovery_command.h"

namespace pyralis {

namespace {

constexpr size_t kMaxNameBytes = 255;
// An extension longer than this is treated as part of the name when cutting.
constexpr size_t kMaxKeptExtension = 32;
constexpr int kMaxNumberedNames = 100000;

std::string reason(int error_number) {
  return std::strerror(error_number);
}

// Splits at the last "." that is neither the first character nor the last.
void split_extension(const std::string& name, std::string& stem, std::string& extension) {
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == name.size()) {
    stem = name;
    extension.clear();
  } else {
    stem = name.substr(0, dot);
    extension = name.substr(dot);
  }
}

// stem + suffix + extension, the stem cut (on a character boundary) so that the whole
// stays within 255 bytes. An overlong extension counts as part of the stem.
std::string compose(std::string stem, const std::string& suffix, std::string extension) {
  if (extension.size() > kMaxKeptExtension) {
    stem += extension;
    extension.clear();
  }
  const size_t room = kMaxNameBytes - suffix.size() - extension.size();
  return cut_bytes(stem, room) + suffix + extension;
}

// The name that the n-th attempt uses: "name.ext", "name (2).ext", "name (3).ext", ...
std::string numbered_name(const std::string& name, int n) {
  if (n == 1) return name;
  std::string stem, extension;
  split_extension(name, stem, extension);
  return compose(stem, " (" + std::to_string(n) + ")", extension);
}

bool write_all(int fd, const uint8_t* data, size_t size, std::string* error) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (error) *error = reason(errno);
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool unsupported(int error_number) {
  return error_number == EINVAL || error_number == ENOSYS || error_number == EOPNOTSUPP ||
         error_number == EPERM;
}

// Moves `from` to `to` (both relative to the folder descriptor `dir`) unless `to` exists.
// Returns 0 or the errno value.
int move_no_replace(int dir, const std::string& from, const std::string& to) {
  if (::renameat2(dir, from.c_str(), dir, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (!unsupported(errno)) return errno;
  // File systems without the flag: a hard link never replaces either.
  if (::linkat(dir, from.c_str(), dir, to.c_str(), 0) == 0) {
    ::unlinkat(dir, from.c_str(), 0);
    return 0;
  }
  if (!unsupported(errno)) return errno;
  // Neither (FAT destinations): claim the name with an exclusive create, then move the
  // content over the empty file that this call itself made.
  const int claim =
      ::openat(dir, to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (claim < 0) return errno;
  ::close(claim);
  if (::renameat(dir, from.c_str(), dir, to.c_str()) != 0) {
    const int error_number = errno;
    ::unlinkat(dir, to.c_str(), 0);
    return error_number;
  }
  return 0;
}

// The temporary file being written, kept where a signal handler can remove it: its folder
// descriptor and path (relative to it), valid while part_known is set.
char part_path[4096];
volatile std::sig_atomic_t part_dir = AT_FDCWD;
volatile std::sig_atomic_t part_known = 0;

void note_part_file(int dir, const std::string& path) {
  part_known = 0;
  if (path.empty() || path.size() >= sizeof part_path) return;
  std::memcpy(part_path, path.c_str(), path.size() + 1);
  part_dir = dir;
  part_known = 1;
}

bool set_modified_time_at(int dir, const std::string& path, double modified) {
  if (!(modified > 0.0) || modified > 2958465.0) return false;  // up to 9999-12-31
  const std::optional<int64_t> seconds = local_date_time_to_unix(modified);
  if (!seconds) return false;
  const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(*seconds), 0}};
  return ::utimensat(dir, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

std::string temp_name() {
  static std::atomic<unsigned> counter{0};
  static const unsigned seed = std::random_device{}();
  static const int pid = static_cast<int>(::getpid());
  char text[64];
  std::snprintf(text, sizeof text, ".pyralis-%d-%08x-%u.part", pid, seed,
                counter.fetch_add(1));
  return text;
}

// Per thread: a check that reads a file into memory in a worker leaves the command that
// writes files in another thread alone.
RecoveryTarget& target() {
  thread_local RecoveryTarget current;
  return current;
}

// Whether a file of the current capture has taken the buffer.
bool& capture_claimed() {
  thread_local bool claimed = false;
  return claimed;
}

// Bytes of the capturing file offered so far (kept or passed over); per thread like the
// capture itself, since a worker's check and the interface thread's preview capture at once.
uint64_t& capture_offered() {
  thread_local uint64_t offered = 0;
  return offered;
}

// Appends up to `size` bytes of `data` (zeros when null) to the capture buffer, past the
// first capture_from bytes of the file.
bool capture_bytes(std::vector<uint8_t>* buffer, const uint8_t* data, uint64_t size,
                   std::string* error) {
  if (buffer == nullptr) return true;
  uint64_t& offered = capture_offered();
  const uint64_t from = target().capture_from;
  if (offered < from) {
    const uint64_t passed = std::min(size, from - offered);
    offered += passed;
    size -= passed;
    if (data) data += passed;
    if (size == 0) return true;
  }
  offered += size;
  const uint64_t limit = target().capture_limit;
  const uint64_t room = limit > buffer->size() ? limit - buffer->size() : 0;
  const uint64_t taken = std::min(room, size);
  if (data)
    buffer->insert(buffer->end(), data, data + taken);
  else
    buffer->resize(buffer->size() + taken, 0);
  if (taken == size) return true;
  if (error) *error = "only the first " + std::to_string(limit) + " bytes are read";
  return false;
}

}  // namespace

const RecoveryTarget& CurrentRecoveryTarget() {
  return target();
}

RecoveryTargetScope::RecoveryTargetScope(const RecoveryTarget& next) : previous_(target()) {
  target() = next;
  capture_claimed() = false;
}

RecoveryTargetScope::~RecoveryTargetScope() {
  target() = previous_;
  capture_claimed() = false;
}

bool set_modified_time(const std::string& path, double modified) {
  return set_modified_time_at(AT_FDCWD, path, modified);
}

void remove_part_file_from_signal_handler() {
  if (part_known) ::unlinkat(part_dir, part_path, 0);
  part_known = 0;
}

std::string safe_file_name(std::string_view name) {
  std::string safe(name);
  for (char& c : safe)
    if (c == '/' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '_';
  if (safe.empty() || safe == "." || safe == "..") return "_";
  if (safe.size() <= kMaxNameBytes) return safe;
  std::string stem, extension;
  split_extension(safe, stem, extension);
  return compose(stem, "", extension);
}

RecoveredFile::~RecoveredFile() {
  Discard();
}

bool RecoveredFile::Open(const std::string& folder, std::string_view name, std::string* error) {
  Discard();
  folder_ = folder;
  name_ = safe_file_name(name);
  written_ = 0;
  written_path_.clear();
  unreadable_.clear();
  digest_ = Sha256();
  const RecoveryCommand* command = RecoveryCommand::Current();
  digesting_ = command != nullptr && command->DigestsWanted();
  if (target().capture != nullptr) {
    // The first file of a capture gets the buffer; the others (named streams) are dropped.
    capturing_ = true;
    capture_ = capture_claimed() ? nullptr : target().capture;
    if (!capture_claimed()) capture_offered() = 0;
    capture_claimed() = true;
    return true;
  }
  ends_in_hole_ = false;
  // Within a command that opened the folder, names are relative to its descriptor.
  const int folder_fd = command ? command->FolderDescriptor(folder_) : -1;
  dir_ = folder_fd >= 0 ? folder_fd : AT_FDCWD;
  prefix_ = folder_fd >= 0 ? std::string() : folder_;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string path = prefix_ + temp_name();
    const int fd =
        ::openat(dir_, path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) {
      fd_ = fd;
      temp_path_ = path;
      note_part_file(dir_, path);
      return true;
    }
    if (errno != EEXIST) {
      if (error) *error = reason(errno);
      return false;
    }
  }
  if (error) *error = reason(EEXIST);
  return false;
}

bool RecoveredFile::Write(const void* data, size_t size, std::string* error) {
  if (capturing_) {
    if (!capture_bytes(capture_, static_cast<const uint8_t*>(data), size, error)) return false;
    written_ += size;
    return true;
  }
  if (fd_ < 0) {
    if (error) *error = reason(EBADF);
    return false;
  }
  if (!write_all(fd_, static_cast<const uint8_t*>(data), size, error)) return false;
  if (digesting_) digest_.Update(data, size);
  written_ += size;
  if (size > 0) ends_in_hole_ = false;
  return true;
}

bool RecoveredFile::WriteZeros(uint64_t size, std::string* error) {
  if (capturing_) {
    if (!capture_bytes(capture_, nullptr, size, error)) return false;
    written_ += size;
    return true;
  }
  if (fd_ < 0) {
    if (error) *error = reason(EBADF);
    return false;
  }
  // A hole: the file's length is set at Commit, so a trailing hole is kept too.
  if (::lseek(fd_, static_cast<off_t>(size), SEEK_CUR) < 0) {
    if (error) *error = reason(errno);
    return false;
  }
  if (digesting_) digest_.UpdateZeros(size);
  written_ += size;
  if (size > 0) ends_in_hole_ = true;
  return true;
}

bool RecoveredFile::Commit(std::string* written_name, std::string* error) {
  if (capturing_) {
    capturing_ = false;
    written_path_ = folder_ + name_;
    if (written_name) *written_name = name_;
    return true;
  }
  if (fd_ < 0) {
    if (error) *error = reason(EBADF);
    return false;
  }
  int failure = 0;
  // Written bytes give the file its length; only a hole at the end needs it set.
  if (ends_in_hole_ && ::ftruncate(fd_, static_cast<off_t>(written_)) != 0) failure = errno;
  if (::close(fd_) != 0 && failure == 0) failure = errno;
  fd_ = -1;
  // Within a command the numbers this command has already given out for the name are taken:
  // the search starts after them. Every number is still tried by a move that never replaces.
  RecoveryCommand* command = RecoveryCommand::Current();
  const int first = command ? command->FirstNumberToTry(folder_, name_) : 1;
  for (int n = first; failure == 0 && n <= kMaxNumberedNames; ++n) {
    const std::string candidate = numbered_name(name_, n);
    const int result = move_no_replace(dir_, temp_path_, prefix_ + candidate);
    if (result == 0) {
      part_known = 0;
      temp_path_.clear();
      written_path_ = folder_ + candidate;
      if (target().modified != 0.0)
        set_modified_time_at(dir_, prefix_ + candidate, target().modified);
      if (command) command->NumberTaken(folder_, name_, n);
      if (written_name) *written_name = candidate;
      return true;
    }
    if (result != EEXIST) failure = result;
  }
  if (failure == 0) failure = EEXIST;
  if (error) *error = reason(failure);
  Discard();
  return false;
}

void RecoveredFile::Discard() {
  capturing_ = false;
  capture_ = nullptr;
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (!temp_path_.empty()) {
    part_known = 0;
    ::unlinkat(dir_, temp_path_.c_str(), 0);
    temp_path_.clear();
  }
}

}  // namespace pyralis

namespace pyralis {

void add_file_range(std::vector<FileByteRange>& ranges, uint64_t offset, uint64_t length) {
  if (length == 0) return;
  if (!ranges.empty() && ranges.back().offset + ranges.back().length >= offset) {
    const uint64_t end = std::max(ranges.back().offset + ranges.back().length, offset + length);
    ranges.back().length = end - ranges.back().offset;
  } else {
    ranges.push_back({offset, length});
  }
}

void RecoveredFile::NoteUnreadable(uint64_t offset, uint64_t length) {
  add_file_range(unreadable_, offset, length);
}

void RecoveredFile::NoteUnreadable(uint64_t at, const std::vector<RequestRange>& ranges,
                                   uint64_t used) {
  for (const RequestRange& r : ranges) {
    const auto offset = static_cast<uint64_t>(r.offset);
    if (offset < used)
      NoteUnreadable(at + offset, std::min<uint64_t>(static_cast<uint64_t>(r.length), used - offset));
  }
}

void RecoveredFile::NoteOverwritten(uint64_t offset, uint64_t length) {
  add_file_range(overwritten_, offset, length);
}

RecoveryOutcome RecoveredFile::Outcome(uint64_t size) {
  RecoveryOutcome outcome;
  outcome.written_path = written_path_;
  outcome.size = size;
  outcome.bytes_written = written_;
  outcome.unreadable = unreadable_;
  if (written_ < size) add_file_range(outcome.unreadable, written_, size - written_);
  outcome.overwritten = overwritten_;
  outcome.result = outcome.unreadable.empty() && outcome.overwritten.empty()
                       ? RecoveryResult::kComplete
                       : RecoveryResult::kPartial;
  if (digesting_) outcome.sha256 = digest_.HexDigest();
  return outcome;
}

std::string with_thousands(uint64_t value) {
  std::string digits = std::to_string(value);
  for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3) digits.insert(i, ",");
  return digits;
}

std::string undeleted_line(const RecoveryOutcome& outcome) {
  const std::string head = "Undeleted " + outcome.written_path;
  if (outcome.complete()) return head + " successfully.";
  const uint64_t missing =
      outcome.size > outcome.bytes_written ? outcome.size - outcome.bytes_written : 0;
  const uint64_t zeros = outcome.unreadable_bytes() - missing;
  const uint64_t overwritten = outcome.overwritten_bytes();
  // The first part names the file's size; the others follow with "and".
  std::vector<std::pair<uint64_t, std::string>> parts;
  if (zeros > 0) parts.emplace_back(zeros, "unreadable (written as zeros)");
  if (overwritten > 0) parts.emplace_back(overwritten, "overwritten by other files");
  if (missing > 0)
    parts.emplace_back(missing, "missing (the file ends after " +
                                    with_thousands(outcome.bytes_written) + " bytes)");
  if (parts.empty()) parts.emplace_back(0, "unreadable (written as zeros)");
  std::string line = head + " with " + with_thousands(parts[0].first) + " of " +
                     with_thousands(outcome.size) + " bytes " + parts[0].second;
  for (size_t i = 1; i < parts.size(); ++i)
    line += (i + 1 == parts.size() ? " and " : ", ") + with_thousands(parts[i].first) + " " +
            parts[i].second;
  return line + ".";
}

}  // namespace pyralis
