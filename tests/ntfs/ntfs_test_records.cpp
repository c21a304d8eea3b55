// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/ntfs/ntfs_test_records.h"

#include <map>
#include <memory>
#include <stdexcept>

#include "tests/ntfs/ntfs_test_drive.h"

namespace pyralis::test {

namespace {
constexpr size_t kUsaOffset = 0x30;

size_t align8(size_t n) {
  return (n + 7) & ~size_t{7};
}
}  // namespace

void put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  for (int i = 0; i < 2; ++i) b.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
}
void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
}
void put64(std::vector<uint8_t>& b, size_t at, uint64_t v) {
  for (int i = 0; i < 8; ++i) b.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
}

TestRecord::TestRecord(uint32_t size, uint16_t flags) : bytes_(size, 0) {
  const uint16_t usa_count = static_cast<uint16_t>(size / 512 + 1);
  bytes_[0] = 'F', bytes_[1] = 'I', bytes_[2] = 'L', bytes_[3] = 'E';
  put16(bytes_, 0x04, kUsaOffset);
  put16(bytes_, 0x06, usa_count);
  put16(bytes_, 0x10, 1);  // sequence number
  put16(bytes_, 0x12, 1);  // link count
  end_ = align8(kUsaOffset + 2 * usa_count);
  put16(bytes_, 0x14, static_cast<uint16_t>(end_));
  put16(bytes_, 0x16, flags);
  put32(bytes_, 0x1C, size);
}

size_t TestRecord::AddResident(uint32_t type, const std::vector<uint8_t>& value,
                               const std::u16string& name, uint16_t flags) {
  const size_t at = end_;
  const size_t name_at = 0x18;
  const size_t value_at = align8(name_at + 2 * name.size());
  const size_t length = align8(value_at + value.size());
  if (at + length + 8 > bytes_.size()) throw std::length_error("record full");
  put32(bytes_, at, type);
  put32(bytes_, at + 4, static_cast<uint32_t>(length));
  bytes_[at + 9] = static_cast<uint8_t>(name.size());
  put16(bytes_, at + 0x0A, static_cast<uint16_t>(name_at));
  put16(bytes_, at + 0x0C, flags);
  put32(bytes_, at + 0x10, static_cast<uint32_t>(value.size()));
  put16(bytes_, at + 0x14, static_cast<uint16_t>(value_at));
  for (size_t i = 0; i < name.size(); ++i) put16(bytes_, at + name_at + 2 * i, name[i]);
  for (size_t i = 0; i < value.size(); ++i) bytes_[at + value_at + i] = value[i];
  end_ += length;
  return at;
}

size_t TestRecord::AddNonResident(uint32_t type, const std::vector<uint8_t>& pairs,
                                  int64_t data_size, int64_t lowest_vcn, uint16_t flags,
                                  const std::u16string& name) {
  const size_t at = end_;
  const size_t name_at = 0x40;
  const size_t pairs_at = align8(name_at + 2 * name.size());
  const size_t length = align8(pairs_at + pairs.size() + 1);
  if (at + length + 8 > bytes_.size()) throw std::length_error("record full");
  put32(bytes_, at, type);
  put32(bytes_, at + 4, static_cast<uint32_t>(length));
  bytes_[at + 8] = 1;
  bytes_[at + 9] = static_cast<uint8_t>(name.size());
  put16(bytes_, at + 0x0A, static_cast<uint16_t>(name_at));
  put16(bytes_, at + 0x0C, flags);
  put64(bytes_, at + 0x10, static_cast<uint64_t>(lowest_vcn));
  put16(bytes_, at + 0x20, static_cast<uint16_t>(pairs_at));
  put64(bytes_, at + 0x28, static_cast<uint64_t>(data_size));
  put64(bytes_, at + 0x30, static_cast<uint64_t>(data_size));
  put64(bytes_, at + 0x38, static_cast<uint64_t>(data_size));
  for (size_t i = 0; i < name.size(); ++i) put16(bytes_, at + name_at + 2 * i, name[i]);
  for (size_t i = 0; i < pairs.size(); ++i) bytes_[at + pairs_at + i] = pairs[i];
  end_ += length;
  return at;
}

std::vector<uint8_t> TestRecord::Finish(bool protect, uint16_t usn) {
  put32(bytes_, end_, 0xFFFFFFFF);
  put32(bytes_, 0x18, static_cast<uint32_t>(end_ + 8));
  if (protect) {
    const size_t stretches = bytes_.size() / 512;
    put16(bytes_, kUsaOffset, usn);
    for (size_t i = 1; i <= stretches; ++i) {
      const size_t tail = i * 512 - 2;
      bytes_[kUsaOffset + 2 * i] = bytes_[tail];
      bytes_[kUsaOffset + 2 * i + 1] = bytes_[tail + 1];
      put16(bytes_, tail, usn);
    }
  }
  return bytes_;
}

std::vector<uint8_t> standard_information(uint64_t created, uint64_t modified, uint64_t mft_changed,
                                          uint32_t attributes) {
  std::vector<uint8_t> v(0x48, 0);
  put64(v, 0x00, created);
  put64(v, 0x08, modified);
  put64(v, 0x10, mft_changed);
  put64(v, 0x18, modified);
  put32(v, 0x20, attributes);
  return v;
}

std::vector<uint8_t> file_name_value(uint64_t parent, const std::u16string& name,
                                     uint8_t name_space) {
  std::vector<uint8_t> v(0x42 + 2 * name.size(), 0);
  put64(v, 0x00, parent | (uint64_t{1} << 48));
  v[0x40] = static_cast<uint8_t>(name.size());
  v[0x41] = name_space;
  for (size_t i = 0; i < name.size(); ++i) put16(v, 0x42 + 2 * i, name[i]);
  return v;
}

std::string shared_fixture(const std::string& relative) {
  static std::unique_ptr<TempDir> dir;
  static std::map<std::string, std::string> images;
  if (!dir) dir = std::make_unique<TempDir>();
  auto it = images.find(relative);
  if (it == images.end()) it = images.emplace(relative, gunzip_fixture(relative, *dir)).first;
  return it->second;
}

}  // namespace pyralis::test
