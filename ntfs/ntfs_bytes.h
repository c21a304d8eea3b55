// SPDX-License-Identifier: GPL-3.0-or-later
// Little-endian loads from byte spans. Every load checks that its bytes lie inside the span
// and gives 0 when they do not, so a caller that forgot a range check reads zeros, never
// memory outside the buffer. Callers still check ranges first where a zero would be wrong.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace pyralis::ntfs {

using Bytes = std::span<const uint8_t>;

// True when [offset, offset + length) lies inside a buffer of `size` bytes (no wrap-around).
constexpr bool fits(uint64_t size, uint64_t offset, uint64_t length) {
  return offset <= size && length <= size - offset;
}

inline uint64_t load_le(Bytes bytes, size_t offset, size_t width) {
  if (!fits(bytes.size(), offset, width)) return 0;
  uint64_t value = 0;
  for (size_t i = width; i-- > 0;) value = (value << 8) | bytes[offset + i];
  return value;
}

inline uint8_t le8(Bytes b, size_t offset) {
  return static_cast<uint8_t>(load_le(b, offset, 1));
}
inline uint16_t le16(Bytes b, size_t offset) {
  return static_cast<uint16_t>(load_le(b, offset, 2));
}
inline uint32_t le32(Bytes b, size_t offset) {
  return static_cast<uint32_t>(load_le(b, offset, 4));
}
inline uint64_t le64(Bytes b, size_t offset) {
  return load_le(b, offset, 8);
}
inline int64_t le64s(Bytes b, size_t offset) {
  return static_cast<int64_t>(le64(b, offset));
}

// A signed little-endian field of 1 to 8 bytes, its top byte sign-extended.
inline int64_t load_signed(const uint8_t* p, unsigned width) {
  uint64_t value = 0;
  for (unsigned i = width; i-- > 0;) value = (value << 8) | p[i];
  if (width < 8 && (p[width - 1] & 0x80)) value |= ~uint64_t{0} << (8 * width);
  return static_cast<int64_t>(value);
}

}  // namespace pyralis::ntfs
