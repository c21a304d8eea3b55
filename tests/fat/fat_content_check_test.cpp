// SPDX-License-Identifier: GPL-3.0-or-later
// The content check of found files: read as the recovery reads them, judged by their bytes.
// On a volume whose deleted files were partly overwritten, no file called intact differs
// from its original, and every file that came back changed is called damaged.
// Files whose payload nothing checks are at best plausible.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "core/found_files.h"
#include "core/process_state.h"
#include "core/recovery_command.h"
#include "drivers/content_check.h"
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
  int intact = 0, plausible = 0, damaged = 0;
  const RecoveryCommand command;
  for (const Sample& s : samples) {
    const int32_t row = row_index(s.name);
    ASSERT_GE(row, 0) << s.name;
    const ContentVerdict verdict = check_found_file('c', row);
    EXPECT_EQ(FoundFiles.Facts(row).content.state, verdict.state);
    // The window's worker checks a copy of the row from its own thread: the same verdict,
    // and a check told to stop says nothing of the file.
    std::atomic<bool> go_on{true}, stopped{false};
    ContentVerdict from_worker, cut_short, walked;
    std::thread([&, record = FoundFiles[row], facts = FoundFiles.Facts(row)] {
      from_worker = check_found_row('c', record, facts, go_on);
      cut_short = check_found_row('c', record, facts, stopped);
      walked = check_found_row('c', record, facts, go_on, filetypes::Depth::kStructure);
    }).join();
    EXPECT_EQ(from_worker.state, verdict.state) << s.name;
    EXPECT_EQ(from_worker.damaged_at, verdict.damaged_at) << s.name;
    EXPECT_EQ(cut_short.state, ContentState::kUnchecked) << s.name;
    // The walk alone cannot call a JPEG intact; only a JPEG's verdict may change by decoding.
    if (decoding_may_tell_more(walked)) {
      EXPECT_EQ(walked.type, "JPEG") << s.name;
      EXPECT_NE(verdict.state, ContentState::kUnchecked) << s.name;
    } else {
      EXPECT_EQ(walked.state, verdict.state) << s.name;
    }
    if (verdict.state == ContentState::kIntact)
      EXPECT_EQ(walked.state, verdict.type == "JPEG" ? ContentState::kPlausible : verdict.state);
    recover_row(row, out.path());
    const bool exact = read_file(out.file(s.name)) == s.content;
    if (verdict.state == ContentState::kIntact) {
      EXPECT_TRUE(exact) << s.name << " is called intact but differs from its original";
      ++intact;
    }
    plausible += verdict.state == ContentState::kPlausible;
    if (!exact) {
      EXPECT_EQ(verdict.state, ContentState::kDamaged) << s.name;
      ++damaged;
    }
  }
  // FLAC frames carry CRCs; the GIF, text and PDF walks see only their framing.
  EXPECT_EQ(intact, 1);
  EXPECT_EQ(plausible, 3);
  EXPECT_EQ(damaged, 4);
  // The check writes nothing and logs nothing of its own.
  EXPECT_TRUE(window.LinesWith("Undeleted").size() == samples.size()) << window.LogText();
}

// A file larger than the check's memory is read a window at a time: the verdict is the one
// the whole file in memory gets, for walks that go forward, skip and jump back.
TEST(FatContentCheck, WindowedCheckGivesTheVerdictOfTheWholeFile) {
  TempDir dir;
  RecordingWindow window;
  FatTestVolume v(dir, 16, 8192, "-s 1");  // 512-byte clusters
  const char* files[] = {"picture.png", "database.sqlite", "picture.tif", "clip.avi",
                         "tone.wav",    "archive.zip",     "tone.flac",   "document.pdf"};
  for (const char* name : files)
    v.Put(std::string("::/Sample ") + name,
          read_file(fixture_path(std::string("filetypes/") + name)));
  for (const char* name : files) v.Delete(std::string("::/Sample ") + name);
  scan_image(v.image());
  // Two of them damaged: a middle cluster of the PNG and of the ZIP takes other bytes.
  for (const char* name : {"Sample picture.png", "Sample archive.zip"}) {
    const int32_t row = row_index(name);
    ASSERT_GE(row, 0) << name;
    v.WriteCluster(static_cast<uint32_t>(FoundFiles[row].Inode) + 4, noise(512, 5));
  }
  scan_image(v.image());
  ASSERT_EQ(FoundFiles.Count(), 8);
  // Meanwhile a worker checks copies of the rows, as the window's workers do: each thread
  // keeps the place of its own capture in the file it reads.
  std::vector<std::pair<FoundFileRecord, RowFacts>> copies;
  for (int32_t row = 0; row < FoundFiles.Count(); ++row)
    copies.emplace_back(FoundFiles[row], FoundFiles.Facts(row));
  std::atomic<bool> go_on{true}, done{false};
  std::thread worker([&] {
    while (!done)
      for (const auto& [record, facts] : copies) check_found_row('c', record, facts, go_on);
  });
  int damaged = 0;
  for (int32_t row = 0; row < FoundFiles.Count(); ++row) {
    const ContentVerdict whole = check_found_file('c', row);
    for (const uint64_t window : {4096, 2048, 1024}) {
      const ContentVerdict windowed = check_found_file_in_windows('c', row, window);
      EXPECT_EQ(windowed.state, whole.state) << FoundFiles[row].Name << ", window " << window;
      EXPECT_EQ(windowed.damaged_at, whole.damaged_at) << FoundFiles[row].Name;
    }
    EXPECT_NE(whole.state, ContentState::kUnchecked) << FoundFiles[row].Name;
    damaged += whole.state == ContentState::kDamaged;
  }
  done = true;
  worker.join();
  EXPECT_EQ(damaged, 2);
}

// The verdict on bytes as read: Intact only for a payload the walk checked, covering the
// whole file, of the type the name promises.
TEST(ContentVerdictWords, IntactOnlyForACheckedPayloadOfTheNamedTypeToTheFilesEnd) {
  const auto sample = [](const char* file) {
    return read_file(fixture_path(std::string("filetypes/") + file));
  };
  // Bytes [at, at + n) of `bytes` with their lowest bit flipped: other pixels, other samples.
  const auto flipped = [](std::string bytes, size_t at, size_t n) {
    for (size_t i = at; i < at + n && i < bytes.size(); ++i)
      bytes[i] = static_cast<char>(bytes[i] ^ 1);
    return bytes;
  };
  const std::string bmp = sample("picture.bmp");
  const std::string wav = sample("tone.wav");
  struct Case {
    const char* what;
    std::string name;
    std::string bytes;
    std::vector<FileByteRange> unread;
    ContentState expected;
  };
  const Case cases[] = {
      {"PNG, CRCs checked", "a.png", sample("picture.png"), {}, ContentState::kIntact},
      {"JPEG, decoded", "a.jpg", sample("photo.jpg"), {}, ContentState::kIntact},
      {"BMP with other pixels",
       "a.bmp",
       flipped(bmp, bmp.size() / 2, 512),
       {},
       ContentState::kPlausible},
      {"WAV with other samples",
       "a.wav",
       flipped(wav, wav.size() / 2, 512),
       {},
       ContentState::kPlausible},
      {"text", "a.txt", "other words of the same shape\n", {}, ContentState::kPlausible},
      {"a whole gzip where a database was",
       "a.sqlite",
       sample("numbers.txt.gz"),
       {},
       ContentState::kPlausible},
      {"a gzip and bytes after it",
       "a.gz",
       sample("numbers.txt.gz") + noise(700, 3),
       {},
       ContentState::kPlausible},
      {"a PNG with a hole", "a.png", sample("picture.png"), {{100, 512}}, ContentState::kUnchecked},
  };
  for (const Case& c : cases) {
    filetypes::MemorySource source(
        {reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size()});
    EXPECT_EQ(judge_content(source, c.name, c.unread).state, c.expected) << c.what;
  }
}

}  // namespace
}  // namespace pyralis::test
