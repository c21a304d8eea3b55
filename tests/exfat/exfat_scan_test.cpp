// SPDX-License-Identifier: GPL-3.0-or-later
// The exFAT engine against The Sleuth Kit on volumes made by mkfs.exfat: every deleted file
// fls lists is listed under the same folder, and recovered byte for byte as icat reads it.
#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "core/date_time.h"
#include "drivers/drivers.h"
#include "core/found_files.h"
#include "core/process_state.h"
#include "tests/exfat/exfat_test_volume.h"
#include "tests/support/recording_window.h"

namespace pyralis::test {
namespace {

struct Geometry {
  const char* cluster;
  bool sectors_4k;
};

class ExfatAgreementTest : public ::testing::TestWithParam<Geometry> {
 protected:
  TempDir dir, out, saved;
  RecordingWindow window;
};

std::string save(const TempDir& d, int i) {
  return "save=" + d.file("s" + std::to_string(i));
}

TEST_P(ExfatAgreementTest, ListsAndRecoversWhatTheSleuthKitSees) {
  if (!have_program("mkfs.exfat") || !have_program("fls")) GTEST_SKIP() << "exfatprogs or TSK";
  ExfatTestVolume v(dir, 96, GetParam().cluster, GetParam().sectors_4k);
  const std::string long_name = std::string(251, 'L') + ".txt";
  // Deleted files: path, size, options. Their content is kept in `saved` under the path's
  // index.
  const std::vector<std::pair<std::string, std::string>> files = {
      {"DCIM/100CANON/IMG_0001.JPG", "70000"},
      {"DCIM/100CANON/IMG_0002.JPG", "150000\tfrag"},
      {"Deep/a/b/c/d/deep.txt", "3000"},
      {"Ünïcødé файл.txt", "1234\ttz=8"},
      {long_name, "100"},
      {"Old/Inner/x.bin", "9000\tfrag"},
      {"Old/y.bin", "100"},
      {"empty.txt", "0"},
      {"partial.bin", "20000\tvalid=5000"},
  };
  std::string script =
      "mkdir\t/DCIM\nmkdir\t/DCIM/100CANON\nmkdir\t/Deep\nmkdir\t/Deep/a\nmkdir\t/Deep/a/b\n"
      "mkdir\t/Deep/a/b/c\nmkdir\t/Deep/a/b/c/d\nmkdir\t/Old\nmkdir\t/Old/Inner\nmkdir\t/many\n"
      "put\t/keep.txt\t400\t999\n";
  std::vector<std::string> paths;
  for (const auto& [path, how] : files) paths.push_back(path);
  // Enough files to take "many" past one cluster of entries on small clusters.
  for (int i = 0; i < 60; ++i) paths.push_back("many/f" + std::to_string(i) + ".dat");
  for (size_t i = 0; i < paths.size(); ++i) {
    const std::string how = i < files.size() ? files[i].second : "600";
    const size_t tab = how.find('\t');
    script += "put\t/" + paths[i] + "\t" + how.substr(0, tab) + "\t" + std::to_string(i + 1) +
              "\t" + save(saved, static_cast<int>(i)) +
              (tab == std::string::npos ? "" : how.substr(tab)) + "\n";
  }
  v.Write(script);
  std::string fsck;
  EXPECT_TRUE(v.Clean(&fsck)) << fsck;
  v.Write("delete\t/DCIM\ndelete\t/Deep\ndelete\t/Ünïcødé файл.txt\ndelete\t/" + long_name +
          "\ndelete\t/Old\ndelete\t/empty.txt\ndelete\t/partial.bin\ndelete\t/many\n");

  scan_exfat_image(v.image());
  EXPECT_EQ(FoundFiles.Count(), static_cast<int32_t>(paths.size())) << window.LogText();
  EXPECT_EQ(window.status_files, "Files: " + std::to_string(paths.size()));
  EXPECT_EQ(window.gauge_progress, window.gauge_max);
  // Every file fls lists is listed. fls reads a deleted folder's first cluster only, so it
  // misses the files of "many" beyond its first cluster where the folder grew by a chain.
  for (const auto& [path, inode] : v.TskDeletedFiles()) EXPECT_GE(row_of(path), 0) << path;

  for (size_t i = 0; i < paths.size(); ++i) {
    const int32_t row = row_of(paths[i]);
    ASSERT_GE(row, 0) << paths[i];
    EXPECT_EQ(FoundFiles[row].RecoveryQuality, 100) << paths[i];
    const auto tally = count_found_file_clusters('c', row);
    ASSERT_TRUE(tally) << paths[i];
    EXPECT_EQ(tally->free, tally->clusters) << paths[i];
    EXPECT_EQ(tally->clusters == 0, FoundFiles[row].Size == 0) << paths[i];
    RecoveryActive = true;
    undelete_found_file('c', row, out.path() + "/");
    const std::string recovered = read_file(out.file(FoundFiles[row].Name));
    EXPECT_TRUE(recovered == read_file(saved.file("s" + std::to_string(i)))) << paths[i];
  }
  EXPECT_EQ(window.LinesWith("successfully.").size(), paths.size());
  // icat agrees on files stored in one piece; for a deleted fragmented file it reads the
  // clusters after the first one instead of the chain, and past the valid data length it
  // gives the clusters' bytes where the file system reads zeros.
  const auto tsk = v.TskDeletedFiles();
  for (const char* path : {"DCIM/100CANON/IMG_0001.JPG", "Deep/a/b/c/d/deep.txt", "Old/y.bin"}) {
    std::string icat;
    run_command("icat " + shell_quote(v.image()) + " " + tsk.at(path), &icat);
    EXPECT_TRUE(read_file(out.file(FoundFiles[row_of(path)].Name)) == icat) << path;
  }

  const int32_t unicode = row_of("Ünïcødé файл.txt");
  // 13:37:42 at UTC+2 (8 quarter hours) is 11:37:42 UTC, shown in local time.
  const double utc = *try_encode_date_time(2025, 6, 15, 11, 37, 42);
  const auto seconds = static_cast<int64_t>(std::llround((utc - 25569.0) * 86400.0));
  EXPECT_NEAR(FoundFiles[unicode].Modified, unix_to_local_date_time(seconds) + 0.45 / 86400, 1e-7);
  EXPECT_NEAR(FoundFiles[unicode].Created, unix_to_local_date_time(seconds) + 1.23 / 86400, 1e-7);
  EXPECT_EQ(FoundFiles[row_of("DCIM/100CANON/IMG_0001.JPG")].Path, "C:\\DCIM\\100CANON");
}

INSTANTIATE_TEST_SUITE_P(Geometries, ExfatAgreementTest,
                         ::testing::Values(Geometry{"4K", false}, Geometry{"32K", false},
                                           Geometry{"128K", false}, Geometry{"32K", true},
                                           Geometry{"64K", true}),
                         [](const auto& info) {
                           return std::string(info.param.sectors_4k ? "Sectors4K_" : "Sectors512_") +
                                  info.param.cluster;
                         });

}  // namespace
}  // namespace pyralis::test
