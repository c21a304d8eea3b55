// SPDX-License-Identifier: GPL-3.0-or-later
// pyralis-cli on a FAT image with a ddrescue map that marks one 4 KiB area inside a deleted
// 1 MB file as not rescued: every other byte written exactly, the partial line, the report
// entry with the range, exit status 1.
#include <gtest/gtest.h>

#include "tests/cli/json_checker.h"
#include "tests/e2e/cli_runner.h"

namespace pyralis::test {
namespace {

constexpr uint64_t kSize = 1000000;
constexpr uint64_t kBadOffset = 8192;  // inside the file, cluster aligned
constexpr uint64_t kBadLength = 4096;

TEST(CliOnBadSectors, FatFileTouchingAnUnrescuedAreaIsPartial) {
  TempDir dir;
  const std::string content = filler(kSize, 77);
  const std::string image = make_fat_volume(dir, 16, {{"", "big.bin", content, true}}, {});
  if (image.empty()) GTEST_SKIP() << "mkfs.fat / mtools missing";
  const size_t at = offset_of(image, content);
  ASSERT_NE(at, std::string::npos);
  const std::string map = dir.file("card.map");
  ASSERT_TRUE(write_ddrescue_map(map, read_file(image).size(), at + kBadOffset, kBadLength));

  const CliRun run = run_cli("recover " + shell_quote(image) + " --map " + shell_quote(map) +
                                 " --all --to out --report report.json",
                             dir);
  EXPECT_EQ(run.status, 1) << run.err << run.out;
  std::string want = content;
  std::fill(want.begin() + kBadOffset, want.begin() + kBadOffset + kBadLength, '\0');
  EXPECT_TRUE(read_file(dir.file("out/xIG.BIN")) == want);
  EXPECT_NE(run.out.find("Undeleted out/xIG.BIN with 4,096 of 1,000,000 bytes unreadable "
                         "(written as zeros)."),
            std::string::npos)
      << run.out;
  EXPECT_EQ(run.out.find("successfully"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Cannot read sectors "), std::string::npos) << run.out;
  const std::string report = read_file(dir.file("report.json"));
  EXPECT_TRUE(check_json(report).valid) << report;
  EXPECT_NE(report.find("\"outcome\": \"partial\", \"unreadable\": [{\"offset\": 8192, "
                        "\"length\": 4096}]"),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("\"bytes_written\": 1000000"), std::string::npos) << report;

  // Without the map the same file is complete and the status 0.
  const CliRun clean =
      run_cli("recover " + shell_quote(image) + " --all --to clean --report clean.json", dir);
  EXPECT_EQ(clean.status, 0) << clean.err;
  EXPECT_TRUE(read_file(dir.file("clean/xIG.BIN")) == content);
  EXPECT_NE(read_file(dir.file("clean.json")).find("\"outcome\": \"complete\""), std::string::npos);
}

TEST(CliOnBadSectors, UnreadableBootSectorWithoutBackupIsRefusedWithItsReasonAndStatusTwo) {
  TempDir dir;
  const std::string image = make_fat_volume(dir, 12, {{"", "a.txt", "abc", true}}, {});
  if (image.empty()) GTEST_SKIP() << "mkfs.fat / mtools missing";
  ASSERT_TRUE(write_ddrescue_map(dir.file("boot.map"), read_file(image).size(), 0, 512));
  // The map is in force when the source is attached, as a failing device's sector 0 would be:
  // FAT12 has no backup boot sector, so the source holds no readable volume.
  const CliRun scan = run_cli("scan " + shell_quote(image) + " --map boot.map", dir);
  EXPECT_EQ(scan.status, 2) << scan.err;
  EXPECT_NE(scan.err.find("cannot be read: " + image + " cannot read the boot sector"),
            std::string::npos)
      << scan.err;
  EXPECT_EQ(scan.err.find("Process interrupted"), std::string::npos) << scan.err;
  EXPECT_EQ(scan.err.find("End scan"), std::string::npos) << scan.err;
  EXPECT_EQ(run_cli("recover " + shell_quote(image) + " --map boot.map --all --to out", dir).status,
            2);
}

TEST(CliOnBadSectors, BadFolderSectorCostsOnlyTheEntriesItHolds) {
  TempDir dir;
  std::vector<VolumeFile> files;
  for (int i = 0; i < 40; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "F%02d.TXT", i);
    files.push_back({"DOCS", name, filler(100, static_cast<uint32_t>(i)), true});
  }
  const std::string image = make_fat_volume(dir, 16, files, {});
  if (image.empty()) GTEST_SKIP() << "mkfs.fat / mtools missing";
  // Entries: ".", "..", F00 ... F39, 16 to a sector: the folder's second sector holds F14..F29.
  const size_t entry = read_file(image).find("00     TXT");
  ASSERT_NE(entry, std::string::npos);
  const uint64_t second_sector = (entry - 1) / 512 * 512 + 512;
  ASSERT_TRUE(write_ddrescue_map(dir.file("dir.map"), read_file(image).size(), second_sector, 512));
  const CliRun scan = run_cli("scan " + shell_quote(image) + " --map dir.map --format tsv", dir);
  EXPECT_EQ(scan.status, 0) << scan.err;
  EXPECT_EQ(scan.out_lines().size(), 1u + 40 - 16) << scan.out;
  EXPECT_NE(scan.out.find("x30.TXT"), std::string::npos) << "entries after the bad sector";
  EXPECT_EQ(scan.out.find("x20.TXT"), std::string::npos);
  EXPECT_NE(scan.err.find("Cannot read sector " + std::to_string(second_sector / 512) + " of C:"),
            std::string::npos)
      << scan.err;
}

TEST(CliOnBadSectors, ArgumentsOfMapAndReport) {
  TempDir dir;
  const std::string image = make_fat_volume(dir, 12, {{"", "a.txt", "abc", true}}, {});
  if (image.empty()) GTEST_SKIP() << "mkfs.fat / mtools missing";
  write_file(dir.file("bad.map"), "not a map\n");
  EXPECT_EQ(run_cli("scan " + shell_quote(image) + " --map bad.map", dir).status, 2);
  EXPECT_EQ(run_cli("scan " + shell_quote(image) + " --map missing.map", dir).status, 2);
  EXPECT_EQ(run_cli("scan --map bad.map", dir).status, 2);
  EXPECT_EQ(run_cli("scan " + shell_quote(image) + " --report r.json", dir).status, 2);
}

}  // namespace
}  // namespace pyralis::test
