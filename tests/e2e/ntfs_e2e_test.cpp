// SPDX-License-Identifier: GPL-3.0-or-later
// pyralis-cli on NTFS volumes built at test time: a disk with an MBR whose NTFS partition holds
// deleted files (resident, fragmented, in a deleted folder, two of the same name).
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/cli/json_checker.h"
#include "tests/e2e/cli_runner.h"
#include "tests/ntfsimg/ntfs_image_builder.h"

namespace pyralis::test {
namespace {

struct Expected {
  std::string relative;  // under the destination, with --with-paths
  std::string content;
};

class CliOnNtfs : public testing::Test {
 protected:
  void SetUp() override {
    NtfsImageBuilder b({.total_sectors = 65536, .partition_offset_sectors = 128});
    const uint64_t docs = b.add_directory("Documents");
    const uint64_t old = b.add_directory("Old projects", kRootRecord, true);
    add(b, "tiny note.txt", kRootRecord, "", filler(300, 1), 1);  // resident
    add(b, "Quarterly report.pdf", docs, "Documents/", filler(50000, 2, "%PDF-1.4"), 3);
    add(b, "same name.txt", docs, "Documents/", filler(9000, 3), 1);
    add(b, "same name.txt", old, "Old projects/", filler(7000, 4), 1);
    add(b, "project archive.zip", old, "Old projects/", filler(120000, 5, "PK\x03\x04"), 2);
    FileSpec live;
    live.name = "still here.txt";
    live.parent = docs;
    live.content = filler(5000, 6);
    b.add_file(live);
    image_ = dir_.file("ntfs-disk.img");
    b.write(image_);
  }

  void add(NtfsImageBuilder& b, const std::string& name, uint64_t parent, const std::string& folder,
           const std::string& content, uint32_t fragments) {
    FileSpec f;
    f.name = name;
    f.parent = parent;
    f.deleted = true;
    f.content = content;
    f.fragments = fragments;
    b.add_file(f);
    expected_.push_back({folder + name, content});
  }

  TempDir dir_;
  std::string image_;
  std::vector<Expected> expected_;
};

TEST_F(CliOnNtfs, RecoverAllWithPathsGivesBackTheDeletedBytes) {
  const uint64_t before = file_fingerprint(image_);
  const CliRun scan = run_cli("scan " + shell_quote(image_) + " --format json", dir_);
  ASSERT_EQ(scan.status, 0) << scan.err;
  const JsonCheck check = check_json(scan.out);
  EXPECT_TRUE(check.valid) << scan.out;
  EXPECT_EQ(check.top_level_items, static_cast<int>(expected_.size())) << scan.out;

  const CliRun run =
      run_cli("recover " + shell_quote(image_) + " --all --with-paths --to out", dir_);
  // Written whole, but filler bytes are no whole PDF, ZIP or text: the status says so.
  EXPECT_EQ(run.status, 1) << run.err << run.out;
  EXPECT_NE(run.err.find("Recovered 5 of 5 chosen files into out; 5 written with damaged content"),
            std::string::npos)
      << run.err;
  for (const Expected& e : expected_)
    EXPECT_TRUE(read_file(dir_.file("out/" + e.relative)) == e.content) << e.relative << "\n"
                                                                        << run.out;
  EXPECT_FALSE(std::filesystem::exists(dir_.file("out/Documents/still here.txt")));
  EXPECT_EQ(file_fingerprint(image_), before) << "the source must only be read";
}

void expect_record_times(const std::vector<std::string>& lines);

TEST_F(CliOnNtfs, BodyfileTimesAreTheRecordsTimes) {
  // The builder stamps files modified 2011-01-01 00:00:00 UTC and created 2010-01-01 UTC; the
  // bodyfile must give those instants back whatever the zone the catalogue's local times use.
  for (const char* zone : {"UTC0", "EST5EDT,M3.2.0,M11.1.0", "JST-9"}) {
    const CliRun body = run_cli("scan " + shell_quote(image_) + " --format bodyfile", dir_,
                                {"TZ=" + std::string(zone)});
    ASSERT_EQ(body.status, 0) << body.err;
    expect_record_times(body.out_lines());
  }
}

void expect_record_times(const std::vector<std::string>& lines) {
  ASSERT_EQ(lines.size(), 5u);
  for (const std::string& line : lines) {
    EXPECT_NE(line.find("|1293840000|0|1262304000"), std::string::npos) << line;
    EXPECT_TRUE(line.starts_with("0|C:/")) << line;
  }
}

}  // namespace
}  // namespace pyralis::test

namespace pyralis::test {
namespace {

// A bare NTFS volume holding one deleted 1,000,000-byte file in one run.
struct BigFileVolume {
  explicit BigFileVolume(const TempDir& dir) : content(filler(1000000, 91)) {
    NtfsImageBuilder b({.total_sectors = 65536});
    FileSpec f;
    f.name = "big.bin";
    f.deleted = true;
    f.content = content;
    b.add_file(f);
    image = dir.file("ntfs.img");
    b.write(image);
    mft_offset = b.volume_offset() + b.mft_lcn() * b.cluster_size();
    mirror_offset = b.volume_offset() + b.mft_mirror_lcn() * b.cluster_size();
  }
  std::string content, image;
  uint64_t mft_offset = 0, mirror_offset = 0;
};

TEST(CliOnDamagedNtfs, UnrescuedAreaMakesThePieceOnlyLoseItsOwnBytes) {
  TempDir dir;
  const BigFileVolume v(dir);
  const size_t at = offset_of(v.image, v.content);
  ASSERT_NE(at, std::string::npos);
  ASSERT_TRUE(write_ddrescue_map(dir.file("ntfs.map"), read_file(v.image).size(), at + 8192, 4096));
  const CliRun run = run_cli(
      "recover " + shell_quote(v.image) + " --map ntfs.map --all --to out --report report.json",
      dir);
  EXPECT_EQ(run.status, 1) << run.err << run.out;
  std::string want = v.content;
  std::fill(want.begin() + 8192, want.begin() + 8192 + 4096, '\0');
  EXPECT_TRUE(read_file(dir.file("out/big.bin")) == want) << run.out;
  EXPECT_NE(run.out.find("Undeleted out/big.bin with 4,096 of 1,000,000 bytes unreadable "
                         "(written as zeros)."),
            std::string::npos)
      << run.out;
  const std::string report = read_file(dir.file("report.json"));
  EXPECT_NE(report.find("\"unreadable\": [{\"offset\": 8192, \"length\": 4096}]"),
            std::string::npos)
      << report;
  EXPECT_NE(run.err.find("Recovered 0 of 1 chosen files into out; 1 more written in part"),
            std::string::npos)
      << run.err;
}

TEST(CliOnDamagedNtfs, CutImageKeepsEveryReadableCluster) {
  TempDir dir;
  const BigFileVolume v(dir);
  const size_t at = offset_of(v.image, v.content);
  ASSERT_NE(at, std::string::npos);
  const size_t kept = 300000;  // the image ends inside the file's first 1 MiB piece
  std::filesystem::resize_file(v.image, at + kept);
  const CliRun run = run_cli("recover " + shell_quote(v.image) + " --all --to out", dir);
  EXPECT_EQ(run.status, 1) << run.err << run.out;
  const std::string got = read_file(dir.file("out/big.bin"));
  ASSERT_EQ(got.size(), v.content.size()) << run.out;
  const size_t readable = kept / 512 * 512;
  EXPECT_TRUE(got.substr(0, readable) == v.content.substr(0, readable)) << run.out;
  EXPECT_EQ(got.substr(readable), std::string(got.size() - readable, '\0'));
  EXPECT_NE(run.out.find("Undeleted out/big.bin with "), std::string::npos) << run.out;
}

TEST(CliOnDamagedNtfs, UnmountableVolumeExitsOne) {
  TempDir dir;
  const BigFileVolume v(dir);
  std::string bytes = read_file(v.image);
  // MFT record 0 and its copy in $MFTMirr.
  for (const uint64_t at : {v.mft_offset, v.mirror_offset})
    std::fill(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at) + 1024,
              '\0');
  ASSERT_TRUE(write_file(v.image, bytes));
  const CliRun scan = run_cli("scan " + shell_quote(v.image), dir);
  EXPECT_EQ(scan.status, 1) << scan.err;
  EXPECT_NE(scan.err.find("Couldnot mount device"), std::string::npos) << scan.err;
  EXPECT_EQ(scan.err.find("End scan"), std::string::npos) << scan.err;
  EXPECT_EQ(run_cli("recover " + shell_quote(v.image) + " --all --to out", dir).status, 1);
}

}  // namespace
}  // namespace pyralis::test
