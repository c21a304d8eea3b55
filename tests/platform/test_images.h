// SPDX-License-Identifier: GPL-3.0-or-later
// Volume and disk images made at test time with dosfstools and sfdisk.
#pragma once

#include <cstdint>
#include <string>

#include "tests/support/test_files.h"

namespace pyralis::test {

// A bare FAT volume of `sectors` 512-byte sectors made by mkfs.fat with `fat_bits` (12, 16,
// 32) and extra options (e.g. "-n LABEL -i 1234ABCD"); "" when mkfs.fat is missing or fails.
std::string make_fat_image(const TempDir& dir, const std::string& name, int fat_bits,
                           uint64_t sectors, const std::string& options = "");

// A 128 MiB disk with an MBR: partition 1 FAT16 at sector 2048 (40960 sectors), partition 2
// of type 0x0E left unformatted at 43008, an extended partition at 86016 holding logical
// partition 5, FAT32 at 88064 (140000 sectors). "" when sfdisk or mkfs.fat is missing.
std::string make_mbr_disk(const TempDir& dir);
// A 64 MiB disk with a GPT: partition 1 FAT16 at sector 2048 (40960 sectors), partition 2
// FAT12 at 45056 (8192 sectors).
std::string make_gpt_disk(const TempDir& dir);

// The first `bytes` of a compressed sample (enough for partition tables and boot sectors,
// much faster than the whole disk); throws naming the file when the sample is missing.
std::string gunzip_fixture_head(const std::string& relative, const TempDir& dir, uint64_t bytes);

// `size` bytes of `path` from `offset` ("" when the file is shorter).
std::string file_bytes(const std::string& path, uint64_t offset, uint64_t size);

}  // namespace pyralis::test
