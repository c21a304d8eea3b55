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
  // The folder could not be read whole: what it hid is unknown, so not all was listed.
  EXPECT_EQ(scan.status, 1) << scan.err;
  EXPECT_NE(scan.err.find("1 folder could not be read."), std::string::npos) << scan.err;
  EXPECT_EQ(scan.out_lines().size(), 1u + 40 - 16) << scan.out;
  EXPECT_NE(scan.out.find("x30.TXT"), std::string::npos) << "entries after the bad sector";
  EXPECT_EQ(scan.out.find("x20.TXT"), std::string::npos);
  EXPECT_NE(scan.err.find("Cannot read sector " + std::to_string(second_sector / 512) + " of C:"),
            std::string::npos)
      << scan.err;
}

// A ddrescue mapfile in which the `bad` areas (offset, length; ordered) were not rescued.
void write_map(const std::string& path, uint64_t size,
               const std::vector<std::pair<uint64_t, uint64_t>>& bad) {
  std::string text = "# Mapfile. Created by GNU ddrescue\n0x00000000     +               1\n";
  uint64_t at = 0;
  for (const auto& [offset, length] : bad) {
    if (offset > at) text += std::to_string(at) + "  " + std::to_string(offset - at) + "  +\n";
    text += std::to_string(offset) + "  " + std::to_string(length) + "  -\n";
    at = offset + length;
  }
  text += std::to_string(at) + "  " + std::to_string(size - at) + "  +\n";
  ASSERT_TRUE(write_file(path, text));
}

uint32_t le32_at(const std::string& bytes, size_t at) {
  return static_cast<uint8_t>(bytes[at]) | static_cast<uint8_t>(bytes[at + 1]) << 8 |
         static_cast<uint8_t>(bytes[at + 2]) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 3])) << 24;
}

// FAT32, a deleted file fragmented around a live one (its clusters 3 and 4, then 6 and 7
// after the live file's 5), and the table sector that says cluster 5 is taken unreadable:
// with the second table copy intact the file comes back byte for byte; with both copies
// unreadable its clusters after the first are unknown, and it is partial, never completed
// with the live file's bytes.
TEST(CliOnBadSectors, UnreadableTableSectorUsesTheSecondCopyElsePartial) {
  TempDir dir;
  const std::string zed = filler(1024, 11), mid = filler(512, 12), tail = filler(1024, 13);
  const std::string image = make_fat_volume(
      dir, 32,
      {{"", "ZED.BIN", zed, true}, {"", "MID.BIN", mid, false}, {"", "TAIL.BIN", tail, true}}, {});
  if (image.empty()) GTEST_SKIP() << "mkfs.fat / mtools missing";
  std::string bytes = read_file(image);
  // ZED.BIN's entry says 2048 bytes: its own two clusters and the two after MID.BIN.
  const size_t entry = bytes.find(
      "\xE5"
      "ED     BIN");
  ASSERT_NE(entry, std::string::npos);
  bytes[entry + 28] = 0x00, bytes[entry + 29] = 0x08;
  ASSERT_TRUE(write_file(image, bytes));
  const uint64_t fat = 32 * 512, fat_bytes = uint64_t{le32_at(bytes, 0x24)} * 512;
  ASSERT_EQ(bytes.substr(bytes.find(mid.substr(0, 64)) - 512, 512), zed.substr(512));

  write_map(dir.file("one.map"), bytes.size(), {{fat, 512}});
  const CliRun one =
      run_cli("recover " + shell_quote(image) + " --map one.map --all --to one", dir);
  EXPECT_EQ(one.status, 0) << one.err << one.out;
  EXPECT_TRUE(read_file(dir.file("one/xED.BIN")) == zed + tail) << one.out;
  EXPECT_NE(one.out.find("Undeleted one/xED.BIN successfully."), std::string::npos) << one.out;
  EXPECT_NE(one.err.find("the entries there come from table copy 2."), std::string::npos)
      << one.err;

  write_map(dir.file("both.map"), bytes.size(), {{fat, 512}, {fat + fat_bytes, 512}});
  const CliRun both = run_cli(
      "recover " + shell_quote(image) + " --map both.map --all --to both --report r.json", dir);
  EXPECT_EQ(both.status, 1) << both.err << both.out;
  EXPECT_TRUE(read_file(dir.file("both/xED.BIN")) == zed.substr(0, 512)) << both.out;
  EXPECT_NE(both.out.find("The file allocation table could not be read at cluster 4, so the "
                          "clusters after it are unknown: both/xED.BIN holds 512 of 2048 bytes."),
            std::string::npos)
      << both.out;
  EXPECT_NE(both.out.find("Undeleted both/xED.BIN with 1,536 of 2,048 bytes missing"),
            std::string::npos)
      << both.out;
  EXPECT_NE(both.err.find("no other table copy holds them, so they are unknown."),
            std::string::npos)
      << both.err;
  EXPECT_NE(read_file(dir.file("r.json")).find("\"outcome\": \"partial\""), std::string::npos);
}

// Folder walks: an unreadable root directory sector is counted (exit 1 and one line, for
// scan and recover alike); a long name with a character no file name holds costs that name
// only, and the files after it are still listed.
TEST(CliOnBadSectors, FolderWalksCountWhatTheyCouldNotReadAndSurviveABadName) {
  TempDir dir;
  const std::string image = make_fat_volume(dir, 16,
                                            {{"", "first long name.txt", filler(100, 1), true},
                                             {"", "second long name.txt", filler(100, 2), true}},
                                            {});
  if (image.empty()) GTEST_SKIP() << "mkfs.fat / mtools missing";
  std::string bytes = read_file(image);
  const std::u16string first = u"first";
  const size_t at = bytes.find(std::string(reinterpret_cast<const char*>(first.data()), 10));
  ASSERT_NE(at, std::string::npos);
  bytes[at + 2] = '*';  // "f*rst long name.txt"
  ASSERT_TRUE(write_file(image, bytes));
  const CliRun scan = run_cli("scan " + shell_quote(image) + " --format tsv", dir);
  EXPECT_EQ(scan.status, 0) << scan.err;
  EXPECT_NE(scan.out.find("second long name.txt"), std::string::npos) << scan.out;
  EXPECT_NE(scan.out.find("xIRSTL~1.TXT"), std::string::npos) << scan.out;

  const uint64_t root = at / 512 * 512;
  write_map(dir.file("root.map"), bytes.size(), {{root, 512}});
  const CliRun bad = run_cli("scan " + shell_quote(image) + " --map root.map", dir);
  EXPECT_EQ(bad.status, 1) << bad.err;
  EXPECT_NE(bad.err.find("1 folder could not be read."), std::string::npos) << bad.err;
  const CliRun recover =
      run_cli("recover " + shell_quote(image) + " --map root.map --all --to out", dir);
  EXPECT_EQ(recover.status, 1) << recover.err;
  EXPECT_NE(recover.err.find("1 folder could not be read."), std::string::npos) << recover.err;
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
