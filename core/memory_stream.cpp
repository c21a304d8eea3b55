// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/memory_stream.h"

#include <algorithm>
#include <cstring>

namespace pyralis {

void TMemoryStream::SetSize(int64_t size) { data_.resize(size < 0 ? 0 : static_cast<size_t>(size)); }

int64_t TMemoryStream::Read(void* dst, int64_t n) {
  if (n <= 0 || pos_ >= Size()) return 0;
  const int64_t take = std::min(n, Size() - pos_);
  std::memcpy(dst, data_.data() + pos_, static_cast<size_t>(take));
  pos_ += take;
  return take;
}

int64_t TMemoryStream::Write(const void* src, int64_t n) {
  if (n <= 0) return 0;
  if (pos_ + n > Size()) data_.resize(static_cast<size_t>(pos_ + n));
  std::memcpy(data_.data() + pos_, src, static_cast<size_t>(n));
  pos_ += n;
  return n;
}

int64_t TMemoryStream::CopyFrom(TMemoryStream& from, int64_t n) {
  if (n <= 0 || from.pos_ >= from.Size()) return 0;
  const int64_t take = std::min(n, from.Size() - from.pos_);
  Write(from.data_.data() + from.pos_, take);
  from.pos_ += take;
  return take;
}

}  // namespace pyralis
