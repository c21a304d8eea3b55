// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/source_file.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace pyralis::platform {

namespace {

bool acceptable(const struct stat& st, bool allow_block_device) {
  return S_ISREG(st.st_mode) || (allow_block_device && S_ISBLK(st.st_mode));
}

}  // namespace

int open_input(const std::string& path, int access, bool allow_block_device, int* error) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    *error = errno;
    return -1;
  }
  if (!acceptable(st, allow_block_device)) {
    *error = kNotFileOrDevice;
    return -1;
  }
  // The path may have been replaced by a FIFO since: O_NONBLOCK keeps that open from
  // waiting, and the type is checked again on what was opened.
  const int fd = ::open(path.c_str(), access | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    *error = errno;
    return -1;
  }
  if (::fstat(fd, &st) != 0 || !acceptable(st, allow_block_device)) {
    ::close(fd);
    *error = kNotFileOrDevice;
    return -1;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

SourceFile::SourceFile(const std::string& path, bool writable) {
  fd_ = open_input(path, writable ? O_RDWR : O_RDONLY, true, &open_errno_);
  if (fd_ < 0) {
    struct stat st {};
    block_device_ = ::stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
    return;
  }
  learn_length();
}

SourceFile::SourceFile(int fd) {
  fd_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (fd_ < 0) {
    open_errno_ = errno;
    return;
  }
  learn_length();
}

void SourceFile::learn_length() {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return;
  if (S_ISBLK(st.st_mode)) {
    block_device_ = true;
    uint64_t size = 0;
    if (::ioctl(fd_, BLKGETSIZE64, &size) == 0) length_ = size;
  } else if (S_ISREG(st.st_mode)) {
    length_ = static_cast<uint64_t>(st.st_size);
  }
}

bool SourceFile::shrunk() const {
  if (fd_ < 0 || length_ == 0) return false;
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return true;
  uint64_t now = 0;
  if (block_device_) {
    if (::ioctl(fd_, BLKGETSIZE64, &now) != 0) return true;
  } else {
    now = static_cast<uint64_t>(st.st_size);
  }
  return now < length_;
}

SourceFile::~SourceFile() {
  if (fd_ >= 0) ::close(fd_);
}

namespace {

template <typename Transfer>
bool transfer_all(int fd, uint64_t offset, size_t size, size_t* done, int* error,
                  Transfer transfer) {
  size_t moved = 0;
  int last_error = 0;
  if (fd < 0) last_error = EBADF;
  while (fd >= 0 && moved < size) {
    const ssize_t n = transfer(moved, static_cast<off_t>(offset + moved));
    if (n < 0) {
      if (errno == EINTR) continue;
      last_error = errno;
      break;
    }
    if (n == 0) break;  // end of file or device
    moved += static_cast<size_t>(n);
  }
  if (done) *done = moved;
  if (error) *error = last_error;
  return moved == size;
}

}  // namespace

bool SourceFile::read_at(uint64_t offset, void* buffer, size_t size, size_t* done,
                         int* error) const {
  auto* bytes = static_cast<uint8_t*>(buffer);
  return transfer_all(fd_, offset, size, done, error, [&](size_t moved, off_t at) {
    return ::pread(fd_, bytes + moved, size - moved, at);
  });
}

bool SourceFile::write_at(uint64_t offset, const void* buffer, size_t size, size_t* done,
                          int* error) const {
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  return transfer_all(fd_, offset, size, done, error, [&](size_t moved, off_t at) {
    return ::pwrite(fd_, bytes + moved, size - moved, at);
  });
}

SharedDescriptor share_descriptor(int fd) {
  const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return nullptr;
  return SharedDescriptor(new int(copy), [](const int* held) {
    ::close(*held);
    delete held;
  });
}

std::string error_text(int error) {
  char text[256] = {};
  // GNU strerror_r returns the text, which may or may not be in `text`.
  return ::strerror_r(error, text, sizeof text);
}

std::string open_problem_text(const std::string& path, int error, bool block_device) {
  if (error == kNotFileOrDevice) return path + " is neither an image file nor a block device";
  std::string text = "cannot open " + path + ": " + error_text(error);
  if (block_device && (error == EACCES || error == EPERM)) {
    text +=
        " (reading a block device needs root or a read grant such as membership in the"
        " 'disk' group)";
  }
  return text;
}

}  // namespace pyralis::platform
