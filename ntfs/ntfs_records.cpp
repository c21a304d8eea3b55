// SPDX-License-Identifier: GPL-3.0-or-later
// MFT records: update-sequence fix-ups, soundness checks of untrusted records, the attribute
// cursor, and the inode and attribute handles built on it.
#include <algorithm>

#include "ntfs/ntfs_internal.h"

namespace pyralis::ntfs {

namespace {

// MFT record header
constexpr size_t kUsaOffset = 0x04;       // 16-bit offset of the update sequence array
constexpr size_t kUsaCount = 0x06;        // 16-bit entries (1 + protected stretches)
constexpr size_t kFirstAttribute = 0x14;  // 16-bit
constexpr size_t kRecordFlags = 0x16;     // 16-bit, bit 0 in use
constexpr size_t kBytesAllocated = 0x1C;  // 32-bit
constexpr size_t kRecordHeaderSize = 0x30;
constexpr size_t kFixupStride = 512;

// Attribute header
constexpr uint32_t kMinAttributeLength = 0x18;
constexpr uint32_t kNonResidentHeader = 0x40;

bool is_end_marker(uint32_t type) {
  return (type & 0xFFFF) == 0xFFFF;
}

// One attribute header at `offset` checked against the walk's end.
bool attribute_is_sound(Bytes record, uint32_t offset, uint32_t limit) {
  if (!fits(limit, offset, kMinAttributeLength)) return false;
  const uint32_t length = le32(record, offset + 0x04);
  if (length < kMinAttributeLength || length % 8 != 0 || !fits(limit, offset, length)) {
    return false;
  }
  const Bytes attribute = record.subspan(offset, length);
  const uint8_t name_length = le8(attribute, 0x09);
  if (name_length != 0 && !fits(length, le16(attribute, 0x0A), name_length * 2u)) return false;
  if (attribute_non_resident(attribute)) {
    if (length < kNonResidentHeader) return false;
    const uint16_t pairs = le16(attribute, 0x20);
    return pairs >= kNonResidentHeader && pairs < length;
  }
  // A resident $DATA value out of range is reported by the stream reader and written
  // nowhere; any other attribute's value must fit.
  return le32(attribute, 0x00) == kData || resident_value(attribute).has_value();
}

}  // namespace

bool apply_fixups(std::span<uint8_t> record) {
  const Bytes bytes(record);
  const uint16_t usa_offset = le16(bytes, kUsaOffset);
  const uint16_t usa_count = le16(bytes, kUsaCount);
  if (usa_count < 2 || usa_offset % 2 != 0 || !fits(record.size(), usa_offset, usa_count * 2u)) {
    return false;
  }
  const size_t stretches = usa_count - 1u;
  if (stretches * kFixupStride > record.size()) return false;
  const uint8_t usn0 = record[usa_offset], usn1 = record[usa_offset + 1];
  for (size_t i = 1; i <= stretches; ++i) {
    const size_t tail = i * kFixupStride - 2;
    if (record[tail] != usn0 || record[tail + 1] != usn1) return false;
  }
  for (size_t i = 1; i <= stretches; ++i) {
    const size_t tail = i * kFixupStride - 2;
    record[tail] = record[usa_offset + 2 * i];
    record[tail + 1] = record[usa_offset + 2 * i + 1];
  }
  return true;
}

uint32_t walk_limit(Bytes record) {
  return static_cast<uint32_t>(std::min<uint64_t>(le32(record, kBytesAllocated), record.size()));
}

bool record_is_sound(Bytes record) {
  if (record.size() < kRecordHeaderSize) return false;
  const uint32_t limit = walk_limit(record);
  uint32_t offset = le16(record, kFirstAttribute);
  if (offset < kRecordHeaderSize || offset % 8 != 0) return false;
  // Every step moves forward by at least 0x18 bytes, so the walk ends.
  while (fits(limit, offset, 4)) {
    if (is_end_marker(le32(record, offset))) return true;
    if (!attribute_is_sound(record, offset, limit)) return false;
    offset += le32(record, offset + 0x04);
  }
  // No end marker inside the walk: the searches stop at the limit; the record stays usable.
  return true;
}

std::optional<Bytes> resident_value(Bytes attribute) {
  if (attribute.size() < kMinAttributeLength || attribute_non_resident(attribute)) {
    return std::nullopt;
  }
  const uint32_t length = le32(attribute, 0x10);
  const uint16_t offset = le16(attribute, 0x14);
  if (!fits(attribute.size(), offset, length)) return std::nullopt;
  return attribute.subspan(offset, length);
}

std::u16string attribute_name(Bytes attribute) {
  const uint8_t length = le8(attribute, 0x09);
  const uint16_t offset = le16(attribute, 0x0A);
  std::u16string name;
  if (length == 0 || !fits(attribute.size(), offset, length * 2u)) return name;
  name.reserve(length);
  for (size_t i = 0; i < length; ++i)
    name.push_back(static_cast<char16_t>(le16(attribute, offset + 2 * i)));
  return name;
}

SearchContext new_search_context(Bytes record) {
  SearchContext context;
  context.record = record;
  context.attribute = le16(record, kFirstAttribute);
  context.is_first = true;
  return context;
}

SearchContext new_search_context(NtfsInode& inode) {
  SearchContext context = new_search_context(Bytes(inode.record));
  context.inode = &inode;
  return context;
}

int find_attribute(uint32_t type, SearchContext& context) {
  const Bytes record = context.record;
  const uint32_t limit = walk_limit(record);
  uint64_t candidate = context.attribute;
  if (context.is_first) {
    context.is_first = false;
  } else {
    candidate += le32(record, context.attribute + 0x04);
  }
  // Each step advances by a length of at least 0x18, so the walk is bounded by the limit.
  for (;;) {
    if (!fits(limit, candidate, 4)) return -1;
    const uint32_t offset = static_cast<uint32_t>(candidate);
    context.attribute = offset;
    const uint32_t candidate_type = le32(record, offset);
    if ((type != 0 && type < (candidate_type & 0xFFFF)) || is_end_marker(candidate_type)) {
      return -1;
    }
    if (!fits(limit, offset, 8)) return -1;
    const uint32_t length = le32(record, offset + 0x04);
    if (length == 0) return -1;
    if (length < kMinAttributeLength || length % 8 != 0 || !fits(limit, offset, length)) {
      return -1;
    }
    if (type == 0 || (candidate_type & 0xFFFF) == (type & 0xFFFF)) return 0;
    candidate = uint64_t{offset} + length;
  }
}

std::optional<Bytes> next_attribute(uint32_t type, SearchContext& context) {
  if (find_attribute(type, context) != 0) return std::nullopt;
  return context.record.subspan(context.attribute, le32(context.record, context.attribute + 0x04));
}

std::optional<Bytes> lookup_attribute(uint32_t type, Bytes record) {
  if (record.empty()) return std::nullopt;
  SearchContext context = new_search_context(record);
  return next_attribute(type, context);
}

std::unique_ptr<NtfsInode> open_inode(NtfsVolume* volume, int64_t number) {
  if (volume == nullptr) return nullptr;
  auto inode = std::make_unique<NtfsInode>();
  inode->volume = volume;
  inode->record.assign(volume->mft_record_size, 0);
  if (read_mft_records(volume, number, inode->record) != 0) return nullptr;
  if ((le16(inode->record, kRecordFlags) & 1) == 0) return nullptr;
  inode->record_number = number;
  SearchContext context = new_search_context(*inode);
  const auto standard = next_attribute(kStandardInformation, context);
  if (!standard) return nullptr;
  const auto value = resident_value(*standard);
  if (!value) return nullptr;
  const uint32_t attributes = le32(*value, 0x20);
  if (attributes & kFileCompressed) inode->flags |= kInodeCompressed;
  if (attributes & (kFileEncrypted | kFileSparse)) inode->flags |= kInodeRestricted;
  return inode;
}

std::unique_ptr<NtfsAttribute> open_attribute(NtfsInode* inode, uint32_t type) {
  if (inode == nullptr) return nullptr;
  SearchContext context = new_search_context(*inode);
  const auto found = next_attribute(type, context);
  if (!found) return nullptr;
  auto attribute = std::make_unique<NtfsAttribute>();
  attribute->inode = inode;
  attribute->type = type;
  const Bytes a = *found;
  if (attribute_non_resident(a)) {
    attribute->state |= 2;
    attribute->allocated_size = le64s(a, 0x28);
    attribute->data_size = le64s(a, 0x30);
    attribute->initialized_size = le64s(a, 0x38);
  } else {
    const int64_t length = le32(a, 0x10);
    attribute->allocated_size = attribute->data_size = attribute->initialized_size = length;
  }
  const uint16_t flags = attribute_flags(a);
  if (flags & kAttrCompressed) inode->flags |= kInodeCompressed;
  if (flags & (kAttrEncrypted | kAttrSparse)) inode->flags |= kInodeRestricted;
  attribute->state |= 1;
  return attribute;
}

}  // namespace pyralis::ntfs
