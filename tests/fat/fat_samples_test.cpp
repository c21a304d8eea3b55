// SPDX-License-Identifier: GPL-3.0-or-later
// The sample volumes written by other systems, and a cross-check of a generated volume with
// The Sleuth Kit (fls, istat, icat) as an independent reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "core/found_files.h"
#include "core/process_state.h"
#include "tests/fat/fat_test_volume.h"

namespace pyralis::test {
namespace {

// Deleted files that fls finds through the directory tree (not among its orphans).
std::vector<FlsEntry> fls_tree_files(const std::string& image) {
  std::vector<FlsEntry> files;
  for (const auto& e : fls_deleted(image))
    if (!e.directory && !e.path.starts_with("$OrphanFiles")) files.push_back(e);
  return files;
}

// Gives every deleted file entry of size 0 the size 1, so that the scan lists it.
void give_deleted_files_a_size(const std::string& image) {
  std::string bytes = read_file(image);
  for (size_t at = 0; at + 32 <= bytes.size(); at += 32)
    if (static_cast<uint8_t>(bytes[at]) == 0xE5 && bytes[at + 11] == 0x20 &&
        bytes.compare(at + 28, 4, std::string(4, '\0')) == 0)
      bytes[at + 28] = 1;
  write_file(image, bytes);
}

class FatSamplesTest : public ::testing::Test {
 protected:
  std::string Sample(const std::string& name) {
    return gunzip_fixture("gpl3-samples/" + name + ".raw.gz", dir);
  }
  TempDir dir;
  RecordingWindow window;
};

TEST_F(FatSamplesTest, VolumesWithoutDeletedFilesListNothingAndEnd) {
  for (const char* name :
       {"fat12", "fat16", "fat32_loop", "fat16_moved", "fat_dir", "fat_noloop", "fat_lfn_test"}) {
    const std::string image = Sample(name);
    scan_image(image);
    EXPECT_TRUE(ScanActive) << name;
    EXPECT_EQ(FoundFiles.Count(), static_cast<int32_t>(fls_tree_files(image).size())) << name;
    EXPECT_EQ(window.status_files, "Files: " + std::to_string(FoundFiles.Count())) << name;
  }
}

TEST_F(FatSamplesTest, DeletedDirectoriesListTheirFilesUnderTheirPath) {
  // Every deleted file on these samples is empty, and empty files are not listed; given a
  // size, each appears under its deleted directory's path, as many as fls finds.
  for (const char* name : {"fat_deleted_dir", "fat_deleted_dir_2"}) {
    const std::string image = Sample(name);
    const size_t listed_by_fls = fls_tree_files(image).size();
    scan_image(image);
    EXPECT_EQ(FoundFiles.Count(), 0) << name;
    give_deleted_files_a_size(image);
    scan_image(image);
    EXPECT_EQ(FoundFiles.Count(), static_cast<int32_t>(listed_by_fls)) << name;
    for (int32_t i = 0; i < FoundFiles.Count(); ++i)
      EXPECT_TRUE(FoundFiles[i].Path.starts_with("C:\\")) << FoundFiles[i].Path;
  }
  EXPECT_EQ(rows_named("1.txt").size(), 0u);  // fat_deleted_dir_2 lists its own names
}

TEST_F(FatSamplesTest, AgreesWithTheSleuthKit) {
  // A FAT16 volume with 2 KiB clusters: a folder of 300 files (a directory of many
  // clusters), a third of them deleted, plus a deleted folder; recovery of each file that
  // lay in contiguous clusters gives the original bytes, as icat does.
  FatTestVolume v(dir, 16, 16384);
  std::vector<std::string> sources, doomed;
  std::map<std::string, std::string> originals;
  for (int i = 0; i < 300; ++i) {
    const std::string name = "File number " + std::to_string(i) + " with a long name.dat";
    std::string data(static_cast<size_t>(100 + i * 37), '\0');
    for (size_t k = 0; k < data.size(); ++k) data[k] = static_cast<char>(i * 31 + k * 13);
    write_file(dir.file(name), data);
    sources.push_back(shell_quote(dir.file(name)));
    if (i % 3 == 0) {
      doomed.push_back(shell_quote("::/MANY/" + name));
      originals[name] = data;
    }
  }
  v.MakeDir("::/MANY");
  std::string joined;
  for (const auto& s : sources) joined += s + " ";
  v.Tool("mcopy", joined + "::/MANY/");
  std::string doomed_joined;
  for (const auto& s : doomed) doomed_joined += s + " ";
  v.Tool("mdel", doomed_joined);

  scan_image(v.image());
  const auto fls = fls_tree_files(v.image());
  ASSERT_EQ(fls.size(), 100u);
  EXPECT_EQ(FoundFiles.Count(), 100);
  const FatLayout layout = v.Layout();
  for (size_t k = 0; k < fls.size(); k += 9) {
    const auto rows = rows_named(fls[k].name);
    ASSERT_EQ(rows.size(), 1u) << fls[k].name;
    EXPECT_EQ(rows[0]->Path, "C:\\MANY");
    EXPECT_EQ(rows[0]->Inode, istat_first_cluster(v.image(), fls[k].inode, layout)) << fls[k].name;
    std::string icat;
    run_command("icat " + shell_quote(v.image()) + " " + std::to_string(fls[k].inode) + " > " +
                shell_quote(dir.file("icat.out")));
    TempDir out;
    recover_row(row_index(fls[k].name), out.path());
    EXPECT_EQ(read_file(out.file(fls[k].name)), originals[fls[k].name]) << fls[k].name;
    EXPECT_EQ(read_file(dir.file("icat.out")), originals[fls[k].name]) << fls[k].name;
  }
}

}  // namespace
}  // namespace pyralis::test
