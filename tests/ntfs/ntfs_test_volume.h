// SPDX-License-Identifier: GPL-3.0-or-later
// A synthetic NTFS volume with one deleted file of each kind the engine must handle, built
// at test time with the test image builder.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "tests/ntfsimg/ntfs_image_builder.h"
#include "tests/support/test_files.h"

namespace pyralis::test {

// Deterministic content of `size` bytes.
std::string test_content(size_t size, int seed);

struct CaseVolume {
  explicit CaseVolume(const NtfsGeometry& geometry);
  // Writes the image into `dir` and returns its path.
  std::string Write(const TempDir& dir, const std::string& name = "ntfs.img") const;

  std::unique_ptr<NtfsImageBuilder> builder;
  // Record numbers by case name: "small" (resident, crossing a fix-up position), "onerun",
  // "fragmented" (backward runs), "sparse", "partly" (half its clusters reused), "reused"
  // (all clusters reused), "streams" (named stream), "compressed", "encrypted", "dosfirst",
  // "doslast", "unicode", "deep" (inside 25 directories), "live", "deldir" (a deleted
  // directory), "empty" (size 0).
  std::map<std::string, uint64_t> rec;
  uint64_t docs = 0;  // directory "Docs" in the root, parent of most files
};

}  // namespace pyralis::test
