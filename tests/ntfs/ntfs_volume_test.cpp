// SPDX-License-Identifier: GPL-3.0-or-later
// The deleted-file scan over synthetic volumes: names, folders, sizes, dates and estimates of
// each kind of deleted file, agreement with The Sleuth Kit's listing, and Stop.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>

#include "core/date_time.h"
#include "tests/ntfs/ntfs_test_drive.h"
#include "tests/ntfs/ntfs_test_volume.h"
#include "tests/support/recording_window.h"

namespace pyralis::test {
namespace {

struct Shape {
  const char* label;
  uint32_t sectors_per_cluster;
  uint32_t record_size;
  uint32_t mft_fragments;
  uint32_t sector_size = 512;  // 4096 for volumes of 4Kn disks
};

class NtfsScanTest : public ::testing::TestWithParam<Shape> {
 protected:
  NtfsGeometry geometry() const {
    NtfsGeometry g;
    g.sectors_per_cluster = GetParam().sectors_per_cluster;
    g.mft_record_size = GetParam().record_size;
    g.mft_fragments = GetParam().mft_fragments;
    g.sector_size = GetParam().sector_size;
    g.total_sectors = 65536;
    return g;
  }
  const FoundFileRecord& row(const CaseVolume& v, const std::string& key) {
    const int32_t i = row_of_inode(static_cast<int64_t>(v.rec.at(key)));
    EXPECT_GE(i, 0) << key << " not listed\n" << window.LogText();
    static const FoundFileRecord none;
    return i >= 0 ? FoundFiles[i] : none;
  }
  TempDir dir;
  RecordingWindow window;
};

TEST_P(NtfsScanTest, ListsEveryDeletedFileWithItsNameFolderSizeDatesAndEstimate) {
  CaseVolume v(geometry());
  const std::string image = v.Write(dir);
  ScanActive = true;
  scan_image(image);
  const NtfsImageBuilder& b = *v.builder;
  const int64_t cluster = static_cast<int64_t>(b.cluster_size());

  EXPECT_EQ(row(v, "small").Name, "small.txt");
  EXPECT_EQ(row(v, "small").Path, "C:\\");
  EXPECT_EQ(row(v, "small").Size, 600);
  EXPECT_EQ(row(v, "small").RecoveryQuality, 100);
  EXPECT_EQ(row(v, "onerun").Path, "C:\\Docs\\");
  EXPECT_EQ(row(v, "onerun").Size, 3 * cluster + 100);
  EXPECT_EQ(row(v, "onerun").RecoveryQuality, 100);
  EXPECT_EQ(row(v, "fragmented").Size, 6 * cluster + 7);
  EXPECT_EQ(row(v, "fragmented").RecoveryQuality, 100);
  EXPECT_EQ(row(v, "sparse").RecoveryQuality, 100);
  EXPECT_EQ(row(v, "partly").RecoveryQuality, 50);
  EXPECT_EQ(row(v, "reused").RecoveryQuality, 0);
  EXPECT_EQ(row(v, "streams").Name, "download.zip");
  EXPECT_EQ(row(v, "streams").Size, 2 * cluster);  // the unnamed stream's size
  EXPECT_EQ(row(v, "compressed").RecoveryQuality, -2);
  EXPECT_EQ(row(v, "encrypted").RecoveryQuality, -3);
  EXPECT_EQ(row(v, "dosfirst").Name, "Quarterly Report.doc");
  EXPECT_EQ(row(v, "doslast").Name, "Annual Report.doc");
  EXPECT_EQ(row(v, "unicode").Name, "Ünïcödé файл 日本.txt");
  EXPECT_EQ(row(v, "empty").Size, 0);

  // 20 innermost of 25 directories, still starting with the drive.
  std::string deep = "C:\\";
  for (int level = 1; level <= 25; ++level) deep += "d" + std::to_string(level) + "\\";
  EXPECT_EQ(row(v, "deep").Path, deep);

  const FoundFileRecord& dated = row(v, "onerun");
  EXPECT_DOUBLE_EQ(dated.Created, unix_to_local_date_time(1262304000));
  EXPECT_DOUBLE_EQ(dated.Modified, unix_to_local_date_time(1293840000));
  EXPECT_GT(dated.Sector, 0);

  EXPECT_EQ(row_of_inode(static_cast<int64_t>(v.rec.at("live"))), -1);
  EXPECT_EQ(row_of_inode(static_cast<int64_t>(v.rec.at("deldir"))), -1);
  const int32_t listed = static_cast<int32_t>(v.rec.size()) - 2;
  EXPECT_EQ(FoundFiles.Count(), listed) << window.LogText();
  EXPECT_EQ(window.status_files, "Files: " + std::to_string(listed));
  EXPECT_EQ(window.files_found, std::to_string(listed));
  EXPECT_TRUE(
      window.Logged("Files with potentially recoverable content: " + std::to_string(listed)));
  EXPECT_EQ(window.LinesWith("File is compressed; it is written decompressed ").size(), 1u);
  EXPECT_EQ(window.LinesWith("File is encrypted, recovery is impossible ").size(), 1u);
  EXPECT_TRUE(window.LinesWith("ERROR").empty()) << window.LogText();
  EXPECT_EQ(window.gauge_max, static_cast<int64_t>(b.record_count()));
}

// The Sleuth Kit lists the same deleted files under the same folders.
TEST_P(NtfsScanTest, AgreesWithFlsOnNamesAndFolders) {
  if (!have_program("fls")) GTEST_SKIP() << "sleuthkit not installed";
  CaseVolume v(geometry());
  const std::string image = v.Write(dir);
  ScanActive = true;
  scan_image(image);
  std::string listing;
  ASSERT_EQ(run_command("fls -r -d -p -F " + shell_quote(image), &listing), 0) << listing;
  static const std::regex line(R"(^\S+ \* (\d+)(-\d+-\d+)?(\(realloc\))?:\t(.*)$)");
  std::set<std::string> theirs, ours;
  std::istringstream in(listing);
  for (std::string l; std::getline(in, l);) {
    std::smatch m;
    if (!std::regex_match(l, m, line)) continue;
    std::string path = m[4];
    // Named streams are listed as entries of their own ("file:stream").
    if (path.find("$OrphanFiles") != std::string::npos || path.find(':') != std::string::npos) {
      continue;
    }
    theirs.insert(m[1].str() + " " + path);
  }
  for (int32_t i = 0; i < FoundFiles.Count(); ++i) {
    const FoundFileRecord& r = FoundFiles[i];
    std::string path = r.Path.substr(3) + r.Name;
    for (char& c : path) c = c == '\\' ? '/' : c;
    ours.insert(std::to_string(r.Inode) + " " + path);
  }
  for (const std::string& entry : theirs) {
    EXPECT_TRUE(ours.count(entry)) << "fls lists " << entry << ", the scan does not";
  }
  for (const std::string& entry : ours) {
    EXPECT_TRUE(theirs.count(entry)) << "the scan lists " << entry << ", fls does not\n" << listing;
  }
}

TEST_P(NtfsScanTest, StopKeepsWhatWasFoundAndWritesTheSummary) {
  CaseVolume v(geometry());
  const std::string image = v.Write(dir);
  int records_seen = 0;
  window.on_pump = [&] {
    if (++records_seen == 3) ScanActive = false;
  };
  ScanActive = true;
  scan_image(image);
  EXPECT_FALSE(ScanActive);
  const int32_t found = FoundFiles.Count();
  EXPECT_GT(found, 0);
  EXPECT_LT(found, static_cast<int32_t>(v.rec.size()) - 2);
  EXPECT_TRUE(window.Logged("Files with potentially recoverable content: " + std::to_string(found)))
      << window.LogText();
  EXPECT_EQ(window.status_files, "Files: " + std::to_string(found));
}

INSTANTIATE_TEST_SUITE_P(Shapes, NtfsScanTest,
                         ::testing::Values(Shape{"records1k_clusters4k", 8, 1024, 1},
                                           Shape{"records4k_clusters512", 1, 4096, 1},
                                           Shape{"fragmented_mft", 8, 1024, 3},
                                           Shape{"sectors4k", 1, 4096, 1, 4096}),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace pyralis::test
