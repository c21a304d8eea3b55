// SPDX-License-Identifier: GPL-3.0-or-later
// What recover writes never lands on what it reads: --report onto the source, the map or a
// file it recovers is refused before anything is written; FIFOs as inputs are refused at
// once; --with-paths never follows a link planted in the destination, and a deleted file and
// a deleted folder of the same name are both kept.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "tests/e2e/cli_runner.h"

namespace pyralis::test {
namespace {

namespace fs = std::filesystem;

// A deleted file SAME and a deleted folder TAME holding IN.TXT: both are listed as "xAME".
class CliOutputs : public testing::Test {
 protected:
  void SetUp() override {
    image_ = make_fat_volume(dir_, 16,
                             {{"", "SAME", filler(3000, 11), true},
                              {"TAME", "IN.TXT", filler(5000, 12), true},
                              {"", "KEEP.TXT", filler(700, 13), false}},
                             {"TAME"});
    if (image_.empty()) GTEST_SKIP() << "mkfs.fat or mtools missing";
    struct stat st {};
    ASSERT_EQ(::stat(image_.c_str(), &st), 0);
    image_size_ = static_cast<uint64_t>(st.st_size);
    map_ = dir_.file("fat.map");
    ASSERT_TRUE(write_ddrescue_map(map_, image_size_, image_size_ - 512, 512));
  }

  size_t files_under(const std::string& folder) const {
    size_t count = 0;
    std::error_code ec;
    for (const auto& item : fs::recursive_directory_iterator(dir_.file(folder), ec))
      count += item.is_regular_file() ? 1 : 0;
    return count;
  }

  TempDir dir_;
  std::string image_, map_;
  uint64_t image_size_ = 0;
};

TEST_F(CliOutputs, ReportOntoAnInputIsRefusedBeforeAnythingIsWritten) {
  const std::string image_bytes = read_file(image_), map_bytes = read_file(map_);
  ASSERT_TRUE(fs::create_directory(dir_.file("out")));
  const struct {
    std::string report, line;
  } cases[] = {
      {image_, " is the source being read"},
      {map_, " is the map being read"},
      {dir_.file("out/xAME"), " is a file this command recovers"},
  };
  for (const auto& c : cases) {
    const CliRun run = run_cli("recover " + shell_quote(image_) + " --map " + shell_quote(map_) +
                                   " --all --to out --report " + shell_quote(c.report),
                               dir_);
    EXPECT_EQ(run.status, 2) << c.report << "\n" << run.err;
    EXPECT_NE(run.err.find("--report " + c.report + c.line), std::string::npos) << run.err;
    EXPECT_EQ(files_under("out"), 0u) << c.report;
  }
  EXPECT_EQ(read_file(image_), image_bytes);
  EXPECT_EQ(read_file(map_), map_bytes);
}

TEST_F(CliOutputs, FifoAsSourceOrMapIsRefusedAtOnce) {
  const std::string fifo = dir_.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string commands[] = {
      "scan " + shell_quote(fifo),
      "scan " + shell_quote(image_) + " --map " + shell_quote(fifo),
      "recover " + shell_quote(image_) + " --map " + shell_quote(fifo) + " --all --to out",
  };
  for (const std::string& command : commands) {
    const CliRun run = run_cli(command, dir_, {}, 10);
    EXPECT_EQ(run.status, 2) << command << "\n" << run.err;
    EXPECT_EQ(run.err_lines().size(), 1u) << run.err;
  }
}

TEST_F(CliOutputs, WithPathsKeepsFileAndFolderOfOneNameAndNeverFollowsALink) {
  for (const bool planted : {false, true}) {
    const std::string out = planted ? "planted" : "plain";
    ASSERT_TRUE(fs::create_directory(dir_.file(out)));
    ASSERT_TRUE(fs::create_directory(dir_.file(out + "-outside")));
    if (planted) fs::create_directory_symlink("../" + out + "-outside", dir_.file(out + "/xAME"));
    const CliRun run = run_cli("recover " + shell_quote(image_) + " --all --with-paths --to " +
                                   out + " --report " + out + ".json",
                               dir_);
    // 1 only for a written file whose filler bytes do not look like a whole file of its type.
    EXPECT_TRUE(run.status == 0 || (run.status == 1 && (run.err + run.out).find("with damaged content") !=
                                                           std::string::npos))
        << run.err << run.out;
    EXPECT_EQ(files_under(out), 2u) << run.out;
    EXPECT_TRUE(fs::is_empty(dir_.file(out + "-outside")));
    const std::string report = read_file(dir_.file(out + ".json"));
    EXPECT_NE(report.find("\"estimate\": {\"status\": \""), std::string::npos) << report;
  }
}

}  // namespace
}  // namespace pyralis::test
