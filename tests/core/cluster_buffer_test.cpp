// SPDX-License-Identifier: GPL-3.0-or-later
// TBuffer over a real image attached through the drive table: window rules, large
// requests, the end of the volume, failed transfers and shared components.
#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "core/cluster_buffer.h"
#include "platform/drive_table.h"
#include "platform/unreadable_areas.h"
#include "rawdisk/raw_disk_access_component.h"
#include "tests/core/core_images.h"
#include "tests/support/recording_window.h"
#include "tests/support/test_files.h"

namespace pyralis {
namespace {

constexpr int64_t kVolumeSectors = 1000;  // a 500 KiB FAT12 volume

class ClusterBuffer : public testing::Test {
 protected:
  void SetUp() override {
    image_ = dir_.file("fat12.img");
    if (!test::make_fat_image(image_, 12, kVolumeSectors / 2)) GTEST_SKIP() << "no mkfs.fat";
    test::fill_pattern(image_, 64);
    bytes_ = test::read_file(image_);
    ASSERT_EQ(bytes_.size(), static_cast<size_t>(kVolumeSectors * 512));
    const char letter = test::attach_only(image_);
    ASSERT_NE(letter, 0);
    component_.SetLogicalDrive(letter);
    ASSERT_EQ(component_.VolumeSectors(), kVolumeSectors) << component_.StatusText();
  }
  void TearDown() override { platform::reset_drive_table(); }

  // The image's bytes at [offset, offset + count).
  std::string expected(int64_t offset, size_t count) const {
    return bytes_.substr(static_cast<size_t>(offset), count);
  }
  std::string read_bytes(TBuffer& buffer, int64_t offset, uint32_t count, int64_t* result) {
    std::string out(count, '\xAA');
    *result = buffer.ReadBytes(component_, offset, count, out.data());
    return out;
  }
  // Moves the component's own position away, as another user would; a hit leaves it there.
  void move_component_away() {
    component_.SetSectorNumber(7);
    component_.SetSectorCount(1);
  }
  bool refilled_at(int64_t sector) const { return component_.SectorNumber() == sector; }

  test::TempDir dir_;
  std::string image_, bytes_;
  TRawDiskAccessComponent component_;
};

TEST_F(ClusterBuffer, FirstRequestRefillsEvenAtOffsetZero) {
  TBuffer buffer(20);
  EXPECT_EQ(buffer.WindowBytes(), 20u * 512);
  EXPECT_EQ(buffer.EndSector(), 0);
  move_component_away();
  int64_t result;
  EXPECT_EQ(read_bytes(buffer, 0, 16, &result), expected(0, 16));
  EXPECT_EQ(result, 16);
  EXPECT_TRUE(refilled_at(0));
  EXPECT_EQ(buffer.FirstSector(), 0);
  EXPECT_EQ(buffer.EndSector(), 20);
}

TEST_F(ClusterBuffer, HitTestWantsTheSectorAfterTheRequest) {
  TBuffer buffer(20);
  int64_t result;
  read_bytes(buffer, 100 * 512, 512, &result);
  ASSERT_EQ(buffer.FirstSector(), 100);
  ASSERT_EQ(buffer.EndSector(), 120);

  move_component_away();
  EXPECT_EQ(read_bytes(buffer, 100 * 512, 512, &result), expected(100 * 512, 512));
  EXPECT_TRUE(refilled_at(7)) << "inside the window: served from the private copy";
  EXPECT_EQ(read_bytes(buffer, 118 * 512, 512, &result), expected(118 * 512, 512));
  EXPECT_TRUE(refilled_at(7)) << "ends at 119, and 119 + 1 <= 120";
  EXPECT_EQ(read_bytes(buffer, 110 * 512 + 3, 1000, &result), expected(110 * 512 + 3, 1000));
  EXPECT_TRUE(refilled_at(7));

  EXPECT_EQ(read_bytes(buffer, 119 * 512, 512, &result), expected(119 * 512, 512));
  EXPECT_TRUE(refilled_at(119)) << "end sector 120 + 1 exceeds 120";
  EXPECT_EQ(buffer.EndSector(), 139);

  EXPECT_EQ(read_bytes(buffer, 99 * 512, 512, &result), expected(99 * 512, 512));
  EXPECT_TRUE(refilled_at(99));
}

TEST_F(ClusterBuffer, LargeStreamRequestGrowsTheWindowForLaterRefills) {
  TBuffer buffer(20);
  TMemoryStream stream;
  stream.Write("head", 4);
  EXPECT_EQ(buffer.ReadToStream(component_, 200 * 512, 40 * 512, stream), 4 + 40 * 512);
  EXPECT_EQ(buffer.WindowSectors(), 41);
  EXPECT_EQ(buffer.EndSector(), 220);
  EXPECT_EQ(buffer.WindowBytes(), 41u * 512);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(stream.Memory()) + 4, 40 * 512),
            expected(200 * 512, 40 * 512));
  EXPECT_EQ(stream.Position(), 4 + 40 * 512);

  int64_t result;
  read_bytes(buffer, 600 * 512, 1, &result);
  EXPECT_EQ(buffer.EndSector(), 641);
}

TEST_F(ClusterBuffer, LargeRequestsAtAnyOffsetComeThroughWhole) {
  // A 64 KiB cluster through a 20-sector window and a 4 KiB record through a 2-sector one,
  // at offsets inside a sector, where "count div 512 + 1" sectors would be one short.
  TBuffer twenty(20), two(2);
  int64_t result;
  EXPECT_EQ(read_bytes(twenty, 300 * 512 + 3, 65536, &result), expected(300 * 512 + 3, 65536));
  EXPECT_EQ(result, 65536);
  EXPECT_EQ(read_bytes(two, 200 * 512 + 511, 4096, &result), expected(200 * 512 + 511, 4096));
  EXPECT_EQ(result, 4096);

  TBuffer stream_buffer(20);
  TMemoryStream stream;
  const uint32_t count = 40 * 512 - 1;
  stream_buffer.ReadToStream(component_, 500 * 512 + 511, count, stream);
  ASSERT_EQ(stream.Size(), count);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(stream.Memory()), count),
            expected(500 * 512 + 511, count));
}

TEST_F(ClusterBuffer, WindowIsCutAtTheEndOfTheVolumeAndKeepsThatSize) {
  TBuffer buffer(20);
  int64_t result;
  EXPECT_EQ(read_bytes(buffer, 990 * 512, 512, &result), expected(990 * 512, 512));
  EXPECT_EQ(buffer.EndSector(), 1000);
  EXPECT_EQ(buffer.WindowSectors(), 10);
  EXPECT_EQ(buffer.WindowBytes(), 10u * 512);
  read_bytes(buffer, 100 * 512, 512, &result);
  EXPECT_EQ(buffer.EndSector(), 110);
}

TEST_F(ClusterBuffer, LastSectorsPastTheDataAreaAreReadable) {
  // FAT counts clusters of the data area only; the sectors of the reserved region, tables
  // and root folder are missing from that count but not from the volume.
  ASSERT_LT(component_.TotalClusters() * component_.SectorsPerCluster(), kVolumeSectors);
  TBuffer buffer(20);
  int64_t result;
  EXPECT_EQ(read_bytes(buffer, 999 * 512, 512, &result), expected(999 * 512, 512));
  EXPECT_EQ(result, 512);
  EXPECT_EQ(read_bytes(buffer, 980 * 512 + 17, 19 * 512 + 495, &result),
            expected(980 * 512 + 17, 19 * 512 + 495));
  EXPECT_EQ(result, 19 * 512 + 495);
}

TEST_F(ClusterBuffer, RequestsRunningPastTheEnd) {
  TBuffer buffer(20);
  int64_t result;
  // ReadBytes delivers everything or nothing.
  read_bytes(buffer, 999 * 512 + 100, 1024, &result);
  EXPECT_EQ(result, 0);
  // ReadToStream appends what the volume holds, then zeros: the stream grows by count.
  TMemoryStream stream;
  EXPECT_EQ(buffer.ReadToStream(component_, 998 * 512, 4 * 512, stream), 4 * 512);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(stream.Memory()), 2 * 512),
            expected(998 * 512, 2 * 512));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(stream.Memory()) + 1024, 1024),
            std::string(1024, '\0'));
}

TEST_F(ClusterBuffer, RequestsStartingBeyondTheEndReturnZeroAndTouchNothing) {
  TBuffer buffer(20);
  int64_t result;
  read_bytes(buffer, 100 * 512, 512, &result);
  for (const int64_t offset : {kVolumeSectors * 512, kVolumeSectors * 512 + 1000, int64_t{-1},
                               int64_t{-512 * 20}, INT64_MAX - 10, INT64_MIN}) {
    const std::string out = read_bytes(buffer, offset, 512, &result);
    EXPECT_EQ(result, 0) << offset;
    EXPECT_EQ(out, std::string(512, '\xAA')) << offset;
    TMemoryStream stream;
    stream.Write("keep", 4);
    EXPECT_EQ(buffer.ReadToStream(component_, offset, 512, stream), 0) << offset;
    EXPECT_EQ(stream.Size(), 4) << offset;
    EXPECT_EQ(buffer.FirstSector(), 100) << "the window stays where it was";
  }
}

TEST_F(ClusterBuffer, CountZero) {
  TBuffer buffer(20);
  int64_t result;
  read_bytes(buffer, 100 * 512, 0, &result);
  EXPECT_EQ(result, 0);
  TMemoryStream stream;
  // A hit inside the window at sector 105 still appends the whole window from its start.
  read_bytes(buffer, 100 * 512, 1, &result);
  EXPECT_EQ(buffer.ReadToStream(component_, 105 * 512 + 9, 0, stream), 20 * 512);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(stream.Memory()), 20 * 512),
            expected(100 * 512, 20 * 512));
}

TEST_F(ClusterBuffer, BuffersSharingOneComponentKeepTheirOwnBytes) {
  TBuffer records(2), stream_window(20), bytes_window(4);
  TMemoryStream stream;
  int64_t result;
  stream_window.ReadToStream(component_, 300 * 512, 512, stream);
  read_bytes(bytes_window, 700 * 512, 512, &result);
  // stream_window's range is untouched but the component's buffer now holds sector 700.
  stream.Clear();
  stream_window.ReadToStream(component_, 301 * 512, 512, stream);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(stream.Memory()), 512), expected(301 * 512, 512));
  read_bytes(records, 800 * 512, 1024, &result);
  EXPECT_EQ(read_bytes(bytes_window, 701 * 512, 512, &result), expected(701 * 512, 512));
  // ReadBytes after ReadToStream on the same buffer does not serve a stale private copy.
  read_bytes(stream_window, 302 * 512, 8, &result);
  stream_window.ReadToStream(component_, 400 * 512, 512, stream);
  EXPECT_EQ(read_bytes(stream_window, 401 * 512, 64, &result), expected(401 * 512, 64));
}

TEST_F(ClusterBuffer, FailedTransferReadsAsZerosAndSaysSo) {
  // The component keeps the image open while it lives: the drive itself goes, and with it
  // every transfer.
  platform::reset_drive_table();
  TBuffer buffer(20);
  int64_t result;
  EXPECT_EQ(read_bytes(buffer, 100 * 512, 512, &result), std::string(512, '\0'));
  EXPECT_EQ(result, 0);
  ASSERT_EQ(buffer.Unreadable().size(), 1u);
  EXPECT_EQ(buffer.Unreadable()[0].length, 512);
  TMemoryStream stream;
  EXPECT_EQ(buffer.ReadToStream(component_, 300 * 512, 100, stream), 100);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(stream.Memory()), 100), std::string(100, '\0'));
}

TEST_F(ClusterBuffer, OneBadSectorCostsOnlyItselfAndIsLoggedOnce) {
  test::RecordingWindow window;
  platform::set_unreadable_areas(image_, {{105 * 512, 512}, {107 * 512, 1024}});
  TBuffer buffer(20);
  int64_t result;
  // The window 100..119 is read; only sectors 105, 107 and 108 are missing from it.
  EXPECT_EQ(read_bytes(buffer, 100 * 512, 5 * 512, &result), expected(100 * 512, 5 * 512));
  EXPECT_EQ(result, 5 * 512);
  EXPECT_TRUE(buffer.Unreadable().empty());
  std::string want = expected(104 * 512, 6 * 512);
  std::fill(want.begin() + 512, want.begin() + 1024, '\0');
  std::fill(want.begin() + 1536, want.begin() + 2560, '\0');
  EXPECT_EQ(read_bytes(buffer, 104 * 512, 6 * 512, &result), want);
  EXPECT_EQ(result, 0);
  ASSERT_EQ(buffer.Unreadable().size(), 2u);
  EXPECT_EQ(buffer.Unreadable()[0].offset, 512);
  EXPECT_EQ(buffer.Unreadable()[1].offset, 3 * 512);
  EXPECT_EQ(buffer.Unreadable()[1].length, 2 * 512);
  EXPECT_EQ(read_bytes(buffer, 110 * 512, 512, &result), expected(110 * 512, 512));
  EXPECT_EQ(window.log, (std::vector<std::string>{
                            "Cannot read sector 105 of C: (Input/output error).",
                            "Cannot read sectors 107\u2013108 of C: (Input/output error)."}));
  // Another refill of the same window says nothing new.
  read_bytes(buffer, 500 * 512, 1, &result);
  read_bytes(buffer, 100 * 512, 1, &result);
  EXPECT_EQ(window.log.size(), 2u);
  platform::clear_unreadable_areas();
}

TEST_F(ClusterBuffer, ACutSourceDeliversWhatItHolds) {
  // The volume claims 1000 sectors; the source ends inside sector 910.
  platform::set_source_cut_for_testing(image_, 910 * 512 + 100);
  TBuffer buffer(20);
  int64_t result;
  std::string want = expected(900 * 512, 20 * 512);
  std::fill(want.begin() + 10 * 512, want.end(), '\0');
  EXPECT_EQ(read_bytes(buffer, 900 * 512, 20 * 512, &result), want);
  EXPECT_EQ(result, 0);
  ASSERT_EQ(buffer.Unreadable().size(), 1u);
  EXPECT_EQ(buffer.Unreadable()[0].offset, 10 * 512);
  EXPECT_EQ(buffer.Unreadable()[0].length, 10 * 512);
  platform::clear_unreadable_areas();
}

}  // namespace
}  // namespace pyralis
