// SPDX-License-Identifier: GPL-3.0-or-later
// Sound: MP3 (MPEG audio frames after an optional ID3v2 tag), FLAC and Ogg.
#include <algorithm>
#include <array>
#include <cstring>
#include <span>

#include "filetypes/walk.h"

namespace pyralis::filetypes {

namespace {

// The length of the MPEG audio frame whose 4-byte header is at `h`, or 0 when it is none.
uint32_t mpeg_frame_length(const uint8_t* h) {
  if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return 0;
  const int version = h[1] >> 3 & 3;  // 0: 2.5, 2: 2, 3: 1
  const int layer = h[1] >> 1 & 3;    // 1: III, 2: II, 3: I
  const int bitrate_index = h[2] >> 4;
  const int rate_index = h[2] >> 2 & 3;
  if (version == 1 || layer == 0 || bitrate_index == 0 || bitrate_index == 15 || rate_index == 3) {
    return 0;
  }
  if ((h[3] & 3) == 2) return 0;  // reserved emphasis
  static constexpr uint16_t kBitrates[2][3][16] = {
      {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
       {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
       {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0}},
      {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0}}};
  static constexpr uint32_t kRates[4][3] = {
      {11025, 12000, 8000}, {0, 0, 0}, {22050, 24000, 16000}, {44100, 48000, 32000}};
  const int lsf = version == 3 ? 0 : 1;
  const int layer_row = 3 - layer;  // 0: I, 1: II, 2: III
  const uint32_t bitrate = kBitrates[lsf][layer_row][bitrate_index] * 1000u;
  const uint32_t rate = kRates[version][rate_index];
  const uint32_t padding = h[2] >> 1 & 1;
  if (layer_row == 0) return (12 * bitrate / rate + padding) * 4;
  if (layer_row == 2 && lsf) return 72 * bitrate / rate + padding;
  return 144 * bitrate / rate + padding;
}

}  // namespace

bool mp3_frame_header(std::span<const uint8_t> h) {
  if (h.size() < 4 || mpeg_frame_length(h.data()) == 0) return false;
  // Only layer III stands as a signature alone; the walk confirms it by the next frames.
  return (h[1] >> 1 & 3) == 1;
}

namespace detail {

namespace {

// Whether `count` frames follow one another from `at`.
bool frames_follow(Reader& reader, uint64_t at, int count) {
  for (int i = 0; i < count; ++i) {
    uint8_t h[4];
    if (!reader.read(at, h, 4)) return false;
    const uint32_t length = mpeg_frame_length(h);
    if (length < 4) return false;
    at += length;
  }
  return true;
}

}  // namespace

// MP3: an optional ID3v2 tag (10-byte header, a size in 7-bit bytes, a footer when flagged),
// MPEG audio frames one after another (each header gives the frame's length), then
// optional APE and ID3v1 ("TAG", 128 bytes) tags. The stream has no end marker: it ends
// where the frames stop, unless frames resume further on, which means foreign bytes cut it.
Result check_mp3(Reader& reader) {
  const uint64_t size = reader.size();
  uint64_t p = 0;
  uint8_t h[10];
  if (reader.read(0, h, 10) && std::memcmp(h, "ID3", 3) == 0) {
    const uint64_t tag = uint64_t{h[6] & 0x7Fu} << 21 | uint64_t{h[7] & 0x7Fu} << 14 |
                         uint64_t{h[8] & 0x7Fu} << 7 | (h[9] & 0x7Fu);
    p = 10 + tag + (h[5] & 0x10 ? 10 : 0);
    if (p > size) return damaged(Kind::kMp3, size, "the file ends inside its ID3 tag");
    // Some writers pad after the tag with zeros.
    for (int pad = 0; pad < 1 << 16 && reader.byte_at(p) == 0; ++pad) ++p;
  }
  if (!frames_follow(reader, p, 3)) {
    if (p >= size) return damaged(Kind::kMp3, size, "the file ends before its first frame");
    return damaged(Kind::kMp3, p, "no audio frames where they begin");
  }
  // A Xing or Info frame (LAME writes one first) gives the number of frames.
  uint64_t promised = 0;
  {
    const auto first = reader.view(p, 64);
    for (size_t i = 4; i + 12 <= first.size(); ++i) {
      if ((std::memcmp(&first[i], "Xing", 4) == 0 || std::memcmp(&first[i], "Info", 4) == 0) &&
          (first[i + 7] & 1)) {
        promised = detail::be32(&first[i + 8]) + 1;  // and the Info frame itself
        break;
      }
    }
  }
  int frames = 0;
  for (; frames < 1 << 24; ++frames) {
    if (!reader.read(p, h, 4)) break;
    const uint32_t length = mpeg_frame_length(h);
    if (length < 4) break;
    if (p + length > size) return damaged(Kind::kMp3, size, "the file ends inside a frame");
    p += length;
  }
  if (promised != 0 && static_cast<uint64_t>(frames) < promised) {
    return damaged(Kind::kMp3, p,
                   p >= size ? "the file ends before its last frame" : "the frames break off");
  }
  uint8_t tag[8];
  if (reader.read(p, tag, 8) && std::memcmp(tag, "APETAGEX", 8) == 0) {
    // An APE tag header: its size counts the items and the footer, not the header.
    uint8_t header[32];
    if (!reader.read(p, header, 32))
      return damaged(Kind::kMp3, size, "the file ends inside its APE tag");
    const uint64_t end = p + 32 + uint64_t{le32(header + 12)};
    if (end > size) return damaged(Kind::kMp3, size, "the file ends inside its APE tag");
    p = end;
  }
  if (reader.read(p, tag, 3) && std::memcmp(tag, "TAG", 3) == 0 && p + 128 <= size) p += 128;
  // Frames that resume within the next 64 KiB mean that the stream was cut by foreign bytes.
  const uint64_t limit = std::min(size, p + 65536);
  for (uint64_t q = reader.find_byte(p, limit, 0xFF); q < limit;
       q = reader.find_byte(q + 1, limit, 0xFF)) {
    if (frames_follow(reader, q, 4))
      return damaged(Kind::kMp3, p, "the frames break off and resume further on");
  }
  return intact(Kind::kMp3, p);
}

namespace {

uint8_t crc8(const uint8_t* p, size_t n) {
  uint8_t c = 0;
  for (size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k) c = static_cast<uint8_t>(c & 0x80 ? c << 1 ^ 0x07 : c << 1);
  }
  return c;
}

const std::array<uint16_t, 256>& crc16_table() {
  static const std::array<uint16_t, 256> table = [] {
    std::array<uint16_t, 256> t{};
    for (int i = 0; i < 256; ++i) {
      uint16_t c = static_cast<uint16_t>(i << 8);
      for (int k = 0; k < 8; ++k) c = static_cast<uint16_t>(c & 0x8000 ? c << 1 ^ 0x8005 : c << 1);
      t[static_cast<size_t>(i)] = c;
    }
    return t;
  }();
  return table;
}

// The length of the FLAC frame header at the start of `b` (its CRC-8 checked), or 0 when
// none is there; `*samples` gets the frame's block size.
size_t flac_frame_header(std::span<const uint8_t> b, uint32_t* samples = nullptr) {
  if (b.size() < 6 || b[0] != 0xFF || (b[1] & 0xFE) != 0xF8) return 0;
  const int block = b[2] >> 4, rate = b[2] & 15, channels = b[3] >> 4, bits = b[3] >> 1 & 7;
  if (block == 0 || rate == 15 || channels > 10 || bits == 3 || (b[3] & 1)) return 0;
  size_t n = 4;
  // The frame or sample number, UTF-8 coded in up to 7 bytes.
  int extra = 0;
  if (b[4] < 0x80)
    extra = 0;
  else if ((b[4] & 0xE0) == 0xC0)
    extra = 1;
  else if ((b[4] & 0xF0) == 0xE0)
    extra = 2;
  else if ((b[4] & 0xF8) == 0xF0)
    extra = 3;
  else if ((b[4] & 0xFC) == 0xF8)
    extra = 4;
  else if ((b[4] & 0xFE) == 0xFC)
    extra = 5;
  else if (b[4] == 0xFE)
    extra = 6;
  else
    return 0;
  n += 1 + static_cast<size_t>(extra);
  uint32_t count = 0;
  if (block == 1)
    count = 192;
  else if (block <= 5)
    count = 576u << (block - 2);
  else if (block >= 8)
    count = 256u << (block - 8);
  else if (b.size() > n + 2)
    count = 1 + (block == 6 ? b[n] : (b[n] << 8 | b[n + 1]));
  if (samples != nullptr) *samples = count;
  if (block == 6) n += 1;
  if (block == 7) n += 2;
  if (rate == 12) n += 1;
  if (rate == 13 || rate == 14) n += 2;
  if (b.size() < n + 1 || crc8(b.data(), n) != b[n]) return 0;
  return n + 1;
}

}  // namespace

// FLAC: "fLaC", metadata blocks (a header byte — last-block flag and type — and a 24-bit
// length), STREAMINFO first; then frames, each a header with a CRC-8 and ending with the
// CRC-16 of the whole frame. A frame ends where the next frame header begins; the last one
// where the CRC-16 of the bytes read so far comes out right.
Result check_flac(Reader& reader) {
  const uint64_t size = reader.size();
  uint64_t p = 4;
  uint32_t max_frame = 0;
  uint64_t total_samples = 0;  // 0: not given
  for (int blocks = 0;; ++blocks) {
    uint8_t h[4];
    if (blocks > 1 << 16) return damaged(Kind::kFlac, p, "too many metadata blocks");
    if (!reader.read(p, h, 4))
      return damaged(Kind::kFlac, size, "the file ends inside its metadata");
    const int type = h[0] & 0x7F;
    const uint32_t length = uint32_t{h[1]} << 16 | uint32_t{h[2]} << 8 | h[3];
    if (type == 127 || (blocks == 0 && (type != 0 || length != 34))) {
      return damaged(Kind::kFlac, p, "a metadata block does not hold together");
    }
    if (blocks == 0) {
      uint8_t info[34];
      if (!reader.read(p + 4, info, 34))
        return damaged(Kind::kFlac, size, "the file ends inside its metadata");
      max_frame = uint32_t{info[7]} << 16 | uint32_t{info[8]} << 8 | info[9];
      total_samples = uint64_t{info[13] & 0x0Fu} << 32 | be32(info + 14);
    }
    p += 4 + uint64_t{length};
    if (p > size) return damaged(Kind::kFlac, size, "the file ends inside its metadata");
    if (h[0] & 0x80) break;
  }
  const uint64_t reach = max_frame != 0 ? uint64_t{max_frame} + 16 : 1u << 20;
  const auto& table = crc16_table();
  int frames = 0;
  uint64_t samples = 0;
  while (p < size && frames < 1 << 24 && (total_samples == 0 || samples < total_samples)) {
    const auto head = reader.view(p, 24);
    uint32_t block = 0;
    const size_t header = flac_frame_header(head, &block);
    if (header == 0) {
      if (frames == 0 || total_samples != 0)
        return damaged(Kind::kFlac, p, "a frame is not where the last one ended");
      break;  // what follows is not FLAC: the stream ended at p
    }
    samples += block;
    // Run the CRC-16 forward; at each later frame header, or where it comes out zero at the
    // end of the source or of the reach, the frame may end.
    uint16_t crc = 0;
    uint64_t q = p;
    const uint64_t limit = std::min(size, p + reach);
    uint64_t frame_end = 0;
    uint64_t first_zero = 0;  // the first place the CRC comes out right
    while (q < limit) {
      // A copy: the header test below reads through the same reader, which may move the
      // window this view points into.
      const auto view = reader.view(q, static_cast<size_t>(std::min<uint64_t>(4096, limit - q)));
      if (view.empty()) break;
      std::array<uint8_t, 4096> chunk;
      std::copy(view.begin(), view.end(), chunk.begin());
      const std::span<const uint8_t> bytes(chunk.data(), view.size());
      for (size_t i = 0; i < bytes.size(); ++i) {
        crc = static_cast<uint16_t>(crc << 8 ^ table[(crc >> 8 ^ bytes[i]) & 0xFF]);
        const uint64_t at = q + i + 1;
        if (crc != 0 || at - p < header + 2) continue;
        if (first_zero == 0) first_zero = at;
        if (at == size) {
          frame_end = at;
          break;
        }
        if (flac_frame_header(reader.view(at, 24)) != 0) {
          frame_end = at;
          break;
        }
      }
      if (frame_end != 0) break;
      q += bytes.size();
      if (q > limit) break;
    }
    if (frame_end == 0) {
      if (limit >= size) return damaged(Kind::kFlac, size, "the file ends inside a frame");
      if (first_zero != 0) {
        frame_end = first_zero;  // the last frame, followed by something else
      } else {
        return damaged(Kind::kFlac, p, "a frame's CRC does not match its data");
      }
    }
    ++frames;
    p = frame_end;
  }
  if (total_samples != 0 && samples < total_samples) {
    return damaged(Kind::kFlac, p, "the file ends before its last frame");
  }
  return intact(Kind::kFlac, p);
}

namespace {

const std::array<uint32_t, 256>& ogg_crc_table() {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i << 24;
      for (int k = 0; k < 8; ++k) c = c & 0x80000000u ? c << 1 ^ 0x04C11DB7u : c << 1;
      t[i] = c;
    }
    return t;
  }();
  return table;
}

}  // namespace

// Ogg: pages of "OggS", version 0, flags (beginning and end of a stream), position, serial
// number, page number, a CRC-32 of the page with the CRC field as zeros, and a table of
// segment lengths whose sum is the page's data. The file ends after every stream that
// began has ended.
Result check_ogg(Reader& reader) {
  const uint64_t size = reader.size();
  const auto& table = ogg_crc_table();
  std::vector<uint32_t> open;
  uint64_t p = 0;
  for (int pages = 0; pages < 1 << 22; ++pages) {
    uint8_t h[27 + 255];
    if (!reader.read(p, h, 27))
      return damaged(Kind::kOgg, size, "the file ends before its streams do");
    if (std::memcmp(h, "OggS", 4) != 0 || h[4] != 0) {
      if (open.empty() && pages > 0) break;
      return damaged(Kind::kOgg, p, "a page does not start where the last one ended");
    }
    const int segments = h[26];
    if (!reader.read(p + 27, h + 27, segments))
      return damaged(Kind::kOgg, size, "the file ends inside a page");
    uint64_t body = 0;
    for (int i = 0; i < segments; ++i) body += h[27 + i];
    const uint64_t end = p + 27 + segments + body;
    if (end > size) return damaged(Kind::kOgg, size, "the file ends inside a page");
    uint32_t crc = 0;
    for (int i = 0; i < 27 + segments; ++i) {
      const uint8_t b = i >= 22 && i < 26 ? 0 : h[i];
      crc = crc << 8 ^ table[(crc >> 24 ^ b) & 0xFF];
    }
    for (uint64_t q = p + 27 + segments; q < end;) {
      const auto bytes =
          reader.view(q, static_cast<size_t>(std::min<uint64_t>(Reader::kWindow, end - q)));
      if (bytes.empty()) return damaged(Kind::kOgg, size, "the file ends inside a page");
      for (const uint8_t b : bytes) crc = crc << 8 ^ table[(crc >> 24 ^ b) & 0xFF];
      q += bytes.size();
    }
    if (crc != le32(h + 22)) return damaged(Kind::kOgg, p, "a page's CRC does not match its data");
    const uint32_t serial = le32(h + 14);
    const auto known = std::find(open.begin(), open.end(), serial);
    if (h[5] & 2) {
      if (known == open.end() && open.size() < 64) open.push_back(serial);
    } else if (known == open.end()) {
      return damaged(Kind::kOgg, p, "a page of a stream that has not begun");
    }
    if (h[5] & 4) {
      const auto it = std::find(open.begin(), open.end(), serial);
      if (it != open.end()) open.erase(it);
    }
    p = end;
    if (open.empty()) {
      uint8_t next[4];
      // A chained stream may follow; otherwise the file ends here.
      if (!reader.read(p, next, 4) || std::memcmp(next, "OggS", 4) != 0) break;
    }
  }
  return intact(Kind::kOgg, p);
}

}  // namespace detail
}  // namespace pyralis::filetypes
