// SPDX-License-Identifier: GPL-3.0-or-later
// Damaged NTFS volumes: broken boot sectors, records, attributes, runlists, parent chains and
// names. Every scan and recovery ends in order and stays inside its buffers and the
// destination folder; a huge MFT keeps memory bounded.
#include <gtest/gtest.h>

#include "core/found_files.h"
#include "core/process_state.h"
#include "core/recovery_command.h"
#include "drivers/drivers.h"
#include "platform/drive_table.h"
#include "platform/unreadable_areas.h"
#include "tests/damage/damage_support.h"
#include "tests/ntfsimg/ntfs_image_builder.h"

// AddressSanitizer: gcc says so by __SANITIZE_ADDRESS__, clang by __has_feature.
#if defined(__SANITIZE_ADDRESS__)
#define PYRALIS_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PYRALIS_UNDER_ASAN 1
#endif
#endif

namespace pyralis::test {
namespace {

constexpr uint32_t kStandardInformation = 0x10;
constexpr uint32_t kFileName = 0x30;
constexpr uint32_t kData = 0x80;

class NtfsDamage : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { volume_ = new NtfsVolumeImage(make_ntfs_volume()); }
  static void TearDownTestSuite() {
    delete volume_;
    volume_ = nullptr;
  }

  RunResult Run(const std::string& image, bool recover = true) {
    return scan_and_recover(dir_, "ntfs.img", image, recover);
  }
  const NtfsVolumeImage& v() const { return *volume_; }

  static NtfsVolumeImage* volume_;
  TempDir dir_;
};

NtfsVolumeImage* NtfsDamage::volume_ = nullptr;

// Rewrites the mapping pairs of the record's unnamed $DATA and its sizes.
void set_runs(std::string& record, const std::string& pairs, uint64_t data_size) {
  const uint32_t a = attribute_offset(record, kData);
  ASSERT_NE(a, 0u);
  const uint32_t length = get32(record, a + 4);
  const uint32_t mp = get16(record, a + 0x20);
  ASSERT_LE(mp + pairs.size(), length) << "the record has no room for these pairs";
  fill_zero(record, a + mp, length - mp);
  record.replace(a + mp, pairs.size(), pairs);
  // No pairs: the whole area holds runs of one cluster, with no terminating 0 byte.
  if (pairs.empty()) record.replace(a + mp, length - mp, std::string(length - mp, '\x11'));
  put64(record, a + 0x28, data_size);
  put64(record, a + 0x30, data_size);
  put64(record, a + 0x38, data_size);
}

// The resident $FILE_NAME value's offset in the record.
uint32_t file_name_value(const std::string& record) {
  const uint32_t a = attribute_offset(record, kFileName);
  return a == 0 ? 0 : a + get16(record, a + 0x14);
}

TEST_F(NtfsDamage, UndamagedVolumeListsAndRecoversItsDeletedFiles) {
  const RunResult r = Run(v().bytes);
  EXPECT_TRUE(r.scan_finished);
  EXPECT_EQ(r.rows, 5);
  EXPECT_GE(count_lines(r.recover_log, "successfully."), 5u);
  EXPECT_EQ(read_file(dir_.file("out/small.txt")), "resident and deleted");
  EXPECT_EQ(read_file(dir_.file("out/" + std::string(251, 'N') + ".txt")), "longest name");
}

TEST_F(NtfsDamage, TruncatedImagesEndInOrder) {
  const uint64_t cuts[] = {100,
                           512,
                           v().record_offset(0) + 100,
                           v().record_offset(3) + 100,
                           v().record_offset(v().fragments) + 600,
                           v().bytes.size() / 2,
                           v().bytes.size() - 4096};
  for (uint64_t cut : cuts) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    const RunResult r = Run(v().bytes.substr(0, cut));
    EXPECT_GE(r.scan_log.size(), 1u);
  }
}

TEST_F(NtfsDamage, ZeroAndRandomRegionsEndInOrder) {
  struct Region {
    uint64_t at, size;
  };
  const Region regions[] = {{0, 512},
                            {v().record_offset(0), v().record_size},
                            {v().record_offset(5), v().record_size},
                            {v().record_offset(6), v().record_size},
                            {v().record_offset(16), v().record_size * 8},
                            {v().record_offset(0), v().record_size * 32},
                            {v().bytes.size() / 4, v().bytes.size() / 2}};
  uint32_t seed = 7;
  for (const Region& region : regions) {
    SCOPED_TRACE("region at " + std::to_string(region.at));
    std::string zeroed = v().bytes;
    fill_zero(zeroed, region.at, region.size);
    Run(zeroed);
    std::string random = v().bytes;
    fill_random(random, region.at, region.size, seed++);
    Run(random);
  }
}

TEST_F(NtfsDamage, AbsurdBootSectorValuesAreRefused) {
  struct Patch {
    const char* what;
    uint64_t at;
    int width;
    uint64_t value;
  };
  const Patch refused[] = {
      {"bytes per sector 0", 0x0B, 2, 0},
      {"bytes per sector 1", 0x0B, 2, 1},
      {"bytes per sector 3", 0x0B, 2, 3},
      {"bytes per sector 65535", 0x0B, 2, 65535},
      {"sectors per cluster 0", 0x0D, 1, 0},
      {"sectors per cluster 3", 0x0D, 1, 3},
      {"sectors per cluster 0x81", 0x0D, 1, 0x81},
      {"clusters per record 0", 0x40, 1, 0},
      {"clusters per record 127", 0x40, 1, 127},
      {"record of 2^-64 clusters", 0x40, 1, 0xC0},
      {"record of 2 bytes", 0x40, 1, 0xFF},
      {"MFT cluster beyond the volume", 0x30, 8, 0xFFFFFFFFull},
      {"MFT cluster negative", 0x30, 8, 0x8000000000000000ull},
      {"no sectors", 0x28, 8, 0},
  };
  for (const Patch& p : refused) {
    SCOPED_TRACE(p.what);
    std::string image = v().bytes;
    // The same values in the backup in the last sector, or the volume is read by that.
    for (const uint64_t copy : {uint64_t{0}, uint64_t{image.size() - 512}})
      for (int i = 0; i < p.width; ++i)
        put8(image, copy + p.at + i, static_cast<uint8_t>(p.value >> (8 * i)));
    const RunResult r = Run(image);
    EXPECT_EQ(r.rows, 0);
    EXPECT_GE(r.scan_log.size(), 1u);
    EXPECT_LE(r.scan_log.size(), 2u) << ::testing::PrintToString(r.scan_log);
  }
  // Values that may pass the checks but must not upset the scan.
  std::string image = v().bytes;
  put64(image, 0x28, uint64_t{1} << 62);  // sectors far beyond the image
  Run(image);
  image = v().bytes;
  put8(image, 0x0D, 0xF4);  // 2^12 sectors per cluster: a 2 MiB cluster
  Run(image);
}

TEST_F(NtfsDamage, BadAttributeLengthsSkipTheRecordOnly) {
  struct Patch {
    const char* what;
    int attribute;  // 0: the first attribute, else the type of the one to patch
    uint32_t field;
    int width;
    uint64_t value;
  };
  const Patch patches[] = {
      {"length 0", 0, 4, 4, 0},
      {"length 0x10", 0, 4, 4, 0x10},
      {"length not a multiple of 8", 0, 4, 4, 0x61},
      {"length past the record", 0, 4, 4, 0x10000},
      {"length 2^32 - 8", 0, 4, 4, 0xFFFFFFF8},
      {"$FILE_NAME value past the attribute", kFileName, 0x14, 2, 0xFFF0},
      {"$FILE_NAME value length huge", kFileName, 0x10, 4, 0x7FFFFFFF},
      {"$FILE_NAME name length 255", kFileName, 0x58, 1, 0xFF},
      {"$DATA value past the record", kData, 0x10, 4, 0x100000},
      {"$DATA name offset past the attribute", kData, 0x0A, 2, 0xFFFF},
      {"$DATA name length 255", kData, 0x09, 1, 0xFF},
      {"$STANDARD_INFORMATION value 0 bytes", kStandardInformation, 0x10, 4, 0},
      {"first attribute offset past the record", -1, 0x14, 2, 0x3F8},
      {"bytes in use past the record", -1, 0x18, 4, 0x10000},
      {"update sequence past the record", -1, 0x04, 2, 0x3FF},
      {"update sequence of 0 entries", -1, 0x06, 2, 0},
  };
  for (uint64_t number : {v().small, v().fragments, uint64_t{5}, uint64_t{0}, uint64_t{6}}) {
    for (const Patch& p : patches) {
      SCOPED_TRACE(std::string(p.what) + " in record " + std::to_string(number));
      const std::string image = v().patched(number, [&](std::string& r) {
        uint64_t at = p.field;
        if (p.attribute >= 0) {
          const uint32_t a = p.attribute == 0 ? get16(r, 0x14) : attribute_offset(r, p.attribute);
          if (a == 0) return;
          at += a;
        }
        for (int i = 0; i < p.width; ++i) put8(r, at + i, static_cast<uint8_t>(p.value >> (8 * i)));
      });
      const RunResult r = Run(image);
      if (number >= 16) {
        EXPECT_GE(r.rows, 4);
      }
    }
  }
}

TEST_F(NtfsDamage, RunlistsBeyondTheVolumeOrWithAbsurdLengthsEnd) {
  const uint64_t cluster = 4096;
  struct Case {
    const char* what;
    std::string pairs;
    uint64_t size;
  };
  const Case cases[] = {
      {"run at cluster 2^40", std::string("\x11\x08\x00\x00\x00\x00\x01\x00", 6) + std::string(1, '\0'),
       8 * cluster},
      {"run of 2^47 clusters", std::string("\x16\xFF\xFF\xFF\xFF\xFF\x7F\x40\x00", 9),
       uint64_t{1} << 40},
      {"hole of 2^40 clusters", std::string("\x06\x00\x00\x00\x00\x00\x01\x00", 8),
       uint64_t{1} << 52},
      {"run below cluster 0", std::string("\x11\x02\x40\x11\x02\x80\x00", 7), 4 * cluster},
      {"eight-byte offset field", std::string("\x81\x01\0\0\0\0\0\0\0\x40\x00", 11), cluster},
      {"nine-byte length field", std::string("\x19\x01\0\0\0\0\0\0\0\0\x40\x00", 12), cluster},
      {"no terminator", std::string(), cluster},
      {"data size 2^63 - 1 on a short run", std::string("\x11\x02\x40\x00", 4),
       0x7FFFFFFFFFFFFFFFull},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string image =
        v().patched(v().fragments, [&](std::string& r) { set_runs(r, c.pairs, c.size); });
    const RunResult r = Run(image);
    EXPECT_GE(r.rows, 4);
  }
}

TEST_F(NtfsDamage, LoopingAndBrokenParentChainsEnd) {
  const auto set_parent = [&](std::string image, uint64_t number, uint64_t parent) {
    const std::string base = image;
    NtfsVolumeImage copy;
    copy.bytes = base;
    copy.record_size = v().record_size;
    copy.mft_offset = v().mft_offset;
    return copy.patched(number, [&](std::string& r) {
      const uint32_t value = file_name_value(r);
      if (value != 0) put64(r, value, parent | uint64_t{1} << 48);
    });
  };
  // docs <-> gone, a file that is its own parent, parents 0 and far beyond the MFT.
  std::string loop = set_parent(v().bytes, v().docs, v().gone);
  Run(loop);
  Run(set_parent(v().bytes, v().fragments, v().fragments));
  Run(set_parent(v().bytes, v().gone, v().gone));
  Run(set_parent(v().bytes, v().reused, 0));
  Run(set_parent(v().bytes, v().sparse, uint64_t{1} << 47));
  const RunResult r = Run(set_parent(loop, v().sparse, v().sparse));
  EXPECT_EQ(r.rows, 5);
}

TEST_F(NtfsDamage, EmptyAndHostileNamesStayInsideTheDestination) {
  const auto named = [&](const std::u16string& name) {
    return v().patched(v().small, [&](std::string& r) {
      const uint32_t value = file_name_value(r);
      ASSERT_NE(value, 0u);
      put8(r, value + 0x40, static_cast<uint8_t>(name.size()));
      for (size_t i = 0; i < name.size() && i < 9; ++i) put16(r, value + 0x42 + 2 * i, name[i]);
    });
  };
  for (const std::u16string& name :
       {std::u16string(), std::u16string(u".."), std::u16string(u"."), std::u16string(u"../x"),
        std::u16string(u"a/b"), std::u16string(u"\0x", 2), std::u16string(u"\xD800\xDC00")}) {
    const RunResult r = Run(named(name));
    EXPECT_EQ(r.rows, 5);
  }
}

// A $MFT of a million records (all free, almost all blank) on a sparse image: the scan walks
// them all and its memory stays bounded.
// One command (scan, then every row recovered) on a volume with one unreadable MFT sector:
// the sector is asked for twice (the window, then on its own) and never again, one line
// says so, and the scan counts the record it holds.
TEST_F(NtfsDamage, OneBadMftSectorIsReadTwiceAndReportedOncePerCommand) {
  const std::string path = dir_.file("bad-mft.img");
  write_file(path, v().bytes);
  const uint64_t bad = v().record_offset(v().fragments);
  platform::set_unreadable_areas(path, {{bad, 512}});
  platform::reset_unreadable_area_hits_for_testing();
  RecordingWindow window;
  RunResult scanned;
  {
    RecoveryCommand command;
    scanned = scan_path(path);
    const char letter = platform::drives().front().letter;
    RecoveryActive = true;
    for (int32_t i = 0; i < scanned.rows; ++i) undelete_found_file(letter, i, dir_.path() + "/");
    RecoveryActive = false;
  }
  EXPECT_EQ(count_lines(scanned.scan_log, "1 MFT record could not be read."), 1u)
      << window.LogText();
  EXPECT_EQ(platform::unreadable_area_hits_for_testing(), 2u);
  const std::string line = "Cannot read sector " + std::to_string(bad / 512) + " of ";
  EXPECT_EQ(count_lines(scanned.scan_log, line) + window.LinesWith(line).size(), 1u)
      << window.LogText();
  platform::clear_unreadable_areas();
  platform::reset_drive_table();
}

TEST(NtfsHugeMft, AMillionRecordsKeepMemoryBounded) {
  constexpr uint64_t kRecords = 1'000'000;
  TempDir dir;
  NtfsGeometry g;
  g.total_sectors = (kRecords * 1024 + (64ull << 20)) / 512;
  NtfsImageBuilder builder(g);
  FileSpec f;
  f.name = "one.txt";
  f.deleted = true;
  f.content = "one deleted file";
  builder.add_file(f);
  const std::string path = dir.file("huge.img");
  builder.write(path);

  // $MFT's $DATA becomes one run of a million records from its first cluster, and its
  // $BITMAP a run of blank (free) clusters after them.
  const uint64_t cluster = builder.cluster_size();
  const uint64_t mft_clusters = kRecords * 1024 / cluster;
  const uint64_t bitmap_lcn = builder.mft_lcn() + mft_clusters + 16;
  std::string record = fixed_up(read_range(path, builder.record_offset(0), 1024));
  const uint32_t data = attribute_offset(record, kData);
  const uint32_t bitmap = attribute_offset(record, 0xB0);
  ASSERT_NE(data, 0u);
  ASSERT_NE(bitmap, 0u);
  if (record[bitmap + 8] == 0) GTEST_SKIP() << "the builder keeps the MFT bitmap resident";
  const auto run = [](uint64_t length, uint64_t lcn) {
    // Three-byte length and offset fields (both below 2^23 here).
    std::string pairs(1, '\x33');
    for (int i = 0; i < 3; ++i) pairs += static_cast<char>(length >> (8 * i));
    for (int i = 0; i < 3; ++i) pairs += static_cast<char>(lcn >> (8 * i));
    return pairs + std::string(1, '\0');
  };
  set_runs(record, run(mft_clusters, builder.mft_lcn()), kRecords * 1024);
  put64(record, data + 0x18, mft_clusters - 1);
  const uint64_t bitmap_clusters = (kRecords / 8 + cluster - 1) / cluster;
  const std::string pairs = run(bitmap_clusters, bitmap_lcn);
  const uint32_t length = get32(record, bitmap + 4);
  const uint32_t mp = get16(record, bitmap + 0x20);
  ASSERT_LE(mp + pairs.size(), length);
  fill_zero(record, bitmap + mp, length - mp);
  record.replace(bitmap + mp, pairs.size(), pairs);
  put64(record, bitmap + 0x18, bitmap_clusters - 1);
  put64(record, bitmap + 0x28, bitmap_clusters * cluster);
  put64(record, bitmap + 0x30, kRecords / 8);
  put64(record, bitmap + 0x38, kRecords / 8);
  ASSERT_TRUE(write_range(path, builder.record_offset(0), protect(record)));

  const bool peak_reset = reset_peak_rss();
  const int64_t before = peak_reset ? rss_kib() : peak_rss_kib();
  const RunResult r = scan_path(path);
  const int64_t growth = peak_rss_kib() - before;
  // Every record was looked at.
  EXPECT_EQ(r.gauge_max, static_cast<int64_t>(kRecords));
  EXPECT_GE(r.gauge_progress, static_cast<int64_t>(kRecords));
  EXPECT_GE(r.rows, 1);
  EXPECT_NE(count_lines(r.scan_log, "Files with potentially recoverable content"), 0u);
  // The scan holds a few windows and the found files, never the MFT or a record per entry.
#if defined(PYRALIS_UNDER_ASAN)
  const int64_t limit_kib = 512 * 1024;  // the sanitizer's quarantine keeps freed blocks
#else
  const int64_t limit_kib = 48 * 1024;
#endif
  EXPECT_LT(growth, limit_kib) << "peak RSS grew by " << growth << " KiB";
  RecordProperty("peak_rss_growth_kib", std::to_string(growth));
}

}  // namespace
}  // namespace pyralis::test
