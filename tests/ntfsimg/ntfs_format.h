// SPDX-License-Identifier: GPL-3.0-or-later
// Byte-level pieces of the NTFS on-disk format used by the image builder: little-endian
// stores, UTF-16 names, the upcase table and file-name collation, mapping pairs, the
// attribute definition table and update-sequence fix-ups.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/ntfsimg/ntfs_image_builder.h"

namespace pyralis::test::ntfs {

using Bytes = std::vector<uint8_t>;

// Attribute type codes.
inline constexpr uint32_t kAttrStandardInformation = 0x10;
inline constexpr uint32_t kAttrFileName = 0x30;
inline constexpr uint32_t kAttrVolumeName = 0x60;
inline constexpr uint32_t kAttrVolumeInformation = 0x70;
inline constexpr uint32_t kAttrData = 0x80;
inline constexpr uint32_t kAttrIndexRoot = 0x90;
inline constexpr uint32_t kAttrIndexAllocation = 0xA0;
inline constexpr uint32_t kAttrBitmap = 0xB0;
inline constexpr uint32_t kAttrEnd = 0xFFFFFFFF;

// Attribute header flags (0x0C).
inline constexpr uint16_t kAttrFlagCompressed = 0x0001;
inline constexpr uint16_t kAttrFlagEncrypted = 0x4000;
inline constexpr uint16_t kAttrFlagSparse = 0x8000;

// File attributes ($STANDARD_INFORMATION 0x20, $FILE_NAME 0x38).
inline constexpr uint32_t kFileReadOnly = 0x0001;
inline constexpr uint32_t kFileHidden = 0x0002;
inline constexpr uint32_t kFileSystem = 0x0004;
inline constexpr uint32_t kFileArchive = 0x0020;
inline constexpr uint32_t kFileSparse = 0x0200;
inline constexpr uint32_t kFileCompressed = 0x0800;
inline constexpr uint32_t kFileEncrypted = 0x4000;
inline constexpr uint32_t kFileNameIndexPresent = 0x10000000;  // directories, in $FILE_NAME

// MFT record header flags (0x16).
inline constexpr uint16_t kRecordInUse = 0x0001;
inline constexpr uint16_t kRecordDirectory = 0x0002;

// Every update-sequence protected structure has its check value in the last two bytes of
// each 512-byte stretch, whatever the sector size.
inline constexpr size_t kFixupStride = 512;

inline void put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void put64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint16_t get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline constexpr uint64_t align8(uint64_t v) {
  return (v + 7) & ~uint64_t{7};
}

// 48-bit record number plus 16-bit sequence number.
inline constexpr uint64_t file_reference(uint64_t record, uint16_t sequence) {
  return (record & 0xFFFFFFFFFFFFULL) | (static_cast<uint64_t>(sequence) << 48);
}

// UTF-8 to UTF-16 (invalid bytes become U+FFFD). Throws std::invalid_argument when the
// result is longer than `max_units`.
std::u16string utf16_name(const std::string& utf8, size_t max_units = 255);
// UTF-16 stored little-endian.
Bytes utf16_bytes(const std::u16string& text);

// The 65536-entry upcase table written to $UpCase: ASCII, Latin-1, Greek and Cyrillic
// lower-case letters map to their capitals, everything else to itself.
const std::vector<char16_t>& upcase_table();
// Orders names the way $I30 indexes do (COLLATION_FILE_NAME): code units compared after
// upcasing. Negative, zero or positive.
int collate_file_names(const std::u16string& a, const std::u16string& b);

// Mapping pairs of a runlist: per run a header byte (low nibble: bytes of the length, high
// nibble: bytes of the signed LCN offset from the previous run, 0 for a hole), then the
// values little-endian and as short as they go; a 0x00 byte ends the list.
Bytes encode_mapping_pairs(const std::vector<ClusterRun>& runs);

// Content of $AttrDef: one 0xA0-byte entry per attribute type, then an empty entry.
Bytes attrdef_table();

// Fills in the update sequence array of a record of `size` bytes whose header holds the
// array's offset (0x04) and count (0x06): the check value goes into the last two bytes of
// every 512-byte stretch and the bytes it replaces into the array.
void apply_fixups(uint8_t* record, size_t size, uint16_t check_value);

}  // namespace pyralis::test::ntfs
