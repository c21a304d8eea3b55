// SPDX-License-Identifier: GPL-3.0-or-later
// Names and dates of FAT directory entries as the scan lists them.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/found_files.h"

namespace pyralis {

// One 32-bit directory entry.
using FatEntry = std::span<const uint8_t, 32>;

// Directory entry fields (offsets in the 32-byte entry).
struct FatDirEntry {
  static constexpr size_t kName = 0;          // 8 bytes, blank padded; 0xE5 first = deleted
  static constexpr size_t kExtension = 8;     // 3 bytes
  static constexpr size_t kAttributes = 11;   // 0x08 label, 0x10 directory, 0x0F long name
  static constexpr size_t kCreateTime = 14;   // DOS time
  static constexpr size_t kCreateDate = 16;   // DOS date
  static constexpr size_t kClusterHigh = 20;  // first cluster, high 16 bits
  static constexpr size_t kModifyTime = 22;
  static constexpr size_t kModifyDate = 24;
  static constexpr size_t kClusterLow = 26;  // first cluster, low 16 bits
  static constexpr size_t kSize = 28;        // 4 bytes
  static constexpr uint8_t kDeleted = 0xE5;
  static constexpr uint8_t kLongName = 0x0F;
  static constexpr uint8_t kLabel = 0x08;
  static constexpr uint8_t kDirectory = 0x10;
};

uint16_t entry16(FatEntry e, size_t at);
uint32_t entry32(FatEntry e, size_t at);
uint32_t entry_first_cluster(FatEntry e);

// Bytes of the OEM code page 437 to UTF-8.
std::string cp437_to_utf8(std::string_view bytes);

// The 8.3 name: base and extension cut at their first 0 byte, trimmed of blanks and control
// bytes, joined with "." when the extension is not empty; a deleted entry's 0xE5 becomes
// "x" when the name has at least two characters. UTF-8.
std::string read_short_name(FatEntry e);

// Appends the UTF-16 units of a long-name entry's three pieces (bytes 1-10, 14-25, 28-31),
// each taken up to its first U+0000.
void append_long_name_units(FatEntry e, std::u16string& units);
// UTF-8 of a long name's units, trailing "?" removed (filler units 0xFFFF and characters
// the narrow encoding lacks become "?").
std::string long_name_text(std::u16string_view units);

// True when the name holds a character no file name can hold (\ / : * ? < > ").
bool has_forbidden_name_character(std::string_view name);

// DOS date and time words to a date-time; 0.0 for a date word of 0 or an invalid date/time.
TDateTime dos_date_time(uint16_t date, uint16_t time);

}  // namespace pyralis
