// SPDX-License-Identifier: GPL-3.0-or-later
// Little-endian integer loads from byte spans. A load that would run past the end of the
// span gives 0, so a short or cut buffer reads as zeros instead of reading out of bounds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace pyralis::platform {

inline bool span_has(std::span<const uint8_t> bytes, size_t offset, size_t length) {
  return offset <= bytes.size() && length <= bytes.size() - offset;
}

inline uint64_t load_le(std::span<const uint8_t> bytes, size_t offset, size_t width) {
  if (!span_has(bytes, offset, width)) return 0;
  uint64_t value = 0;
  for (size_t i = width; i-- > 0;) value = (value << 8) | bytes[offset + i];
  return value;
}

inline uint8_t load_u8(std::span<const uint8_t> b, size_t off) {
  return static_cast<uint8_t>(load_le(b, off, 1));
}
inline uint16_t load_u16(std::span<const uint8_t> b, size_t off) {
  return static_cast<uint16_t>(load_le(b, off, 2));
}
inline uint32_t load_u32(std::span<const uint8_t> b, size_t off) {
  return static_cast<uint32_t>(load_le(b, off, 4));
}
inline uint64_t load_u64(std::span<const uint8_t> b, size_t off) {
  return load_le(b, off, 8);
}

inline void store_le(std::span<uint8_t> bytes, size_t offset, uint64_t value, size_t width) {
  if (!span_has(bytes, offset, width)) return;
  for (size_t i = 0; i < width; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace pyralis::platform
