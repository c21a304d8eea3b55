// SPDX-License-Identifier: GPL-3.0-or-later
// Writes one MFT file record: header, attributes in the order they are added, end marker,
// update-sequence fix-ups. Also the values of $STANDARD_INFORMATION and $FILE_NAME.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/ntfsimg/ntfs_format.h"

namespace pyralis::test::ntfs {

struct Times {
  uint64_t created = 0;
  uint64_t modified = 0;
  uint64_t mft_changed = 0;
  uint64_t accessed = 0;
};

// 0x48-byte $STANDARD_INFORMATION value (NTFS 3.x layout).
Bytes standard_information(const Times& times, uint32_t file_attributes);
// $FILE_NAME value: 0x00 parent reference, 0x08..0x20 times, 0x28 allocated size, 0x30 real
// size, 0x38 file attributes, 0x40 name length, 0x41 namespace, 0x42 name.
Bytes file_name_value(uint64_t parent_reference, const Times& times, uint64_t allocated_size,
                      uint64_t real_size, uint32_t file_attributes, const std::u16string& name,
                      NameSpace name_space);

struct NonResidentAttribute {
  uint32_t type = kAttrData;
  std::u16string name;
  std::vector<ClusterRun> runs;
  uint64_t allocated_size = 0;
  uint64_t data_size = 0;
  uint64_t initialized_size = 0;
  uint16_t flags = 0;
  uint16_t compression_unit = 0;  // log2 of clusters per compression unit
  uint64_t stored_size = 0;       // bytes in allocated clusters (compressed/sparse only)
};

class RecordWriter {
 public:
  RecordWriter(size_t record_size, uint64_t record_number, uint16_t sequence, uint16_t flags,
               uint16_t link_count);

  // Bytes an attribute takes in the record.
  static size_t resident_size(size_t name_units, size_t value_length);
  static size_t nonresident_size(size_t name_units, size_t mapping_pairs_length, bool compressed);
  // Offset of the first attribute for a record of this size.
  static size_t first_attribute_offset(size_t record_size);

  // Room left for attributes (the 8-byte end marker already accounted for).
  size_t free_space() const;
  void add_resident(uint32_t type, const std::u16string& name, const Bytes& value,
                    uint16_t flags = 0, bool indexed = false);
  void add_nonresident(const NonResidentAttribute& attribute);
  // Offset within the record where the value of the last resident attribute starts.
  size_t last_value_offset() const { return last_value_offset_; }
  // Ends the attribute list and applies the fix-ups; the writer is spent afterwards.
  Bytes finish(uint16_t check_value = 1);

 private:
  uint8_t* reserve(size_t length);
  Bytes record_;
  size_t used_ = 0;
  uint16_t next_id_ = 0;
  size_t last_value_offset_ = 0;
};

}  // namespace pyralis::test::ntfs
