#include "fat/fat_names.h"

#include "core/date_time.h"
#include "rawdisk/raw_disk_access.h"

namespace pyralis {

namespace {

// Code page 437, bytes 0x80 to 0xFF.
constexpr char16_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA,
    0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557,
    0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559,
    0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4,
    0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

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
  std::u16string wide;
  wide.reserve(bytes.size());
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    wide.push_back(b < 0x80 ? static_cast<char16_t>(b) : kCp437High[b - 0x80]);
  }
  return WideToAnsi(wide);
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
