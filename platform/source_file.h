// SPDX-License-Identifier: GPL-3.0-or-later
// Opening and reading a source (image file or block device) with plain POSIX calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace pyralis::platform {

// Reads `size` bytes at `offset` (relative to whatever the reader stands for) into `buffer`;
// true only when every byte arrived.
using ReadAt = std::function<bool(uint64_t offset, void* buffer, size_t size)>;

// What open_input and SourceFile give as the open error for a path that is neither a regular
// file nor a block device (a FIFO, socket, character device or folder): such a path is never
// opened, since opening a FIFO blocks until someone writes to it.
constexpr int kNotFileOrDevice = -1;

// Opens `path` (O_RDONLY or O_RDWR in `access`, close-on-exec) when it is a regular file, or a
// block device with `allow_block_device`; returns the descriptor, or -1 with the errno value
// (or kNotFileOrDevice) in *error. The type is checked before the open, which is made
// non-blocking and checked again on the open descriptor, so that nothing can block.
int open_input(const std::string& path, int access, bool allow_block_device, int* error);

// An open file descriptor, closed on destruction. Opened read-only unless `writable`,
// always close-on-exec.
class SourceFile {
 public:
  SourceFile(const std::string& path, bool writable);
  // Reads through a duplicate of `fd`, a descriptor someone else opened (the caller keeps
  // its own); writing through it is whatever `fd` allows.
  explicit SourceFile(int fd);
  ~SourceFile();
  SourceFile(const SourceFile&) = delete;
  SourceFile& operator=(const SourceFile&) = delete;

  bool is_open() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  int open_errno() const { return open_errno_; }
  bool is_block_device() const { return block_device_; }
  // Length in bytes: the file size, or the device size for a block device; 0 when unknown.
  uint64_t length() const { return length_; }

  // Transfers exactly `size` bytes at `offset` (retrying short transfers and EINTR); on
  // failure returns false with the bytes moved so far in *done and errno in *error (0 when
  // the end of the file came first).
  bool read_at(uint64_t offset, void* buffer, size_t size, size_t* done = nullptr,
               int* error = nullptr) const;
  bool write_at(uint64_t offset, const void* buffer, size_t size, size_t* done = nullptr,
                int* error = nullptr) const;
  // Whether the source is now shorter than when it was opened: a device that was pulled
  // (the kernel sets its size to 0) or an image that was cut or deleted.
  bool shrunk() const;

 private:
  void learn_length();

  int fd_ = -1;
  int open_errno_ = 0;
  bool block_device_ = false;
  uint64_t length_ = 0;
};

// A descriptor shared by every copy of a source; closed when the last copy goes.
using SharedDescriptor = std::shared_ptr<const int>;
// Takes a duplicate of `fd` (close-on-exec); null when it cannot be duplicated.
SharedDescriptor share_descriptor(int fd);

// The system's text for `error` (strerror), e.g. "Permission denied".
std::string error_text(int error);
// One reason text for a failed open of `path`: the system's text, plus for a block device
// that refuses access the privilege that reading it takes; for kNotFileOrDevice
// "<path> is neither an image file nor a block device".
std::string open_problem_text(const std::string& path, int error, bool block_device);

}  // namespace pyralis::platform
