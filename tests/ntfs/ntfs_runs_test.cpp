// SPDX-License-Identifier: GPL-3.0-or-later
// Mapping pairs, runlist lookups and reads of attribute values that need no disk.
#include <gtest/gtest.h>

#include <cstring>

#include "ntfs/ntfs_internal.h"
#include "tests/ntfs/ntfs_test_records.h"

namespace pyralis::test {
namespace {

using namespace pyralis::ntfs;

// A non-resident $DATA attribute record holding `pairs` (terminator included by the caller).
std::vector<uint8_t> attribute_with(const std::vector<uint8_t>& pairs, int64_t lowest_vcn = 0) {
  // The attribute ends right after the pairs, so a missing terminator is seen.
  std::vector<uint8_t> a(0x40 + pairs.size(), 0);
  put32(a, 0x00, kData);
  put32(a, 0x04, static_cast<uint32_t>(a.size()));
  a[0x08] = 1;
  put64(a, 0x10, static_cast<uint64_t>(lowest_vcn));
  put16(a, 0x20, 0x40);
  std::copy(pairs.begin(), pairs.end(), a.begin() + 0x40);
  return a;
}

std::optional<Runlist> decode(const std::vector<uint8_t>& pairs, int64_t lowest_vcn = 0) {
  const auto a = attribute_with(pairs, lowest_vcn);
  return decode_runlist(a);
}

void expect_runs(const std::optional<Runlist>& rl, const std::vector<RunElement>& want) {
  ASSERT_TRUE(rl);
  ASSERT_EQ(rl->size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ((*rl)[i].vcn, want[i].vcn) << i;
    EXPECT_EQ((*rl)[i].lcn, want[i].lcn) << i;
    EXPECT_EQ((*rl)[i].length, want[i].length) << i;
  }
}

TEST(NtfsDecodeRunlist, DecodesRunsHolesAndBackwardOffsets) {
  expect_runs(decode({0x21, 0x18, 0x34, 0x56, 0x00}), {{0, 0x5634, 0x18}, {0x18, kLcnOutside, 0}});
  expect_runs(decode({0x31, 0x10, 0x00, 0x10, 0x00, 0x11, 0x08, 0xF0, 0x00}),
              {{0, 0x1000, 0x10}, {0x10, 0xFF0, 8}, {0x18, kLcnOutside, 0}});
  expect_runs(decode({0x01, 0x05, 0x21, 0x05, 0x00, 0x02, 0x00}),
              {{0, kLcnHole, 5}, {5, 0x200, 5}, {10, kLcnOutside, 0}});
  expect_runs(decode({0x11, 0x04, 0x30, 0x00}, 0x20),
              {{0, kLcnNotMapped, 0x20}, {0x20, 0x30, 4}, {0x24, kLcnOutside, 0}});
  // Eight-byte fields are the widest allowed.
  expect_runs(decode({0x88, 1, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0x00}),
              {{0, 2, 1}, {1, kLcnOutside, 0}});
}

TEST(NtfsDecodeRunlist, RefusesMalformedMappingPairs) {
  EXPECT_FALSE(decode({0x21, 0x18, 0x34, 0x56}));                    // no terminating 0 byte
  EXPECT_FALSE(decode({0x20, 0x34, 0x56, 0x00}));                    // length field of 0 bytes
  EXPECT_FALSE(decode({0x11, 0xFF, 0x10, 0x00}));                    // negative run length
  EXPECT_FALSE(decode({0x11, 0x00, 0x10, 0x00}));                    // zero run length
  EXPECT_FALSE(decode({0x11, 0x04, 0x10, 0x11, 0x04, 0xE0, 0x00}));  // LCN below 0
  EXPECT_FALSE(decode({0x19, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0x00}));     // length wider than 8
  EXPECT_FALSE(decode({0x91, 1, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0x00}));  // offset wider than 8
  EXPECT_FALSE(decode({0x21, 0x18, 0x34}));  // offset runs past the attribute
  // VCN sum overflows: two runs of 2^62 and 2^62 + 2^62.
  EXPECT_FALSE(decode({0x08, 0, 0, 0, 0, 0, 0, 0, 0x40, 0x08, 0, 0, 0, 0, 0, 0, 0, 0x40, 0x00}));
  // LCN + length overflows.
  EXPECT_FALSE(decode({0x81, 0x10, 0xF0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x00}));
  EXPECT_FALSE(decode({0x11, 0x04, 0x10, 0x00}, -1));  // negative lowest VCN
  auto resident = attribute_with({0x11, 0x04, 0x10, 0x00});
  resident[0x08] = 0;
  EXPECT_FALSE(decode_runlist(resident));
  auto pairs_outside = attribute_with({0x11, 0x04, 0x10, 0x00});
  put16(pairs_outside, 0x20, 0x200);
  EXPECT_FALSE(decode_runlist(pairs_outside));
}

TEST(NtfsVcnToLcn, MapsClustersHolesAndOutsideVcns) {
  const auto rl = decode({0x01, 0x05, 0x21, 0x05, 0x00, 0x02, 0x00}, 0);
  ASSERT_TRUE(rl);
  EXPECT_EQ(vcn_to_lcn(&*rl, 0), kLcnHole);
  EXPECT_EQ(vcn_to_lcn(&*rl, 4), kLcnHole);
  EXPECT_EQ(vcn_to_lcn(&*rl, 5), 0x200);
  EXPECT_EQ(vcn_to_lcn(&*rl, 9), 0x204);
  EXPECT_EQ(vcn_to_lcn(&*rl, 10), kLcnOutside);
  EXPECT_EQ(vcn_to_lcn(&*rl, -1), kLcnNegativeVcn);
  EXPECT_EQ(vcn_to_lcn(nullptr, 3), kLcnNotMapped);
  const auto partial = decode({0x11, 0x04, 0x30, 0x00}, 0x20);
  EXPECT_EQ(vcn_to_lcn(&*partial, 3), kLcnNotMapped);
  EXPECT_EQ(vcn_to_lcn(&*partial, 0x21), 0x31);
}

// An inode whose record holds one $DATA attribute, on a volume with 4096-byte clusters.
struct OneAttribute {
  NtfsVolume volume;
  NtfsInode inode;
  std::unique_ptr<NtfsAttribute> attribute;

  explicit OneAttribute(TestRecord& r) {
    volume.cluster_size = 4096;
    volume.cluster_size_bits = 12;
    volume.sector_size = 512;
    volume.mft_record_size = 1024;
    volume.mft_record_size_bits = 10;
    volume.total_clusters = 1 << 20;
    inode.volume = &volume;
    inode.record = r.Finish();
    EXPECT_TRUE(apply_fixups(inode.record));
    attribute = open_attribute(&inode, kData);
  }
};

TEST(NtfsFindVcn, DecodesLazilyAndFindsTheElement) {
  TestRecord r;
  r.AddNonResident(kData, {0x11, 0x04, 0x30, 0x01, 0x02, 0x11, 0x03, 0x10}, 9 * 4096);
  OneAttribute one(r);
  ASSERT_TRUE(one.attribute);
  EXPECT_FALSE(one.attribute->runlist);
  EXPECT_EQ(find_vcn(one.attribute.get(), 0), std::optional<size_t>(0));
  ASSERT_TRUE(one.attribute->runlist);
  EXPECT_EQ(find_vcn(one.attribute.get(), 3), std::optional<size_t>(0));
  EXPECT_EQ(find_vcn(one.attribute.get(), 4), std::optional<size_t>(1));  // a hole
  EXPECT_EQ(find_vcn(one.attribute.get(), 6), std::optional<size_t>(2));
  EXPECT_EQ(find_vcn(one.attribute.get(), 9), std::nullopt);
  EXPECT_EQ(find_vcn(one.attribute.get(), -1), std::nullopt);
}

TEST(NtfsReadAttribute, ResidentValuesAreClampedToTheirSize) {
  TestRecord r;
  std::vector<uint8_t> value(700);
  for (size_t i = 0; i < value.size(); ++i) value[i] = static_cast<uint8_t>(i % 251);
  r.AddResident(kData, value);
  OneAttribute one(r);
  ASSERT_TRUE(one.attribute);
  std::vector<uint8_t> out(2048, 0xEE);
  EXPECT_EQ(read_attribute(one.attribute.get(), out.data(), kRecordBuffer, nullptr, 2048, 0), 700);
  EXPECT_TRUE(std::equal(value.begin(), value.end(), out.begin()));
  EXPECT_EQ(out[700], 0xEE);
  EXPECT_EQ(read_attribute(one.attribute.get(), out.data(), kRecordBuffer, nullptr, 10, 695), 5);
  EXPECT_EQ(read_attribute(one.attribute.get(), out.data(), kRecordBuffer, nullptr, 10, 700), 0);
  EXPECT_EQ(read_attribute(one.attribute.get(), out.data(), kRecordBuffer, nullptr, 0, 0), 0);
  EXPECT_EQ(read_attribute(one.attribute.get(), out.data(), kRecordBuffer, nullptr, -1, 0), -1);
}

TEST(NtfsReadAttribute, HolesAndBytesPastTheInitializedSizeReadAsZeros) {
  TestRecord r;
  // A sparse stream: 3 clusters of hole, nothing on disk.
  const size_t at = r.AddNonResident(kData, {0x01, 0x03}, 3 * 4096);
  put64(r.bytes(), at + 0x38, 4096);  // initialized size: one cluster
  OneAttribute one(r);
  ASSERT_TRUE(one.attribute);
  std::vector<uint8_t> out(3 * 4096, 0xEE);
  EXPECT_EQ(read_attribute(one.attribute.get(), out.data(), kRecordBuffer, nullptr, 3 * 4096, 0),
            3 * 4096);
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 0; }));
  std::fill(out.begin(), out.end(), 0xEE);
  EXPECT_EQ(read_attribute(one.attribute.get(), out.data(), kRecordBuffer, nullptr, 100, 8192),
            100);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[99], 0);
  EXPECT_EQ(out[100], 0xEE);
}

TEST(NtfsReadAttribute, CompressedAndRestrictedNonResidentReadsAreRefused) {
  TestRecord compressed;
  compressed.AddNonResident(kData, {0x01, 0x03}, 3 * 4096, 0, kAttrCompressed);
  OneAttribute one(compressed);
  std::vector<uint8_t> out(16);
  EXPECT_EQ(read_attribute(one.attribute.get(), out.data(), kRecordBuffer, nullptr, 16, 0), -1);
  TestRecord sparse;
  sparse.AddNonResident(kData, {0x01, 0x03}, 3 * 4096, 0, kAttrSparse);
  OneAttribute two(sparse);
  EXPECT_EQ(read_attribute(two.attribute.get(), out.data(), kRecordBuffer, nullptr, 16, 0), -1);
  EXPECT_EQ(one.inode.flags, kInodeCompressed);
  EXPECT_EQ(two.inode.flags, kInodeRestricted);
}

TEST(NtfsReadMftRecords, RecordsPastTheInitializedSizeAreNotRead) {
  NtfsVolume volume;
  volume.mft_record_size = 1024;
  volume.mft_record_size_bits = 10;
  volume.mft_data = std::make_unique<NtfsAttribute>();
  volume.mft_data->initialized_size = 16 * 1024;
  std::vector<uint8_t> record(1024);
  EXPECT_EQ(read_mft_records(&volume, 16, record), -1);
  EXPECT_EQ(read_mft_records(&volume, -1, record), -1);
  EXPECT_EQ(read_mft_records(nullptr, 0, record), -1);
}

}  // namespace
}  // namespace pyralis::test
