// SPDX-License-Identifier: GPL-3.0-or-later
// What the structure walks share: a reader that refuses to read past the source, byte
// loads in both orders, and the ways a walk ends. Internal to filetypes/.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "filetypes/filetypes.h"

namespace pyralis::filetypes::detail {

inline uint16_t be16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
inline uint32_t be32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
inline uint64_t be64(const uint8_t* p) {
  return uint64_t{be32(p)} << 32 | be32(p + 4);
}
inline uint16_t le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}
inline uint32_t le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
inline uint64_t le64(const uint8_t* p) {
  return uint64_t{le32(p)} | uint64_t{le32(p + 4)} << 32;
}

// Reads from a ByteSource through a window of recent bytes, so that walks which step over
// small headers one at a time do not call the source for each. Bytes the source holds in
// memory are the window themselves; otherwise the window is read, small at first (most
// files a carver meets are small) and twice as large with each refill up to kWindow.
// Reads never go past the source's size; a short read is reported, never filled in.
class Reader {
 public:
  explicit Reader(ByteSource& source);

  uint64_t size() const { return size_; }
  // Copies exactly `count` bytes at `offset`; false when the source holds fewer.
  bool read(uint64_t offset, void* dest, size_t count);
  // The byte at `offset`, or -1 past the end (or where it could not be read).
  int byte_at(uint64_t offset);
  // A view of up to `count` (≤ kWindow) bytes at `offset`, valid until the next call; it
  // is shorter than `count` only at the end of the source.
  std::span<const uint8_t> view(uint64_t offset, size_t count);
  // The first offset ≥ `from` and < `limit` holding `value`, or `limit` when none does.
  uint64_t find_byte(uint64_t from, uint64_t limit, uint8_t value);
  // The first offset ≥ `from` and < `limit` holding 0xFF that the source does not follow
  // with 0x00 (a JPEG marker in entropy-coded data, where 0xFF 0x00 stands for a data byte),
  // or `limit` when none does. A 0xFF at the source's last byte counts.
  uint64_t find_marker(uint64_t from, uint64_t limit);

  static constexpr size_t kWindow = 64 * 1024;
  static constexpr size_t kFirstWindow = 4 * 1024;

 private:
  // Makes the window start at `offset` and hold at least `need` bytes where the source has
  // them; false when it holds none.
  bool fill(uint64_t offset, size_t need);

  ByteSource& source_;
  uint64_t size_;
  std::vector<uint8_t> buffer_;  // the window's bytes when the source does not hold them
  size_t next_read_ = kFirstWindow;
  const uint8_t* window_ = nullptr;
  uint64_t window_start_ = 0;
  size_t window_length_ = 0;
};

// CRC-32 (zlib's) of `length` bytes at `offset`, continuing `*crc`; false when the source
// holds fewer.
bool crc32_of(Reader& reader, uint64_t offset, uint64_t length, uint32_t* crc);

// A raw deflate stream at `offset`, inflated (into a small buffer, never kept) up to its
// end or to `limit`.
struct Inflated {
  enum Outcome : uint8_t { kEnd, kCut, kBroken } outcome = kCut;
  uint64_t end = 0;       // one past the stream's last byte (kEnd), or where it broke
  uint32_t crc = 0;       // CRC-32 of the inflated bytes
  uint64_t out_size = 0;  // how many bytes it inflates to
};
Inflated inflate_raw(Reader& reader, uint64_t offset, uint64_t limit);

// A part of what a reader reads, as a source of its own.
class Slice final : public ByteSource {
 public:
  Slice(Reader& reader, uint64_t start, uint64_t size)
      : reader_(reader), start_(start), size_(size) {}
  uint64_t Size() const override { return size_; }
  size_t Read(uint64_t offset, void* dest, size_t count) override {
    if (offset >= size_) return 0;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(count, size_ - offset));
    return reader_.read(start_ + offset, dest, n) ? n : 0;
  }

 private:
  Reader& reader_;
  uint64_t start_;
  uint64_t size_;
};

// How a walk ends.
inline Result intact(Kind kind, uint64_t length) {
  Result r;
  r.kind = kind;
  r.state = State::kIntact;
  r.implied_length = length;
  return r;
}
inline Result damaged(Kind kind, uint64_t at, std::string reason, uint64_t implied = 0) {
  Result r;
  r.kind = kind;
  r.state = State::kDamaged;
  r.damaged_at = at;
  r.implied_length = implied;
  r.reason = std::move(reason);
  return r;
}
inline Result unknown(Kind kind, std::string reason = {}) {
  Result r;
  r.kind = kind;
  r.reason = std::move(reason);
  return r;
}
// The file ends at `end` by its structure: intact when the source holds it, else cut.
Result ends_at(Kind kind, Reader& reader, uint64_t end);

// TIFF image file directories, shared by TIFF, the raws and EXIF in JPEG.
struct TiffFacts {
  uint64_t end = 0;  // one past the last byte any directory, value or strip refers to
  std::string date_taken;
  uint32_t width = 0;
  uint32_t height = 0;
  bool broken = false;  // a directory or an extent lies outside the data
  uint64_t broken_at = 0;
  std::string reason;
  // JPEG pictures beside the main image (thumbnails, raw previews), as source offsets.
  std::vector<EmbeddedPicture> pictures;
};
// Walks the TIFF structure that starts at `base` (the "II*\0" / "MM\0*" header) and is
// `length` bytes long at most. Directories are followed to a bound; sub-IFDs and EXIF too.
TiffFacts walk_tiff(Reader& reader, uint64_t base, uint64_t length);

// The walkers, one per kind; each is handed a source whose first bytes carry its signature.
Result check_jpeg(Reader& reader);
// The JPEG that `walked` found intact, decoded to its end by libjpeg-turbo.
Result decode_jpeg(Reader& reader, const Result& walked);
Result check_png(Reader& reader);
Result check_gif(Reader& reader);
Result check_bmp(Reader& reader);
Result check_tiff(Reader& reader);
Result check_zip(Reader& reader);
Result check_gzip(Reader& reader);
Result check_isobmff(Reader& reader);
Result check_riff(Reader& reader, Kind kind);
Result check_matroska(Reader& reader);
Result check_mp3(Reader& reader);
Result check_flac(Reader& reader);
Result check_ogg(Reader& reader);
Result check_pdf(Reader& reader);
Result check_ole2(Reader& reader);
Result check_sqlite(Reader& reader);
Result check_rtf(Reader& reader);
Result check_7z(Reader& reader);
Result check_rar(Reader& reader);
Result check_text(Reader& reader);

}  // namespace pyralis::filetypes::detail
