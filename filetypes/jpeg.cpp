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

#include "filetypes/walk.h"

namespace pyralis::filetypes::detail {

namespace {

constexpr int kMaxSegments = 1 << 16;

bool is_sof(int m) {
  return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
}

// Codes that may follow 0xFF as a segment between scans.
bool is_segment(int m) {
  return (m >= 0xC0 && m <= 0xCF) || (m >= 0xDA && m <= 0xDF) || (m >= 0xE0 && m <= 0xFE);
}

}  // namespace

Result check_jpeg(Reader& reader) {
  const uint64_t size = reader.size();
  Result r;
  r.kind = Kind::kJpeg;
  bool frame = false;
  bool scanned = false;
  bool restarts = false;
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
      Result done = intact(Kind::kJpeg, q + 1);
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
        at = reader.find_byte(at, size, 0xFF);
        if (at >= size) return damaged(Kind::kJpeg, size, "the file ends inside the image data");
        const int code = reader.byte_at(at + 1);
        if (code < 0) return damaged(Kind::kJpeg, size, "the file ends inside the image data");
        if (code == 0x00) {
          at += 2;
        } else if (code >= 0xD0 && code <= 0xD7) {
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

}  // namespace pyralis::filetypes::detail
