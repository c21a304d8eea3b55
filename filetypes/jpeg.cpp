// SPDX-License-Identifier: GPL-3.0-or-later
// JPEG: a walk over the markers from SOI to EOI, through the entropy-coded data of every
// scan.
//
// Outside the scans a JPEG file is a run of segments, each a marker (0xFF, a code) and, for
// all but SOI, EOI, RSTn and TEM, a 2-byte big-endian length that counts itself. Inside a
// scan the coder never writes a 0xFF without a 0x00 after it, so the only markers there are
// RST0..RST7, in turn, when the frame sets a restart interval (DRI). Foreign bytes in a scan
// show as a 0xFF followed by a code no encoder writes there, or a segment that does not
// hold together; a cut file as entropy data running to the end of the file.
#include <algorithm>
#include <cstring>
#include <vector>

#include "filetypes/walk.h"

namespace pyralis::filetypes::detail {

namespace {

constexpr int kMaxSegments = 1 << 16;

struct Picture {
  uint64_t offset;
  uint64_t size;
};

// The further pictures of a Multi-Picture file (APP2 "MPF\0", CIPA DC-007): a TIFF-style
// header at `base`, a directory whose MP Entry tag (0xB002) lists 16-byte entries — flags,
// size, offset from `base` (0 for the first picture) — and the first byte past the last of
// them; 0 when the segment lists none.
uint64_t mpf_end(Reader& reader, uint64_t base, uint64_t length, std::vector<Picture>* pictures) {
  uint8_t h[8];
  if (length < 8 || !reader.read(base, h, 8)) return 0;
  const bool little = h[0] == 'I';
  const auto u16 = [&](const uint8_t* p) { return little ? le16(p) : be16(p); };
  const auto u32 = [&](const uint8_t* p) { return little ? le32(p) : be32(p); };
  const uint64_t ifd = u32(h + 4);
  uint8_t count_bytes[2];
  if (ifd + 2 > length || !reader.read(base + ifd, count_bytes, 2)) return 0;
  const uint32_t count = std::min<uint32_t>(u16(count_bytes), 64);
  uint64_t end = 0;
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t e[12];
    if (ifd + 2 + (i + 1) * 12 > length || !reader.read(base + ifd + 2 + i * 12, e, 12)) break;
    if (u16(e) != 0xB002) continue;
    const uint64_t entries = std::min<uint64_t>(u32(e + 4) / 16, 64);
    const uint64_t at = u32(e + 8);
    for (uint64_t k = 0; k < entries; ++k) {
      uint8_t m[16];
      if (at + (k + 1) * 16 > length || !reader.read(base + at + k * 16, m, 16)) break;
      const uint64_t size = u32(m + 4);
      const uint64_t offset = u32(m + 8);
      if (offset != 0 && size != 0 && pictures->size() < 16) {
        end = std::max(end, base + offset + size);
        pictures->push_back({base + offset, size});
      }
    }
  }
  return end;
}

bool is_sof(int m) {
  return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
}

// Codes that may follow 0xFF as a segment between scans.
bool is_segment(int m) {
  return (m >= 0xC0 && m <= 0xCF) || (m >= 0xDA && m <= 0xDF) || (m >= 0xE0 && m <= 0xFE);
}

Result check_jpeg_picture(Reader& reader, int depth);
Result walk_jpeg_picture(Reader& reader, int depth, Result& r);

// Each further picture of a Multi-Picture file is a JPEG file of its own.
Result check_further(Reader& reader, const std::vector<Picture>& pictures, int depth) {
  for (const Picture& picture : pictures) {
    Slice slice(reader, picture.offset, picture.size);
    Reader inner(slice);
    uint8_t soi[3];
    if (!inner.read(0, soi, 3) || soi[0] != 0xFF || soi[1] != 0xD8 || soi[2] != 0xFF) {
      return damaged(Kind::kJpeg, picture.offset, "a further picture does not start like a JPEG");
    }
    const Result r = check_jpeg_picture(inner, depth + 1);
    if (r.state == State::kDamaged) {
      return damaged(Kind::kJpeg, picture.offset + r.damaged_at, "a further picture: " + r.reason);
    }
  }
  return intact(Kind::kJpeg, 0);
}

}  // namespace

Result check_jpeg(Reader& reader) {
  return check_jpeg_picture(reader, 0);
}

namespace {

// A damaged picture keeps what its segments said before the break (its size, the date it
// was taken): a photo cut short is still named by its date.
Result check_jpeg_picture(Reader& reader, int depth) {
  Result facts;
  facts.kind = Kind::kJpeg;
  Result r = walk_jpeg_picture(reader, depth, facts);
  if (r.state == State::kDamaged) {
    r.width = facts.width;
    r.height = facts.height;
    r.date_taken = facts.date_taken;
  }
  return r;
}

Result walk_jpeg_picture(Reader& reader, int depth, Result& r) {
  const uint64_t size = reader.size();
  bool frame = false;
  bool scanned = false;
  bool restarts = false;
  uint64_t further = 0;  // the end of the further pictures of a Multi-Picture file
  std::vector<Picture> pictures;
  uint64_t p = 2;  // past SOI
  for (int segments = 0; segments < kMaxSegments; ++segments) {
    if (p >= size) return damaged(Kind::kJpeg, size, "the file ends before its end marker");
    if (reader.byte_at(p) != 0xFF) {
      return damaged(Kind::kJpeg, p,
                     scanned ? "entropy data runs into foreign bytes"
                             : "a segment is not followed by a marker");
    }
    // Fill bytes: any number of 0xFF before the code.
    uint64_t q = p + 1;
    int m = reader.byte_at(q);
    for (int fill = 0; m == 0xFF && fill < 1 << 16; ++fill) m = reader.byte_at(++q);
    if (m < 0) return damaged(Kind::kJpeg, size, "the file ends before its end marker");
    if (m == 0xD9) {
      if (!frame || !scanned)
        return damaged(Kind::kJpeg, p, "the image ends before it has any data");
      uint64_t end = q + 1;
      if (further > end) {
        // The further pictures follow the first; each starts with SOI.
        if (further > size)
          return damaged(Kind::kJpeg, size, "the file ends before its further pictures", further);
        const Result others = check_further(reader, pictures, depth);
        if (others.state == State::kDamaged) return others;
        end = further;
      }
      Result done = intact(Kind::kJpeg, end);
      done.width = r.width;
      done.height = r.height;
      done.date_taken = r.date_taken;
      return done;
    }
    if (!is_segment(m)) {
      return damaged(
          Kind::kJpeg, p,
          scanned ? "entropy data runs into foreign bytes" : "an unknown marker between segments");
    }
    uint8_t len_bytes[2];
    if (!reader.read(q + 1, len_bytes, 2)) {
      return damaged(Kind::kJpeg, size, "the file ends inside a segment");
    }
    const uint16_t length = be16(len_bytes);
    if (length < 2) return damaged(Kind::kJpeg, q + 1, "a segment has a length below 2");
    const uint64_t body = q + 3;
    const uint64_t end = q + 1 + length;
    if (end > size) return damaged(Kind::kJpeg, size, "the file ends inside a segment");
    if (is_sof(m)) {
      uint8_t sof[6];
      if (length < 8 || !reader.read(body, sof, 6)) {
        return damaged(Kind::kJpeg, body, "a frame header is too short");
      }
      const unsigned components = sof[5];
      if (components == 0 || length != 8 + 3 * components) {
        return damaged(Kind::kJpeg, body, "a frame header does not hold together");
      }
      if (!frame) {
        r.height = be16(sof + 1);
        r.width = be16(sof + 3);
      }
      frame = true;
    } else if (m == 0xDD) {
      uint8_t dri[2];
      if (length != 4 || !reader.read(body, dri, 2)) {
        return damaged(Kind::kJpeg, body, "a restart interval segment does not hold together");
      }
      restarts = be16(dri) != 0;
    } else if (m == 0xE1 && r.date_taken.empty() && length >= 16) {
      uint8_t id[6];
      if (reader.read(body, id, 6) && std::memcmp(id, "Exif\0\0", 6) == 0) {
        const TiffFacts exif = walk_tiff(reader, body + 6, length - 8);
        r.date_taken = exif.date_taken;
      }
    } else if (m == 0xE2 && further == 0 && length >= 12) {
      uint8_t id[4];
      if (reader.read(body, id, 4) && std::memcmp(id, "MPF\0", 4) == 0) {
        further = depth == 0 ? mpf_end(reader, body + 4, length - 6, &pictures) : 0;
      }
    } else if (m == 0xDA) {
      uint8_t sos[1];
      if (!frame) return damaged(Kind::kJpeg, p, "a scan comes before the frame header");
      if (length < 6 || !reader.read(body, sos, 1) || sos[0] == 0 || sos[0] > 4 ||
          length != 6 + 2 * sos[0]) {
        return damaged(Kind::kJpeg, body, "a scan header does not hold together");
      }
      scanned = true;
      // The entropy-coded data: up to the first 0xFF that is not stuffing or a restart.
      uint64_t at = end;
      int next_restart = 0;
      for (;;) {
        at = reader.find_marker(at, size);
        if (at >= size) return damaged(Kind::kJpeg, size, "the file ends inside the image data");
        const int code = reader.byte_at(at + 1);
        if (code < 0) return damaged(Kind::kJpeg, size, "the file ends inside the image data");
        if (code >= 0xD0 && code <= 0xD7) {
          if (!restarts || code != 0xD0 + next_restart) {
            return damaged(Kind::kJpeg, at, "entropy data runs into foreign bytes");
          }
          next_restart = (next_restart + 1) & 7;
          at += 2;
        } else {
          break;  // a marker: fill bytes and the code are read at the top of the loop
        }
      }
      p = at;
      continue;
    }
    p = end;
  }
  return damaged(Kind::kJpeg, p, "too many segments");
}

}  // namespace

}  // namespace pyralis::filetypes::detail
