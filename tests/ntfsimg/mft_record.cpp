// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/ntfsimg/mft_record.h"

#include <cstring>
#include <stdexcept>

namespace pyralis::test::ntfs {

Bytes standard_information(const Times& times, uint32_t file_attributes) {
  Bytes v(0x48, 0);
  put64(&v[0x00], times.created);
  put64(&v[0x08], times.modified);
  put64(&v[0x10], times.mft_changed);
  put64(&v[0x18], times.accessed);
  put32(&v[0x20], file_attributes);
  // 0x24 max versions, 0x28 version, 0x2C class id, 0x30 owner id, 0x34 security id,
  // 0x38 quota charged, 0x40 update sequence number: all zero.
  return v;
}

Bytes file_name_value(uint64_t parent_reference, const Times& times, uint64_t allocated_size,
                      uint64_t real_size, uint32_t file_attributes, const std::u16string& name,
                      NameSpace name_space) {
  Bytes v(0x42 + 2 * name.size(), 0);
  put64(&v[0x00], parent_reference);
  put64(&v[0x08], times.created);
  put64(&v[0x10], times.modified);
  put64(&v[0x18], times.mft_changed);
  put64(&v[0x20], times.accessed);
  put64(&v[0x28], allocated_size);
  put64(&v[0x30], real_size);
  put32(&v[0x38], file_attributes);
  v[0x40] = static_cast<uint8_t>(name.size());
  v[0x41] = static_cast<uint8_t>(name_space);
  for (size_t i = 0; i < name.size(); ++i) put16(&v[0x42 + 2 * i], name[i]);
  return v;
}

size_t RecordWriter::first_attribute_offset(size_t record_size) {
  return align8(0x30 + 2 * (record_size / kFixupStride + 1));
}

size_t RecordWriter::resident_size(size_t name_units, size_t value_length) {
  return align8(align8(0x18 + 2 * name_units) + value_length);
}

size_t RecordWriter::nonresident_size(size_t name_units, size_t mapping_pairs_length,
                                      bool compressed) {
  return align8(align8((compressed ? 0x48 : 0x40) + 2 * name_units) + mapping_pairs_length);
}

RecordWriter::RecordWriter(size_t record_size, uint64_t record_number, uint16_t sequence,
                           uint16_t flags, uint16_t link_count)
    : record_(record_size, 0) {
  if (record_size < 512 || record_size % kFixupStride != 0) {
    throw std::invalid_argument("MFT record size must be a multiple of 512");
  }
  uint8_t* r = record_.data();
  std::memcpy(r, "FILE", 4);                                               // 0x00 signature
  put16(r + 0x04, 0x30);                                                   // 0x04 USA offset
  put16(r + 0x06, static_cast<uint16_t>(record_size / kFixupStride + 1));  // 0x06 USA count
  put16(r + 0x10, sequence);                                               // 0x10 sequence number
  put16(r + 0x12, link_count);                                             // 0x12 hard link count
  used_ = first_attribute_offset(record_size);
  put16(r + 0x14, static_cast<uint16_t>(used_));          // 0x14 first attribute
  put16(r + 0x16, flags);                                 // 0x16 flags
  put32(r + 0x1C, static_cast<uint32_t>(record_size));    // 0x1C bytes allocated
  put32(r + 0x2C, static_cast<uint32_t>(record_number));  // 0x2C record number
}

size_t RecordWriter::free_space() const {
  const size_t end = used_ + 8;
  return end > record_.size() ? 0 : record_.size() - end;
}

uint8_t* RecordWriter::reserve(size_t length) {
  if (length > free_space()) {
    throw std::invalid_argument("attributes do not fit in the MFT record (" +
                                std::to_string(length) + " bytes needed, " +
                                std::to_string(free_space()) + " left)");
  }
  uint8_t* a = record_.data() + used_;
  used_ += length;
  return a;
}

void RecordWriter::add_resident(uint32_t type, const std::u16string& name, const Bytes& value,
                                uint16_t flags, bool indexed) {
  const size_t length = resident_size(name.size(), value.size());
  const size_t value_offset = align8(0x18 + 2 * name.size());
  uint8_t* a = reserve(length);
  put32(a + 0x00, type);
  put32(a + 0x04, static_cast<uint32_t>(length));
  a[0x08] = 0;  // resident
  a[0x09] = static_cast<uint8_t>(name.size());
  put16(a + 0x0A, 0x18);  // name offset
  put16(a + 0x0C, flags);
  put16(a + 0x0E, next_id_++);
  put32(a + 0x10, static_cast<uint32_t>(value.size()));
  put16(a + 0x14, static_cast<uint16_t>(value_offset));
  a[0x16] = indexed ? 1 : 0;
  for (size_t i = 0; i < name.size(); ++i) put16(a + 0x18 + 2 * i, name[i]);
  if (!value.empty()) std::memcpy(a + value_offset, value.data(), value.size());
  last_value_offset_ = static_cast<size_t>(a - record_.data()) + value_offset;
}

void RecordWriter::add_nonresident(const NonResidentAttribute& attribute) {
  const Bytes pairs = encode_mapping_pairs(attribute.runs);
  // Compressed and sparse attributes carry the extra 0x40 "compressed size" field.
  const bool compressed = (attribute.flags & (kAttrFlagCompressed | kAttrFlagSparse)) != 0 ||
                          attribute.compression_unit != 0;
  const size_t header = compressed ? 0x48 : 0x40;
  const size_t pairs_offset = align8(header + 2 * attribute.name.size());
  const size_t length = nonresident_size(attribute.name.size(), pairs.size(), compressed);
  uint64_t clusters = 0;
  for (const ClusterRun& run : attribute.runs) clusters += run.length;
  uint8_t* a = reserve(length);
  put32(a + 0x00, attribute.type);
  put32(a + 0x04, static_cast<uint32_t>(length));
  a[0x08] = 1;  // non-resident
  a[0x09] = static_cast<uint8_t>(attribute.name.size());
  put16(a + 0x0A, static_cast<uint16_t>(header));
  put16(a + 0x0C, attribute.flags);
  put16(a + 0x0E, next_id_++);
  put64(a + 0x10, 0);             // lowest VCN
  put64(a + 0x18, clusters - 1);  // highest VCN (-1 when empty)
  put16(a + 0x20, static_cast<uint16_t>(pairs_offset));
  put16(a + 0x22, attribute.compression_unit);
  put64(a + 0x28, attribute.allocated_size);
  put64(a + 0x30, attribute.data_size);
  put64(a + 0x38, attribute.initialized_size);
  if (compressed) {  // 0x40 clusters actually allocated, in bytes
    put64(a + 0x40, attribute.stored_size ? attribute.stored_size : attribute.allocated_size);
  }
  for (size_t i = 0; i < attribute.name.size(); ++i) {
    put16(a + header + 2 * i, attribute.name[i]);
  }
  std::memcpy(a + pairs_offset, pairs.data(), pairs.size());
}

Bytes RecordWriter::finish(uint16_t check_value) {
  uint8_t* r = record_.data();
  put32(r + used_, kAttrEnd);
  put16(r + 0x28, next_id_);                          // 0x28 next attribute id
  put32(r + 0x18, static_cast<uint32_t>(used_ + 8));  // 0x18 bytes in use
  apply_fixups(r, record_.size(), check_value);
  return std::move(record_);
}

}  // namespace pyralis::test::ntfs
