// SPDX-License-Identifier: GPL-3.0-or-later
// The scanned volume is only ever read: after scanning and recovering every file of each
// generated volume, through the drivers and through pyralis-cli, the image is unchanged;
// every open of the image is read-only (one open for a whole pyralis-cli command) and nothing
// writes to a descriptor of it.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "tests/damage/damage_support.h"

namespace pyralis::test {
namespace {

struct Volume {
  std::string name;
  std::string bytes;
};

std::vector<Volume> generated_volumes(const TempDir& dir) {
  std::vector<Volume> volumes;
  for (int bits : {12, 16, 32}) {
    const std::string image = dir.file("fat" + std::to_string(bits) + ".img");
    if (make_fat_volume(image, bits, dir))
      volumes.push_back({"fat" + std::to_string(bits) + ".img", read_file(image)});
  }
  volumes.push_back({"ntfs.img", make_ntfs_volume().bytes});
  return volumes;
}

TEST(ReadOnly, ScanAndRecoverThroughTheDriversLeaveEveryImageUnchanged) {
  TempDir dir;
  for (const Volume& v : generated_volumes(dir)) {
    SCOPED_TRACE(v.name);
    // scan_and_recover fails the test when the image's fingerprint changes.
    const RunResult r = scan_and_recover(dir, v.name, v.bytes);
    EXPECT_GE(r.rows, 4);
    // Every file is written: completely, or with the bytes other files overwrote reported.
    EXPECT_EQ(count_lines(r.recover_log, "successfully.") +
                  count_lines(r.recover_log, " overwritten by other files."),
              static_cast<size_t>(r.rows) + count_lines(r.recover_log, ".stream"))
        << ::testing::PrintToString(r.recover_log);
  }
}

#ifdef PYRALIS_CLI
// Runs pyralis-cli under strace and returns the trace of opens and writes (with the paths of
// descriptors), or "" when strace cannot run here.
std::string traced_cli(const TempDir& dir, const std::string& arguments) {
  if (!have_program("strace")) return "";
  const std::string trace = dir.file("trace.txt");
  std::string output;
  const int status = run_command(
      "ASAN_OPTIONS=detect_leaks=0 strace -f -y -o " + shell_quote(trace) +
          " -e trace=open,openat,openat2,creat,truncate,write,pwrite64,writev,pwritev,pwritev2,"
          "ftruncate,fallocate " +
          shell_quote(PYRALIS_CLI) + " " + arguments,
      &output);
  if (status != 0 && read_file(trace).empty()) return "";
  // 1: some file came back partial (clusters another file took since), or the generated
  // files' filler bytes do not look like whole files of their types; still written.
  EXPECT_TRUE(status == 0 || status == 1) << output;
  return read_file(trace);
}

TEST(ReadOnly, PyralisCliOpensImagesReadOnlyAndNeverWritesThem) {
  TempDir dir;
  for (const Volume& v : generated_volumes(dir)) {
    SCOPED_TRACE(v.name);
    const std::string image = dir.file(v.name);
    write_file(image, v.bytes);
    const uint64_t before = file_fingerprint(image);
    const std::string out = dir.file("cli-" + v.name);
    run_command("mkdir -p " + shell_quote(out));
    std::string listing;
    ASSERT_EQ(run_command(shell_quote(PYRALIS_CLI) + " scan " + shell_quote(image) + " --format tsv",
                          &listing),
              0)
        << listing;
    const std::string trace =
        traced_cli(dir, "recover " + shell_quote(image) + " --all --to " + shell_quote(out));
    EXPECT_EQ(file_fingerprint(image), before);
    EXPECT_GE(std::distance(std::filesystem::directory_iterator(out),
                            std::filesystem::directory_iterator()),
              4);
    if (trace.empty()) {
      GTEST_SKIP() << "strace cannot trace here";
    }
    std::istringstream lines(trace);
    std::string line;
    int opens = 0;
    while (std::getline(lines, line)) {
      if (line.find(image) == std::string::npos) continue;
      if (line.find("open") != std::string::npos && line.find("= -1") == std::string::npos) {
        ++opens;
        EXPECT_NE(line.find("O_RDONLY"), std::string::npos) << line;
        EXPECT_EQ(line.find("O_RDWR"), std::string::npos) << line;
        EXPECT_EQ(line.find("O_WRONLY"), std::string::npos) << line;
        EXPECT_EQ(line.find("O_TRUNC"), std::string::npos) << line;
      } else if (line.find("write") != std::string::npos || line.find("truncate") != std::string::npos ||
                 line.find("fallocate") != std::string::npos) {
        ADD_FAILURE() << "the image was written: " << line;
      }
    }
    // The command keeps the image open from its first read to its end.
    EXPECT_EQ(opens, 1) << "the image was opened " << opens << " times in one command";
  }
}
#endif

}  // namespace
}  // namespace pyralis::test
