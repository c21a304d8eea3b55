// SPDX-License-Identifier: GPL-3.0-or-later
// Damaged records of deleted files and damaged metadata: each is skipped or reported with a
// clear line while the rest of the volume is still scanned, and nothing hangs or writes
// bytes that are not the file's.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "core/recovered_file.h"
#include "ntfs/ntfs_internal.h"
#include "rawdisk/raw_disk_access_component.h"
#include "tests/ntfs/ntfs_test_drive.h"
#include "tests/ntfs/ntfs_test_records.h"
#include "tests/ntfs/ntfs_test_volume.h"
#include "tests/support/recording_window.h"

namespace pyralis::test {
namespace {

uint32_t get32(const std::vector<uint8_t>& b, size_t at) {
  return b.at(at) | b.at(at + 1) << 8 | b.at(at + 2) << 16 | uint32_t{b.at(at + 3)} << 24;
}

// Offset of the first attribute of `type` in an MFT record (0 when absent).
size_t find_attribute_at(const std::vector<uint8_t>& r, uint32_t type) {
  for (size_t at = r.at(0x14) | r.at(0x15) << 8; at + 8 <= r.size() && get32(r, at) != 0xFFFFFFFF;
       at += get32(r, at + 4)) {
    if (get32(r, at) == type) return at;
    if (get32(r, at + 4) == 0) break;
  }
  return 0;
}

class NtfsUntrustedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    NtfsGeometry g;
    g.total_sectors = 65536;
    volume_ = std::make_unique<CaseVolume>(g);
    image_ = volume_->Write(dir_);
  }
  uint64_t Rec(const std::string& key) const { return volume_->rec.at(key); }

  // Edits record `number` in the image with its update sequence undone; with `protect` the
  // sequence is applied again afterwards (a consistent edit), without it the record is left
  // as edited (a torn write).
  void EditRecord(uint64_t number, const std::function<void(std::vector<uint8_t>&)>& edit,
                  bool protect = true) {
    const NtfsImageBuilder& b = *volume_->builder;
    const size_t size = b.geometry().mft_record_size;
    std::fstream file(image_, std::ios::in | std::ios::out | std::ios::binary);
    std::vector<uint8_t> r(size);
    file.seekg(static_cast<std::streamoff>(b.record_offset(number)));
    file.read(reinterpret_cast<char*>(r.data()), static_cast<std::streamsize>(size));
    const size_t usa = r[4] | r[5] << 8;
    const size_t stretches = size / 512;
    for (size_t i = 1; i <= stretches; ++i) {
      r[i * 512 - 2] = r[usa + 2 * i];
      r[i * 512 - 1] = r[usa + 2 * i + 1];
    }
    edit(r);
    if (protect) {
      for (size_t i = 1; i <= stretches; ++i) {
        r[usa + 2 * i] = r[i * 512 - 2];
        r[usa + 2 * i + 1] = r[i * 512 - 1];
        r[i * 512 - 2] = r[usa];
        r[i * 512 - 1] = r[usa + 1];
      }
    }
    file.seekp(static_cast<std::streamoff>(b.record_offset(number)));
    file.write(reinterpret_cast<const char*>(r.data()), static_cast<std::streamsize>(size));
  }

  void Scan() {
    ScanActive = true;
    scan_image(image_);
  }
  const FoundFileRecord* Row(const std::string& key) const {
    const int32_t i = row_of_inode(static_cast<int64_t>(Rec(key)));
    return i < 0 ? nullptr : &FoundFiles[i];
  }

  TempDir dir_;
  RecordingWindow window_;
  std::unique_ptr<CaseVolume> volume_;
  std::string image_;
};

TEST_F(NtfsUntrustedTest, TornAndMalformedRecordsAreSkippedWithALine) {
  EditRecord(
      Rec("onerun"), [](std::vector<uint8_t>& r) { r[0x200] ^= 1; }, false);
  EditRecord(Rec("fragmented"), [](std::vector<uint8_t>& r) {
    const size_t si = find_attribute_at(r, 0x10);
    r[si + 4] += 4;  // attribute length no longer a multiple of 8
  });
  EditRecord(Rec("dosfirst"), [](std::vector<uint8_t>& r) {
    put32(r, find_attribute_at(r, 0x30) + 4, 0x10000);  // runs far past the record
  });
  Scan();
  for (const char* key : {"onerun", "fragmented", "dosfirst"}) {
    EXPECT_EQ(Row(key), nullptr) << key;
    EXPECT_TRUE(window_.Logged("ERROR: Couldnot read MFT Record " + std::to_string(Rec(key))))
        << key << "\n"
        << window_.LogText();
  }
  EXPECT_NE(Row("small"), nullptr);
  EXPECT_NE(Row("doslast"), nullptr);
}

TEST_F(NtfsUntrustedTest, ResidentDataOutsideItsAttributeIsNeverWritten) {
  EditRecord(Rec("small"), [](std::vector<uint8_t>& r) {
    put32(r, find_attribute_at(r, 0x80) + 0x10, 0x7FFFFFFF);
  });
  Scan();
  ASSERT_NE(Row("small"), nullptr) << window_.LogText();
  EXPECT_EQ(Row("small")->RecoveryQuality, -1);
  EXPECT_EQ(window_
                .LinesWith("ERROR: Resident data lies outside its attribute in record " +
                           std::to_string(Rec("small")))
                .size(),
            1u);
  const std::string out = dir_.path() + "/out/";
  std::filesystem::create_directory(out);
  undelete_found_file('c', row_of_inode(static_cast<int64_t>(Rec("small"))), out);
  EXPECT_TRUE(std::filesystem::is_empty(out));
  EXPECT_TRUE(window_.Logged("No data stream of record " + std::to_string(Rec("small")) +
                             " could be written"))
      << window_.LogText();
}

TEST_F(NtfsUntrustedTest, UndecodableRunsAndStaleHugeRunsAreReportedNotWalked) {
  EditRecord(Rec("onerun"), [](std::vector<uint8_t>& r) {
    const size_t data = find_attribute_at(r, 0x80);
    r[data + (r[data + 0x20] | r[data + 0x21] << 8)] = 0x19;  // 9-byte length field
  });
  // A stale run of 2^32 clusters starting inside the volume, and a size past 4 GiB.
  EditRecord(Rec("fragmented"), [](std::vector<uint8_t>& r) {
    const size_t data = find_attribute_at(r, 0x80);
    const size_t pairs = data + (r[data + 0x20] | r[data + 0x21] << 8);
    const uint8_t run[] = {0x25, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00};
    std::copy(std::begin(run), std::end(run), r.begin() + static_cast<long>(pairs));
    put64(r, data + 0x30, uint64_t{5} << 30);
  });
  Scan();
  ASSERT_NE(Row("onerun"), nullptr);
  EXPECT_EQ(Row("onerun")->RecoveryQuality, -1);
  EXPECT_TRUE(window_.Logged("ERROR: Couldn't decompress the data runs for " +
                             std::to_string(Rec("onerun"))));
  ASSERT_NE(Row("fragmented"), nullptr);
  EXPECT_EQ(Row("fragmented")->Size, int64_t{5} << 30);
  // Almost all of the run lies outside the volume; the free clusters inside keep it above 0.
  EXPECT_EQ(Row("fragmented")->RecoveryQuality, 1);
  EXPECT_LT(window_.pumps, 100000);
}

TEST_F(NtfsUntrustedTest, UnfollowableParentsGiveAQuestionMarkFolder) {
  EditRecord(
      volume_->docs, [](std::vector<uint8_t>& r) { r[0x300] ^= 1; }, false);
  Scan();
  ASSERT_NE(Row("onerun"), nullptr);
  EXPECT_EQ(Row("onerun")->Path, "C:\\?\\");
  EXPECT_EQ(Row("small")->Path, "C:\\");
}

TEST_F(NtfsUntrustedTest, AParentWithoutANameEndsTheChain) {
  EditRecord(volume_->docs, [](std::vector<uint8_t>& r) {
    put32(r, find_attribute_at(r, 0x30), 0x40);  // the file name becomes an object id
  });
  Scan();
  ASSERT_NE(Row("onerun"), nullptr) << window_.LogText();
  EXPECT_EQ(Row("onerun")->Path, "C:\\?\\");
}

TEST_F(NtfsUntrustedTest, ARecoveryShorterThanTheSizeIsPartial) {
  const int64_t cluster = static_cast<int64_t>(volume_->builder->cluster_size());
  const int64_t size = 3 * cluster + 100;
  EditRecord(Rec("onerun"), [&](std::vector<uint8_t>& r) {
    put64(r, find_attribute_at(r, 0x80) + 0x30, static_cast<uint64_t>(size + 2 * cluster));
  });
  Scan();
  const std::string out = dir_.path() + "/out/";
  std::filesystem::create_directory(out);
  const RecoveryOutcome outcome =
      undelete_found_file('c', row_of_inode(static_cast<int64_t>(Rec("onerun"))), out);
  EXPECT_EQ(outcome.result, RecoveryResult::kPartial);
  EXPECT_TRUE(window_.LinesWith("successfully").empty()) << window_.LogText();
  EXPECT_TRUE(window_.Logged(
      "Undeleted " + out + "onerun.bin with " + with_thousands(size + 2 * cluster - 4 * cluster) +
      " of " + with_thousands(size + 2 * cluster) + " bytes missing (the file ends after " +
      with_thousands(4 * cluster) + " bytes)."))
      << window_.LogText();
  ASSERT_EQ(outcome.unreadable.size(), 1u);
  EXPECT_EQ(outcome.unreadable[0].offset, static_cast<uint64_t>(4 * cluster));
}

TEST_F(NtfsUntrustedTest, NamesNeverLeadOutsideTheDestination) {
  // "small.txt" becomes "small/txt", "deep.txt" becomes "..".
  EditRecord(Rec("small"), [](std::vector<uint8_t>& r) {
    r[find_attribute_at(r, 0x30) + 0x18 + 0x42 + 2 * 5] = '/';
  });
  EditRecord(Rec("deep"), [](std::vector<uint8_t>& r) {
    const size_t value = find_attribute_at(r, 0x30) + 0x18;
    r[value + 0x40] = 2;
    put32(r, value + 0x42, '.' | '.' << 16);
  });
  Scan();
  const std::string out = dir_.path() + "/out/";
  std::filesystem::create_directory(out);
  undelete_found_file('c', row_of_inode(static_cast<int64_t>(Rec("small"))), out);
  undelete_found_file('c', row_of_inode(static_cast<int64_t>(Rec("deep"))), out);
  size_t written = 0;
  for (const auto& entry : std::filesystem::directory_iterator(out)) {
    EXPECT_TRUE(entry.is_regular_file()) << entry.path();
    ++written;
  }
  EXPECT_EQ(written, 2u) << window_.LogText();
  EXPECT_FALSE(std::filesystem::exists(dir_.path() + "/small"));
  EXPECT_TRUE(window_.LinesWith("ERROR").empty()) << window_.LogText();
}

TEST_F(NtfsUntrustedTest, ARunLeavingTheVolumeEndsTheFileThere) {
  const NtfsImageBuilder& b = *volume_->builder;
  const uint64_t lcn = *b.file(Rec("onerun")).runs.at(0).lcn;
  const uint64_t claimed = 0x100000;  // clusters, far more than the volume has
  const int64_t cluster = static_cast<int64_t>(b.cluster_size());
  EditRecord(Rec("onerun"), [&](std::vector<uint8_t>& r) {
    const size_t data = find_attribute_at(r, 0x80);
    const size_t pairs = data + (r[data + 0x20] | r[data + 0x21] << 8);
    const uint8_t run[] = {
        0x23, 0x00, 0x00, 0x10, static_cast<uint8_t>(lcn), static_cast<uint8_t>(lcn >> 8), 0x00};
    std::copy(std::begin(run), std::end(run), r.begin() + static_cast<long>(pairs));
    put64(r, data + 0x30, claimed * static_cast<uint64_t>(cluster));
  });
  Scan();
  const std::string out = dir_.path() + "/out/";
  std::filesystem::create_directory(out);
  undelete_found_file('c', row_of_inode(static_cast<int64_t>(Rec("onerun"))), out);
  const std::string content = read_file(out + "onerun.bin");
  EXPECT_EQ(content.size(), (b.total_clusters() - lcn) * cluster);
  const std::string original = b.expected_content(Rec("onerun"));
  EXPECT_EQ(content.substr(0, original.size()), original);
  EXPECT_EQ(window_.LinesWith(" missing (the file ends after ").size(), 1u) << window_.LogText();
}

// Mount failures, each with its lines in order.
class NtfsMountFailureTest : public NtfsUntrustedTest {
 protected:
  // The mount's lines; it fails unless `mounts`.
  std::vector<std::string> Mount(bool mounts = false) {
    const char letter = attach_image(image_);
    TRawDiskAccessComponent component;
    component.SetLogicalDrive(letter);
    ntfs::ScopedReadBuffers buffers;
    window_.log.clear();
    auto volume = ntfs::mount_volume(&component, true);
    EXPECT_EQ(volume != nullptr, mounts);
    return window_.log;
  }
};

TEST_F(NtfsMountFailureTest, ResidentMftData) {
  EditRecord(0, [](std::vector<uint8_t>& r) { r[find_attribute_at(r, 0x80) + 8] = 0; });
  EXPECT_EQ(Mount(),
            (std::vector<std::string>{"MFT must be non-resident", "Failed to load $MFT",
                                      "Failed to startup volume", "Couldnot mount device"}));
}

TEST_F(NtfsMountFailureTest, MissingMftBitmap) {
  EditRecord(0, [](std::vector<uint8_t>& r) { put32(r, find_attribute_at(r, 0xB0), 0xC0); });
  EXPECT_EQ(Mount(),
            (std::vector<std::string>{"Can't open MFT Bitmap", "Failed to load $MFT",
                                      "Failed to startup volume", "Couldnot mount device"}));
}

// A torn record 0 is read from its copy in $MFTMirr; with the copy torn too, the mount fails.
TEST_F(NtfsMountFailureTest, TornRecordZero) {
  const auto tear = [](std::vector<uint8_t>& r) {
    r[0x1FF] ^= 0xFF;
    r[0x1FE] ^= 0xFF;
  };
  EditRecord(0, tear, false);
  const NtfsImageBuilder& b = *volume_->builder;
  EXPECT_EQ(Mount(true),
            (std::vector<std::string>{
                "C: the first record of $MFT cannot be read; its copy in $MFTMirr at sector " +
                std::to_string(b.mft_mirror_lcn() * b.cluster_size() / 512) + " is used."}));
  std::fstream file(image_, std::ios::in | std::ios::out | std::ios::binary);
  file.seekp(static_cast<std::streamoff>(b.cluster_offset(b.mft_mirror_lcn()) + 0x1FE));
  file.write("\x00\x00", 2);
  file.close();
  EXPECT_EQ(Mount(), (std::vector<std::string>{"Failed to load $MFT", "Failed to startup volume",
                                               "Couldnot mount device"}));
}

TEST_F(NtfsMountFailureTest, BitmapRecordNotInUse) {
  EditRecord(6, [](std::vector<uint8_t>& r) { r[0x16] &= 0xFE; });
  EXPECT_EQ(Mount(), (std::vector<std::string>{"Couldnot mount device"}));
}

}  // namespace
}  // namespace pyralis::test
