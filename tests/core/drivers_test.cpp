// SPDX-License-Identifier: GPL-3.0-or-later
// The scan and recovery drivers: which volumes reach which engine (seen by the boot-sector
// copies they take), and the one line a drive that cannot be read leaves in the log.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <fstream>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/found_files.h"
#include "core/process_state.h"
#include "drivers/drivers.h"
#include "platform/drive_table.h"
#include "tests/core/core_images.h"
#include "tests/support/recording_window.h"
#include "tests/support/test_files.h"

namespace pyralis {
namespace {

using Sector = std::array<uint8_t, 512>;

class Drivers : public testing::Test {
 protected:
  void SetUp() override {
    reset_process_state();
    platform::reset_drive_table();
  }
  void TearDown() override {
    reset_process_state();
    platform::reset_drive_table();
  }

  static Sector sector_of(const std::string& path, size_t offset) {
    Sector sector{};
    std::ifstream file(path, std::ios::binary);
    file.seekg(static_cast<std::streamoff>(offset));
    file.read(reinterpret_cast<char*>(sector.data()), sector.size());
    return sector;
  }
  static bool zero(const Sector& sector) {
    return std::all_of(sector.begin(), sector.end(), [](uint8_t b) { return b == 0; });
  }
  // Lines about a drive that cannot be used ("Drive C: ... cannot be read: ...").
  std::vector<std::string> problem_lines() const {
    std::vector<std::string> lines;
    for (const std::string& line : window_.log)
      if (line.rfind("Drive ", 0) == 0) lines.push_back(line);
    return lines;
  }
  std::string folder() const { return dir_.path() + "/"; }

  // Scans a drive that must reach no engine, and checks the single line of its problem.
  void expect_unreadable_scan(char letter, const std::string& names) {
    EXPECT_EQ(scan_drive(letter), ScanResult::kNotScanned) << "its problem line ends the scan";
    EXPECT_FALSE(ScanActive);
    EXPECT_TRUE(zero(FatBootSector));
    EXPECT_TRUE(zero(NtfsBootSector));
    const auto lines = problem_lines();
    ASSERT_EQ(lines.size(), 1u) << window_.LogText();
    const std::string drive = std::string(1, static_cast<char>(std::toupper(letter))) + ":";
    EXPECT_EQ(lines[0].rfind("Drive " + drive, 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(names), std::string::npos) << lines[0];
  }

  test::RecordingWindow window_;
  test::TempDir dir_;
};

TEST_F(Drivers, FatVolumesOfEveryWidthReachTheFatEngine) {
  const struct { int bits, kib; } volumes[] = {{12, 1440}, {16, 16384}, {32, 40960}};
  for (const auto& volume : volumes) {
    SCOPED_TRACE("FAT" + std::to_string(volume.bits));
    const std::string image = dir_.file("fat" + std::to_string(volume.bits) + ".img");
    if (!test::make_fat_image(image, volume.bits, volume.kib)) GTEST_SKIP() << "no mkfs.fat";
    reset_process_state();
    const char letter = test::attach_only(image);
    ASSERT_EQ(letter, 'C');
    scan_drive(volume.bits == 16 ? 'C' : 'c');  // either case names the drive
    EXPECT_TRUE(ScanActive);
    EXPECT_EQ(FatBootSector, sector_of(image, 0));
    EXPECT_TRUE(zero(NtfsBootSector));
    EXPECT_TRUE(problem_lines().empty()) << window_.LogText();

    // The recovery driver opens the drive and reads sector 0 afresh.
    FatBootSector.fill(0);
    FoundFileRecord record;
    record.Name = "x.txt";
    FoundFiles.clear();
    FoundFiles.append(record);
    undelete_found_file('c', 0, folder());
    EXPECT_EQ(FatBootSector, sector_of(image, 0));
  }
}

TEST_F(Drivers, NtfsPartitionReachesTheNtfsEngineThroughThePartitionTable) {
  const std::string image = test::gunzip_fixture("cc0-ntfs-samples/ntfs-lastaccess.raw.gz", dir_);
  const char letter = test::attach_only(image);
  ASSERT_EQ(letter, 'C');
  scan_drive('c');
  const Sector partition_boot = sector_of(image, 128 * 512);
  ASSERT_EQ(std::string(reinterpret_cast<const char*>(partition_boot.data()) + 3, 4), "NTFS");
  EXPECT_EQ(NtfsBootSector, partition_boot);
  EXPECT_TRUE(zero(FatBootSector));
  EXPECT_TRUE(problem_lines().empty()) << window_.LogText();

  NtfsBootSector.fill(0);
  FoundFileRecord record;
  record.Inode = 64;
  FoundFiles.append(record);
  undelete_found_file('c', 0, folder());
  EXPECT_EQ(NtfsBootSector, partition_boot);
}

TEST_F(Drivers, ZeroFilledImageReachesNoEngineAndSaysWhy) {
  const std::string image = dir_.file("zeros.img");
  ASSERT_TRUE(test::write_file(image, std::string(1 << 20, '\0')));
  expect_unreadable_scan(test::attach_only(image), image);
}

TEST_F(Drivers, MissingImageReachesNoEngineAndSaysWhy) {
  const std::string image = dir_.file("no-such.img");
  const char letter = test::attach_only(image);
  if (letter == 0) {
    // Not attached at all: the letter has no source, which the line says too.
    expect_unreadable_scan('c', "C:");
    return;
  }
  expect_unreadable_scan(letter, image);
}

TEST_F(Drivers, BlockDeviceThatRefusesToOpenSaysWhy) {
  const std::string device = "/dev/vda";  // refuses even root in the build sandbox
  const int fd = ::open(device.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) ::close(fd);
  if (fd >= 0 || errno == ENOENT) GTEST_SKIP() << device << " opens or is missing here";
  expect_unreadable_scan(test::attach_only(device), device);
}

TEST_F(Drivers, LetterWithoutSourceSaysSo) {
  expect_unreadable_scan('q', "Q:");
}

TEST_F(Drivers, OtherFileSystemsReachNoEngine) {
  std::vector<std::string> images;
  if (test::have_program("mkfs.ext2")) {
    const std::string ext2 = dir_.file("ext2.img");
    if (test::run_command("mkfs.ext2 -q -F " + test::shell_quote(ext2) + " 2048") == 0)
      images.push_back(ext2);
  }
  // A boot sector that looks like a boot sector (jump, signature) but names no FAT or NTFS.
  std::string crafted(1 << 20, '\0');
  crafted.replace(0, 11, "\xEB\x3C\x90MYFS    ");
  crafted[510] = '\x55';
  crafted[511] = '\xAA';
  const std::string other = dir_.file("other.img");
  ASSERT_TRUE(test::write_file(other, crafted));
  images.push_back(other);
  for (const std::string& image : images) {
    SCOPED_TRACE(image);
    reset_process_state();
    const char letter = test::attach_only(image);
    scan_drive(letter == 0 ? 'c' : letter);
    EXPECT_TRUE(zero(FatBootSector));
    EXPECT_TRUE(zero(NtfsBootSector));
  }
}

TEST_F(Drivers, StopDuringTheFirstPumpStillStartsTheEngine) {
  const std::string image = dir_.file("fat12.img");
  if (!test::make_fat_image(image, 12, 1440)) GTEST_SKIP() << "no mkfs.fat";
  const char letter = test::attach_only(image);
  window_.on_pump = [] { ScanActive = false; };
  scan_drive(letter);
  EXPECT_EQ(FatBootSector, sector_of(image, 0));
  EXPECT_FALSE(ScanActive);
  EXPECT_GE(window_.pumps, 1);
}

TEST_F(Drivers, ErrorsInsideAScanEndItWithOneLine) {
  const std::string image = dir_.file("fat12.img");
  if (!test::make_fat_image(image, 12, 1440)) GTEST_SKIP() << "no mkfs.fat";
  const char letter = test::attach_only(image);
  window_.on_pump = [] { throw std::runtime_error("the disk caught fire"); };
  scan_drive(letter);
  EXPECT_FALSE(ScanActive);
  EXPECT_TRUE(window_.Logged("Scan of drive C: stopped: the disk caught fire"))
      << window_.LogText();

  window_.on_pump = [] { throw std::bad_alloc(); };
  scan_drive(letter);
  EXPECT_TRUE(window_.Logged("Scan of drive C: stopped: out of memory")) << window_.LogText();

  window_.on_pump = nullptr;
  scan_drive(letter);  // the next scan runs as usual
  EXPECT_TRUE(ScanActive);
  EXPECT_EQ(FatBootSector, sector_of(image, 0));
}

TEST_F(Drivers, RecoveryChecksTheRowAndTheDrive) {
  const std::string image = dir_.file("fat12.img");
  if (!test::make_fat_image(image, 12, 1440)) GTEST_SKIP() << "no mkfs.fat";
  const char letter = test::attach_only(image);
  for (const int32_t row : {0, -1, 5}) {
    EXPECT_EQ(undelete_found_file(letter, row, folder()).result, RecoveryResult::kFailed);
    EXPECT_TRUE(zero(FatBootSector)) << row;
  }
  EXPECT_EQ(window_.LinesWith("Cannot recover row").size(), 3u) << window_.LogText();

  FoundFiles.append(FoundFileRecord{});
  platform::reset_drive_table();
  test::attach_only(dir_.file("gone.img"));
  EXPECT_EQ(undelete_found_file('c', 0, folder()).result, RecoveryResult::kFailed);
  EXPECT_TRUE(zero(FatBootSector));
  EXPECT_EQ(problem_lines().size(), 1u) << window_.LogText();
}

}  // namespace
}  // namespace pyralis
