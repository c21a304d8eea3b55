// SPDX-License-Identifier: GPL-3.0-or-later
// PNG, GIF and BMP.
#include <zlib.h>

#include <algorithm>

#include "filetypes/walk.h"

namespace pyralis::filetypes::detail {

namespace {

bool letter(uint8_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

}  // namespace

// CRC-32 (zlib's) of `length` bytes at `offset`; false when the source holds fewer.
bool crc32_of(Reader& reader, uint64_t offset, uint64_t length, uint32_t* crc) {
  uLong c = *crc;
  while (length > 0) {
    const auto bytes =
        reader.view(offset, static_cast<size_t>(std::min<uint64_t>(length, Reader::kWindow)));
    if (bytes.empty()) return false;
    c = ::crc32(c, bytes.data(), static_cast<uInt>(bytes.size()));
    offset += bytes.size();
    length -= bytes.size();
  }
  *crc = static_cast<uint32_t>(c);
  return true;
}

// PNG: the 8-byte signature, then chunks — a 4-byte big-endian data length (below 2^31),
// a 4-letter type, the data, and the CRC-32 of type and data. IHDR comes first (13 bytes:
// width, height, ...), IEND last.
Result check_png(Reader& reader) {
  const uint64_t size = reader.size();
  uint64_t p = 8;
  Result facts;
  for (int chunks = 0; chunks < 1 << 20; ++chunks) {
    uint8_t h[8];
    if (!reader.read(p, h, 8))
      return damaged(Kind::kPng, size, "the file ends before its IEND chunk");
    const uint32_t length = be32(h);
    if (length > 0x7FFFFFFF || !letter(h[4]) || !letter(h[5]) || !letter(h[6]) || !letter(h[7])) {
      return damaged(Kind::kPng, p, "a chunk header does not hold together");
    }
    const bool ihdr = std::equal(h + 4, h + 8, "IHDR");
    if ((chunks == 0) != ihdr || (ihdr && length != 13)) {
      return damaged(Kind::kPng, p, "the IHDR chunk is not where it belongs");
    }
    const uint64_t end = p + 12 + length;
    if (end > size) return damaged(Kind::kPng, size, "the file ends inside a chunk");
    uint32_t crc = 0;
    uint8_t stored[4];
    if (!crc32_of(reader, p + 4, 4 + uint64_t{length}, &crc) ||
        !reader.read(p + 8 + length, stored, 4)) {
      return damaged(Kind::kPng, size, "the file ends inside a chunk");
    }
    if (crc != be32(stored)) return damaged(Kind::kPng, p, "a chunk's CRC does not match its data");
    if (ihdr) {
      uint8_t d[8];
      if (reader.read(p + 8, d, 8)) {
        facts.width = be32(d);
        facts.height = be32(d + 4);
      }
    }
    if (std::equal(h + 4, h + 8, "IEND")) {
      Result r = intact(Kind::kPng, end);
      r.width = facts.width;
      r.height = facts.height;
      return r;
    }
    p = end;
  }
  return damaged(Kind::kPng, p, "too many chunks");
}

// GIF: header, logical screen descriptor, an optional global colour table, then blocks up
// to the trailer 0x3B: images (0x2C, a descriptor, a local colour table, the LZW code size
// and data sub-blocks) and extensions (0x21, a label, sub-blocks). Sub-blocks are a length
// byte and that many bytes, ending with a zero length.
Result check_gif(Reader& reader) {
  const uint64_t size = reader.size();
  uint8_t h[13];
  if (!reader.read(0, h, 13)) return damaged(Kind::kGif, size, "the file ends inside its header");
  const uint32_t width = le16(h + 6);
  const uint32_t height = le16(h + 8);
  uint64_t p = 13;
  if (h[10] & 0x80) p += 3u << ((h[10] & 7) + 1);
  auto sub_blocks = [&](uint64_t at) -> uint64_t {  // past the terminator, or 0 when cut
    while (at < size) {
      const int n = reader.byte_at(at);
      if (n < 0) return 0;
      at += 1 + static_cast<uint64_t>(n);
      if (n == 0) return at;
    }
    return 0;
  };
  bool image = false;
  for (int blocks = 0; blocks < 1 << 20; ++blocks) {
    const int kind = reader.byte_at(p);
    if (kind < 0) return damaged(Kind::kGif, size, "the file ends before its trailer");
    if (kind == 0x3B) {
      if (!image) return damaged(Kind::kGif, p, "the file holds no image");
      Result r = intact(Kind::kGif, p + 1);
      r.width = width;
      r.height = height;
      return r;
    }
    if (kind == 0x21) {
      if (reader.byte_at(p + 1) < 0)
        return damaged(Kind::kGif, size, "the file ends inside an extension");
      p = sub_blocks(p + 2);
    } else if (kind == 0x2C) {
      uint8_t d[9];
      if (!reader.read(p + 1, d, 9))
        return damaged(Kind::kGif, size, "the file ends inside an image");
      uint64_t at = p + 10;
      if (d[8] & 0x80) at += 3u << ((d[8] & 7) + 1);
      const int code_size = reader.byte_at(at);
      if (code_size < 0) return damaged(Kind::kGif, size, "the file ends inside an image");
      if (code_size < 2 || code_size > 11)
        return damaged(Kind::kGif, at, "an image has a bad LZW code size");
      image = true;
      p = sub_blocks(at + 1);
    } else {
      return damaged(Kind::kGif, p, "a block of unknown kind");
    }
    if (p == 0 || p > size) return damaged(Kind::kGif, size, "the file ends inside a block");
  }
  return damaged(Kind::kGif, p, "too many blocks");
}

// BMP: a 14-byte file header (the file size, the offset of the pixels) and an information
// header giving width, height, bits per pixel and compression; uncompressed rows are padded
// to 4 bytes.
Result check_bmp(Reader& reader) {
  const uint64_t size = reader.size();
  uint8_t h[34];
  if (!reader.read(0, h, 26)) return damaged(Kind::kBmp, size, "the file ends inside its header");
  const uint32_t file_size = le32(h + 2);
  const uint32_t data_offset = le32(h + 10);
  const uint32_t header_size = le32(h + 14);
  uint64_t width = 0, height = 0, bits = 0, compression = 0;
  if (header_size == 12) {
    width = le16(h + 18);
    height = le16(h + 20);
    bits = le16(h + 24);
  } else {
    if (!reader.read(0, h, 34)) return damaged(Kind::kBmp, size, "the file ends inside its header");
    width = le32(h + 18);
    height = le32(h + 22);
    if (height & 0x80000000u) height = 0x100000000ull - height;  // top-down rows
    bits = le16(h + 28);
    compression = le32(h + 30);
  }
  if (width == 0 || height == 0 || width > 1u << 20 || height > 1u << 20 ||
      (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)) {
    return damaged(Kind::kBmp, 18, "the image header does not hold together");
  }
  uint64_t end = file_size;
  if (compression == 0 || compression == 3 || compression == 6) {
    const uint64_t row = (width * bits + 31) / 32 * 4;
    const uint64_t pixels_end = uint64_t{data_offset} + row * height;
    if (pixels_end > file_size)
      return damaged(Kind::kBmp, 2, "the pixels run past the file size it gives");
    end = std::max(end, pixels_end);
  }
  Result r = ends_at(Kind::kBmp, reader, end);
  r.width = static_cast<uint32_t>(width);
  r.height = static_cast<uint32_t>(height);
  return r;
}

}  // namespace pyralis::filetypes::detail
