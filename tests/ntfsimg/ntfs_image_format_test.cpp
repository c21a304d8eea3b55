// SPDX-License-Identifier: GPL-3.0-or-later
// Checks of the builder's byte layout that need no outside reader: mapping pairs, fix-ups,
// record headers, the MBR and the bitmaps.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "tests/ntfsimg/ntfs_format.h"
#include "tests/ntfsimg/ntfs_image_builder.h"
#include "tests/support/test_files.h"

namespace pyralis::test {
namespace {

using ntfs::Bytes;

uint16_t le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t le32(const uint8_t* p) {
  return le16(p) | (uint32_t{le16(p + 2)} << 16);
}
uint64_t le64(const uint8_t* p) {
  return le32(p) | (uint64_t{le32(p + 4)} << 32);
}

TEST(NtfsMappingPairs, EncodesShortestSignedFieldsHolesAndBackwardRuns) {
  // 0x21: 1-byte length, 2-byte offset; 0x11 back by 0x10 (0xF0); hole: offset width 0;
  // a 0x80-cluster run needs two length bytes so it does not read as negative.
  const std::vector<ClusterRun> runs = {
      {4, 0x1234}, {2, 0x1224}, {3, std::nullopt}, {0x80, 0x1225}};
  const Bytes expected = {0x21, 0x04, 0x34, 0x12, 0x11, 0x02, 0xF0,
                          0x01, 0x03, 0x12, 0x80, 0x00, 0x01, 0x00};
  EXPECT_EQ(ntfs::encode_mapping_pairs(runs), expected);
  EXPECT_EQ(ntfs::encode_mapping_pairs({}), Bytes{0x00});
}

TEST(NtfsNames, Utf8ToUtf16AndCollation) {
  EXPECT_EQ(ntfs::utf16_name("a\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80"),
            (std::u16string{u'a', 0xE9, 0x65E5, 0xD83D, 0xDE00}));
  EXPECT_THROW(ntfs::utf16_name(std::string(256, 'x')), std::invalid_argument);
  EXPECT_LT(ntfs::collate_file_names(u"abc", u"ABD"), 0);
  EXPECT_EQ(ntfs::collate_file_names(u"\u00e9T\u00e9", u"\u00c9t\u00c9"), 0);
  EXPECT_GT(ntfs::collate_file_names(u"b", u"A"), 0);
  EXPECT_LT(ntfs::collate_file_names(u"ab", u"abc"), 0);
}

// Undoes the fix-ups of one record in place; false when a check value does not match.
bool undo_fixups(uint8_t* record, size_t size) {
  const uint16_t usa = le16(record + 4);
  const uint16_t count = le16(record + 6);
  if (count != size / 512 + 1) return false;
  for (size_t i = 1; i < count; ++i) {
    uint8_t* tail = record + i * 512 - 2;
    if (std::memcmp(tail, record + usa, 2) != 0) return false;
    std::memcpy(tail, record + usa + 2 * i, 2);
  }
  return true;
}

struct Geometries : ::testing::TestWithParam<std::pair<uint32_t, uint32_t>> {};

TEST_P(Geometries, BootSectorRecordsAndBitmapsAgreeWithThePlacement) {
  const auto [record_size, sectors_per_cluster] = GetParam();
  NtfsGeometry g;
  g.mft_record_size = record_size;
  g.sectors_per_cluster = sectors_per_cluster;
  g.total_sectors = 40000;
  g.partition_offset_sectors = 128;
  g.mft_fragments = 3;
  NtfsImageBuilder b(g);
  FileSpec resident;
  resident.name = "r.txt";
  resident.content = std::string(700, 'r');
  const uint64_t r_record = b.add_file(resident);
  FileSpec gone;
  gone.name = "gone.bin";
  gone.deleted = true;
  gone.pattern_size = 9 * b.cluster_size();
  gone.reuse = {{2, 3, true}};
  gone.sequence = 7;
  gone.sequence_bumped = true;
  const uint64_t gone_record = b.add_file(gone);
  const std::vector<uint8_t> image = b.build();
  ASSERT_EQ(image.size(), b.image_size());

  // MBR: one NTFS partition at sector 128.
  const uint8_t* mbr = image.data();
  EXPECT_EQ(mbr[0x1BE + 4], 0x07);
  EXPECT_EQ(le32(mbr + 0x1BE + 8), 128u);
  EXPECT_EQ(le32(mbr + 0x1BE + 12), g.total_sectors);

  const uint8_t* boot = image.data() + b.volume_offset();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(boot + 3), 8), "NTFS    ");
  EXPECT_EQ(le16(boot + 0x0B), 512);
  EXPECT_EQ(boot[0x0D], sectors_per_cluster);
  EXPECT_EQ(le64(boot + 0x28), g.total_sectors - 1);
  EXPECT_EQ(le64(boot + 0x30), b.mft_lcn());
  EXPECT_EQ(le64(boot + 0x38), b.mft_mirror_lcn());
  const auto per_record = static_cast<int8_t>(boot[0x40]);
  const uint64_t decoded =
      per_record < 0 ? uint64_t{1} << -per_record : uint64_t(per_record) * b.cluster_size();
  EXPECT_EQ(decoded, record_size);
  EXPECT_EQ(boot[0x1FE], 0x55);
  EXPECT_EQ(boot[0x1FF], 0xAA);
  EXPECT_EQ(std::memcmp(boot, boot + (g.total_sectors - 1) * 512, 512), 0) << "backup boot";
  // The mirror holds the first four records.
  EXPECT_EQ(std::memcmp(image.data() + b.record_offset(0),
                        image.data() + b.cluster_offset(b.mft_mirror_lcn()), 4 * record_size),
            0);
  EXPECT_GE(b.file(kMftRecord).runs.size(), 3u);

  // Every record in the MFT carries valid fix-ups and its own number.
  for (uint64_t r = 0; r < b.record_count(); ++r) {
    std::vector<uint8_t> rec(image.begin() + b.record_offset(r),
                             image.begin() + b.record_offset(r) + record_size);
    ASSERT_EQ(std::string(rec.begin(), rec.begin() + 4), "FILE") << r;
    ASSERT_TRUE(undo_fixups(rec.data(), rec.size())) << r;
    EXPECT_EQ(le32(&rec[0x2C]), r);
    EXPECT_LE(le32(&rec[0x18]), record_size);
    if (r == r_record) {
      EXPECT_EQ(le16(&rec[0x16]) & 1, 1);
      // The resident value spans the check position at 510/511 and reads back whole.
      const std::string text(reinterpret_cast<const char*>(rec.data()), rec.size());
      EXPECT_NE(text.find(std::string(700, 'r')), std::string::npos);
    }
    if (r == gone_record) {
      EXPECT_EQ(le16(&rec[0x16]) & 1, 0) << "deleted: in-use flag clear";
      EXPECT_EQ(le16(&rec[0x10]), 8) << "sequence number raised by the deletion";
    }
  }

  // The MFT bitmap has the live records only; $Bitmap frees the deleted file's clusters
  // except the reused ones.
  EXPECT_EQ(b.data_clusters(gone_record), 9u);
  EXPECT_EQ(b.free_clusters(gone_record), 6u);
  uint64_t vcn = 0;
  for (const ClusterRun& run : b.file(gone_record).runs) {
    for (uint64_t k = 0; k < run.length; ++k, ++vcn) {
      EXPECT_EQ(b.cluster_allocated(*run.lcn + k), vcn >= 2 && vcn < 5) << vcn;
    }
  }
  const std::string expected = b.expected_content(gone_record);
  const std::string on_disk = b.on_disk_content(gone_record);
  const uint64_t cs = b.cluster_size();
  EXPECT_EQ(on_disk.substr(0, 2 * cs), expected.substr(0, 2 * cs));
  EXPECT_NE(on_disk.substr(2 * cs, 3 * cs), expected.substr(2 * cs, 3 * cs));
  EXPECT_EQ(on_disk.substr(5 * cs), expected.substr(5 * cs));
  // The image holds what on_disk_content says, cluster by cluster.
  vcn = 0;
  for (const ClusterRun& run : b.file(gone_record).runs) {
    const std::string stored(image.begin() + b.cluster_offset(*run.lcn),
                             image.begin() + b.cluster_offset(*run.lcn) + run.length * cs);
    EXPECT_EQ(stored, on_disk.substr(vcn * cs, run.length * cs));
    vcn += run.length;
  }
}

INSTANTIATE_TEST_SUITE_P(RecordAndClusterSizes, Geometries,
                         ::testing::Values(std::make_pair(1024u, 8u), std::make_pair(4096u, 1u)));

// Finds the first attribute of `type` in a record whose fix-ups were undone; nullptr if none.
const uint8_t* find_attribute(const std::vector<uint8_t>& rec, uint32_t type) {
  for (size_t at = le16(&rec[0x14]); at + 8 <= rec.size();) {
    const uint32_t t = le32(&rec[at]);
    const uint32_t length = le32(&rec[at + 4]);
    if (t == 0xFFFFFFFF || length < 0x18 || at + length > rec.size()) return nullptr;
    if (t == type) return &rec[at];
    at += length;
  }
  return nullptr;
}

TEST(NtfsImageBuilder, LargeFilesKeepSixtyFourBitSizesAndClusterNumbers) {
  NtfsGeometry g;
  g.total_sectors = (uint64_t{6} << 30) / 512;  // 6 GiB, written sparsely
  NtfsImageBuilder b(g);
  FileSpec big;
  big.name = "big.iso";
  big.deleted = true;
  big.pattern_size = (uint64_t{5} << 30) + 17;
  big.write_clusters = false;  // clusters read as zeros
  big.initialized_size = uint64_t{1} << 32;
  const uint64_t record = b.add_file(big);
  const TempDir dir;
  b.write(dir.file("big.img"));
  std::ifstream in(dir.file("big.img"), std::ios::binary | std::ios::ate);
  ASSERT_EQ(static_cast<uint64_t>(in.tellg()), b.image_size());
  std::vector<uint8_t> rec(1024);
  in.seekg(static_cast<std::streamoff>(b.record_offset(record)));
  in.read(reinterpret_cast<char*>(rec.data()), static_cast<std::streamsize>(rec.size()));
  ASSERT_TRUE(in);
  ASSERT_TRUE(undo_fixups(rec.data(), rec.size()));
  const uint8_t* data = find_attribute(rec, 0x80);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data[8], 1) << "non-resident";
  EXPECT_EQ(le64(data + 0x18) + 1, b.data_clusters(record)) << "last VCN";
  EXPECT_EQ(le64(data + 0x30), big.pattern_size);
  EXPECT_EQ(le64(data + 0x38), uint64_t{1} << 32);
  EXPECT_EQ(b.file(record).size, big.pattern_size);
}

TEST(NtfsImageBuilder, ClustersTakenByALaterFileShowInTheDeletedFilesDiskContent) {
  NtfsImageBuilder b;
  const uint64_t cs = b.cluster_size();
  FileSpec old;
  old.name = "old.bin";
  old.deleted = true;
  old.content = std::string(4 * cs, 'o');
  const uint64_t old_record = b.add_file(old);
  ASSERT_EQ(b.file(old_record).runs.size(), 1u);
  const uint64_t first = *b.file(old_record).runs[0].lcn;
  EXPECT_FALSE(b.cluster_allocated(first));
  FileSpec later;
  later.name = "later.bin";
  later.content = std::string(cs, 'n');
  later.runs = {{1, first + 2}};  // a live file now owns the old file's third cluster
  b.add_file(later);
  EXPECT_EQ(b.free_clusters(old_record), 3u);
  EXPECT_TRUE(b.cluster_allocated(first + 2));
  const std::string on_disk = b.on_disk_content(old_record);
  EXPECT_EQ(on_disk, std::string(2 * cs, 'o') + std::string(cs, 'n') + std::string(cs, 'o'));
  EXPECT_EQ(b.expected_content(old_record), old.content);
  const std::vector<uint8_t> image = b.build();
  EXPECT_EQ(std::string(image.begin() + b.cluster_offset(first),
                        image.begin() + b.cluster_offset(first) + 4 * cs),
            on_disk);
}

TEST(NtfsImageBuilder, RefusesBadSpecifications) {
  NtfsImageBuilder b;
  FileSpec f;
  f.name = "x";
  f.parent = 999;
  EXPECT_THROW(b.add_file(f), std::invalid_argument);
  f.parent = b.add_file([] {
    FileSpec plain;
    plain.name = "plain";
    return plain;
  }());
  EXPECT_THROW(b.add_file(f), std::invalid_argument) << "parent is not a directory";
  FileSpec outside;
  outside.name = "outside";
  outside.runs = {{4, b.total_clusters() - 2}};
  outside.content = "x";
  EXPECT_THROW(b.add_file(outside), std::invalid_argument);
  FileSpec huge;
  huge.name = "huge";
  huge.pattern_size = b.total_clusters() * b.cluster_size();
  EXPECT_THROW(b.add_file(huge), std::invalid_argument);
  EXPECT_THROW(NtfsImageBuilder({.sectors_per_cluster = 3}), std::invalid_argument);
}

}  // namespace
}  // namespace pyralis::test
