#include "core/recovered_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>

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

// Moves `from` to `to` unless `to` exists. Returns 0 or the errno value.
int move_no_replace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (!unsupported(errno)) return errno;
  // File systems without the flag: a hard link never replaces either.
  if (::link(from.c_str(), to.c_str()) == 0) {
    ::unlink(from.c_str());
    return 0;
  }
  if (!unsupported(errno)) return errno;
  // Neither (FAT destinations): claim the name with an exclusive create, then move the
  // content over the empty file that this call itself made.
  const int claim = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (claim < 0) return errno;
  ::close(claim);
  if (::rename(from.c_str(), to.c_str()) != 0) {
    const int error_number = errno;
    ::unlink(to.c_str());
    return error_number;
  }
  return 0;
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

}  // namespace

std::string safe_file_name(std::string_view name) {
  std::string safe(name);
  for (char& c : safe)
    if (c == '/' || c == '\0') c = '_';
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
  ends_in_hole_ = false;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string path = folder_ + temp_name();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
      fd_ = fd;
      temp_path_ = path;
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
  if (fd_ < 0) {
    if (error) *error = reason(EBADF);
    return false;
  }
  if (!write_all(fd_, static_cast<const uint8_t*>(data), size, error)) return false;
  written_ += size;
  if (size > 0) ends_in_hole_ = false;
  return true;
}

bool RecoveredFile::WriteZeros(uint64_t size, std::string* error) {
  if (fd_ < 0) {
    if (error) *error = reason(EBADF);
    return false;
  }
  // A hole: the file's length is set at Commit, so a trailing hole is kept too.
  if (::lseek(fd_, static_cast<off_t>(size), SEEK_CUR) < 0) {
    if (error) *error = reason(errno);
    return false;
  }
  written_ += size;
  if (size > 0) ends_in_hole_ = true;
  return true;
}

bool RecoveredFile::Commit(std::string* written_name, std::string* error) {
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
    const int result = move_no_replace(temp_path_, folder_ + candidate);
    if (result == 0) {
      temp_path_.clear();
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
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (!temp_path_.empty()) {
    ::unlink(temp_path_.c_str());
    temp_path_.clear();
  }
}

}  // namespace pyralis
