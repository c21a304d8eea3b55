// SPDX-License-Identifier: GPL-3.0-or-later
// Small volume images for the core tests, made at test time.
#pragma once

#include <cstdint>
#include <string>

#include "tests/support/test_files.h"

namespace pyralis::test {

// A FAT volume of `kib` KiB made by mkfs.fat (`fat_bits` 12, 16 or 32) at `path`; false
// when mkfs.fat is missing or fails.
bool make_fat_image(const std::string& path, int fat_bits, int kib);
// Overwrites sectors [first, end of file) with bytes that differ from sector to sector, so
// that a read from the wrong place shows.
void fill_pattern(const std::string& path, int64_t first_sector);
// Attaches `path` as the only drive and returns its letter (upper case), 0 when none.
char attach_only(const std::string& path);

}  // namespace pyralis::test
