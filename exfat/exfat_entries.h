// SPDX-License-Identifier: GPL-3.0-or-later
// exFAT directory entries: the 32-byte records of a directory and the file entry sets
// (a file entry, its stream extension, its name entries) as the scan reads them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "core/found_files.h"

namespace pyralis::exfat {

constexpr size_t kEntryBytes = 32;
// A file entry set holds the file entry and 2 to 18 secondary entries.
constexpr int kMinSecondaries = 2;
constexpr int kMaxSecondaries = 18;
constexpr size_t kMaxSetBytes = (1 + kMaxSecondaries) * kEntryBytes;

// Entry type bytes: bit 7 in use, bit 6 secondary, bit 5 benign, bits 0-4 type code.
constexpr uint8_t kInUse = 0x80;
constexpr uint8_t kSecondary = 0x40;
constexpr uint8_t kEndOfDirectory = 0x00;
// An unused entry (in-use bit clear) of no type the scan reads: what the directory reader puts
// in place of entries it could not read.
constexpr uint8_t kUnreadableEntry = 0x7F;
constexpr uint8_t kAllocationBitmap = 0x81;
constexpr uint8_t kUpcaseTable = 0x82;
constexpr uint8_t kFileEntry = 0x85;
constexpr uint8_t kStreamExtension = 0xC0;
constexpr uint8_t kFileName = 0xC1;

constexpr uint16_t kDirectoryAttribute = 0x10;

// One file entry set, live or deleted, with its checksum verified.
struct EntrySet {
  bool deleted = false;
  int secondaries = 0;  // entries after the file entry that belong to the set
  uint16_t attributes = 0;
  bool directory() const { return (attributes & kDirectoryAttribute) != 0; }
  uint32_t create_timestamp = 0, modify_timestamp = 0;
  uint8_t create_10ms = 0, modify_10ms = 0;
  uint8_t create_utc_offset = 0, modify_utc_offset = 0;
  bool no_fat_chain = false;
  uint32_t first_cluster = 0;
  uint64_t valid_data_length = 0;
  uint64_t data_length = 0;
  std::u16string name;
  // False for a deleted file's set whose checksum fails although its stream extension is
  // plausible (valid data length within the data length, a first cluster for its data).
  bool checksum_ok = true;
};

// The set checksum over `bytes` (whole entries), skipping the checksum field itself (bytes
// 2 and 3 of the first entry). Type bytes count with their in-use bit set, so a deleted set
// yields the value it was written with.
uint16_t set_checksum(std::span<const uint8_t> bytes);

// Reads the file entry set at the start of `bytes` (as many whole entries as the caller has,
// at most kMaxSetBytes are looked at). None unless the first entry is a file entry (in use
// or not), the secondary count lies in 2..18 and all those entries are present, every
// secondary is a secondary with the file entry's in-use state, the first is a stream
// extension followed by enough name entries for NameLength (1..255), and the checksum holds;
// a deleted set that is not a directory and whose stream extension is plausible is given
// with checksum_ok false when only its checksum fails.
std::optional<EntrySet> parse_entry_set(std::span<const uint8_t> bytes);

// A timestamp with its 10 ms byte and UTC offset byte as a date-time of the local time zone.
// With the offset's valid bit set the time is taken as local time at that offset and
// converted; without it, it is already local. 0.0 when the date is not valid.
TDateTime entry_date_time(uint32_t timestamp, uint8_t ten_ms, uint8_t utc_offset);

}  // namespace pyralis::exfat
