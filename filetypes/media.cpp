// SPDX-License-Identifier: GPL-3.0-or-later
// Containers of pictures, sound and video: ISO base media (MP4, MOV, 3GP, HEIC, AVIF,
// CR3), RIFF (AVI, WAV, WebP) and Matroska/WebM.
#include <algorithm>
#include <array>
#include <cstring>

#include "filetypes/walk.h"

namespace pyralis::filetypes::detail {

std::string format_time(int64_t seconds) {
  if (seconds <= 0 || seconds > 253402300799) return {};  // up to the year 9999
  const int64_t days = seconds / 86400;
  const int64_t rest = seconds % 86400;
  // Civil date from days since 1970-01-01 (proleptic Gregorian calendar).
  const int64_t z = days + 719468;
  const int64_t era = z / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yoe + era * 400 + (month <= 2);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", static_cast<int>(year),
                static_cast<int>(month), static_cast<int>(day), static_cast<int>(rest / 3600),
                static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
  return text;
}

namespace {

bool printable4(const uint8_t* p) {
  for (int i = 0; i < 4; ++i) {
    if ((p[i] < 0x20 || p[i] > 0x7E) && p[i] != 0xA9) return false;  // QuickTime uses '©'
  }
  return true;
}

bool type_is(const uint8_t* p, const char* type) {
  return std::memcmp(p, type, 4) == 0;
}

// ISO base media boxes: a 4-byte big-endian size (1: a 64-bit size follows the type; 0: the
// box runs to the end of the file) and a 4-character type. Containers hold boxes that fill
// them exactly.
class BoxWalk {
 public:
  explicit BoxWalk(Reader& reader) : reader_(reader) {}
  Result run();
  // What the boxes walked so far said (date, picture size).
  const Result& facts() const { return facts_; }

 private:
  struct Box {
    uint64_t start = 0;
    uint64_t body = 0;
    uint64_t end = 0;
    uint8_t type[4] = {};
  };
  // The box at `at` inside [.., limit); false (with `error_` set) when it does not fit.
  bool box(uint64_t at, uint64_t limit, Box* out);
  bool children(uint64_t from, uint64_t limit, int depth);
  void facts(const Box& b);

  Reader& reader_;
  int boxes_ = 0;
  Result error_;
  Result facts_;
  bool failed_ = false;
};

bool BoxWalk::box(uint64_t at, uint64_t limit, Box* out) {
  uint8_t h[16];
  const auto fail = [&](uint64_t where, const char* why) {
    failed_ = true;
    error_ = damaged(Kind::kIsoBmff, where, why);
    return false;
  };
  if (!reader_.read(at, h, 8)) return fail(reader_.size(), "the file ends inside a box header");
  uint64_t size = be32(h);
  uint64_t header = 8;
  if (size == 1) {
    if (!reader_.read(at, h, 16)) return fail(reader_.size(), "the file ends inside a box header");
    size = be64(h + 8);
    header = 16;
  } else if (size == 0) {
    size = limit - at;
  }
  if (!printable4(h + 4) || size < header) return fail(at, "a box header does not hold together");
  out->start = at;
  out->body = at + header;
  std::memcpy(out->type, h + 4, 4);
  if (size > limit - at) {
    return fail(limit >= reader_.size() ? reader_.size() : at, "a box runs past its container");
  }
  out->end = at + size;
  return true;
}

bool is_container(const uint8_t* t) {
  static constexpr const char* kContainers[] = {"moov", "trak", "mdia", "minf", "stbl", "edts",
                                                "dinf", "mvex", "moof", "traf", "mfra", "udta",
                                                // HEIF's item properties (ispe: dimensions)
                                                "iprp", "ipco"};
  for (const char* c : kContainers) {
    if (type_is(t, c)) return true;
  }
  return false;
}

void BoxWalk::facts(const Box& b) {
  uint8_t v[96];
  if (type_is(b.type, "mvhd") && facts_.date_taken.empty() && reader_.read(b.body, v, 12)) {
    // Seconds since 1904-01-01, 32 or 64 bits by the box version.
    const uint64_t t = v[0] == 1 ? be64(v + 4) : be32(v + 4);
    if (t > 2082844800) facts_.date_taken = format_time(static_cast<int64_t>(t - 2082844800));
  } else if (type_is(b.type, "tkhd") && facts_.width == 0 && reader_.read(b.body, v, 96)) {
    const size_t at = v[0] == 1 ? 88 : 76;  // width and height, 16.16 fixed point
    if (at + 8 <= b.end - b.body) {
      facts_.width = be32(v + at) >> 16;
      facts_.height = be32(v + at + 4) >> 16;
    }
  } else if (type_is(b.type, "ispe") && facts_.width == 0 && reader_.read(b.body, v, 12)) {
    facts_.width = be32(v + 4);
    facts_.height = be32(v + 8);
  }
}

bool BoxWalk::children(uint64_t from, uint64_t limit, int depth) {
  uint64_t p = from;
  while (p < limit) {
    if (++boxes_ > 1 << 16) return true;  // enough boxes looked at
    uint8_t zero[4];
    if (limit - p == 4 && reader_.read(p, zero, 4) && be32(zero) == 0)
      return true;  // QuickTime's
                    // closing 0
    Box b;
    if (!box(p, limit, &b)) return false;
    facts(b);
    if (depth < 8 && is_container(b.type) && !children(b.body, b.end, depth + 1)) return false;
    p = b.end;
  }
  return true;
}

Result BoxWalk::run() {
  static constexpr const char* kTopLevel[] = {"ftyp", "moov", "mdat", "free", "skip", "wide",
                                              "meta", "uuid", "pnot", "moof", "mfra", "sidx",
                                              "styp", "pdin", "prft", "emsg", "junk", "PICT"};
  const uint64_t size = reader_.size();
  uint64_t p = 0;
  bool index = false;  // a moov or meta box: what says where the media data lies
  for (int n = 0; n < 1 << 16 && p < size; ++n) {
    uint8_t h[8];
    if (!reader_.read(p, h, 8)) break;
    bool known = false;
    for (const char* t : kTopLevel) known = known || type_is(h + 4, t);
    if (!known || (p == 0 && !type_is(h + 4, "ftyp") && !type_is(h + 4, "moov") &&
                   !type_is(h + 4, "mdat") && !type_is(h + 4, "wide") && !type_is(h + 4, "free"))) {
      break;
    }
    Box b;
    if (!box(p, size, &b)) return error_;
    if (type_is(b.type, "moov") || type_is(b.type, "meta")) index = true;
    facts(b);
    if (is_container(b.type) || type_is(b.type, "meta")) {
      const uint64_t inner = type_is(b.type, "meta") ? b.body + 4 : b.body;  // full box
      if (inner <= b.end && !children(inner, b.end, 1)) return error_;
    }
    p = b.end;
  }
  if (!index) {
    if (p >= size) return damaged(Kind::kIsoBmff, size, "the file ends before its movie header");
    return damaged(Kind::kIsoBmff, p,
                   p == 0 ? "the file does not start with a box"
                          : "a box of unknown type before the movie header");
  }
  Result r = intact(Kind::kIsoBmff, p);
  r.date_taken = facts_.date_taken;
  r.width = facts_.width;
  r.height = facts_.height;
  return r;
}

}  // namespace

Result check_isobmff(Reader& reader) {
  BoxWalk walk(reader);
  Result r = walk.run();
  if (r.state == State::kDamaged) {
    // A file cut after its movie header keeps its date.
    r.date_taken = walk.facts().date_taken;
    r.width = walk.facts().width;
    r.height = walk.facts().height;
  }
  return r;
}

// RIFF: "RIFF", a 32-bit little-endian size, a form type ("AVI ", "WAVE", "WEBP") and
// chunks — a 4-character id, a size, the data padded to an even length. LIST chunks hold a
// list type and chunks. AVI files past 1 GiB continue in "RIFF" "AVIX" forms.
Result check_riff(Reader& reader, Kind kind) {
  const uint64_t size = reader.size();
  Result facts;
  int chunks = 0;
  // Walks the chunks of [from, limit); false with `error` set when one does not fit.
  Result error;
  const auto walk = [&](auto&& self, uint64_t from, uint64_t limit, int depth) -> bool {
    uint64_t p = from;
    while (p + 8 <= limit) {
      if (++chunks > 1 << 20) return true;
      uint8_t h[8];
      if (!reader.read(p, h, 8)) {
        error = damaged(kind, size, "the file ends inside a chunk");
        return false;
      }
      const uint64_t length = le32(h + 4);
      if (!printable4(h)) {
        error = damaged(kind, p, "a chunk header does not hold together");
        return false;
      }
      const uint64_t end = p + 8 + length + (length & 1);
      if (p + 8 + length > limit) {
        error = damaged(kind, limit >= size ? size : p, "a chunk runs past its list");
        return false;
      }
      if (type_is(h, "LIST") && length >= 4 && depth < 8) {
        if (!self(self, p + 12, p + 8 + length, depth + 1)) return false;
      }
      // Motion JPEG video: each compressed frame ("##dc") is a JPEG file of its own.
      if (kind == Kind::kRiff && h[2] == 'd' && h[3] == 'c' && length >= 4) {
        uint8_t soi[3];
        if (reader.read(p + 8, soi, 3) && soi[0] == 0xFF && soi[1] == 0xD8 && soi[2] == 0xFF) {
          Slice slice(reader, p + 8, length);
          Reader frame(slice);
          const Result r = check_jpeg(frame);
          if (r.state == State::kDamaged) {
            error = damaged(kind, p + 8 + r.damaged_at, "a video frame: " + r.reason);
            return false;
          }
        }
      }
      uint8_t v[30];
      if (kind == Kind::kWebp && facts.width == 0 && length >= 10 && reader.read(p + 8, v, 10)) {
        if (type_is(h, "VP8X")) {
          facts.width = 1 + (v[4] | v[5] << 8 | v[6] << 16);
          facts.height = 1 + (v[7] | v[8] << 8 | v[9] << 16);
        } else if (type_is(h, "VP8L") && v[0] == 0x2F) {
          const uint32_t bits = le32(v + 1);
          facts.width = 1 + (bits & 0x3FFF);
          facts.height = 1 + (bits >> 14 & 0x3FFF);
        } else if (type_is(h, "VP8 ") && v[3] == 0x9D && v[4] == 0x01 && v[5] == 0x2A) {
          facts.width = le16(v + 6) & 0x3FFF;
          facts.height = le16(v + 8) & 0x3FFF;
        }
      }
      p = std::min(end, limit);
    }
    if (p != limit) {
      error = damaged(kind, p, "the chunks do not fill their list");
      return false;
    }
    return true;
  };
  uint64_t p = 0;
  for (int form = 0; form < 256; ++form) {
    uint8_t h[12];
    if (!reader.read(p, h, 12)) {
      if (form == 0) return damaged(kind, size, "the file ends inside its header");
      break;
    }
    if (!type_is(h, "RIFF") || (form > 0 && !type_is(h + 8, "AVIX"))) break;
    const uint64_t length = le32(h + 4);
    if (length < 4) return damaged(kind, p + 4, "the RIFF size is too small");
    const uint64_t end = p + 8 + length;
    if (end > size) {
      // Some writers leave the size of a stream they could not finish at 0 or ~0.
      return damaged(kind, size, "the file ends before the size its header gives");
    }
    if (!walk(walk, p + 12, end, 0)) return error;
    p = end + (length & 1 && end < size && reader.byte_at(end) == 0 ? 1 : 0);
  }
  Result r = intact(kind, p);
  r.width = facts.width;
  r.height = facts.height;
  return r;
}

// Matroska and WebM: EBML elements, each an ID (a variable-length integer of 1 to 4 bytes
// that keeps its length marker), a size (1 to 8 bytes; all value bits set means "unknown")
// and the data. The file is an EBML header and a Segment; the Segment's children (Seek
// head, Info, Tracks, Clusters, Cues, ...) and each Cluster's children fill them exactly. A
// CRC-32 element, where the writer put one first in an element, covers the rest of it.
namespace {

struct Element {
  uint32_t id = 0;
  uint64_t body = 0;
  uint64_t size = 0;
  bool unknown_size = false;
};

bool read_element(Reader& reader, uint64_t at, Element* e) {
  uint8_t b[12];
  const auto v = reader.view(at, 12);
  if (v.size() < 2) return false;
  std::memcpy(b, v.data(), v.size());
  const int first = b[0];
  int id_length = first >= 0x80 ? 1 : first >= 0x40 ? 2 : first >= 0x20 ? 3 : first >= 0x10 ? 4 : 0;
  if (id_length == 0 || static_cast<size_t>(id_length) >= v.size()) return false;
  e->id = 0;
  for (int i = 0; i < id_length; ++i) e->id = e->id << 8 | b[i];
  const int s0 = b[id_length];
  int size_length = 1;
  while (size_length <= 8 && !(s0 & (0x80 >> (size_length - 1)))) ++size_length;
  if (size_length > 8 || static_cast<size_t>(id_length + size_length) > v.size()) return false;
  uint64_t size = s0 & (0xFF >> size_length);
  bool all_ones = size == (0xFFu >> size_length);
  for (int i = 1; i < size_length; ++i) {
    size = size << 8 | b[id_length + i];
    all_ones = all_ones && b[id_length + i] == 0xFF;
  }
  e->unknown_size = all_ones;
  e->size = size;
  e->body = at + id_length + size_length;
  return true;
}

bool level1(uint32_t id) {
  switch (id) {
    case 0x114D9B74:
    case 0x1549A966:
    case 0x1654AE6B:
    case 0x1F43B675:
    case 0x1C53BB6B:
    case 0x1043A770:
    case 0x1254C367:
    case 0x1941A469:
    case 0xEC:
    case 0xBF:
      return true;
    default:
      return false;
  }
}

bool cluster_child(uint32_t id) {
  switch (id) {
    case 0xE7:
    case 0xA3:
    case 0xA0:
    case 0xA7:
    case 0xAB:
    case 0xEC:
    case 0xBF:
    case 0x5854:
      return true;
    default:
      return false;
  }
}

}  // namespace

Result check_matroska(Reader& reader) {
  const uint64_t size = reader.size();
  Element header;
  if (!read_element(reader, 0, &header) || header.unknown_size) {
    return damaged(Kind::kMatroska, 0, "the EBML header does not hold together");
  }
  uint64_t p = header.body + header.size;
  Element segment;
  if (p >= size) return damaged(Kind::kMatroska, size, "the file ends before its segment");
  if (!read_element(reader, p, &segment) || segment.id != 0x18538067) {
    return damaged(Kind::kMatroska, p, "the segment does not follow the EBML header");
  }
  const uint64_t end = segment.unknown_size ? size : segment.body + segment.size;
  if (end > size) return damaged(Kind::kMatroska, size, "the file ends before its segment does");
  // The CRC-32 element first in [from, limit), when there is one, against the rest.
  const auto crc_holds = [&](uint64_t from, uint64_t limit) {
    Element c;
    uint8_t stored[4];
    if (!read_element(reader, from, &c) || c.id != 0xBF || c.size != 4 ||
        !reader.read(c.body, stored, 4)) {
      return true;
    }
    uint32_t crc = 0;
    return crc32_of(reader, c.body + 4, limit - (c.body + 4), &crc) && crc == le32(stored);
  };
  int elements = 0;
  // Children of [from, limit) must be known to `known` and fill it exactly.
  const auto children = [&](uint64_t from, uint64_t limit, bool (*known)(uint32_t), Result* error,
                            bool walk_clusters) -> bool {
    uint64_t q = from;
    while (q < limit) {
      if (++elements > 1 << 20) return true;
      Element e;
      if (!read_element(reader, q, &e) || !known(e.id)) {
        // Live recordings end the segment with an element cut short or junk: an
        // unknown-sized segment ends at the last whole element.
        if (segment.unknown_size && limit == end) {
          *error = intact(Kind::kMatroska, q);
          return false;
        }
        *error = damaged(Kind::kMatroska, q, "an element of unknown kind inside the segment");
        return false;
      }
      if (e.unknown_size) {
        *error = unknown(Kind::kMatroska, "an element of unknown size");
        return false;
      }
      if (e.size > limit - e.body || e.body > limit) {
        *error =
            damaged(Kind::kMatroska, limit >= size ? size : q, "an element runs past its parent");
        return false;
      }
      const uint64_t e_end = e.body + e.size;
      if (e.id != 0xBF && e.id != 0xEC && e.size > 6 && !crc_holds(e.body, e_end)) {
        *error = damaged(Kind::kMatroska, q, "an element's CRC-32 does not match its data");
        return false;
      }
      q = e_end;
      (void)walk_clusters;
    }
    return true;
  };
  Result error;
  // Level 1, then the inside of each cluster.
  if (!children(segment.body, end, level1, &error, true)) return error;
  uint64_t q = segment.body;
  while (q < end) {
    Element e;
    if (!read_element(reader, q, &e)) break;
    if (e.id == 0x1F43B675 && !children(e.body, e.body + e.size, cluster_child, &error, false)) {
      return error;
    }
    q = e.body + e.size;
  }
  return intact(Kind::kMatroska, end);
}

}  // namespace pyralis::filetypes::detail
