// SPDX-License-Identifier: GPL-3.0-or-later
// Recovery: the first cluster and the free clusters after it, streamed into the destination
// folder without ever replacing a file; Stop, write failures and short volumes.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "core/found_files.h"
#include "core/process_state.h"
#include "drivers/drivers.h"
#include "core/recovery_command.h"
#include "platform/drive_table.h"
#include "platform/unreadable_areas.h"
#include "platform/volume_access.h"
#include "tests/fat/fat_test_volume.h"

namespace pyralis::test {
namespace {

std::string fill(size_t size, char c) {
  return std::string(size, c);
}

std::vector<std::string> folder_entries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class FatRecoveryTest : public ::testing::Test {
 protected:
  TempDir dir, out;
  RecordingWindow window;
  FatTestVolume v{dir, 16, 4096, "-s 1"};  // 512-byte clusters

  std::string Recover(const std::string& name) {
    const int32_t row = row_index(name);
    EXPECT_GE(row, 0) << name;
    recover_row(row, out.path());
    return read_file(out.file(name));
  }
};

TEST_F(FatRecoveryTest, RebuildsFromTheFreeClustersAfterTheFirst) {
  const std::string one = fill(512, '1'), two = fill(512, '2') + fill(512, 'T');
  const std::string right = fill(512, 'a') + fill(512, 'b') + fill(100, 'c');
  const std::string wrong = fill(512, 'x') + fill(512, 'y') + fill(100, 'z');
  v.Put("::/one.bin", one);
  v.Put("::/two.bin", two);
  // right.bin takes the hole left by gap1 and goes on after live1, which stays.
  v.Put("::/gap1.bin", fill(512, 'g'));
  v.Put("::/live1.bin", fill(512, 'L'));
  v.Delete("::/gap1.bin");
  v.Put("::/right.bin", right);
  // wrong.bin does the same around live2, which is deleted too: its cluster is free again
  // and the rebuild takes it.
  v.Put("::/gap2.bin", fill(512, 'h'));
  v.Put("::/live2.bin", fill(512, 'M'));
  v.Delete("::/gap2.bin");
  v.Put("::/wrong.bin", wrong);
  for (const char* name :
       {"::/one.bin", "::/two.bin", "::/right.bin", "::/live2.bin", "::/wrong.bin"})
    v.Delete(name);

  scan_image(v.image());
  RecoveryActive = true;
  EXPECT_EQ(Recover("xNE.BIN"), one);
  EXPECT_EQ(Recover("xWO.BIN"), two);
  EXPECT_EQ(Recover("xIGHT.BIN"), right);
  EXPECT_EQ(Recover("xRONG.BIN"), fill(512, 'x') + fill(512, 'M') + fill(100, 'y'));
  EXPECT_TRUE(window.Logged("Undeleted " + out.path() + "/xNE.BIN successfully."))
      << window.LogText();
  EXPECT_EQ(window.LinesWith("Undeleted").size(), 4u);

  // The preview's count looks at the clusters from the first on: live1's is taken.
  const auto right_tally = count_found_file_clusters('c', row_index("xIGHT.BIN"));
  ASSERT_TRUE(right_tally);
  EXPECT_EQ(right_tally->clusters, 3u);
  EXPECT_EQ(right_tally->free, 2u);
  const auto wrong_tally = count_found_file_clusters('c', row_index("xRONG.BIN"));
  ASSERT_TRUE(wrong_tally);
  EXPECT_EQ(wrong_tally->free, 3u);
  EXPECT_FALSE(count_found_file_clusters('c', FoundFiles.Count()));
}

TEST_F(FatRecoveryTest, FirstClusterReusedByAnotherFile) {
  v.MakeDir("::/SUB");
  v.Put("::/old.txt", fill(300, 'O'));
  v.Delete("::/old.txt");
  v.Put("::/SUB/new.txt", fill(300, 'N'));  // in another folder: old.txt's entry stays
  scan_image(v.image());
  ASSERT_EQ(FoundFiles.Count(), 1);
  EXPECT_EQ(FoundFiles[0].RecoveryQuality, 33);
  EXPECT_EQ(Recover("xLD.TXT"), fill(300, 'N'));
}

TEST_F(FatRecoveryTest, NeverReplacesAFileAndLogsTheNameWritten) {
  v.Put("::/foo.txt", "deleted content");
  v.Delete("::/foo.txt");
  scan_image(v.image());
  write_file(out.file("xOO.TXT"), "live file");
  recover_row(0, out.path());
  recover_row(0, out.path());
  EXPECT_EQ(read_file(out.file("xOO.TXT")), "live file");
  EXPECT_EQ(read_file(out.file("xOO (2).TXT")), "deleted content");
  EXPECT_EQ(read_file(out.file("xOO (3).TXT")), "deleted content");
  EXPECT_TRUE(window.Logged("Undeleted " + out.path() + "/xOO (3).TXT successfully."));
  EXPECT_EQ(FoundFiles.Count(), 1);
}

TEST_F(FatRecoveryTest, WriteFailureLogsOneLineAndTheNextRowGoesOn) {
  v.Put("::/a.txt", "first");
  v.Put("::/b.txt", "second");
  v.Delete("::/a.txt");
  v.Delete("::/b.txt");
  scan_image(v.image());
  const std::string missing = out.path() + "/no such folder";
  recover_row(row_index("x.TXT"), missing);
  recover_row(row_index("x.TXT") == 0 ? 1 : 0, out.path());
  const auto failures = window.LinesWith("Could not write " + missing + "/x.TXT: ");
  ASSERT_EQ(failures.size(), 1u) << window.LogText();
  EXPECT_NE(failures[0].find("No such file or directory"), std::string::npos);
  EXPECT_EQ(folder_entries(out.path()), std::vector<std::string>{"x.TXT"});
}

TEST_F(FatRecoveryTest, StopLeavesNothingBehindAndLaterRowsEndAtOnce) {
  v.Put("::/big.bin", fill(40 * 512, 'B'));
  v.Put("::/other.bin", fill(512, 'O'));
  v.Delete("::/big.bin");
  v.Delete("::/other.bin");
  scan_image(v.image());
  long pumps = 0;
  window.on_pump = [&] {
    if (++pumps == 5) RecoveryActive = false;
  };
  recover_row(row_index("xIG.BIN"), out.path());
  RecoveryActive = false;  // the Stop button leaves it cleared for the remaining rows
  const long after_stop = window.pumps;
  undelete_found_file('c', row_index("xTHER.BIN"), out.path() + "/");
  EXPECT_TRUE(folder_entries(out.path()).empty());
  EXPECT_TRUE(window.LinesWith("Undeleted").empty());
  EXPECT_EQ(window.pumps, after_stop);
}

TEST_F(FatRecoveryTest, ClustersAtAndBeyondTheEndOfTheVolume) {
  const FatLayout layout = v.Layout();
  v.WriteRoot({short_entry("\xE5"
                           "NDLESS BIN",
                           0x20, layout.last_cluster() - 2, 0xFFFFFFFF),
               short_entry("\xE5"
                           "EYOND  BIN",
                           0x20, layout.last_cluster() + 1, 10)});
  scan_image(v.image());
  ASSERT_EQ(FoundFiles.Count(), 2);
  recover_row(0, out.path());
  recover_row(1, out.path());
  EXPECT_EQ(read_file(out.file("xNDLESS.BIN")).size(), 3u * layout.cluster_size);
  EXPECT_EQ(window.LinesWith("No free cluster follows").size(), 1u);
  EXPECT_EQ(window
                .LinesWith("its first cluster " + std::to_string(layout.last_cluster() + 1) +
                           " lies outside")
                .size(),
            1u)
      << window.LogText();
  EXPECT_EQ(folder_entries(out.path()), std::vector<std::string>{"xNDLESS.BIN"});
}

// Many rows in one command (the table loaded once, the source kept open, the names taken
// known) write the same bytes under the same names as one call per row, and replace no file
// that was there before.
TEST_F(FatRecoveryTest, OneCommandWritesWhatOneCallPerRowWrites) {
  const std::string name = "Holiday photo.jpg";
  constexpr int kFiles = 6;
  std::set<std::string> contents;
  for (int i = 0; i < kFiles; ++i) v.MakeDir("::/D" + std::to_string(i));
  for (int i = 0; i < kFiles; ++i) {
    const std::string content = fill(700 + 100 * i, static_cast<char>('a' + i));
    v.Put("::/D" + std::to_string(i) + "/" + name, content);
    contents.insert(content);
  }
  v.Put("::/Other.txt", fill(900, 'o'));
  for (int i = 0; i < kFiles; ++i) v.Delete("::/D" + std::to_string(i) + "/" + name);
  v.Delete("::/Other.txt");
  scan_image(v.image());
  std::vector<int32_t> rows;
  for (int32_t i = 0; i < FoundFiles.Count(); ++i) rows.push_back(i);
  ASSERT_EQ(rows.size(), static_cast<size_t>(kFiles + 1));

  TempDir apart;
  for (const TempDir* d : {&out, &apart}) {
    write_file(d->file(name), "mine");
    write_file(d->file("Holiday photo (3).jpg"), "mine too");
  }
  for (int32_t row : rows) recover_row(row, apart.path());
  {
    const RecoveryCommand command;
    for (int32_t row : rows) recover_row(row, out.path());
  }

  const std::vector<std::string> written = folder_entries(out.path());
  EXPECT_EQ(written, folder_entries(apart.path()));
  for (const std::string& file : written)
    EXPECT_EQ(read_file(out.file(file)), read_file(apart.file(file))) << file;
  EXPECT_EQ(read_file(out.file(name)), "mine");
  EXPECT_EQ(read_file(out.file("Holiday photo (3).jpg")), "mine too");
  std::set<std::string> numbered;
  for (int n : {2, 4, 5, 6, 7, 8})
    numbered.insert(read_file(out.file("Holiday photo (" + std::to_string(n) + ").jpg")));
  EXPECT_EQ(numbered, contents);
  EXPECT_EQ(read_file(out.file("Other.txt")), fill(900, 'o'));
  EXPECT_EQ(written.size(), static_cast<size_t>(kFiles + 3));
}

// A stick pulled during the scan: wherever it goes away, the scan ends with one line that
// says so (not "End scan", not a line for every window left), keeps what it found before, and
// the recovery of those rows reads nothing more.
TEST_F(FatRecoveryTest, SourceThatGoesAwayEndsTheScanWithOneLine) {
  constexpr int kFolders = 12;
  for (int i = 0; i < kFolders; ++i) {
    const std::string folder = "::/D" + std::to_string(i);
    v.MakeDir(folder);
    v.Put(folder + "/a.txt", fill(600, 'a'));
    v.Put(folder + "/b.txt", fill(700, 'b'));
    v.Delete(folder + "/a.txt");
  }
  bool cut_short = false;
  bool whole = false;
  for (uint64_t reads = 0; reads < 500 && !whole; ++reads) {
    window.log.clear();
    platform::reset_drive_table();
    platform::attach_sources({v.image()});
    platform::set_source_gone_for_testing(v.image(), reads);
    FoundFiles.clear();
    const ScanResult result = scan_drive('c');
    if (!platform::source_gone('c')) {
      EXPECT_EQ(result, ScanResult::kScanned);
      EXPECT_EQ(FoundFiles.Count(), kFolders);
      whole = true;
      break;
    }
    const std::string log = window.LogText();
    EXPECT_NE(result, ScanResult::kScanned) << reads;
    EXPECT_FALSE(ScanActive);
    EXPECT_EQ(window.LinesWith("is gone").size(), 1u) << reads << "\n" << log;
    EXPECT_LE(window.LinesWith("Cannot read").size(), 1u) << reads << "\n" << log;
    cut_short |= FoundFiles.Count() > 0 && FoundFiles.Count() < kFolders;
    if (FoundFiles.Count() > 0) {
      RecoveryActive = true;
      const RecoveryOutcome outcome = undelete_found_file('c', 0, out.path() + "/");
      EXPECT_EQ(outcome.result, RecoveryResult::kFailed);
      EXPECT_EQ(window.LinesWith("is gone").size(), 1u) << "said once";
      EXPECT_TRUE(folder_entries(out.path()).empty());
    }
  }
  platform::clear_unreadable_areas();
  EXPECT_TRUE(whole) << "enough reads let the scan finish";
  EXPECT_TRUE(cut_short) << "some point of going away lies inside the walk";
}

}  // namespace
}  // namespace pyralis::test
