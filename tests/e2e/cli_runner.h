// SPDX-License-Identifier: GPL-3.0-or-later
// Runs the built pyralis-cli and builds FAT volumes with mtools for the end-to-end tests.
#pragma once

#include <string>
#include <vector>

#include "tests/support/test_files.h"

namespace pyralis::test {

struct CliRun {
  int status = -1;
  std::string out, err;
  std::vector<std::string> out_lines() const;
  std::vector<std::string> err_lines() const;
};

// Runs pyralis-cli with `arguments` (already shell-quoted where needed) inside `dir`, with
// extra NAME=value settings in its environment; with `timeout_seconds`, a run that takes
// longer is killed and gets status 124.
CliRun run_cli(const std::string& arguments, const TempDir& dir,
               const std::vector<std::string>& environment = {}, int timeout_seconds = 0);

// One file put on a generated volume.
struct VolumeFile {
  std::string folder;  // "" for the root, else "Photos" or "Old stuff"
  std::string name;
  std::string content;
  bool deleted = false;
};

// A FAT volume made with mkfs.fat and mtools (no mounting): the files of `files` copied in
// order, then the deleted ones removed with mdel / mdeltree. Returns the image path, or ""
// when the tools are missing.
std::string make_fat_volume(const TempDir& dir, int fat_bits, const std::vector<VolumeFile>& files,
                            const std::vector<std::string>& deleted_folders);

// The standard set: long names, a deleted folder, signature-bearing files, two deleted files of
// the same name in different folders, live files beside them.
std::vector<VolumeFile> sample_files();
std::vector<std::string> sample_deleted_folders();

// Writes a GNU ddrescue mapfile for a source of `size` bytes in which [bad, bad + length)
// was not rescued ('-') and all else was ('+').
bool write_ddrescue_map(const std::string& path, uint64_t size, uint64_t bad, uint64_t length);
// Byte offset of `content`'s first 4 KiB in the file at `path`; npos when not there.
size_t offset_of(const std::string& path, const std::string& content);

// Deterministic filler bytes.
std::string filler(size_t size, uint32_t seed, const std::string& head = "");

}  // namespace pyralis::test
