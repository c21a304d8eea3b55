// SPDX-License-Identifier: GPL-3.0-or-later
// The bodies of the fuzz targets. Each takes one input of any length and drives one part of
// the engines with it; none may crash, hang, read or write outside a buffer, or write outside
// its own temporary folder. The libFuzzer programs call them, and a normal test replays the
// kept inputs (corpus seeds and regressions) through them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pyralis::fuzz {

// The input is a small FAT volume: attached as a drive, scanned through the scan driver,
// scanned again by the FAT engine with the input's sector 0, and its first rows recovered.
int fat_walk(const uint8_t* data, size_t size);
// The whole input is first decompressed as one LZNT1 compression unit. Then bytes 0..7: the
// attribute's lowest VCN (little-endian); the rest: mapping pairs. Decodes the runlist,
// checks its shape and maps VCNs through vcn_to_lcn and find_vcn.
int runlist(const uint8_t* data, size_t size);
// The input is one 1024-byte MFT record: walked by find_attribute on its own, then placed as
// a deleted file's record of a synthetic volume and read by read_record, its path built,
// and recovered.
int ntfs_record(const uint8_t* data, size_t size);
// The first 512 bytes replace the boot sector and the next 1024 record 0 ($MFT) of a
// synthetic volume, which is then scanned and its first rows recovered.
int ntfs_mount(const uint8_t* data, size_t size);
// The input is the content of an exFAT directory: every 32-byte entry of it is read as the
// start of a file entry set, and what is accepted is checked against the set's own promises.
int exfat_entry_set(const uint8_t* data, size_t size);
// The input is a file of any type: its signature is looked up, its structure walked (as it
// is, under a text name, and through a source with a hole that cannot be read), and what
// the walk says is checked against the input's length.
int filetypes(const uint8_t* data, size_t size);
// The input is one block of a deep scan's pass, handed to the FAT folder-start and the NTFS
// record recognisers; what they keep must lie inside the block.
int sweep(const uint8_t* data, size_t size);
// The input is a volume without a file system: searched by content (starts at every sector,
// the walks, and the search for a file's second piece at 512-byte cluster steps), and every
// carved file is checked against the volume: inside it, one or two pieces in order, found in
// order of their first byte, never overlapping an earlier file.
int carve(const uint8_t* data, size_t size);
// Numbers from the input through size_to_text, quality_to_text and the date conversions.
int texts(const uint8_t* data, size_t size);

struct Target {
  const char* name;
  int (*run)(const uint8_t*, size_t);
};
// Every target, by the folder name of its corpus and regressions.
const std::vector<Target>& targets();

// Seed inputs made from generated volumes (for the corpus folders).
std::vector<std::string> seeds(const std::string& target);

}  // namespace pyralis::fuzz
