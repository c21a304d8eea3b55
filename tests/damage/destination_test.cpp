// SPDX-License-Identifier: GPL-3.0-or-later
// Destination safety: a read-only destination, a full one, one whose file system refuses
// the names, and the same name twice. Each problem gives one clear line for its file, no
// other file is lost, and nothing is written outside the chosen folder.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <filesystem>

#include "core/found_files.h"
#include "core/process_state.h"
#include "drivers/drivers.h"
#include "ntfs/ntfs_engine.h"
#include "platform/drive_table.h"
#include "tests/damage/damage_support.h"
#include "tests/ntfsimg/ntfs_image_builder.h"

namespace fs = std::filesystem;

namespace pyralis::test {
namespace {

// A file system mounted on a folder for the length of a test; mounted() is false where
// mounting is not permitted.
class Mount {
 public:
  Mount(const std::string& source, const std::string& target, const char* type,
        unsigned long flags, const std::string& options) : target_(target) {
    fs::create_directories(target);
    mounted_ = ::mount(source.c_str(), target.c_str(), type, flags, options.c_str()) == 0;
  }
  ~Mount() {
    if (mounted_) ::umount2(target_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

 private:
  std::string target_;
  bool mounted_ = false;
};

// An NTFS volume whose deleted files are: big.bin (200 KiB), then small files a.txt,
// b.txt, and two files named same.txt in different folders.
std::string destination_volume() {
  NtfsGeometry g;
  g.total_sectors = 8192;
  NtfsImageBuilder b(g);
  const uint64_t one = b.add_directory("one");
  const uint64_t two = b.add_directory("two");
  const auto add = [&](const std::string& name, uint64_t parent, std::string content) {
    FileSpec f;
    f.name = name;
    f.parent = parent;
    f.deleted = true;
    f.content = std::move(content);
    b.add_file(f);
  };
  add("big.bin", kRootRecord, std::string(200 * 1024, 'B'));
  add("a.txt", kRootRecord, "first small file");
  add("b:?*.txt", kRootRecord, "a name vfat refuses");
  add("same.txt", one, "same name, folder one");
  add("same.txt", two, "same name, folder two");
  const std::vector<uint8_t> bytes = b.build();
  return std::string(bytes.begin(), bytes.end());
}

class Destination : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = dir_.file("volume.img");
    write_file(image_, destination_volume());
    platform::reset_drive_table();
    letter_ = platform::attach_sources({image_}).front();
    FoundFiles.clear();
    ntfs_clear_name_cache();
    ScanStartTime = std::chrono::steady_clock::now();
    scan_drive(letter_);
    ScanActive = false;
    ASSERT_EQ(FoundFiles.Count(), 5);
  }
  void TearDown() override { platform::reset_drive_table(); }

  // Recovers every row into `folder`; returns the log.
  std::vector<std::string> RecoverAll(const std::string& folder) {
    RecordingWindow window;
    RecoveryActive = true;
    for (int32_t i = 0; i < FoundFiles.Count(); ++i) undelete_found_file(letter_, i, folder + "/");
    RecoveryActive = false;
    return window.log;
  }

  static std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  TempDir dir_;
  std::string image_;
  char letter_ = 0;
};

TEST_F(Destination, TheSameNameTwiceKeepsBothFiles) {
  const std::string out = dir_.file("out");
  fs::create_directory(out);
  write_file(out + "/a.txt", "a live file that must survive");
  const auto log = RecoverAll(out);
  EXPECT_EQ(read_file(out + "/a.txt"), "a live file that must survive");
  EXPECT_EQ(read_file(out + "/a (2).txt"), "first small file");
  EXPECT_EQ(read_file(out + "/same.txt"), "same name, folder one");
  EXPECT_EQ(read_file(out + "/same (2).txt"), "same name, folder two");
  EXPECT_EQ(count_lines(log, "Undeleted " + out + "/same (2).txt successfully."), 1u);
  EXPECT_EQ(Names(out).size(), 6u);
}

TEST_F(Destination, AReadOnlyDestinationGivesOneLinePerFile) {
  const std::string out = dir_.file("readonly");
  Mount mount("pyralis", out, "tmpfs", MS_RDONLY, "size=64k");
  if (!mount.mounted()) GTEST_SKIP() << "mounting a tmpfs is not permitted here";
  const auto log = RecoverAll(out);
  EXPECT_EQ(count_lines(log, "Cannot write to " + out + "/"), 5u) << ::testing::PrintToString(log);
  EXPECT_EQ(count_lines(log, "Read-only file system"), 5u);
  EXPECT_EQ(count_lines(log, "successfully"), 0u);
  EXPECT_EQ(log.size(), 10u);  // each failure also gives the engine's own closing line
}

TEST_F(Destination, AFullDestinationLosesOnlyTheFileThatDoesNotFit) {
  const std::string out = dir_.file("full");
  Mount mount("pyralis", out, "tmpfs", 0, "size=64k");
  if (!mount.mounted()) GTEST_SKIP() << "mounting a tmpfs is not permitted here";
  const auto log = RecoverAll(out);
  EXPECT_EQ(count_lines(log, "Cannot write to " + out + "/big.bin: No space left on device"), 1u)
      << ::testing::PrintToString(log);
  EXPECT_EQ(count_lines(log, "successfully."), 4u);
  // The partial file is gone; the small files that came after it are whole.
  EXPECT_EQ(Names(out), (std::vector<std::string>{"a.txt", "b:?*.txt", "same (2).txt", "same.txt"}));
  EXPECT_EQ(read_file(out + "/same (2).txt"), "same name, folder two");
}

TEST_F(Destination, NamesTheDestinationRefusesGiveOneLineAndKeepTheRest) {
  if (!have_program("mkfs.fat")) GTEST_SKIP() << "mkfs.fat missing";
  const std::string fat = dir_.file("dest.img");
  ASSERT_EQ(run_command("mkfs.fat -C " + shell_quote(fat) + " 2048"), 0);
  const std::string out = dir_.file("vfat");
  std::string output;
  fs::create_directories(out);
  if (run_command("mount -o loop " + shell_quote(fat) + " " + shell_quote(out), &output) != 0)
    GTEST_SKIP() << "loop mounts are not permitted here: " << output;
  const auto log = RecoverAll(out);
  run_command("umount " + shell_quote(out));
  EXPECT_EQ(count_lines(log, "Cannot write to " + out + "/b:?*.txt"), 1u)
      << ::testing::PrintToString(log);
  EXPECT_EQ(count_lines(log, "successfully."), 4u);
}

// Names longer than the destination allows (255 bytes): 251 three-byte characters, and
// 255 ASCII characters, each twice so that the second needs a " (2)" that still fits.
TEST(DestinationNames, NamesTooLongForTheDestinationAreCutAndBothCopiesKept) {
  TempDir dir;
  NtfsGeometry g;
  g.total_sectors = 8192;
  NtfsImageBuilder b(g);
  std::string euros;
  for (int i = 0; i < 251; ++i) euros += "\xE2\x82\xAC";
  for (const std::string& name : {euros + ".txt", std::string(255, 'x')}) {
    for (int copy = 0; copy < 2; ++copy) {
      FileSpec f;
      f.name = name;
      f.parent = b.add_directory("d" + std::to_string(copy) + name.substr(0, 3));
      f.deleted = true;
      f.content = "copy " + std::to_string(copy);
      b.add_file(f);
    }
  }
  const std::vector<uint8_t> bytes = b.build();
  const RunResult r = scan_and_recover(dir, "names.img", std::string(bytes.begin(), bytes.end()));
  EXPECT_EQ(r.rows, 4);
  EXPECT_EQ(count_lines(r.recover_log, "successfully."), 4u) << ::testing::PrintToString(r.recover_log);
  int files = 0;
  for (const auto& e : fs::directory_iterator(dir.file("out"))) {
    EXPECT_LE(e.path().filename().string().size(), 255u);
    ++files;
  }
  EXPECT_EQ(files, 4);
}

}  // namespace
}  // namespace pyralis::test
