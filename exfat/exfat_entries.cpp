// SPDX-License-Identifier: GPL-3.0-or-later
#include "exfat/exfat_entries.h"

#include <cmath>

#include "core/date_time.h"
#include "platform/byte_loads.h"

namespace pyralis::exfat {

using platform::load_u16;
using platform::load_u32;
using platform::load_u64;
using platform::load_u8;

namespace {

// Name entries carry 15 UTF-16 units each, from byte 2.
constexpr size_t kUnitsPerNameEntry = 15;

bool in_use(uint8_t type) {
  return (type & kInUse) != 0;
}

}  // namespace

uint16_t set_checksum(std::span<const uint8_t> bytes) {
  uint16_t sum = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i == 2 || i == 3) continue;
    uint8_t b = bytes[i];
    if (i % kEntryBytes == 0) b |= kInUse;
    sum = static_cast<uint16_t>(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + b);
  }
  return sum;
}

std::optional<EntrySet> parse_entry_set(std::span<const uint8_t> bytes) {
  if (bytes.size() < kEntryBytes) return std::nullopt;
  const uint8_t primary = bytes[0];
  if ((primary | kInUse) != kFileEntry) return std::nullopt;
  EntrySet set;
  set.deleted = !in_use(primary);
  set.secondaries = load_u8(bytes, 1);
  if (set.secondaries < kMinSecondaries || set.secondaries > kMaxSecondaries) return std::nullopt;
  const size_t set_bytes = (1 + static_cast<size_t>(set.secondaries)) * kEntryBytes;
  if (bytes.size() < set_bytes) return std::nullopt;
  const auto entries = bytes.first(set_bytes);
  for (int i = 1; i <= set.secondaries; ++i) {
    const uint8_t type = entries[i * kEntryBytes];
    if ((type & kSecondary) == 0 || in_use(type) != in_use(primary)) return std::nullopt;
  }
  if ((entries[kEntryBytes] | kInUse) != kStreamExtension) return std::nullopt;
  const auto stream = entries.subspan(kEntryBytes, kEntryBytes);
  const size_t name_length = load_u8(stream, 3);
  const size_t name_entries = (name_length + kUnitsPerNameEntry - 1) / kUnitsPerNameEntry;
  if (name_length == 0 || name_entries > static_cast<size_t>(set.secondaries) - 1)
    return std::nullopt;
  for (size_t i = 0; i < name_entries; ++i)
    if ((entries[(2 + i) * kEntryBytes] | kInUse) != kFileName) return std::nullopt;
  set.checksum_ok = set_checksum(entries) == load_u16(entries, 2);

  set.attributes = load_u16(entries, 4);
  set.create_timestamp = load_u32(entries, 8);
  set.modify_timestamp = load_u32(entries, 12);
  set.create_10ms = load_u8(entries, 20);
  set.modify_10ms = load_u8(entries, 21);
  set.create_utc_offset = load_u8(entries, 22);
  set.modify_utc_offset = load_u8(entries, 23);
  set.no_fat_chain = (load_u8(stream, 1) & 0x02) != 0;
  set.valid_data_length = load_u64(stream, 8);
  set.first_cluster = load_u32(stream, 20);
  set.data_length = load_u64(stream, 24);
  set.name.reserve(name_length);
  for (size_t i = 0; i < name_length; ++i) {
    const size_t entry = 2 + i / kUnitsPerNameEntry;
    const size_t unit = i % kUnitsPerNameEntry;
    set.name.push_back(static_cast<char16_t>(load_u16(entries, entry * kEntryBytes + 2 + unit * 2)));
  }
  // One flipped bit costs the checksum: a deleted file whose stream extension still makes
  // sense is kept (the scan rates it "Bad"); anything else with a failed checksum is not
  // taken for a set.
  if (!set.checksum_ok &&
      (!set.deleted || set.directory() || set.valid_data_length > set.data_length ||
       (set.data_length > 0 && set.first_cluster < 2)))
    return std::nullopt;
  return set;
}

TDateTime entry_date_time(uint32_t timestamp, uint8_t ten_ms, uint8_t utc_offset) {
  const int second = static_cast<int>(timestamp & 31) * 2;
  const int minute = static_cast<int>(timestamp >> 5) & 63;
  const int hour = static_cast<int>(timestamp >> 11) & 31;
  const int day = static_cast<int>(timestamp >> 16) & 31;
  const int month = static_cast<int>(timestamp >> 21) & 15;
  const int year = 1980 + static_cast<int>(timestamp >> 25);
  // The 10 ms byte adds 0 to 1.99 seconds; larger values are not valid and are left out.
  const int extra_ms = ten_ms < 200 ? ten_ms * 10 : 0;
  const auto local = try_encode_date_time(year, month, day, hour, minute, second);
  if (!local) return 0.0;
  if ((utc_offset & 0x80) == 0) return *local + extra_ms / 86400000.0;
  // Seven-bit signed count of 15-minute steps east of UTC.
  const int steps = (utc_offset & 0x40) ? static_cast<int>(utc_offset & 0x7F) - 128
                                        : static_cast<int>(utc_offset & 0x7F);
  const auto wall = static_cast<int64_t>(std::llround((*local - 25569.0) * 86400.0));
  return unix_to_local_date_time(wall - int64_t{steps} * 15 * 60) + extra_ms / 86400000.0;
}

}  // namespace pyralis::exfat
