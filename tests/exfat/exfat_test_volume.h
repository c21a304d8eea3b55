// SPDX-License-Identifier: GPL-3.0-or-later
// exFAT volumes for tests: made by mkfs.exfat, filled and partly deleted by exfat_writer.py,
// read back by Pyralis and by The Sleuth Kit.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "tests/support/test_files.h"

namespace pyralis::test {

class ExfatTestVolume {
 public:
  // A `mib` MiB image with `cluster` (mkfs.exfat -c) clusters; 4096-byte sectors when
  // `sectors_4k` (the writer turns mkfs.exfat's 512-byte sectors into 4096-byte ones).
  ExfatTestVolume(const TempDir& dir, uint64_t mib, const std::string& cluster,
                  bool sectors_4k = false, const std::string& name = "exfat.img");
  const std::string& image() const { return image_; }
  // Runs writer commands (lines of tab-separated fields).
  void Write(const std::string& script) const;
  // True when fsck.exfat -n finds the volume clean.
  bool Clean(std::string* output) const;
  // fls -r -d: deleted regular files as path -> inode.
  std::map<std::string, std::string> TskDeletedFiles() const;

 private:
  std::string image_;
};

// Scans the image as drive C:.
void scan_exfat_image(const std::string& image);
// Row of FoundFiles as "DIR/SUB/name" (the drive letter dropped), as fls names it.
std::string row_path(int32_t row);
int32_t row_of(const std::string& path);

}  // namespace pyralis::test
