// SPDX-License-Identifier: GPL-3.0-or-later
// Damaged volumes for the hardening tests: small FAT and NTFS volumes made at test time,
// byte patches that break them, and one routine that scans and recovers a volume through
// the drivers while checking that the run ends in order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/recording_window.h"
#include "tests/support/test_files.h"

namespace pyralis::test {

// ---- byte access on an image held as a string ----
uint16_t get16(const std::string& image, uint64_t at);
uint32_t get32(const std::string& image, uint64_t at);
void put8(std::string& image, uint64_t at, uint8_t value);
void put16(std::string& image, uint64_t at, uint16_t value);
void put32(std::string& image, uint64_t at, uint32_t value);
void put64(std::string& image, uint64_t at, uint64_t value);
// Overwrites [at, at + size) (clipped to the image) with zeros or with seeded random bytes.
void fill_zero(std::string& image, uint64_t at, uint64_t size);
void fill_random(std::string& image, uint64_t at, uint64_t size, uint32_t seed);

// ---- FAT volumes ----
struct FatPlace {
  uint32_t bytes_per_sector = 0;
  uint32_t cluster_size = 0;
  uint64_t fat_offset = 0;      // first table copy
  uint64_t fat_bytes = 0;       // one table copy
  uint64_t root_offset = 0;     // FAT12/16 root region or the FAT32 root cluster
  uint64_t data_offset = 0;     // cluster 2
  uint32_t root_cluster = 0;    // FAT32
  uint64_t cluster_offset(uint32_t x) const { return data_offset + uint64_t{x - 2} * cluster_size; }
};
// Where the parts of a FAT volume lie, read from its boot sector as the format defines them.
FatPlace fat_place(const std::string& image);
// Byte offset of a FAT entry's bytes (FAT12 entries share bytes; 16/32 are exact).
void set_fat_entry(std::string& image, const FatPlace& place, int bits, uint32_t x, uint32_t v);

// A FAT volume with live and deleted files in the root, in a folder and in a deleted folder,
// made by mkfs.fat and mtools. False when the tools are missing.
bool make_fat_volume(const std::string& image, int fat_bits, const TempDir& dir);
// mtools command on `image` ("mcopy", "mdel" ...); true on success.
bool mtool(const std::string& image, const std::string& command, const std::string& args);

// ---- NTFS volumes ----
// Undoes and redoes the update-sequence protection of an MFT record in memory: fixed_up()
// gives the record with its stretch ends restored, protect() writes the sequence number back
// to the stretch ends (after a patch of the fixed-up bytes).
std::string fixed_up(const std::string& record);
std::string protect(const std::string& record);
struct NtfsVolumeImage {
  std::string bytes;
  uint64_t record_size = 0;
  uint64_t mft_offset = 0;  // byte offset of record 0 (the MFT is one run)
  uint64_t docs = 0;        // live folder
  uint64_t gone = 0;        // deleted folder inside docs
  // Deleted files: small.txt (resident), fragments.bin (three backward runs), sparse.dat
  // (a hole and a named stream, inside gone), reused.bin (clusters partly reused), and a
  // name of 255 characters.
  uint64_t small = 0, fragments = 0, sparse = 0, reused = 0, longest = 0;
  uint64_t record_offset(uint64_t number) const { return mft_offset + number * record_size; }
  std::string record(uint64_t number) const { return bytes.substr(record_offset(number), record_size); }
  // Replaces record `number` by `patch` applied to its fixed-up bytes, protected again.
  template <typename Patch>
  std::string patched(uint64_t number, Patch patch) const {
    std::string image = bytes;
    std::string r = fixed_up(record(number));
    patch(r);
    image.replace(record_offset(number), record_size, protect(r));
    return image;
  }
};
// A small NTFS volume from the test image builder with live and deleted files.
NtfsVolumeImage make_ntfs_volume();
// Offset inside a fixed-up record of the first attribute of `type`, or 0 when none.
uint32_t attribute_offset(const std::string& record, uint32_t type);

// ---- running the product ----
struct RunResult {
  std::vector<std::string> scan_log;
  std::vector<std::string> recover_log;
  int32_t rows = 0;
  bool scan_finished = false;  // ScanActive still set after the scan
  int64_t gauge_max = -1;      // the scan dialog's gauge maximum and last position
  int64_t gauge_progress = -1;
};

// Writes `image` to dir/name, scans it through the scan driver and recovers every row into
// dir/out/ with the recovery driver. Fails the current test when the image changed, when
// anything was written beside dir/out, or when a recovered file is larger than the volume
// could hold.
RunResult scan_and_recover(const TempDir& dir, const std::string& name, const std::string& image,
                           bool recover = true);

// Scans the image file at `path` through the scan driver (no recovery, no checks).
RunResult scan_path(const std::string& path);
// Reads / writes `size` bytes at `offset` of a file in place (large sparse images).
std::string read_range(const std::string& path, uint64_t offset, size_t size);
bool write_range(const std::string& path, uint64_t offset, const std::string& bytes);

// Lines of `log` containing `part`.
size_t count_lines(const std::vector<std::string>& log, const std::string& part);

// Resident set sizes of this process in KiB (VmRSS, VmHWM), and a reset of the peak.
int64_t rss_kib();
int64_t peak_rss_kib();
bool reset_peak_rss();

}  // namespace pyralis::test
