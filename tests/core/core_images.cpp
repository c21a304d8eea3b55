// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/core/core_images.h"

#include <fstream>
#include <vector>

#include "platform/drive_table.h"

namespace pyralis::test {

bool make_fat_image(const std::string& path, int fat_bits, int kib) {
  if (!have_program("mkfs.fat")) return false;
  const std::string command = "mkfs.fat -C -F " + std::to_string(fat_bits) + " -n CORETEST " +
                              shell_quote(path) + " " + std::to_string(kib);
  return run_command(command) == 0;
}

void fill_pattern(const std::string& path, int64_t first_sector) {
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  file.seekg(0, std::ios::end);
  const int64_t sectors = static_cast<int64_t>(file.tellg()) / 512;
  std::vector<char> sector(512);
  for (int64_t s = first_sector; s < sectors; ++s) {
    for (int i = 0; i < 512; ++i)
      sector[i] = static_cast<char>((s * 131 + i * 7 + (s >> 8)) & 0xFF);
    file.seekp(s * 512);
    file.write(sector.data(), 512);
  }
}

char attach_only(const std::string& path) {
  platform::reset_drive_table();
  const std::vector<char> letters = platform::attach_sources({path});
  return letters.empty() ? 0 : letters.front();
}

}  // namespace pyralis::test
