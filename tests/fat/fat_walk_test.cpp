// SPDX-License-Identifier: GPL-3.0-or-later
// What the tree walk reaches besides the chains: a deleted folder past its first cluster,
// and FAT32 volumes with fewer clusters than FAT16's limit.
#include <gtest/gtest.h>

#include <cstdio>

#include "core/found_files.h"
#include "fat/fat_directory.h"
#include "rawdisk/raw_disk_access.h"
#include "tests/fat/fat_test_volume.h"

namespace pyralis::test {
namespace {

std::string photo(int i) {
  char name[64];
  std::snprintf(name, sizeof name, "holiday photo number %03d from the long trip.jpg", i);
  return name;
}

std::string photo_content(int i) {
  return "\xFF\xD8 photo " + std::to_string(i) + std::string(300 + i * 5, static_cast<char>(i));
}

TEST(FatDeletedFolders, FilesPastTheFirstClusterAreListedAndRecovered) {
  TempDir dir, out;
  RecordingWindow window;
  // 512-byte clusters: 16 entries, three long-named files a cluster; 300 files take about
  // a hundred clusters of the folder.
  FatTestVolume v(dir, 32, 65536, "-s 1");
  v.MakeDir("::/PHOTOS");
  std::string names;
  for (int i = 1; i <= 300; ++i) {
    write_file(dir.file(photo(i)), photo_content(i));
    names += shell_quote(dir.file(photo(i))) + " ";
  }
  v.Put("::/keep.txt", "live");
  v.Tool("mcopy", names + "::/PHOTOS/");
  v.DeleteTree("::/PHOTOS");
  scan_image(v.image());
  ASSERT_EQ(FoundFiles.Count(), 300) << window.LogText();
  for (int i = 1; i <= 300; ++i) {
    const auto rows = rows_named(photo(i));
    ASSERT_EQ(rows.size(), 1u) << photo(i);
    EXPECT_EQ(rows[0]->Path, "C:\\xHOTOS");
    EXPECT_EQ(rows[0]->Size, static_cast<int64_t>(photo_content(i).size()));
  }
  for (int i : {4, 150, 300}) {  // the second cluster on, and the last
    recover_row(row_index(photo(i)), out.path());
    EXPECT_TRUE(read_file(out.file(photo(i))) == photo_content(i)) << photo(i);
  }

  // A cluster is taken only when every entry in it could be a directory entry.
  const FatLayout l = v.Layout();
  std::string cluster(l.cluster_size, '\0');
  const auto plausible = [&](const std::string& bytes) {
    return plausible_directory_cluster(
        std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), l);
  };
  const std::string gone = short_entry("\xE5OTO    JPG", 0x20, 5, 1000);
  cluster.replace(0, 32, gone);
  EXPECT_TRUE(plausible(cluster));
  EXPECT_FALSE(plausible(std::string(l.cluster_size, '\0')));  // nothing in it
  EXPECT_FALSE(plausible(short_entry(".          ", 0x10, 5, 0) + cluster.substr(32)));
  EXPECT_FALSE(plausible(short_entry("\xE5oto    jpg", 0x20, 5, 1000) + cluster.substr(32)));
  EXPECT_FALSE(plausible(short_entry("\xE5OTO    JPG", 0x20, l.last_cluster() + 1, 1000) +
                         cluster.substr(32)));
  EXPECT_FALSE(plausible(short_entry("\xE5OTO    JPG", 0x20, 5, 1000, 0x3A5F) +
                         cluster.substr(32)));  // day 31 of February
  std::string after_end = cluster;
  after_end[100] = 'x';  // bytes after the end marker
  EXPECT_FALSE(plausible(after_end));
  std::string text(l.cluster_size, 'a');
  EXPECT_FALSE(plausible(text));
}

TEST(FatSmallFat32, FewClustersWithTheFat32LayoutAreNamedAndScanned) {
  TempDir dir, out;
  RecordingWindow window;
  // 64 MiB in 2 KiB clusters: 32,000 clusters, below FAT16's limit of 65,525.
  FatTestVolume v(dir, 32, 65536, "-s 4");
  const FatLayout l = v.Layout();
  ASSERT_LT(l.cluster_count, 65525u);
  // mtools refuses such volumes: the deleted file goes in by hand, in the root's cluster.
  const std::string content = "small FAT32 volumes are read as FAT32\n";
  v.WriteCluster(l.root_cluster, short_entry("\xE5MALL   TXT", 0x20, 7, content.size()));
  v.WriteCluster(7, content);
  scan_image(v.image());
  EXPECT_EQ(GetMediaIdentifier('c').FileSystem, "FAT32");
  ASSERT_EQ(FoundFiles.Count(), 1) << window.LogText();
  EXPECT_EQ(FoundFiles[0].Name, "xMALL.TXT");
  recover_row(0, out.path());
  EXPECT_EQ(read_file(out.file("xMALL.TXT")), content);
}

// The continuation search's set of free clusters it read: runs that merge on both sides,
// and a bound on the runs kept whatever the volume's size.
TEST(FatClusterRuns, NeighboursMergeAndTheRunsAreBounded) {
  ClusterRuns runs;
  for (uint32_t x : {10u, 12u, 11u, 20u, 9u, 13u, 21u}) runs.insert(x);
  EXPECT_EQ(runs.runs(), 2u);  // 9..13 and 20..21
  for (uint32_t x : {9u, 10u, 11u, 12u, 13u, 20u, 21u}) EXPECT_TRUE(runs.contains(x)) << x;
  for (uint32_t x : {0u, 8u, 14u, 19u, 22u, UINT32_MAX}) EXPECT_FALSE(runs.contains(x)) << x;
  runs.insert(UINT32_MAX);
  EXPECT_FALSE(runs.contains(UINT32_MAX));

  // Every other cluster of a large volume: the runs stop at the bound, and a cluster that
  // joins a kept run is still noted.
  ClusterRuns sparse;
  for (uint32_t x = 2; x < 2 + 4 * ClusterRuns::kMaxRuns; x += 2) sparse.insert(x);
  EXPECT_EQ(sparse.runs(), ClusterRuns::kMaxRuns);
  EXPECT_FALSE(sparse.contains(2 + 2 * ClusterRuns::kMaxRuns + 2));
  sparse.insert(3);
  EXPECT_TRUE(sparse.contains(3));
  EXPECT_EQ(sparse.runs(), ClusterRuns::kMaxRuns - 1);
}

}  // namespace
}  // namespace pyralis::test
