// SPDX-License-Identifier: GPL-3.0-or-later
// The content check of found files: read as the recovery reads them, judged by their bytes.
// On a volume whose deleted files were partly overwritten, no file called intact differs
// from its original, and every file that came back changed is called damaged.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "core/found_files.h"
#include "core/process_state.h"
#include "core/recovery_command.h"
#include "drivers/drivers.h"
#include "tests/fat/fat_test_volume.h"

namespace pyralis::test {
namespace {

std::string noise(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
  return bytes;
}

TEST(FatContentCheck, IntactOnlyWhenByteExactAndChangedFilesAreDamaged) {
  TempDir dir, out;
  RecordingWindow window;
  FatTestVolume v(dir, 16, 8192, "-s 1");  // 512-byte clusters
  struct Sample {
    std::string name;
    std::string content;
    bool middle_overwritten = false;
  };
  std::vector<Sample> samples;
  for (const char* name : {"photo.jpg", "picture.png", "archive.zip", "progressive.jpg",
                           "picture.gif", "text.txt", "document.pdf", "tone.flac"})
    samples.push_back({std::string("Sample ") + name,  // a long name: listed as it is
                       read_file(fixture_path(std::string("filetypes/") + name))});
  samples[1].middle_overwritten = samples[2].middle_overwritten = true;
  samples[3].middle_overwritten = true;
  v.MakeDir("::/NEW");
  for (const Sample& s : samples) v.Put("::/" + s.name, s.content);
  scan_image(v.image());
  ASSERT_EQ(FoundFiles.Count(), 0);
  for (const Sample& s : samples) v.Delete("::/" + s.name);
  // The first file's clusters go to a new file; a middle cluster of three others takes other
  // bytes and stays free (a file written there and deleted since).
  v.Put("::/NEW/new.bin", noise(3000, 1));
  scan_image(v.image());
  for (const Sample& s : samples) {
    if (!s.middle_overwritten) continue;
    const int32_t row = row_index(s.name);
    ASSERT_GE(row, 0) << s.name;
    v.WriteCluster(static_cast<uint32_t>(FoundFiles[row].Inode) + 2, noise(512, 2));
  }

  scan_image(v.image());
  ASSERT_EQ(FoundFiles.Count(), static_cast<int32_t>(samples.size())) << window.LogText();
  int intact = 0, damaged = 0;
  const RecoveryCommand command;
  for (const Sample& s : samples) {
    const int32_t row = row_index(s.name);
    ASSERT_GE(row, 0) << s.name;
    const ContentVerdict verdict = check_found_file('c', row);
    EXPECT_EQ(FoundFiles.Facts(row).content.state, verdict.state);
    // The window's worker checks a copy of the row from its own thread: the same verdict,
    // and a check told to stop says nothing of the file.
    std::atomic<bool> go_on{true}, stopped{false};
    ContentVerdict from_worker, cut_short;
    std::thread([&, record = FoundFiles[row], facts = FoundFiles.Facts(row)] {
      from_worker = check_found_row('c', record, facts, go_on);
      cut_short = check_found_row('c', record, facts, stopped);
    }).join();
    EXPECT_EQ(from_worker.state, verdict.state) << s.name;
    EXPECT_EQ(from_worker.damaged_at, verdict.damaged_at) << s.name;
    EXPECT_EQ(cut_short.state, ContentState::kUnchecked) << s.name;
    recover_row(row, out.path());
    const bool exact = read_file(out.file(s.name)) == s.content;
    if (verdict.state == ContentState::kIntact) {
      EXPECT_TRUE(exact) << s.name << " is called intact but differs from its original";
      ++intact;
    }
    if (!exact) {
      EXPECT_EQ(verdict.state, ContentState::kDamaged) << s.name;
      ++damaged;
    }
  }
  EXPECT_GE(intact, 4);
  EXPECT_EQ(damaged, 4);
  // The check writes nothing and logs nothing of its own.
  EXPECT_TRUE(window.LinesWith("Undeleted").size() == samples.size()) << window.LogText();
}

}  // namespace
}  // namespace pyralis::test
