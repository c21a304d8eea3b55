// SPDX-License-Identifier: GPL-3.0-or-later
#include "ntfs/ntfs_lznt1.h"

#include <algorithm>
#include <cstring>

namespace pyralis::ntfs {

namespace {

// Decompresses one compressed chunk's data `in` into `out` (at most 4096 bytes); false on
// a back-reference outside the chunk.
bool decompress_chunk(std::span<const uint8_t> in, std::span<uint8_t> out) {
  size_t i = 0, o = 0;
  while (i < in.size()) {
    const uint8_t flags = in[i++];
    for (int bit = 0; bit < 8 && i < in.size(); ++bit) {
      if ((flags & (1u << bit)) == 0) {
        if (o >= out.size()) return false;
        out[o++] = in[i++];
        continue;
      }
      if (i + 2 > in.size() || o == 0) return false;
      const uint16_t token = static_cast<uint16_t>(in[i] | (in[i + 1] << 8));
      i += 2;
      // Offset bits: 4 up to 16 bytes produced, one more per doubling after that.
      unsigned offset_bits = 4;
      for (size_t n = o - 1; n >= 16; n >>= 1) ++offset_bits;
      const unsigned length_bits = 16 - offset_bits;
      const size_t offset = (token >> length_bits) + 1u;
      const size_t length = (token & ((1u << length_bits) - 1)) + 3u;
      if (offset > o || length > out.size() - o) return false;
      // Byte by byte: a reference may overlap the bytes it produces.
      for (size_t k = 0; k < length; ++k, ++o) out[o] = out[o - offset];
    }
  }
  return true;
}

}  // namespace

bool lznt1_decompress(std::span<const uint8_t> in, std::span<uint8_t> out) {
  std::fill(out.begin(), out.end(), uint8_t{0});
  size_t i = 0;
  for (size_t o = 0; o < out.size() && i + 2 <= in.size(); o += kLznt1ChunkBytes) {
    const uint16_t header = static_cast<uint16_t>(in[i] | (in[i + 1] << 8));
    if (header == 0) break;
    const size_t size = (header & 0x0FFFu) + 1u;
    i += 2;
    if (size > in.size() - i) return false;
    const std::span<const uint8_t> data = in.subspan(i, size);
    const std::span<uint8_t> room = out.subspan(o, std::min(kLznt1ChunkBytes, out.size() - o));
    i += size;
    if ((header & 0x8000u) == 0) {
      if (data.size() > room.size()) return false;
      std::memcpy(room.data(), data.data(), data.size());
    } else if (!decompress_chunk(data, room)) {
      return false;
    }
  }
  return true;
}

}  // namespace pyralis::ntfs
