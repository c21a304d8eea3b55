// SPDX-License-Identifier: GPL-3.0-or-later
#include "fat/fat_names.h"

#include "core/date_time.h"
#include "platform/code_page_437.h"
#include "rawdisk/raw_disk_access.h"

namespace pyralis {

namespace {

// The bytes up to the first 0, without leading and trailing blanks and control bytes.
std::string_view trimmed_field(FatEntry e, size_t at, size_t width) {
  std::string_view field(reinterpret_cast<const char*>(e.data()) + at, width);
  field = field.substr(0, field.find('\0'));
  while (!field.empty() && static_cast<unsigned char>(field.front()) <= ' ') field.remove_prefix(1);
  while (!field.empty() && static_cast<unsigned char>(field.back()) <= ' ') field.remove_suffix(1);
  return field;
}

void append_piece(FatEntry e, size_t at, size_t units, std::u16string& out) {
  for (size_t i = 0; i < units; ++i) {
    const char16_t u = static_cast<char16_t>(e[at + 2 * i] | e[at + 2 * i + 1] << 8);
    if (u == 0) return;
    out.push_back(u);
  }
}

}  // namespace

uint16_t entry16(FatEntry e, size_t at) {
  return static_cast<uint16_t>(e[at] | e[at + 1] << 8);
}

uint32_t entry32(FatEntry e, size_t at) {
  return static_cast<uint32_t>(entry16(e, at)) | static_cast<uint32_t>(entry16(e, at + 2)) << 16;
}

uint32_t entry_first_cluster(FatEntry e) {
  return static_cast<uint32_t>(entry16(e, FatDirEntry::kClusterHigh)) << 16 |
         entry16(e, FatDirEntry::kClusterLow);
}

std::string cp437_to_utf8(std::string_view bytes) {
  // A 0 byte ends the text, as in the wide conversion the long names go through.
  return platform::cp437_to_utf8(bytes.substr(0, bytes.find('\0')));
}

std::string read_short_name(FatEntry e) {
  std::string name(trimmed_field(e, FatDirEntry::kName, 8));
  const std::string_view extension = trimmed_field(e, FatDirEntry::kExtension, 3);
  if (!extension.empty()) name.append(".").append(extension);
  if (name.size() >= 2 && static_cast<unsigned char>(name[0]) == FatDirEntry::kDeleted)
    name[0] = 'x';
  return cp437_to_utf8(name);
}

void append_long_name_units(FatEntry e, std::u16string& units) {
  append_piece(e, 1, 5, units);
  append_piece(e, 14, 6, units);
  append_piece(e, 28, 2, units);
}

std::string long_name_text(std::u16string_view units) {
  std::string name = WideToAnsi(units);
  while (!name.empty() && name.back() == '?') name.pop_back();
  return name;
}

bool has_forbidden_name_character(std::string_view name) {
  return name.find_first_of("\\/:*?<>\"") != std::string_view::npos;
}

TDateTime dos_date_time(uint16_t date, uint16_t time) {
  if (date == 0) return 0.0;
  const auto value = try_encode_date_time((date >> 9) + 1980, (date >> 5) & 15, date & 31,
                                          time >> 11, (time >> 5) & 63, (time & 31) * 2);
  return value.value_or(0.0);
}

}  // namespace pyralis
