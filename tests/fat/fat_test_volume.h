// SPDX-License-Identifier: GPL-3.0-or-later
// FAT volumes for the engine tests: built with mkfs.fat and mtools in a temporary folder,
// patched in memory where the tools will not write what a test needs, scanned and recovered
// through the drivers, and read back by The Sleuth Kit as an independent reader.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "core/found_files.h"
#include "fat/fat_layout.h"
#include "tests/support/recording_window.h"
#include "tests/support/test_files.h"

namespace pyralis::test {

class FatTestVolume {
 public:
  // mkfs.fat -F bits on a new image of `kib` KiB; `extra` is added to mkfs.fat's options.
  FatTestVolume(const TempDir& dir, int fat_bits, int kib, const std::string& extra = "");

  const std::string& image() const { return image_; }
  // Runs an mtools command ("mcopy", "mmd", ...) with -i image; `args` are shell-quoted
  // by the caller. Fails the current test when it fails.
  void Tool(const std::string& command, const std::string& args);
  // Copies `content` into the volume as `path` ("::/DIR/name.txt").
  void Put(const std::string& path, const std::string& content);
  void MakeDir(const std::string& path) { Tool("mmd", shell_quote(path)); }
  void Delete(const std::string& path) { Tool("mdel", shell_quote(path)); }
  void DeleteTree(const std::string& path) { Tool("mdeltree", shell_quote(path)); }
  // FAT32: deletes `path` (a file, or with `tree` a folder and everything in it) as Windows
  // does: the entries get 0xE5 and their chains are cleared (mtools), and the first
  // cluster's high word (bytes 0x14-0x15) of every entry this deleted is zeroed as well.
  void DeleteAsWindows(const std::string& path, bool tree = false);

  // Whole image bytes, and writing them back (for in-place patches).
  std::string Bytes() const { return read_file(image_); }
  // `count` bytes of the image at `offset` (fewer at its end).
  std::string ReadAt(uint64_t offset, size_t count) const;
  void SetBytes(const std::string& bytes) const { write_file(image_, bytes); }
  // Overwrites bytes of the image at `offset`.
  void Patch(uint64_t offset, const std::string& bytes) const;
  // Writes `entries` (32 bytes each) at the start of the FAT12/16 root region / of a cluster.
  void WriteRoot(const std::vector<std::string>& entries) const;
  void WriteCluster(uint32_t cluster, const std::string& bytes) const;
  // Sets a FAT16 table entry in the first table copy.
  void SetFat16(uint32_t cluster, uint16_t value) const;

  // The layout the engine derives from the boot sector, for patches and cluster arithmetic.
  FatLayout Layout() const;
  int fat_bits() const { return fat_bits_; }

 private:
  std::string image_;
  int fat_bits_;
};

// Attaches `image` as drive C: and scans it through the scan driver.
void scan_image(const std::string& image);
// Recovers row `row` of FoundFiles from drive C: into `folder` (given without the final "/").
void recover_row(int32_t row, const std::string& folder);

// Rows of FoundFiles whose Name is `name`.
std::vector<const FoundFileRecord*> rows_named(const std::string& name);
int32_t row_index(const std::string& name);

// One deleted file as fls -r -d lists it.
struct FlsEntry {
  std::string path;  // full path inside the volume, "/" separated
  std::string name;  // last part
  uint64_t inode = 0;
  bool directory = false;
};
std::vector<FlsEntry> fls_deleted(const std::string& image);
// First cluster of `inode` as istat gives it (0 when it shows no sector).
uint32_t istat_first_cluster(const std::string& image, uint64_t inode, const FatLayout& layout);

// A 32-byte short directory entry (name and extension blank padded to 8 + 3 bytes).
std::string short_entry(const std::string& name83, uint8_t attributes, uint32_t cluster,
                        uint32_t size, uint16_t date = 0x3A21, uint16_t time = 0x6000);
// A long-name entry holding up to 13 UTF-16 units (0x0000 then 0xFFFF fillers after them).
std::string long_entry(uint8_t sequence, const std::u16string& units);

}  // namespace pyralis::test
