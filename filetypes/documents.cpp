// SPDX-License-Identifier: GPL-3.0-or-later
// Documents: PDF, OLE2 compound files (DOC, XLS, PPT, MSG), RTF, SQLite databases and text.
#include <algorithm>
#include <cstring>

#include "filetypes/walk.h"

namespace pyralis::filetypes::detail {

namespace {

bool space(int c) {
  return c == ' ' || c == '\r' || c == '\n' || c == '\t' || c == '\f' || c == 0;
}

// One line end ("\r\n", "\n" or "\r") after the last byte of a structure. Anything after
// it (NULs, further line ends) is not the structure's: free space or the next file.
uint64_t past_line_end(Reader& reader, uint64_t at) {
  const int c = reader.byte_at(at);
  if (c == '\r') return reader.byte_at(at + 1) == '\n' ? at + 2 : at + 1;
  return c == '\n' ? at + 1 : at;
}

// A decimal number at `at` (after blanks), with where it ends; false when none is there.
bool number_at(Reader& reader, uint64_t at, uint64_t* value, uint64_t* end) {
  int skipped = 0;
  while (space(reader.byte_at(at)) && skipped++ < 64) ++at;
  uint64_t v = 0;
  int digits = 0;
  for (int c = reader.byte_at(at); c >= '0' && c <= '9' && digits < 19; c = reader.byte_at(++at)) {
    v = v * 10 + static_cast<uint64_t>(c - '0');
    ++digits;
  }
  *value = v;
  *end = at;
  return digits > 0;
}

bool text_at(Reader& reader, uint64_t at, std::string_view text) {
  const auto bytes = reader.view(at, text.size());
  return bytes.size() == text.size() && std::memcmp(bytes.data(), text.data(), text.size()) == 0;
}

}  // namespace

// PDF: "%PDF-" and objects ("N G obj" ... "endobj"), a cross-reference table ("xref", then
// sections of 20-byte entries "offset generation n|f") or stream, a trailer, "startxref" and
// the offset of the last cross-reference, and "%%EOF". Incremental updates append further
// objects, tables and "%%EOF" lines. The walk finds the last "%%EOF" that more of the file
// does not follow, then checks that startxref leads to a table whose objects start where it
// says.
Result check_pdf(Reader& reader) {
  const uint64_t size = reader.size();
  uint64_t end = 0;
  uint64_t eof_marker = 0;
  for (uint64_t p = reader.find_byte(5, size, '%'); p < size;
       p = reader.find_byte(p + 1, size, '%')) {
    if (!text_at(reader, p, "%%EOF")) continue;
    eof_marker = p;
    end = past_line_end(reader, p + 5);
    uint64_t q = end;
    int skipped = 0;
    while (space(reader.byte_at(q)) && skipped++ < 64) ++q;
    const int c = reader.byte_at(q);
    if (c < 0 || !((c >= '0' && c <= '9') || text_at(reader, q, "xref") || c == '%')) break;
    p = q - 1;
  }
  if (end == 0) return damaged(Kind::kPdf, size, "the file ends before its %%EOF line");
  // "startxref" within the last KiB before the marker.
  const uint64_t from = eof_marker > 1024 ? eof_marker - 1024 : 0;
  uint64_t startxref = 0;
  for (uint64_t p = reader.find_byte(from, eof_marker, 's'); p < eof_marker;
       p = reader.find_byte(p + 1, eof_marker, 's')) {
    if (text_at(reader, p, "startxref")) startxref = p;
  }
  uint64_t xref = 0, after = 0;
  if (startxref == 0 || !number_at(reader, startxref + 9, &xref, &after) || xref >= startxref) {
    return damaged(Kind::kPdf, startxref ? startxref : eof_marker,
                   "startxref does not give a cross-reference");
  }
  if (text_at(reader, xref, "xref")) {
    uint64_t p = xref + 4;
    int entries_checked = 0;
    for (int section = 0; section < 4096; ++section) {
      uint64_t first = 0, count = 0, q = 0;
      if (p >= startxref || !number_at(reader, p, &first, &q)) break;  // "trailer"
      if (!number_at(reader, q, &count, &p))
        return damaged(Kind::kPdf, q, "a cross-reference section is broken");
      for (int k = 0; k < 4; ++k) {
        const int c = reader.byte_at(p);
        if (c != ' ' && c != '\r' && c != '\n') break;
        ++p;
      }
      if (count > (startxref - p) / 20 + 1)
        return damaged(Kind::kPdf, p, "a cross-reference section is broken");
      for (uint64_t i = 0; i < count; ++i, p += 20) {
        uint8_t e[20];
        if (!reader.read(p, e, 20) || (e[17] != 'n' && e[17] != 'f') || e[10] != ' ') {
          return damaged(Kind::kPdf, p, "a cross-reference entry is broken");
        }
        if (e[17] != 'n' || ++entries_checked > 1 << 16) continue;
        uint64_t offset = 0, ignored = 0, number = 0, at = 0;
        number_at(reader, p, &offset, &ignored);
        if (offset >= size || !number_at(reader, offset, &number, &at) || number != first + i) {
          return damaged(Kind::kPdf, std::min(offset, size),
                         "an object is not where the cross-reference puts it");
        }
      }
    }
  } else {
    uint64_t number = 0, at = 0;
    if (!number_at(reader, xref, &number, &at)) {
      return damaged(Kind::kPdf, xref, "startxref does not give a cross-reference");
    }
  }
  return intact(Kind::kPdf, end);
}

// OLE2 compound files: a 512-byte header (signature, version, sector size 2^9 or 2^12, the
// number of FAT sectors, the first directory sector, the first 109 FAT sector numbers and
// the chain of further DIFAT sectors), then sectors numbered from 0 after the header. The
// FAT gives each sector's successor; the file ends after the last sector it marks used.
Result check_ole2(Reader& reader) {
  const uint64_t size = reader.size();
  uint8_t h[512];
  if (!reader.read(0, h, 512)) return damaged(Kind::kOle2, size, "the file ends inside its header");
  const uint16_t shift = le16(h + 30);
  if (le16(h + 28) != 0xFFFE || (shift != 9 && shift != 12) || le16(h + 32) != 6) {
    return damaged(Kind::kOle2, 28, "the header does not hold together");
  }
  const uint64_t sector = uint64_t{1} << shift;
  const uint32_t per_sector = static_cast<uint32_t>(sector / 4);
  const auto offset_of = [&](uint64_t n) { return (n + 1) * sector; };
  const uint32_t fat_sectors = le32(h + 44);
  // Every FAT sector is a sector of the file: no more of them than the file holds (which
  // also bounds the walk over the FAT by the file's size).
  if (fat_sectors == 0 || fat_sectors > (1u << 20) || fat_sectors > size / sector) {
    return damaged(Kind::kOle2, 44, "the FAT size does not hold together");
  }
  // The FAT sector numbers: 109 in the header, the rest in the DIFAT chain.
  std::vector<uint32_t> fat;
  for (uint32_t i = 0; i < 109 && fat.size() < fat_sectors; ++i)
    fat.push_back(le32(h + 76 + 4 * i));
  uint32_t difat = le32(h + 68);
  for (uint32_t k = 0; fat.size() < fat_sectors && k < le32(h + 72) && k < (1u << 16); ++k) {
    if (difat >= 0xFFFFFFFA) break;
    for (uint32_t i = 0; i + 1 < per_sector && fat.size() < fat_sectors; ++i) {
      uint8_t v[4];
      if (!reader.read(offset_of(difat) + 4 * i, v, 4))
        return damaged(Kind::kOle2, size, "the file ends before its FAT");
      fat.push_back(le32(v));
    }
    uint8_t v[4];
    if (!reader.read(offset_of(difat) + sector - 4, v, 4))
      return damaged(Kind::kOle2, size, "the file ends before its FAT");
    difat = le32(v);
  }
  if (fat.size() < fat_sectors)
    return damaged(Kind::kOle2, 68, "the FAT sectors are not all listed");
  const uint64_t entries = uint64_t{fat_sectors} * per_sector;
  const auto next = [&](uint64_t n, uint32_t* out) {
    const uint32_t s = fat[static_cast<size_t>(n / per_sector)];
    uint8_t v[4];
    if (s >= 0xFFFFFFFA || !reader.read(offset_of(s) + 4 * (n % per_sector), v, 4)) return false;
    *out = le32(v);
    return true;
  };
  // The last used sector, and every link inside the FAT.
  uint64_t last_used = 0;
  bool any = false;
  for (uint64_t n = 0; n < entries; ++n) {
    uint32_t v = 0;
    if (!next(n, &v)) return damaged(Kind::kOle2, size, "the file ends before its FAT");
    if (v == 0xFFFFFFFF) continue;
    if (v < 0xFFFFFFFA && v >= entries)
      return damaged(Kind::kOle2, offset_of(fat[n / per_sector]),
                     "a FAT link points outside the FAT");
    last_used = n;
    any = true;
  }
  if (!any) return damaged(Kind::kOle2, 76, "the FAT marks no sector used");
  // The directory chain ends within the FAT's bound and holds the root entry first.
  uint32_t dir = le32(h + 48);
  for (uint64_t steps = 0; dir < 0xFFFFFFFA; ++steps) {
    if (steps > entries || dir >= entries)
      return damaged(Kind::kOle2, 48, "the directory chain does not end");
    if (steps == 0) {
      uint8_t root[128];
      if (!reader.read(offset_of(dir), root, 128))
        return damaged(Kind::kOle2, size, "the file ends before its directory");
      if (root[66] != 5)
        return damaged(Kind::kOle2, offset_of(dir), "the directory does not start with its root");
    }
    uint32_t v = 0;
    if (!next(dir, &v)) return damaged(Kind::kOle2, size, "the file ends before its FAT");
    dir = v;
  }
  return ends_at(Kind::kOle2, reader, offset_of(last_used + 1));
}

// RTF: "{\rtf", groups in balanced braces up to the brace that closes the first, with
// backslash escapes; plain 7-bit text with line ends in between.
Result check_rtf(Reader& reader) {
  const uint64_t size = reader.size();
  int64_t depth = 0;
  for (uint64_t p = 0; p < size;) {
    const auto bytes = reader.view(p, Reader::kWindow);
    if (bytes.empty()) break;
    for (size_t i = 0; i < bytes.size(); ++i) {
      const uint8_t c = bytes[i];
      if (c == '\\') {
        ++i;  // the escaped byte, which may lie in the next window
        if (i == bytes.size()) {
          p += 1;
          break;
        }
        continue;
      }
      if (c < 0x20 && c != '\r' && c != '\n' && c != '\t') {
        return damaged(Kind::kRtf, p + i, "binary bytes inside the text");
      }
      if (c == '{') ++depth;
      if (c == '}' && --depth == 0) return intact(Kind::kRtf, past_line_end(reader, p + i + 1));
    }
    p += bytes.size();
  }
  return damaged(Kind::kRtf, size, "the file ends before its last closing brace");
}

// SQLite: a 100-byte header on the first page — the page size (a power of two from 512 to
// 65536; 1 means 65536), format numbers 1 or 2, the payload fractions 64, 32, 32, and the
// number of pages, valid when the change counter matches the "version valid for" field.
Result check_sqlite(Reader& reader) {
  const uint64_t size = reader.size();
  uint8_t h[100];
  if (!reader.read(0, h, 100))
    return damaged(Kind::kSqlite, size, "the file ends inside its header");
  uint32_t page = be16(h + 16);
  if (page == 1) page = 65536;
  if (page < 512 || (page & (page - 1)) != 0 || h[18] < 1 || h[18] > 2 || h[19] < 1 || h[19] > 2 ||
      h[21] != 64 || h[22] != 32 || h[23] != 32) {
    return damaged(Kind::kSqlite, 16, "the header does not hold together");
  }
  uint8_t type = 0;
  if (!reader.read(100, &type, 1))
    return damaged(Kind::kSqlite, size, "the file ends inside its first page");
  if (type != 13 && type != 5)
    return damaged(Kind::kSqlite, 100, "the first page is not a table page");
  const uint32_t pages = be32(h + 28);
  if (pages == 0 || be32(h + 24) != be32(h + 92)) {
    // An old writer left the page count unset: the file's size says it.
    if (size % page != 0)
      return damaged(Kind::kSqlite, size - size % page, "the file ends inside a page");
    return intact(Kind::kSqlite, size);
  }
  return ends_at(Kind::kSqlite, reader, uint64_t{pages} * page);
}

// Text: UTF-16 with its byte order mark, else UTF-8 (with or without one), else Latin-1 —
// and no bytes that text does not hold (NUL and control codes other than tab, line ends,
// form feed and escape).
Result check_text(Reader& reader) {
  const uint64_t size = reader.size();
  if (size == 0) return damaged(Kind::kText, 0, "the file is empty");
  const auto binary = [](uint32_t c) {
    return c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f' && c != 0x1B && c != 0x1A;
  };
  uint8_t bom[3] = {};
  reader.read(0, bom, std::min<uint64_t>(size, 3));
  const bool le = bom[0] == 0xFF && bom[1] == 0xFE;
  const bool be = bom[0] == 0xFE && bom[1] == 0xFF;
  if (le || be) {
    if (size % 2 != 0) return damaged(Kind::kText, size - 1, "UTF-16 text of an odd length");
    bool high = false;
    for (uint64_t p = 2; p < size;) {
      const auto bytes = reader.view(p, Reader::kWindow & ~size_t{1});
      if (bytes.size() < 2) break;
      for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const uint32_t u = le ? le16(&bytes[i]) : be16(&bytes[i]);
        const bool is_high = u >= 0xD800 && u < 0xDC00;
        const bool is_low = u >= 0xDC00 && u < 0xE000;
        if (binary(u) || (high && !is_low) || (!high && is_low)) {
          return damaged(Kind::kText, p + i, "binary bytes inside the text");
        }
        high = is_high;
      }
      p += bytes.size() & ~size_t{1};
    }
    return intact(Kind::kText, size);
  }
  // UTF-8 while every multi-byte sequence is well formed; Latin-1 once one is not (and no
  // well-formed one came before).
  bool utf8 = true;
  bool multibyte = false;
  int pending = 0;  // continuation bytes still due
  uint64_t sequence_start = 0;
  for (uint64_t p = 0; p < size;) {
    const auto bytes = reader.view(p, Reader::kWindow);
    if (bytes.empty()) break;
    for (size_t i = 0; i < bytes.size(); ++i) {
      const uint8_t c = bytes[i];
      if (binary(c) || c == 0x7F)
        return damaged(Kind::kText, p + i, "binary bytes inside the text");
      if (!utf8) continue;
      if (pending > 0) {
        if ((c & 0xC0) == 0x80) {
          if (--pending == 0) multibyte = true;
          continue;
        }
      } else if (c < 0x80) {
        continue;
      } else if (c >= 0xC2 && c <= 0xF4) {
        pending = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1;
        sequence_start = p + i;
        continue;
      }
      if (multibyte)
        return damaged(Kind::kText, pending > 0 ? sequence_start : p + i, "the UTF-8 text breaks");
      utf8 = false;
    }
    p += bytes.size();
  }
  if (utf8 && pending > 0 && multibyte)
    return damaged(Kind::kText, sequence_start, "the UTF-8 text breaks");
  return intact(Kind::kText, size);
}

// 7z: a 32-byte signature header — signature, version, the CRC-32 of the next 20 bytes, and
// the offset (after the header), size and CRC-32 of the next header, which closes the file.
Result check_7z(Reader& reader) {
  const uint64_t size = reader.size();
  uint8_t h[32];
  if (!reader.read(0, h, 32))
    return damaged(Kind::kSevenZip, size, "the file ends inside its header");
  uint32_t crc = 0;
  crc32_of(reader, 12, 20, &crc);
  if (crc != le32(h + 8))
    return damaged(Kind::kSevenZip, 8, "the start header's CRC does not match");
  const uint64_t offset = le64(h + 12);
  const uint64_t length = le64(h + 20);
  if (offset > (uint64_t{1} << 48) || length > (uint64_t{1} << 32) || length == 0) {
    return damaged(Kind::kSevenZip, 12, "the start header does not hold together");
  }
  const uint64_t next = 32 + offset;
  const uint64_t end = next + length;
  if (end > size) return damaged(Kind::kSevenZip, size, "the file ends before its last header");
  crc = 0;
  if (!crc32_of(reader, next, length, &crc) || crc != le32(h + 28)) {
    return damaged(Kind::kSevenZip, next, "the last header's CRC does not match");
  }
  const int kind = reader.byte_at(next);
  if (kind != 0x01 && kind != 0x17)
    return damaged(Kind::kSevenZip, next, "the last header is of unknown kind");
  return intact(Kind::kSevenZip, end);
}

namespace {

// A RAR 5 variable-length integer (7 bits a byte, low first) at `*at`; false when cut.
bool vint(Reader& reader, uint64_t* at, uint64_t* value) {
  *value = 0;
  for (int i = 0; i < 10; ++i) {
    const int c = reader.byte_at(*at);
    if (c < 0) return false;
    ++*at;
    *value |= uint64_t(c & 0x7F) << (7 * i);
    if (!(c & 0x80)) return true;
  }
  return false;
}

}  // namespace

// RAR: after the signature, blocks up to the end-of-archive block. RAR 4 blocks: a CRC-16
// (the low half of the CRC-32 of the rest of the header), a type, flags, the header size,
// and with flag 0x8000 (always for file blocks) a 32-bit size of the data after it. RAR 5
// blocks: the CRC-32 of the header, the header size, type, flags, an extra area size and a
// data size as variable-length integers.
Result check_rar(Reader& reader) {
  const uint64_t size = reader.size();
  const bool v5 = reader.byte_at(6) == 0x01;
  uint64_t p = v5 ? 8 : 7;
  for (int blocks = 0; blocks < 1 << 20; ++blocks) {
    if (p >= size) return damaged(Kind::kRar, size, "the file ends before its end block");
    if (v5) {
      uint8_t c[4];
      uint64_t at = p + 4, header = 0;
      if (!reader.read(p, c, 4) || !vint(reader, &at, &header))
        return damaged(Kind::kRar, size, "the file ends inside a block");
      if (header == 0 || header > (1u << 21))
        return damaged(Kind::kRar, p, "a block header does not hold together");
      const uint64_t body = at;
      const uint64_t header_end = body + header;
      uint32_t crc = 0;
      if (!crc32_of(reader, p + 4, header_end - (p + 4), &crc))
        return damaged(Kind::kRar, size, "the file ends inside a block");
      if (crc != le32(c)) return damaged(Kind::kRar, p, "a block header's CRC does not match");
      uint64_t type = 0, flags = 0, extra = 0, data = 0;
      vint(reader, &at, &type);
      vint(reader, &at, &flags);
      if (flags & 1) vint(reader, &at, &extra);
      if (flags & 2) vint(reader, &at, &data);
      if (data > size) return damaged(Kind::kRar, size, "the file ends inside a block's data");
      p = header_end + data;
      if (type == 5) return ends_at(Kind::kRar, reader, p);
    } else {
      uint8_t b[11];
      if (!reader.read(p, b, 7)) return damaged(Kind::kRar, size, "the file ends inside a block");
      const uint8_t type = b[2];
      const uint16_t flags = le16(b + 3);
      const uint16_t header = le16(b + 5);
      if (type < 0x72 || type > 0x7B || header < 7)
        return damaged(Kind::kRar, p, "a block header does not hold together");
      uint32_t crc = 0;
      if (!crc32_of(reader, p + 2, header - 2u, &crc))
        return damaged(Kind::kRar, size, "the file ends inside a block");
      if ((crc & 0xFFFF) != le16(b))
        return damaged(Kind::kRar, p, "a block header's CRC does not match");
      uint64_t data = 0;
      if ((flags & 0x8000) || type == 0x74) {
        if (!reader.read(p, b, 11))
          return damaged(Kind::kRar, size, "the file ends inside a block");
        data = le32(b + 7);
      }
      p += header + data;
      if (type == 0x7B) return ends_at(Kind::kRar, reader, p);
    }
  }
  return damaged(Kind::kRar, p, "too many blocks");
}

}  // namespace pyralis::filetypes::detail
