// SPDX-License-Identifier: GPL-3.0-or-later
// A growable byte buffer with a read/write position. Volume data passes between
// the layers in these; whoever receives a new stream owns it.
#pragma once

#include <cstdint>
#include <vector>

namespace pyralis {

class TMemoryStream {
 public:
  int64_t Size() const { return static_cast<int64_t>(data_.size()); }
  // Grows with zero bytes or shrinks; the position is kept (it may lie past the end).
  void SetSize(int64_t size);
  int64_t Position() const { return pos_; }
  void SetPosition(int64_t pos) { pos_ = pos < 0 ? 0 : pos; }

  // Copies up to n bytes from the position on; returns the number copied (0 past the end).
  int64_t Read(void* dst, int64_t n);
  // Writes n bytes at the position, growing the stream as needed; returns n.
  int64_t Write(const void* src, int64_t n);
  // Appends n bytes of `from` starting at from's position (moving it); returns bytes copied.
  int64_t CopyFrom(TMemoryStream& from, int64_t n);

  uint8_t* Memory() { return data_.data(); }
  const uint8_t* Memory() const { return data_.data(); }
  void Clear() {
    data_.clear();
    data_.shrink_to_fit();
    pos_ = 0;
  }

 private:
  std::vector<uint8_t> data_;
  int64_t pos_ = 0;
};

}  // namespace pyralis
