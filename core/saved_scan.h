// SPDX-License-Identifier: GPL-3.0-or-later
// A scan kept in a file: the catalogue's rows with their facts, and the identity of the
// volume they were found on, so that the rows are used only with that volume again.
//
// Layout (all integers little-endian): the 16-byte magic "PYRALIS SCAN 1\n\0"; the identity
// (serial u64, size u64, digest as a u16 length and its text, file system likewise); the
// row count u32; per row: Inode i64, Sector i64, Size i64, RecoveryQuality i8, Created and
// Modified (IEEE doubles as u64), Name and Path (u16 length and UTF-8), then the facts:
// origin u8, exfat_facts u8, no_fat_chain u8, valid_data_length u64,
// extent count u32 and (offset u64, length u64) pairs, content state u8, damaged_at u64,
// type (u16 length and text); last, the SHA-256 of everything before it (32 bytes).
#pragma once

#include <cstdint>
#include <string>

#include "core/found_files.h"

namespace pyralis {

struct VolumeIdentity {
  uint64_t serial = 0;
  uint64_t size = 0;   // bytes
  std::string digest;  // SHA-256 (hex) of the volume's first sectors
  std::string file_system;

  bool operator==(const VolumeIdentity&) const = default;
};

// The bytes of the file for `rows` found on `volume`.
std::string encode_saved_scan(const TFoundFiles& rows, const VolumeIdentity& volume);
// Reads them back into `rows` and `volume`; false with a one-line reason in `error` when the
// bytes are no saved scan or are damaged (`rows` is left as it was then).
bool decode_saved_scan(const std::string& bytes, TFoundFiles& rows, VolumeIdentity& volume,
                       std::string* error);

}  // namespace pyralis
