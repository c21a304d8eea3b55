// SPDX-License-Identifier: GPL-3.0-or-later
// Recovering deleted files from synthetic volumes: byte-identical content (compared with
// the builder's content and with icat), holes as zeros, reused clusters as they lie, named
// streams beside the file, existing files kept, refusals and write failures with their
// lines, and Stop ending the writing between clusters.
#include <gtest/gtest.h>

#include <filesystem>

#include "core/process_state.h"
#include "platform/unreadable_areas.h"
#include "tests/ntfs/ntfs_test_drive.h"
#include "tests/ntfs/ntfs_test_volume.h"
#include "tests/support/recording_window.h"

namespace pyralis::test {
namespace {

::testing::AssertionResult same_bytes(const std::string& got, const std::string& want) {
  if (got == want) return ::testing::AssertionSuccess();
  size_t at = 0;
  while (at < got.size() && at < want.size() && got[at] == want[at]) ++at;
  return ::testing::AssertionFailure()
         << got.size() << " bytes vs " << want.size() << " expected, first difference at " << at;
}

class NtfsRecoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    NtfsGeometry g;
    g.total_sectors = 65536;
    volume_ = std::make_unique<CaseVolume>(g);
    image_ = volume_->Write(dir_);
    out_ = dir_.path() + "/out/";
    std::filesystem::create_directory(out_);
    ScanActive = true;
    scan_image(image_);
    RecoveryActive = true;
  }
  // Recovers the row of case `key` into the output folder.
  void Recover(const std::string& key, const std::string& folder = "") {
    const int32_t row = row_of_inode(static_cast<int64_t>(volume_->rec.at(key)));
    ASSERT_GE(row, 0) << key;
    undelete_found_file('c', row, folder.empty() ? out_ : folder);
  }
  std::string Out(const std::string& name) const { return read_file(out_ + name); }
  std::string Success(const std::string& name) const {
    return "Undeleted " + out_ + name + " successfully.";
  }
  uint64_t Rec(const std::string& key) const { return volume_->rec.at(key); }

  TempDir dir_;
  RecordingWindow window_;
  std::unique_ptr<CaseVolume> volume_;
  std::string image_, out_;
};

TEST_F(NtfsRecoveryTest, WritesFreeFilesByteForByte) {
  const NtfsImageBuilder& b = *volume_->builder;
  for (const char* key :
       {"small", "onerun", "fragmented", "sparse", "dosfirst", "unicode", "deep", "empty"}) {
    Recover(key);
    const std::string name = FoundFiles[row_of_inode(static_cast<int64_t>(Rec(key)))].Name;
    EXPECT_TRUE(window_.Logged(Success(name))) << key << "\n" << window_.LogText();
    ASSERT_TRUE(std::filesystem::exists(out_ + name)) << key;
    EXPECT_TRUE(same_bytes(Out(name), b.expected_content(Rec(key)))) << key;
    if (have_program("icat")) {
      std::string theirs;
      run_command("icat " + shell_quote(image_) + " " + std::to_string(Rec(key)) + " > " +
                  shell_quote(dir_.file("icat.out")));
      theirs = read_file(dir_.file("icat.out"));
      EXPECT_TRUE(same_bytes(Out(name), theirs)) << key << " differs from icat";
    }
  }
  EXPECT_TRUE(window_.LinesWith("Warning").empty()) << window_.LogText();
  EXPECT_TRUE(window_.LinesWith("ERROR").empty()) << window_.LogText();
}

TEST_F(NtfsRecoveryTest, HolesReadAsZerosAndReusedClustersAsTheyLie) {
  const NtfsImageBuilder& b = *volume_->builder;
  Recover("sparse");
  const std::string sparse = Out("sparse.bin");
  const size_t cluster = b.cluster_size();
  ASSERT_EQ(sparse.size(), 8 * cluster);
  EXPECT_EQ(sparse.substr(2 * cluster, 3 * cluster), std::string(3 * cluster, '\0'));

  Recover("partly");
  EXPECT_TRUE(same_bytes(Out("partly.bin"), b.on_disk_content(Rec("partly"))));
  // The bytes of the clusters another file holds now are not this file's: partial.
  EXPECT_FALSE(window_.Logged(Success("partly.bin")));
  EXPECT_EQ(window_.LinesWith(" overwritten by other files.").size(), 1u) << window_.LogText();

  // The preview's count of clusters still free leaves holes out and sees the reused two.
  const auto sparse_tally = count_found_file_clusters('c', row_of_inode(Rec("sparse")));
  ASSERT_TRUE(sparse_tally);
  EXPECT_EQ(sparse_tally->clusters, 5u);
  EXPECT_EQ(sparse_tally->free, 5u);
  const auto partly_tally = count_found_file_clusters('c', row_of_inode(Rec("partly")));
  ASSERT_TRUE(partly_tally);
  EXPECT_EQ(partly_tally->clusters, 4u);
  EXPECT_EQ(partly_tally->free, 2u);
}

TEST_F(NtfsRecoveryTest, NamedStreamsAreWrittenBesideTheMainContent) {
  const NtfsImageBuilder& b = *volume_->builder;
  Recover("streams");
  EXPECT_TRUE(same_bytes(Out("download.zip"), b.expected_content(Rec("streams"))));
  EXPECT_EQ(Out("download.zip.Zone.Identifier.stream"),
            b.stream_content(Rec("streams"), "Zone.Identifier"));
  EXPECT_TRUE(window_.Logged(Success("download.zip")));
  EXPECT_TRUE(window_.Logged(Success("download.zip.Zone.Identifier.stream")));
}

TEST_F(NtfsRecoveryTest, ExistingFilesAreNeverReplaced) {
  ASSERT_TRUE(write_file(out_ + "onerun.bin", "mine"));
  Recover("onerun");
  Recover("onerun");
  EXPECT_EQ(Out("onerun.bin"), "mine");
  EXPECT_TRUE(same_bytes(Out("onerun (2).bin"), volume_->builder->expected_content(Rec("onerun"))));
  EXPECT_TRUE(window_.Logged(Success("onerun (2).bin"))) << window_.LogText();
  EXPECT_TRUE(window_.Logged(Success("onerun (3).bin"))) << window_.LogText();
}

// The builder's compressed file has only fully allocated units, which are stored as they are;
// encrypted streams are written as stored, with a line that says so.
TEST_F(NtfsRecoveryTest, CompressedUnitsStoredWholeAndEncryptedStreamsAreWrittenAsStored) {
  const NtfsImageBuilder& b = *volume_->builder;
  window_.log.clear();
  Recover("compressed");
  const std::string n = std::to_string(Rec("compressed"));
  EXPECT_EQ(window_.LinesWith("File is compressed; it is written decompressed " + n).size(), 2u);
  EXPECT_TRUE(same_bytes(Out("packed.dat"), b.on_disk_content(Rec("compressed"))));
  EXPECT_TRUE(window_.Logged(Success("packed.dat")));
  Recover("encrypted");
  EXPECT_TRUE(same_bytes(Out("secret.dat"), b.on_disk_content(Rec("encrypted"))));
  EXPECT_TRUE(
      window_.Logged("secret.dat is encrypted (EFS); it is written as stored, still encrypted."))
      << window_.LogText();
}

TEST_F(NtfsRecoveryTest, RefusesFilesWithoutFreeClustersAndRecordsInUse) {
  window_.log.clear();
  Recover("reused");
  const std::string n = std::to_string(Rec("reused"));
  EXPECT_EQ(window_.log, (std::vector<std::string>{
                             "File has no recoverable data.",
                             "ERROR: Failed to undelete inode " + n + " in handle_undelete()"}));
  EXPECT_FALSE(std::filesystem::exists(out_ + "reused.bin"));

  // A listed record that is in use again.
  window_.log.clear();
  const int64_t live = static_cast<int64_t>(Rec("live"));
  FoundFiles[0].Inode = live;
  EXPECT_EQ(undelete_found_file('c', 0, out_).result, RecoveryResult::kFailed);
  EXPECT_EQ(window_.log,
            (std::vector<std::string>{"Record is in use by the mft",
                                      "ERROR: Failed to undelete inode " + std::to_string(live) +
                                          " in handle_undelete()"}));

  // A directory record.
  window_.log.clear();
  const int64_t dir = static_cast<int64_t>(Rec("deldir"));
  FoundFiles[0].Inode = dir;
  undelete_found_file('c', 0, out_);
  EXPECT_EQ(window_.log, (std::vector<std::string>{
                             "ERROR: Found a directory: not recoverable " + std::to_string(dir),
                             "File has no recoverable data.",
                             "ERROR: Failed to undelete inode " + std::to_string(dir) +
                                 " in handle_undelete()"}));

  // A record past the end of the MFT.
  window_.log.clear();
  FoundFiles[0].Inode = 1000000;
  undelete_found_file('c', 0, out_);
  EXPECT_EQ(window_.log, (std::vector<std::string>{
                             "ERROR: Couldnot read MFT Record 1000000",
                             "Canot read info from mft record1000000 in undelete_file()",
                             "ERROR: Failed to undelete inode 1000000 in handle_undelete()"}));
}

TEST_F(NtfsRecoveryTest, UnwritableDestinationIsReportedAndTheNextFileStillWritten) {
  const std::string missing = out_ + "no/such/folder/";
  window_.log.clear();
  Recover("onerun", missing);
  const auto lines = window_.LinesWith("Cannot write to " + missing + "onerun.bin");
  ASSERT_EQ(lines.size(), 1u) << window_.LogText();
  EXPECT_GT(lines[0].size(), ("Cannot write to " + missing + "onerun.bin").size());  // reason
  EXPECT_TRUE(window_.Logged("ERROR: Failed to undelete inode " + std::to_string(Rec("onerun")) +
                             " in handle_undelete()"));
  Recover("small");
  EXPECT_TRUE(window_.Logged(Success("small.txt")));
}

TEST_F(NtfsRecoveryTest, StopEndsTheFileBetweenClustersAndTheRowsAfterIt) {
  long pumps = 0;
  // Stop once the file is being written (its temporary file exists).
  window_.on_pump = [&] {
    ++pumps;
    if (!std::filesystem::is_empty(out_)) RecoveryActive = false;
  };
  const int32_t row = row_of_inode(static_cast<int64_t>(Rec("fragmented")));
  EXPECT_EQ(undelete_found_file('c', row, out_).result, RecoveryResult::kStopped);
  const long pumps_at_stop = pumps;
  const int32_t next = row_of_inode(static_cast<int64_t>(Rec("onerun")));
  EXPECT_EQ(undelete_found_file('c', next, out_).result, RecoveryResult::kStopped);
  EXPECT_EQ(pumps, pumps_at_stop) << "the next row ends before it reads anything";
  EXPECT_TRUE(std::filesystem::is_empty(out_)) << "a stopped file leaves nothing behind";
  EXPECT_TRUE(window_.LinesWith("Undeleted").empty()) << window_.LogText();
  EXPECT_TRUE(window_.LinesWith("ERROR").empty()) << window_.LogText();
}

}  // namespace
}  // namespace pyralis::test

namespace pyralis::test {
namespace {

// Clusters of 2 MiB (sectors per cluster stored as 0xF4) are read whole.
TEST(NtfsLargeClusters, FilesOfTwoMebibyteClustersAreListedAndRecovered) {
  NtfsGeometry g;
  g.sectors_per_cluster = 4096;
  g.total_sectors = 1 << 21;  // 1 GiB, 512 clusters (written sparsely)
  g.mft_capacity = 64;
  NtfsImageBuilder b(g);
  FileSpec f;
  f.deleted = true;
  f.name = "big.bin";
  f.content = test_content(5 * (1 << 20) + 123, 11);
  f.fragments = 2;
  f.backwards = true;
  const uint64_t rec = b.add_file(f);
  TempDir dir;
  const std::string image = dir.file("ntfs.img");
  b.write(image);
  RecordingWindow window;
  ScanActive = true;
  scan_image(image);
  const int32_t row = row_of_inode(static_cast<int64_t>(rec));
  ASSERT_GE(row, 0) << window.LogText();
  EXPECT_EQ(FoundFiles[row].RecoveryQuality, 100);
  const std::string out = dir.path() + "/out/";
  std::filesystem::create_directory(out);
  undelete_found_file('c', row, out);
  EXPECT_TRUE(read_file(out + "big.bin") == b.expected_content(rec)) << window.LogText();
}

}  // namespace
}  // namespace pyralis::test

namespace pyralis::test {
namespace {

// One unreadable sector inside the MFT costs the record it holds, with that record's line
// and one line naming the sector; every other record of the same window is still read.
TEST(NtfsBadSectors, OneBadMftSectorCostsOnlyItsRecord) {
  NtfsGeometry g;
  g.total_sectors = 65536;
  const CaseVolume volume(g);
  TempDir dir;
  const std::string image = volume.Write(dir);
  RecordingWindow window;
  ScanActive = true;
  scan_image(image);
  const int32_t listed = FoundFiles.Count();
  const NtfsImageBuilder& b = *volume.builder;
  const uint64_t lost = volume.rec.at("onerun");
  const uint64_t in_volume = b.mft_lcn() * b.cluster_size() + lost * 1024;
  platform::set_unreadable_areas(image, {{b.volume_offset() + in_volume, 512}});
  window.log.clear();
  scan_image(image);
  platform::clear_unreadable_areas();
  EXPECT_EQ(FoundFiles.Count(), listed - 1) << window.LogText();
  EXPECT_EQ(row_of_inode(static_cast<int64_t>(lost)), -1);
  EXPECT_GE(row_of_inode(static_cast<int64_t>(volume.rec.at("small"))), 0);
  EXPECT_GE(row_of_inode(static_cast<int64_t>(volume.rec.at("fragmented"))), 0);
  EXPECT_TRUE(window.Logged("Cannot read sector " + std::to_string(in_volume / 512) +
                            " of C: (Input/output error)."))
      << window.LogText();
  EXPECT_TRUE(window.Logged("ERROR: Couldnot read MFT Record " + std::to_string(lost)))
      << window.LogText();
}

}  // namespace
}  // namespace pyralis::test
