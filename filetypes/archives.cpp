// SPDX-License-Identifier: GPL-3.0-or-later
// ZIP (and the formats built on it: OOXML, ODF, EPUB, JAR, APK) and gzip, whose deflate
// data zlib inflates to check the CRC-32 each entry or member carries.
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "filetypes/walk.h"

namespace pyralis::filetypes::detail {

Inflated inflate_raw(Reader& reader, uint64_t offset, uint64_t limit) {
  Inflated out;
  limit = std::min(limit, reader.size());
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) {
    out.outcome = Inflated::kBroken;
    out.end = offset;
    return out;
  }
  std::array<uint8_t, 32 * 1024> sink;
  uLong crc = ::crc32(0, nullptr, 0);
  uint64_t at = offset;
  int status = Z_OK;
  bool full = false;  // the last call filled the sink: more output may wait without input
  while (status == Z_OK) {
    if (z.avail_in == 0 && !full) {
      if (at >= limit) break;
      const auto bytes =
          reader.view(at, static_cast<size_t>(std::min<uint64_t>(Reader::kWindow, limit - at)));
      if (bytes.empty()) break;
      z.next_in = const_cast<Bytef*>(bytes.data());
      z.avail_in = static_cast<uInt>(bytes.size());
      at += bytes.size();
    }
    z.next_out = sink.data();
    z.avail_out = sink.size();
    status = inflate(&z, Z_NO_FLUSH);
    full = z.avail_out == 0;
    const size_t produced = sink.size() - z.avail_out;
    crc = ::crc32(crc, sink.data(), static_cast<uInt>(produced));
    out.out_size += produced;
    if (status == Z_BUF_ERROR && z.avail_in == 0) status = Z_OK;  // wants more input
  }
  out.crc = static_cast<uint32_t>(crc);
  out.end = offset + z.total_in;
  out.outcome = status == Z_STREAM_END                      ? Inflated::kEnd
                : (status == Z_OK || status == Z_BUF_ERROR) ? Inflated::kCut
                                                            : Inflated::kBroken;
  inflateEnd(&z);
  return out;
}

namespace {

constexpr uint32_t kLocal = 0x04034b50;
constexpr uint32_t kCentral = 0x02014b50;
constexpr uint32_t kDescriptor = 0x08074b50;
constexpr uint32_t kEnd = 0x06054b50;
constexpr uint32_t kEnd64 = 0x06064b50;
constexpr uint32_t kLocator64 = 0x07064b50;
constexpr int kMaxEntries = 1 << 20;

// The 64-bit sizes of a ZIP64 extra field (0x0001), for the fields the header set to ~0.
void zip64_sizes(Reader& reader, uint64_t extra, uint32_t extra_length, uint64_t* uncompressed,
                 uint64_t* compressed) {
  uint64_t at = extra;
  const uint64_t end = extra + extra_length;
  while (at + 4 <= end) {
    uint8_t h[4];
    if (!reader.read(at, h, 4)) return;
    const uint16_t id = le16(h);
    const uint16_t length = le16(h + 2);
    if (id == 0x0001) {
      uint8_t v[16] = {};
      const size_t n = std::min<size_t>(length, 16);
      if (!reader.read(at + 4, v, n)) return;
      size_t k = 0;
      if (*uncompressed == 0xFFFFFFFF && k + 8 <= n) *uncompressed = le64(v + k), k += 8;
      if (*compressed == 0xFFFFFFFF && k + 8 <= n) *compressed = le64(v + k);
      return;
    }
    at += 4 + uint64_t{length};
  }
}

}  // namespace

// ZIP: local file headers ("PK\3\4", 30 bytes + name + extra) each followed by the entry's
// data and, when flag bit 3 is set, a data descriptor; then the central directory ("PK\1\2"
// entries, 46 bytes + name + extra + comment), the ZIP64 end record and locator when
// present, and the end record ("PK\5\6", 22 bytes + comment), which gives the number of
// entries and where the central directory starts.
Result check_zip(Reader& reader) {
  const uint64_t size = reader.size();
  const auto cut = [&] { return damaged(Kind::kZip, size, "the file ends before its end record"); };
  uint64_t p = 0;
  uint64_t locals = 0;
  bool unchecked = false;  // an entry whose data could not be verified
  int i = 0;
  for (; i < kMaxEntries; ++i) {
    uint8_t h[30];
    if (!reader.read(p, h, 4)) return cut();
    if (le32(h) != kLocal) break;
    if (!reader.read(p, h, 30)) return cut();
    const uint16_t flags = le16(h + 6);
    const uint16_t method = le16(h + 8);
    const uint32_t crc = le32(h + 14);
    uint64_t compressed = le32(h + 18);
    uint64_t uncompressed = le32(h + 22);
    const uint16_t name_length = le16(h + 26);
    const uint16_t extra_length = le16(h + 28);
    const uint64_t data = p + 30 + name_length + extra_length;
    if (data > size) return cut();
    zip64_sizes(reader, p + 30 + name_length, extra_length, &uncompressed, &compressed);
    const bool descriptor = flags & 8;
    const bool encrypted = flags & 1;
    uint64_t data_end = 0;
    uint32_t actual_crc = 0;
    uint64_t actual_size = 0;
    bool verified = false;
    if (method == 8 && !encrypted) {
      const uint64_t limit = descriptor ? size : data + compressed;
      const Inflated z = inflate_raw(reader, data, limit);
      if (z.outcome == Inflated::kBroken)
        return damaged(Kind::kZip, z.end, "an entry's compressed data is broken");
      if (z.outcome == Inflated::kCut) {
        return limit >= size ? cut()
                             : damaged(Kind::kZip, data, "an entry's compressed data is broken");
      }
      if (!descriptor && z.end != data + compressed) {
        return damaged(Kind::kZip, data, "an entry's compressed data does not fill its size");
      }
      data_end = z.end;
      actual_crc = z.crc;
      actual_size = z.out_size;
      verified = true;
    } else if (!descriptor) {
      data_end = data + compressed;
      if (data_end > size) return cut();
      if (method == 0 && !encrypted) {
        if (!crc32_of(reader, data, compressed, &actual_crc)) return cut();
        actual_size = compressed;
        verified = true;
      } else {
        unchecked = true;
      }
    } else {
      return unknown(Kind::kZip, "an entry's length is known only from the central directory");
    }
    uint32_t want_crc = crc;
    uint64_t want_size = uncompressed;
    p = data_end;
    if (descriptor) {
      uint8_t d[24];
      if (!reader.read(p, d, 4)) return cut();
      const uint64_t at = le32(d) == kDescriptor ? p + 4 : p;
      const bool wide = compressed == 0xFFFFFFFF || uncompressed == 0xFFFFFFFF;
      if (!reader.read(at, d, wide ? 20 : 12)) return cut();
      want_crc = le32(d);
      want_size = wide ? le64(d + 12) : le32(d + 8);
      p = at + (wide ? 20 : 12);
    }
    if (verified && (actual_crc != want_crc || actual_size != want_size)) {
      return damaged(Kind::kZip, data, "an entry's CRC does not match its data");
    }
    ++locals;
  }
  if (i == kMaxEntries) return damaged(Kind::kZip, p, "too many entries");
  // The central directory.
  const uint64_t directory = p;
  uint64_t entries = 0;
  for (int k = 0; k < kMaxEntries; ++k) {
    uint8_t c[46];
    if (!reader.read(p, c, 4)) return cut();
    if (le32(c) != kCentral) break;
    if (!reader.read(p, c, 46)) return cut();
    p += 46 + uint64_t{le16(c + 28)} + le16(c + 30) + le16(c + 32);
    ++entries;
  }
  uint8_t e[22];
  if (!reader.read(p, e, 4)) return cut();
  if (le32(e) == kEnd64) {
    uint8_t z[12];
    if (!reader.read(p, z, 12)) return cut();
    const uint64_t record = le64(z + 4);
    if (record > size) return cut();
    p += 12 + record;
    if (!reader.read(p, z, 4)) return cut();
    if (le32(z) == kLocator64) p += 20;
  }
  if (!reader.read(p, e, 22)) return cut();
  if (le32(e) != kEnd) {
    return damaged(Kind::kZip, p,
                   entries == 0 && locals > 0 ? "an entry is not followed by another header"
                                              : "the central directory breaks off");
  }
  const uint16_t listed = le16(e + 10);
  const uint32_t directory_offset = le32(e + 16);
  if (entries != locals || (listed != 0xFFFF && listed != (entries & 0xFFFF)) ||
      (directory_offset != 0xFFFFFFFF && directory_offset != directory)) {
    return damaged(Kind::kZip, directory, "the central directory does not match the entries");
  }
  const uint64_t end = p + 22 + le16(e + 20);
  Result r = ends_at(Kind::kZip, reader, end);
  if (r.state == State::kIntact && unchecked) {
    r.state = State::kUnknown;
    r.reason = "an entry is encrypted or compressed in a way that cannot be checked";
  }
  return r;
}

// gzip: members of a 10-byte header (1F 8B 08, flags, time, ...), the optional extra field,
// name, comment and header CRC the flags announce, a deflate stream, and the CRC-32 and
// size (mod 2^32) of the inflated data. Members may follow one another.
Result check_gzip(Reader& reader) {
  const uint64_t size = reader.size();
  uint64_t p = 0;
  for (int member = 0; member < 1 << 16; ++member) {
    uint8_t h[10];
    if (!reader.read(p, h, 10)) return damaged(Kind::kGzip, size, "the file ends inside a header");
    const uint8_t flags = h[3];
    if (flags & 0xE0) return damaged(Kind::kGzip, p + 3, "a header has unknown flags");
    uint64_t at = p + 10;
    if (flags & 4) {
      uint8_t x[2];
      if (!reader.read(at, x, 2))
        return damaged(Kind::kGzip, size, "the file ends inside a header");
      at += 2 + uint64_t{le16(x)};
    }
    for (const uint8_t text : {uint8_t{8}, uint8_t{16}}) {
      if (!(flags & text)) continue;
      const uint64_t zero = reader.find_byte(at, std::min(size, at + 65536), 0);
      if (zero >= size || reader.byte_at(zero) != 0) {
        return damaged(Kind::kGzip, std::min(size, at), "a header's name or comment does not end");
      }
      at = zero + 1;
    }
    if (flags & 2) at += 2;
    const Inflated z = inflate_raw(reader, at, size);
    if (z.outcome == Inflated::kBroken)
      return damaged(Kind::kGzip, z.end, "the compressed data is broken");
    if (z.outcome == Inflated::kCut)
      return damaged(Kind::kGzip, size, "the file ends inside the compressed data");
    uint8_t t[8];
    if (!reader.read(z.end, t, 8))
      return damaged(Kind::kGzip, size, "the file ends before its CRC");
    if (le32(t) != z.crc || le32(t + 4) != static_cast<uint32_t>(z.out_size)) {
      return damaged(Kind::kGzip, at, "the CRC does not match the data");
    }
    p = z.end + 8;
    uint8_t next[3];
    if (!reader.read(p, next, 3) || next[0] != 0x1F || next[1] != 0x8B || next[2] != 8) {
      return intact(Kind::kGzip, p);
    }
  }
  return damaged(Kind::kGzip, p, "too many members");
}

}  // namespace pyralis::filetypes::detail
