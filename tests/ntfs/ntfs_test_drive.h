// SPDX-License-Identifier: GPL-3.0-or-later
// Running the NTFS engine over an image file attached as a drive, for tests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "core/found_files.h"
#include "core/process_state.h"
#include "drivers/drivers.h"
#include "ntfs/ntfs_engine.h"
#include "platform/drive_table.h"
#include "rawdisk/raw_disk_access.h"
#include "tests/support/test_files.h"

namespace pyralis::test {

// Attaches `image` alone; returns the letter of its first drive (0 when none).
inline char attach_image(const std::string& image) {
  platform::reset_drive_table();
  const auto letters = platform::attach_sources({image});
  return letters.empty() ? 0 : letters.front();
}

// The Scan command's part: empty catalogue and name cache, then the scan driver. Leaves
// RecoveryActive set, as Unerase sets it, so that recoveries may follow.
inline void scan_image(const std::string& image) {
  const char letter = attach_image(image);
  if (letter == 0) {
    ADD_FAILURE() << "no drive for " << image;
  } else if (const std::string fs = GetMediaIdentifier(letter).FileSystem; fs != "NTFS") {
    ADD_FAILURE() << image << " is seen as \"" << fs << "\": " << DescribeDriveProblem(letter);
  }
  FoundFiles.clear();
  ntfs_clear_name_cache();
  ScanStartTime = std::chrono::steady_clock::now();
  scan_drive(letter);
  RecoveryActive = true;
}

// A sample volume decompressed once per test run (shared, never modified); throws naming
// the file when it is missing.
std::string shared_fixture(const std::string& relative);

// Rows of FoundFiles with this name.
inline std::vector<const FoundFileRecord*> rows_named(const std::string& name) {
  std::vector<const FoundFileRecord*> rows;
  for (int32_t i = 0; i < FoundFiles.Count(); ++i) {
    if (FoundFiles[i].Name == name) rows.push_back(&FoundFiles[i]);
  }
  return rows;
}

inline int32_t row_of_inode(int64_t inode) {
  for (int32_t i = 0; i < FoundFiles.Count(); ++i) {
    if (FoundFiles[i].Inode == inode) return i;
  }
  return -1;
}

}  // namespace pyralis::test
