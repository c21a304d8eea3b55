// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/version_resource.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string_view>

#include "platform/byte_loads.h"
#include "platform/source_file.h"

namespace pyralis::platform {
namespace {

constexpr std::string_view kSectionName = ".pyralis_version";
constexpr std::string_view kMagic{"PYRALIS-VERSION\0", 16};
constexpr uint64_t kMaxBlock = 1 << 20;

// Finds the version section in an ELF64 little-endian file.
//   File header: 0x00 "\x7F" "ELF", 0x04 class (2: 64-bit), 0x05 data (1: little-endian),
//   0x28 section header table offset (u64), 0x3A entry size (u16), 0x3C entry count (u16),
//   0x3E index of the section-name string table (u16).
//   Section header (64 bytes): 0x00 name offset in the string table (u32), 0x04 type (u32;
//   8 is NOBITS, no bytes in the file), 0x18 file offset (u64), 0x20 size (u64).
std::vector<uint8_t> read_version_section(const std::string& path) {
  const SourceFile file(path, false);
  if (!file.is_open()) return {};
  const uint64_t file_size = file.length();
  auto read_range = [&](uint64_t offset, uint64_t size, std::vector<uint8_t>& out) {
    if (offset > file_size || size > file_size - offset || size > (64u << 20)) return false;
    out.resize(static_cast<size_t>(size));
    return file.read_at(offset, out.data(), out.size());
  };
  std::vector<uint8_t> header;
  if (!read_range(0, 64, header) ||
      std::memcmp(header.data(),
                  "\x7F"
                  "ELF",
                  4) != 0 ||
      header[4] != 2 || header[5] != 1) {
    return {};
  }
  const uint64_t table_offset = load_u64(header, 0x28);
  const uint16_t entry_size = load_u16(header, 0x3A), count = load_u16(header, 0x3C);
  const uint16_t names_index = load_u16(header, 0x3E);
  if (entry_size < 64 || names_index >= count) return {};
  std::vector<uint8_t> table;
  if (!read_range(table_offset, uint64_t{entry_size} * count, table)) return {};
  auto section = [&](uint16_t i) {
    return std::span<const uint8_t>(table).subspan(size_t{i} * entry_size, 64);
  };
  std::vector<uint8_t> names;
  const auto names_header = section(names_index);
  if (!read_range(load_u64(names_header, 0x18), load_u64(names_header, 0x20), names)) return {};
  for (uint16_t i = 0; i < count; ++i) {
    const auto s = section(i);
    const uint32_t name = load_u32(s, 0);
    if (name >= names.size() || load_u32(s, 4) == 8) continue;
    const size_t room = names.size() - name;
    const std::string_view found(reinterpret_cast<const char*>(names.data()) + name,
                                 strnlen(reinterpret_cast<const char*>(names.data()) + name, room));
    if (found != kSectionName) continue;
    std::vector<uint8_t> block;
    if (load_u64(s, 0x20) > kMaxBlock || !read_range(load_u64(s, 0x18), load_u64(s, 0x20), block)) {
      return {};
    }
    if (block.size() < kMagic.size() ||
        std::memcmp(block.data(), kMagic.data(), kMagic.size()) != 0) {
      return {};
    }
    return block;
  }
  return {};
}

}  // namespace

uint32_t GetFileVersionInfoSize(const std::string& exe_path) {
  return static_cast<uint32_t>(read_version_section(exe_path).size());
}

std::vector<uint8_t> GetFileVersionInfo(const std::string& exe_path) {
  return read_version_section(exe_path);
}

std::optional<std::string> VerQueryValue(const std::vector<uint8_t>& block,
                                         const std::string& sub_block) {
  if (block.size() < kMagic.size() ||
      std::memcmp(block.data(), kMagic.data(), kMagic.size()) != 0) {
    return std::nullopt;
  }
  const char* text = reinterpret_cast<const char*>(block.data());
  size_t at = kMagic.size();
  // Takes the zero-terminated text at `at`; false when the block ends without a zero.
  auto next_text = [&](std::string_view& out) {
    if (at >= block.size()) return false;
    const size_t length = strnlen(text + at, block.size() - at);
    if (at + length >= block.size()) return false;
    out = std::string_view(text + at, length);
    at += length + 1;
    return true;
  };
  std::string_view key, value;
  while (next_text(key) && !key.empty() && next_text(value)) {
    if (key == sub_block) return std::string(value);
  }
  return std::nullopt;
}

std::string running_executable_path() {
  std::error_code ec;
  const auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : path.string();
}

}  // namespace pyralis::platform
