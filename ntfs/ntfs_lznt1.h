// SPDX-License-Identifier: GPL-3.0-or-later
// LZNT1, the compression of NTFS compressed streams. A compression unit's clusters hold a
// sequence of chunks, each standing for 4096 bytes of the unit's content:
//   2-byte header: bits 0-11 the chunk's size minus 3 (header included), bits 12-14 a
//   signature, bit 15 set when the chunk is compressed; a header of 0 ends the sequence.
//   An uncompressed chunk holds its bytes as they are. A compressed chunk is groups of a
//   flag byte and eight items, flag bit i (low bit first) telling item i: 0 a literal byte,
//   1 a 2-byte back-reference. A back-reference's bits split into an offset (high part, plus
//   1) and a length (low part, plus 3); the offset part has 4 bits while at most 16 bytes of
//   the chunk were produced, and one more bit each time that count passes a power of two
//   (5 bits past 16, 6 past 32, ... 12 past 2048), the length part what remains of 16.
// Bytes of the unit after the last chunk (or after a short chunk) are zeros.
#pragma once

#include <cstdint>
#include <span>

namespace pyralis::ntfs {

// Bytes of content one chunk stands for.
constexpr size_t kLznt1ChunkBytes = 4096;

// Decompresses one unit's `in` bytes into `out` (the unit's content size; every byte is
// written, zeros past the data). False when `in` is not sound LZNT1: a chunk that runs past
// `in`, a back-reference before the chunk's start or past its 4096 bytes, or a chunk that
// would write past `out`.
bool lznt1_decompress(std::span<const uint8_t> in, std::span<uint8_t> out);

}  // namespace pyralis::ntfs
