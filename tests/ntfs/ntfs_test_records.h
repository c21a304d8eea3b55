// SPDX-License-Identifier: GPL-3.0-or-later
// Hand-built MFT records for the engine's unit tests: a record header, attributes appended
// one by one, and update-sequence protection applied the way NTFS writes records.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pyralis::test {

class TestRecord {
 public:
  explicit TestRecord(uint32_t size = 1024, uint16_t flags = 1);

  // Appends a resident attribute; returns its offset in the record.
  size_t AddResident(uint32_t type, const std::vector<uint8_t>& value,
                     const std::u16string& name = u"", uint16_t flags = 0);
  // Appends a non-resident attribute with the given mapping pairs (the terminating 0 byte
  // is not added); returns its offset.
  size_t AddNonResident(uint32_t type, const std::vector<uint8_t>& pairs, int64_t data_size,
                        int64_t lowest_vcn = 0, uint16_t flags = 0,
                        const std::u16string& name = u"");
  // Adds the end marker and the header sizes; with `protect`, the update sequence too.
  std::vector<uint8_t> Finish(bool protect = true, uint16_t usn = 0x0102);

  std::vector<uint8_t>& bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
  size_t end_;  // where the next attribute goes
};

// Standard information value (0x48 bytes) with the three times and the file attributes.
std::vector<uint8_t> standard_information(uint64_t created, uint64_t modified, uint64_t mft_changed,
                                          uint32_t attributes = 0);
// File name value for `name` under `parent`.
std::vector<uint8_t> file_name_value(uint64_t parent, const std::u16string& name,
                                     uint8_t name_space = 1);

void put16(std::vector<uint8_t>& b, size_t at, uint16_t v);
void put32(std::vector<uint8_t>& b, size_t at, uint32_t v);
void put64(std::vector<uint8_t>& b, size_t at, uint64_t v);

}  // namespace pyralis::test
