// SPDX-License-Identifier: GPL-3.0-or-later
// A search by content through the drivers: an image that holds no volume at all (no boot
// sector, no partition table) is scanned with carving, its files listed under "Found by
// content" and written byte-exact from their extents, dated by their EXIF date; a file over
// a sector that cannot be read is written in part.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/found_files.h"
#include "core/process_state.h"
#include "drivers/drivers.h"
#include "platform/drive_table.h"
#include "platform/unreadable_areas.h"
#include "tests/support/recording_window.h"
#include "tests/support/test_files.h"

namespace pyralis::test {
namespace {

std::string sample(const std::string& name) {
  return read_file(fixture_path("filetypes/" + name));
}

class CarveDriveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::mt19937 random(9);
    const auto filler = [&](size_t n) {
      for (size_t i = 0; i < n; ++i) image_.push_back(static_cast<char>(random()));
    };
    filler(64 * 1024);
    for (const char* name : {"photo.jpg", "archive.zip", "clip.mov", "tone.flac"}) {
      offsets_.push_back(image_.size());
      image_ += sample(name);
      filler(4096 - image_.size() % 4096 + 4096);
    }
    path_ = dir_.file("card.img");
    ASSERT_TRUE(write_file(path_, image_));
    platform::reset_drive_table();
    platform::clear_unreadable_areas();
    platform::attach_sources({path_});
    FoundFiles.clear();
  }
  void TearDown() override { platform::clear_unreadable_areas(); }

  TempDir dir_, out_;
  RecordingWindow window_;
  std::string image_, path_;
  std::vector<uint64_t> offsets_;
};

TEST_F(CarveDriveTest, ASourceWithoutVolumeIsCarvedAndItsFilesWrittenByteExact) {
  EXPECT_EQ(scan_drive('c', ScanOptions{}), ScanResult::kNotScanned);  // no carving: refused
  FoundFiles.clear();
  ASSERT_EQ(scan_drive('c', ScanOptions{true, true}), ScanResult::kScanned);
  ASSERT_EQ(FoundFiles.Count(), 4);
  EXPECT_EQ(FoundFiles[0].Name, "2024-07-14 15.32.10.jpg");
  EXPECT_EQ(FoundFiles[0].Path, "C:\\Found by content\\Pictures");
  EXPECT_EQ(FoundFiles[1].Path, "C:\\Found by content\\Archives");
  EXPECT_EQ(FoundFiles[2].Path, "C:\\Found by content\\Videos");
  EXPECT_EQ(FoundFiles[3].Path, "C:\\Found by content\\Audio");
  EXPECT_TRUE(window_.Logged("Found by content: 4 files (0 damaged)."));
  const char* names[] = {"photo.jpg", "archive.zip", "clip.mov", "tone.flac"};
  // The carver's walk checks CRCs, not a JPEG's image data: the content check decodes it.
  const ContentState carved[] = {ContentState::kPlausible, ContentState::kIntact,
                                 ContentState::kPlausible, ContentState::kIntact};
  const ContentState checked[] = {ContentState::kIntact, ContentState::kIntact,
                                  ContentState::kPlausible, ContentState::kIntact};
  RecoveryActive = true;
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(names[i]);
    EXPECT_EQ(FoundFiles[i].Inode, static_cast<int64_t>(offsets_[i] / 512));  // its sector
    EXPECT_EQ(FoundFiles.Facts(i).origin, RowOrigin::kCarved);
    EXPECT_EQ(FoundFiles.Facts(i).content.state, carved[i]);
    EXPECT_EQ(check_found_file('c', i).state, checked[i]);
    const RecoveryOutcome outcome = undelete_found_file('c', i, out_.path() + "/");
    ASSERT_TRUE(outcome.complete());
    EXPECT_TRUE(read_file(outcome.written_path) == sample(names[i]));
  }
}

TEST_F(CarveDriveTest, AFileOverAnUnreadableSectorIsWrittenInPart) {
  ASSERT_EQ(scan_drive('c', ScanOptions{true, true}), ScanResult::kScanned);
  ASSERT_EQ(FoundFiles.Count(), 4);
  // The sector goes bad after the scan: the recovery keeps the file and says what is missing.
  platform::set_unreadable_areas(path_, {{offsets_[3] + 1024, 512}});
  RecoveryActive = true;
  const RecoveryOutcome outcome = undelete_found_file('c', 3, out_.path() + "/");
  ASSERT_EQ(outcome.result, RecoveryResult::kPartial);
  ASSERT_EQ(outcome.unreadable.size(), 1u);
  EXPECT_EQ(outcome.unreadable[0].offset, 1024u);
  EXPECT_EQ(outcome.unreadable[0].length, 512u);
  std::string expected = sample("tone.flac");
  expected.replace(1024, 512, std::string(512, '\0'));
  EXPECT_TRUE(read_file(outcome.written_path) == expected);
}

// A JPEG with a cluster of another picture's entropy-coded data in place of its own: its
// markers add up, so it is listed as plausible; the content check decodes it and finds it damaged.
TEST(CarveDriveCheck, AJpegWithAForeignClusterIsDamagedOnceDecoded) {
  TempDir dir;
  RecordingWindow window;
  std::string jpeg = sample("photo.jpg");
  jpeg.replace(512, 512, sample("multi.jpg").substr(1024, 512));
  std::string image(64 * 1024, '\x11');
  image += jpeg;
  image.resize(image.size() + 8192, '\0');
  const std::string path = dir.file("card.img");
  ASSERT_TRUE(write_file(path, image));
  platform::reset_drive_table();
  platform::clear_unreadable_areas();
  platform::attach_sources({path});
  FoundFiles.clear();
  ASSERT_EQ(scan_drive('c', ScanOptions{true, true}), ScanResult::kScanned);
  ASSERT_EQ(FoundFiles.Count(), 1) << window.LogText();
  EXPECT_EQ(FoundFiles.Facts(0).content.state, ContentState::kPlausible);
  // The window's worker checks a copy of the row: it reads the same extents.
  const std::atomic<bool> go_on{true};
  EXPECT_EQ(check_found_row('c', FoundFiles[0], FoundFiles.Facts(0), go_on).state,
            ContentState::kDamaged);
  RecoveryActive = true;
  EXPECT_EQ(check_found_file('c', 0).state, ContentState::kDamaged);
}

}  // namespace
}  // namespace pyralis::test
