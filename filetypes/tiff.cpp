// SPDX-License-Identifier: GPL-3.0-or-later
// TIFF and the raws built on it (CR2, NEF, ARW, DNG, ORF, RW2, PEF), and the EXIF block of
// JPEG files, which is a TIFF structure too.
//
// A TIFF file is an 8-byte header (byte order "II" or "MM", the number 42 — ORF and RW2 use
// their own numbers —, the offset of the first image file directory) and a chain of
// directories: a 2-byte entry count, 12-byte entries (tag, type, count, value or offset of
// the value), the offset of the next directory. Values longer than 4 bytes, the image
// strips and tiles, and the sub-directories (SubIFDs, EXIF) lie anywhere in the file; the
// file ends where the last of them does.
#include <algorithm>
#include <cstring>

#include "filetypes/walk.h"

namespace pyralis::filetypes::detail {

namespace {

constexpr int kMaxDirectories = 64;
constexpr uint32_t kMaxEntries = 1024;
constexpr uint32_t kMaxExtents = 1u << 16;  // strips or tiles followed in one directory
constexpr size_t kMaxPictures = 16;         // embedded JPEG pictures noted

class TiffWalk {
 public:
  TiffWalk(Reader& reader, uint64_t base, uint64_t length)
      : reader_(reader), base_(base), length_(length) {}

  TiffFacts run();

 private:
  uint16_t u16(const uint8_t* p) const { return little_ ? le16(p) : be16(p); }
  uint32_t u32(const uint8_t* p) const { return little_ ? le32(p) : be32(p); }
  bool load(uint64_t offset, void* dest, size_t count) {
    if (offset > length_ || count > length_ - offset) return false;
    return reader_.read(base_ + offset, dest, count);
  }
  void extent(uint64_t offset, uint64_t size, const char* what);
  void directory(uint32_t offset, bool exif);
  void picture(uint64_t offset, uint64_t size) {
    if (facts_.pictures.size() < kMaxPictures && offset <= length_ && size <= length_ - offset)
      facts_.pictures.push_back({base_ + offset, size});
  }
  // The `index`-th value of an array of SHORT or LONG (types 3 and 4).
  bool array_value(uint16_t type, uint64_t at, uint32_t index, uint32_t* value);
  void extents(uint16_t off_type, uint32_t off_count, uint64_t off_at, uint16_t len_type,
               uint32_t len_count, uint64_t len_at);

  Reader& reader_;
  uint64_t base_;
  uint64_t length_;
  bool little_ = true;
  int directories_ = 0;
  std::vector<uint32_t> visited_;
  std::vector<std::pair<uint32_t, bool>> pending_;
  TiffFacts facts_;
  std::string date_time_;  // DateTime, when no DateTimeOriginal is given
};

size_t type_size(uint16_t type) {
  switch (type) {
    case 1:
    case 2:
    case 6:
    case 7:
      return 1;
    case 3:
    case 8:
      return 2;
    case 4:
    case 9:
    case 11:
    case 13:
      return 4;
    case 5:
    case 10:
    case 12:
      return 8;
    default:
      return 0;
  }
}

std::string exif_date(const uint8_t* p, size_t n) {
  // "YYYY:MM:DD HH:MM:SS"
  if (n < 19) return {};
  static constexpr char kShape[] = "dddd:dd:dd dd:dd:dd";
  for (size_t i = 0; i < 19; ++i) {
    const bool digit = p[i] >= '0' && p[i] <= '9';
    if (kShape[i] == 'd' ? !digit : p[i] != kShape[i] && !(i == 10 && p[i] == 'T')) return {};
  }
  if (std::memcmp(p, "0000", 4) == 0) return {};
  std::string out(reinterpret_cast<const char*>(p), 19);
  out[4] = '-';
  out[7] = '-';
  out[10] = ' ';
  return out;
}

void TiffWalk::extent(uint64_t offset, uint64_t size, const char* what) {
  if (offset > length_ || size > length_ - offset) {
    if (!facts_.broken) {
      facts_.broken = true;
      facts_.broken_at = base_ + std::min(offset, length_);
      facts_.reason = std::string(what) + " lies past the end of the file";
    }
    return;
  }
  facts_.end = std::max(facts_.end, offset + size);
}

bool TiffWalk::array_value(uint16_t type, uint64_t at, uint32_t index, uint32_t* value) {
  uint8_t b[4];
  if (type == 3) {
    if (!load(at + uint64_t{index} * 2, b, 2)) return false;
    *value = u16(b);
    return true;
  }
  if (!load(at + uint64_t{index} * 4, b, 4)) return false;
  *value = u32(b);
  return true;
}

void TiffWalk::extents(uint16_t off_type, uint32_t off_count, uint64_t off_at, uint16_t len_type,
                       uint32_t len_count, uint64_t len_at) {
  const uint32_t n = std::min({off_count, len_count, kMaxExtents});
  for (uint32_t i = 0; i < n && !facts_.broken; ++i) {
    uint32_t offset = 0, size = 0;
    if (!array_value(off_type, off_at, i, &offset) || !array_value(len_type, len_at, i, &size)) {
      return;
    }
    if (size != 0) extent(offset, size, "an image strip");
  }
}

void TiffWalk::directory(uint32_t offset, bool exif) {
  uint8_t count_bytes[2];
  if (!load(offset, count_bytes, 2)) {
    extent(offset, 2, "an image directory");
    return;
  }
  const uint32_t count = u16(count_bytes);
  if (count == 0 || count > kMaxEntries) {
    facts_.broken = true;
    facts_.broken_at = base_ + offset;
    facts_.reason = "an image directory has " + std::to_string(count) + " entries";
    return;
  }
  const uint64_t table = uint64_t{offset} + 2;
  extent(offset, 2 + uint64_t{count} * 12 + 4, "an image directory");
  if (facts_.broken) return;
  uint32_t width = 0, height = 0;
  uint32_t compression = 0, subfile_type = 0;
  struct Array {
    uint16_t type = 0;
    uint32_t count = 0;
    uint64_t at = 0;
  } strip_offsets, strip_counts, tile_offsets, tile_counts, thumb_offset, thumb_length;
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t e[12];
    if (!load(table + uint64_t{i} * 12, e, 12)) return;
    const uint16_t tag = u16(e);
    const uint16_t type = u16(e + 2);
    const uint32_t n = u32(e + 4);
    const size_t unit = type_size(type);
    if (unit == 0) continue;
    const uint64_t bytes = uint64_t{n} * unit;
    uint64_t at = table + uint64_t{i} * 12 + 8;  // the value itself when it fits in 4 bytes
    if (bytes > 4) {
      at = u32(e + 8);
      extent(at, bytes, "a directory value");
      if (facts_.broken) return;
    }
    auto first_value = [&]() -> uint32_t {
      uint32_t v = 0;
      return (type == 3 || type == 4) && n >= 1 && array_value(type, at, 0, &v) ? v : 0;
    };
    const Array array{type, n, at};
    switch (tag) {
      case 0x0100:
        width = first_value();
        break;
      case 0x0101:
        height = first_value();
        break;
      case 0x0103:
        compression = first_value();
        break;
      case 0x00FE:
        subfile_type = first_value();
        break;
      case 0xA002:
        if (exif) width = first_value();
        break;
      case 0xA003:
        if (exif) height = first_value();
        break;
      case 0x0111:
        strip_offsets = array;
        break;
      case 0x0117:
        strip_counts = array;
        break;
      case 0x0144:
        tile_offsets = array;
        break;
      case 0x0145:
        tile_counts = array;
        break;
      case 0x0201:
        thumb_offset = array;
        break;
      case 0x0202:
        thumb_length = array;
        break;
      case 0x014A:  // SubIFDs
        for (uint32_t k = 0; k < std::min<uint32_t>(n, 8); ++k) {
          uint32_t sub = 0;
          if ((type == 4 || type == 13) && array_value(4, at, k, &sub))
            pending_.push_back({sub, false});
        }
        break;
      case 0x8769:  // EXIF
        if (n == 1) pending_.push_back({first_value(), true});
        break;
      case 0x9003:  // DateTimeOriginal
      case 0x0132:  // DateTime
        if (type == 2 && n >= 19) {
          uint8_t text[19];
          if (load(at, text, 19)) {
            std::string date = exif_date(text, 19);
            if (tag == 0x9003 && !date.empty()) facts_.date_taken = date;
            if (tag == 0x0132 && date_time_.empty()) date_time_ = date;
          }
        }
        break;
      default:
        break;
    }
  }
  if (strip_offsets.count != 0 && (strip_offsets.type == 3 || strip_offsets.type == 4) &&
      (strip_counts.type == 3 || strip_counts.type == 4)) {
    extents(strip_offsets.type, strip_offsets.count, strip_offsets.at, strip_counts.type,
            strip_counts.count, strip_counts.at);
  }
  if (tile_offsets.count != 0 && (tile_offsets.type == 3 || tile_offsets.type == 4) &&
      (tile_counts.type == 3 || tile_counts.type == 4)) {
    extents(tile_offsets.type, tile_offsets.count, tile_offsets.at, tile_counts.type,
            tile_counts.count, tile_counts.at);
  }
  if (thumb_offset.count == 1 && thumb_length.count == 1 && !facts_.broken) {
    uint32_t o = 0, l = 0;
    if (array_value(thumb_offset.type == 3 ? 3 : 4, thumb_offset.at, 0, &o) &&
        array_value(thumb_length.type == 3 ? 3 : 4, thumb_length.at, 0, &l) && l != 0) {
      extent(o, l, "the preview image");
      picture(o, l);
    }
  }
  // A picture kept as one strip of JPEG data: old-style JPEG (6, the full-size preview of
  // CR2) or baseline JPEG (7) in a reduced-resolution directory (the previews of DNG). A
  // full-resolution directory with 7 is lossless JPEG raw data, which no viewer decodes.
  if (strip_offsets.count == 1 && strip_counts.count == 1 && !facts_.broken &&
      (compression == 6 || (compression == 7 && (subfile_type & 1) != 0))) {
    uint32_t o = 0, l = 0;
    if (array_value(strip_offsets.type, strip_offsets.at, 0, &o) &&
        array_value(strip_counts.type, strip_counts.at, 0, &l) && l != 0) {
      picture(o, l);
    }
  }
  if (uint64_t{width} * height > uint64_t{facts_.width} * facts_.height) {
    facts_.width = width;
    facts_.height = height;
  }
  uint8_t next[4];
  if (!exif && load(table + uint64_t{count} * 12, next, 4) && u32(next) != 0) {
    pending_.push_back({u32(next), false});
  }
}

TiffFacts TiffWalk::run() {
  uint8_t h[8];
  if (!load(0, h, 8)) {
    facts_.broken = true;
    facts_.broken_at =
        base_ + std::min<uint64_t>(length_, reader_.size() - std::min(base_, reader_.size()));
    facts_.reason = "the TIFF header is cut";
    return facts_;
  }
  little_ = h[0] == 'I';
  facts_.end = 8;
  pending_.push_back({u32(h + 4), false});
  while (!pending_.empty() && !facts_.broken && directories_ < kMaxDirectories) {
    const auto [offset, exif] = pending_.back();
    pending_.pop_back();
    if (offset < 8 || std::find(visited_.begin(), visited_.end(), offset) != visited_.end())
      continue;
    visited_.push_back(offset);
    ++directories_;
    directory(offset, exif);
  }
  if (facts_.date_taken.empty()) facts_.date_taken = date_time_;
  return facts_;
}

}  // namespace

TiffFacts walk_tiff(Reader& reader, uint64_t base, uint64_t length) {
  return TiffWalk(reader, base, length).run();
}

Result check_tiff(Reader& reader) {
  const TiffFacts facts = walk_tiff(reader, 0, reader.size());
  Result r = facts.broken ? damaged(Kind::kTiff, facts.broken_at, facts.reason)
                         : intact(Kind::kTiff, facts.end);
  r.date_taken = facts.date_taken;
  r.width = facts.width;
  r.height = facts.height;
  return r;
}

}  // namespace pyralis::filetypes::detail
