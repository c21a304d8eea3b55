// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/ntfsimg/ntfs_format.h"

#include <algorithm>
#include <stdexcept>

namespace pyralis::test::ntfs {

std::u16string utf16_name(const std::string& utf8, size_t max_units) {
  std::u16string out;
  size_t i = 0;
  while (i < utf8.size()) {
    const auto lead = static_cast<uint8_t>(utf8[i]);
    uint32_t cp = 0xFFFD;
    size_t extra = 0;
    if (lead < 0x80) {
      cp = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      cp = lead & 0x1F, extra = 1;
    } else if ((lead & 0xF0) == 0xE0) {
      cp = lead & 0x0F, extra = 2;
    } else if ((lead & 0xF8) == 0xF0) {
      cp = lead & 0x07, extra = 3;
    }
    ++i;
    for (size_t k = 0; k < extra; ++k, ++i) {
      if (i >= utf8.size() || (static_cast<uint8_t>(utf8[i]) & 0xC0) != 0x80) {
        cp = 0xFFFD;
        break;
      }
      cp = (cp << 6) | (static_cast<uint8_t>(utf8[i]) & 0x3F);
    }
    if (cp >= 0x10000 && cp <= 0x10FFFF) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp > 0xFFFF ? 0xFFFD : cp));
    }
  }
  if (out.size() > max_units) {
    throw std::invalid_argument("name longer than " + std::to_string(max_units) +
                                " UTF-16 units: " + utf8);
  }
  return out;
}

Bytes utf16_bytes(const std::u16string& text) {
  Bytes out(text.size() * 2);
  for (size_t i = 0; i < text.size(); ++i) put16(&out[2 * i], static_cast<uint16_t>(text[i]));
  return out;
}

const std::vector<char16_t>& upcase_table() {
  static const std::vector<char16_t> table = [] {
    std::vector<char16_t> t(65536);
    for (uint32_t c = 0; c < 65536; ++c) t[c] = static_cast<char16_t>(c);
    auto shift = [&](uint32_t first, uint32_t last, int delta) {
      for (uint32_t c = first; c <= last; ++c) t[c] = static_cast<char16_t>(c + delta);
    };
    shift('a', 'z', -32);
    shift(0xE0, 0xFE, -32);
    t[0xF7] = 0xF7;  // division sign
    t[0xFF] = 0x178;
    shift(0x3B1, 0x3C9, -32);
    t[0x3C2] = 0x3A3;  // final sigma
    shift(0x430, 0x44F, -32);
    shift(0x450, 0x45F, -80);
    return t;
  }();
  return table;
}

int collate_file_names(const std::u16string& a, const std::u16string& b) {
  const auto& up = upcase_table();
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const char16_t x = up[a[i]], y = up[b[i]];
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  return 0;
}

namespace {

// Bytes needed to hold `v` as a two's complement number.
int signed_width(int64_t v) {
  int n = 1;
  while (n < 8) {
    const int64_t lo = -(int64_t{1} << (8 * n - 1));
    const int64_t hi = (int64_t{1} << (8 * n - 1)) - 1;
    if (v >= lo && v <= hi) break;
    ++n;
  }
  return n;
}

}  // namespace

Bytes encode_mapping_pairs(const std::vector<ClusterRun>& runs) {
  Bytes out;
  int64_t previous = 0;
  for (const ClusterRun& run : runs) {
    if (run.length == 0) continue;
    const int len_bytes = signed_width(static_cast<int64_t>(run.length));
    int off_bytes = 0;
    int64_t delta = 0;
    if (run.lcn) {
      delta = static_cast<int64_t>(*run.lcn) - previous;
      off_bytes = signed_width(delta);
      previous = static_cast<int64_t>(*run.lcn);
    }
    out.push_back(static_cast<uint8_t>(len_bytes | (off_bytes << 4)));
    for (int i = 0; i < len_bytes; ++i) out.push_back(static_cast<uint8_t>(run.length >> (8 * i)));
    for (int i = 0; i < off_bytes; ++i) {
      out.push_back(static_cast<uint8_t>(static_cast<uint64_t>(delta) >> (8 * i)));
    }
  }
  out.push_back(0);
  return out;
}

Bytes attrdef_table() {
  struct Def {
    const char* name;
    uint32_t type;
    uint32_t collation;
    uint32_t flags;  // 0x02 indexed, 0x40 always resident, 0x80 may be non-resident
    uint64_t min_size;
    uint64_t max_size;
  };
  static const Def defs[] = {
      {"$STANDARD_INFORMATION", 0x10, 0, 0x40, 0x30, 0x48},
      {"$ATTRIBUTE_LIST", 0x20, 0, 0x80, 0, ~uint64_t{0}},
      {"$FILE_NAME", 0x30, 1, 0x42, 0x44, 0x242},
      {"$OBJECT_ID", 0x40, 0, 0x40, 0, 0x100},
      {"$SECURITY_DESCRIPTOR", 0x50, 0, 0x80, 0, ~uint64_t{0}},
      {"$VOLUME_NAME", 0x60, 0, 0x40, 2, 0x100},
      {"$VOLUME_INFORMATION", 0x70, 0, 0x40, 0x0C, 0x0C},
      {"$DATA", 0x80, 0, 0x00, 0, ~uint64_t{0}},
      {"$INDEX_ROOT", 0x90, 0, 0x40, 0, ~uint64_t{0}},
      {"$INDEX_ALLOCATION", 0xA0, 0, 0x80, 0, ~uint64_t{0}},
      {"$BITMAP", 0xB0, 0, 0x80, 0, ~uint64_t{0}},
      {"$REPARSE_POINT", 0xC0, 0, 0x80, 0, 0x4000},
      {"$EA_INFORMATION", 0xD0, 0, 0x40, 8, 8},
      {"$EA", 0xE0, 0, 0x00, 0, 0x10000},
      {"$LOGGED_UTILITY_STREAM", 0x100, 0, 0x80, 0, 0x10000},
  };
  constexpr size_t kEntry = 0xA0;
  Bytes out((std::size(defs) + 1) * kEntry, 0);
  for (size_t i = 0; i < std::size(defs); ++i) {
    uint8_t* e = &out[i * kEntry];
    const std::u16string name = utf16_name(defs[i].name, 64);
    for (size_t k = 0; k < name.size(); ++k) put16(e + 2 * k, name[k]);  // 0x00 name
    put32(e + 0x80, defs[i].type);                                       // 0x80 type
    put32(e + 0x88, defs[i].collation);                                  // 0x88 collation
    put32(e + 0x8C, defs[i].flags);                                      // 0x8C flags
    put64(e + 0x90, defs[i].min_size);                                   // 0x90 min size
    put64(e + 0x98, defs[i].max_size);                                   // 0x98 max size
  }
  return out;
}

void apply_fixups(uint8_t* record, size_t size, uint16_t check_value) {
  const uint16_t usa_offset = get16(record + 0x04);
  const uint16_t usa_count = get16(record + 0x06);
  if (usa_count != size / kFixupStride + 1 || usa_offset + 2u * usa_count > size) {
    throw std::logic_error("update sequence array does not match the record size");
  }
  put16(record + usa_offset, check_value);
  for (size_t i = 1; i < usa_count; ++i) {
    uint8_t* tail = record + i * kFixupStride - 2;
    record[usa_offset + 2 * i] = tail[0];
    record[usa_offset + 2 * i + 1] = tail[1];
    put16(tail, check_value);
  }
}

}  // namespace pyralis::test::ntfs
