// SPDX-License-Identifier: GPL-3.0-or-later
// The drive table: letters for image files, partitioned disks and block devices, problem
// texts for sources that cannot be used, drive types and transfers bounded by the volume.
#include "platform/drive_table.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <vector>

#include "platform/partition_table.h"
#include "platform/source_file.h"
#include "platform/volume_access.h"
#include "tests/platform/test_images.h"

namespace pyralis::platform {
namespace {

using test::TempDir;

class DriveTable : public ::testing::Test {
 protected:
  void SetUp() override { reset_drive_table(); }
  void TearDown() override { reset_drive_table(); }

  static std::string read_drive(char letter, uint64_t offset, size_t size) {
    std::string bytes(size, '\0');
    if (!read_volume(letter, offset, bytes.data(), size)) return "";
    return bytes;
  }
};

TEST_F(DriveTable, MbrDiskGivesOneDrivePerFatPartitionInTableOrder) {
  TempDir dir;
  const std::string disk = test::make_mbr_disk(dir);
  if (disk.empty()) GTEST_SKIP() << "sfdisk or mkfs.fat missing";
  const auto letters = attach_sources({disk});
  // Partition 2 holds nothing and the extended partition is no volume: C is 1, D is 5.
  ASSERT_EQ(letters, (std::vector<char>{'C', 'D'}));
  const Drive* c = find_drive('c');
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->source.partition, 1);
  EXPECT_EQ(c->source.offset, 2048u * 512);
  EXPECT_EQ(c->source.length, 40960u * 512);
  EXPECT_EQ(volume_details('C')->file_system, "FAT");
  EXPECT_EQ(volume_details('C')->label, "FIRST");
  const Drive* d = find_drive('D');
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->source.partition, 5);
  EXPECT_EQ(d->source.offset, 88064u * 512);
  EXPECT_EQ(volume_details('D')->file_system, "FAT32");
  EXPECT_EQ(volume_details('D')->label, "LOGICAL");
  // Bytes come from inside the partition.
  EXPECT_EQ(read_drive('D', 512 * 3, 1024), test::file_bytes(disk, (88064 + 3) * 512, 1024));
  EXPECT_EQ(logical_drives_mask(), (1u << 2) | (1u << 3));
}

TEST_F(DriveTable, GptDiskGivesOneDrivePerPartition) {
  TempDir dir;
  const std::string disk = test::make_gpt_disk(dir);
  if (disk.empty()) GTEST_SKIP() << "sfdisk or mkfs.fat missing";
  ASSERT_EQ(attach_sources({disk}), (std::vector<char>{'C', 'D'}));
  EXPECT_EQ(find_drive('C')->source.offset, 2048u * 512);
  EXPECT_EQ(find_drive('D')->source.offset, 45056u * 512);
  EXPECT_EQ(find_drive('D')->source.partition, 2);
  EXPECT_EQ(volume_details('D')->label, "GPTTWO");
  EXPECT_EQ(read_drive('C', 0, 512), test::file_bytes(disk, 2048 * 512, 512));
}

// A 4Kn disk: its MBR or GPT counts 4,096-byte sectors (the GPT header is at byte 4,096).
TEST_F(DriveTable, TablesOfA4KnDiskCountFourKibSectors) {
  for (const bool gpt : {false, true}) {
    reset_drive_table();
    TempDir dir;
    const std::string fat = test::make_fat_image(dir, "part.img", 12, 8192);
    if (fat.empty()) GTEST_SKIP() << "mkfs.fat missing";
    std::string disk(12 << 20, '\0');
    const auto put = [&](size_t at, uint64_t v, int width) {
      for (int i = 0; i < width; ++i) disk[at + i] = static_cast<char>(v >> (8 * i));
    };
    put(0x1FE, 0xAA55, 2);
    put(0x1BE + 4, gpt ? 0xEE : 0x0C, 1);
    put(0x1BE + 8, gpt ? 1 : 256, 4);  // sector numbers in 4,096-byte units
    put(0x1BE + 12, gpt ? 3071 : 2048, 4);
    if (gpt) {
      disk.replace(4096, 8, "EFI PART");
      put(4096 + 0x48, 2, 8);        // entries at sector 2
      put(4096 + 0x50, 4, 4);        // four entries
      put(4096 + 0x54, 128, 4);      // of 128 bytes
      put(2 * 4096, 0xEBD0A0A2, 4);  // a non-zero type GUID
      put(2 * 4096 + 0x20, 256, 8);
      put(2 * 4096 + 0x28, 256 + 2048 - 1, 8);
    }
    disk.replace(256 * 4096, 8192 * 512, test::file_bytes(fat, 0, 8192 * 512));
    const std::string path = dir.file("4kn.img");
    ASSERT_TRUE(test::write_file(path, disk));
    ASSERT_EQ(attach_sources({path}), std::vector<char>{'C'}) << gpt;
    EXPECT_EQ(find_drive('C')->source.offset, 256u * 4096) << gpt;
    EXPECT_EQ(find_drive('C')->source.length, 2048u * 4096) << gpt;
    EXPECT_EQ(volume_details('C')->file_system.substr(0, 3), "FAT") << gpt;
  }
}

TEST_F(DriveTable, NtfsSamplePartitionAtSector128) {
  TempDir dir;
  const std::string disk =
      test::gunzip_fixture_head("cc0-ntfs-samples/ntfs-lastaccess.raw.gz", dir, 1 << 20);
  ASSERT_EQ(attach_sources({disk}), std::vector<char>{'C'});
  EXPECT_EQ(find_drive('C')->source.offset, 65536u);
  EXPECT_EQ(volume_details('C')->file_system, "NTFS");
  EXPECT_EQ(read_drive('C', 0, 4096), test::file_bytes(disk, 65536, 4096));
}

TEST_F(DriveTable, UnusableSourcesKeepTheirLetterWithAReason) {
  TempDir dir;
  const std::string zeros = dir.file("zeros.img");
  ASSERT_EQ(test::run_command("truncate -s 1M " + test::shell_quote(zeros)), 0);
  const std::string tiny = dir.file("tiny.img");
  ASSERT_TRUE(test::write_file(tiny, "abc"));
  const std::string missing = dir.file("missing.img");
  const auto letters = attach_sources({zeros, missing, tiny, dir.path()});
  ASSERT_EQ(letters, (std::vector<char>{'C', 'D', 'E', 'F'}));
  EXPECT_NE(find_drive('F')->source.problem.find("neither an image file nor a block device"),
            std::string::npos);
  EXPECT_NE(find_drive('C')->source.problem.find("no FAT, exFAT or NTFS"), std::string::npos)
      << find_drive('C')->source.problem;
  EXPECT_NE(find_drive('D')->source.problem.find("No such file or directory"), std::string::npos)
      << find_drive('D')->source.problem;
  EXPECT_NE(find_drive('E')->source.problem.find("too short"), std::string::npos);
  EXPECT_EQ(drive_problem('d'), find_drive('D')->source.problem);
  EXPECT_EQ(volume_details('C')->file_system, "");
  EXPECT_EQ(drive_type('C'), 3u);  // an image file
  EXPECT_EQ(drive_type('D'), 0u);  // cannot be told: nothing there
  EXPECT_EQ(drive_type('Q'), 1u);  // no drive behind the letter
  EXPECT_EQ(find_drive('Q'), nullptr);
}

TEST_F(DriveTable, PartitionTableWithoutFatOrNtfsIsNamedInTheProblem) {
  TempDir dir;
  const std::string disk = dir.file("empty-parts.img");
  if (!test::have_program("sfdisk")) GTEST_SKIP() << "sfdisk missing";
  ASSERT_EQ(test::run_command("truncate -s 8M " + test::shell_quote(disk) +
                              " && printf 'label: dos\\nstart=2048, type=83\\n' | sfdisk -q " +
                              test::shell_quote(disk)),
            0);
  ASSERT_EQ(attach_sources({disk}), std::vector<char>{'C'});
  EXPECT_NE(find_drive('C')->source.problem.find("MBR partition table with 1 partition"),
            std::string::npos)
      << find_drive('C')->source.problem;
}

TEST_F(DriveTable, TransfersStopAtTheEndOfTheVolume) {
  TempDir dir;
  const std::string image = test::make_fat_image(dir, "v.img", 12, 4096);
  if (image.empty()) GTEST_SKIP() << "mkfs.fat missing";
  ASSERT_EQ(attach_sources({image}), std::vector<char>{'C'});
  const uint64_t end = 4096 * 512;
  EXPECT_EQ(read_drive('C', end - 512, 512), test::file_bytes(image, end - 512, 512));
  std::string buffer(1024, '\x55');
  EXPECT_FALSE(read_volume('C', end - 512, buffer.data(), buffer.size()));
  // The sector inside the volume arrived; nothing was put past it.
  EXPECT_EQ(buffer.substr(0, 512), test::file_bytes(image, end - 512, 512));
  EXPECT_EQ(buffer.substr(512), std::string(512, '\x55'));
  EXPECT_FALSE(read_volume('C', end + 512, buffer.data(), 512));
  EXPECT_EQ(drive_problem('C'), "");  // asking past the end is no fault of the drive
}

TEST_F(DriveTable, LettersRunFromCInOrderAcrossCalls) {
  TempDir dir;
  const std::string a = test::make_fat_image(dir, "a.img", 12, 2048);
  const std::string b = test::make_fat_image(dir, "b.img", 12, 2048);
  if (a.empty() || b.empty()) GTEST_SKIP() << "mkfs.fat missing";
  EXPECT_EQ(attach_sources({a}), std::vector<char>{'C'});
  EXPECT_EQ(attach_sources({b, a}), (std::vector<char>{'D', 'E'}));
  EXPECT_EQ(drives().size(), 3u);
  EXPECT_EQ(drives()[1].source.path, b);
}

TEST(PartitionTableWalk, LoopedExtendedChainEnds) {
  // An MBR whose extended partition's record points back to itself.
  std::vector<uint8_t> disk(512 * 8, 0);
  auto put = [&](size_t at, uint64_t v, int width) {
    for (int i = 0; i < width; ++i) disk[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  put(0x1FE, 0xAA55, 2);
  put(0x1BE + 4, 0x05, 1);
  put(0x1BE + 8, 2, 4);  // extended partition at sector 2
  put(0x1BE + 12, 6, 4);
  const size_t ebr = 2 * 512;
  put(ebr + 0x1FE, 0xAA55, 2);
  put(ebr + 0x1BE + 4, 0x06, 1);
  put(ebr + 0x1BE + 8, 1, 4);
  put(ebr + 0x1BE + 12, 1, 4);
  put(ebr + 0x1CE + 4, 0x05, 1);
  put(ebr + 0x1CE + 8, 0, 4);  // relative 0: itself (ends the chain)
  auto read = [&](uint64_t at, void* buffer, size_t size) {
    if (at > disk.size() || size > disk.size() - at) return false;
    std::copy_n(disk.begin() + static_cast<long>(at), size, static_cast<uint8_t*>(buffer));
    return true;
  };
  PartitionTable table = read_partition_table(read, disk.size());
  EXPECT_EQ(table.kind, "MBR");
  ASSERT_EQ(table.partitions.size(), 1u);
  EXPECT_EQ(table.partitions[0].number, 5);
  EXPECT_EQ(table.partitions[0].offset, 3u * 512);
  // A link to a record already seen (sector 2 + 0 is excluded above; use an explicit loop).
  put(ebr + 0x1CE + 8, 4, 4);  // next record at extended + 4 = sector 6
  const size_t ebr2 = 6 * 512;
  put(ebr2 + 0x1FE, 0xAA55, 2);
  put(ebr2 + 0x1CE + 4, 0x05, 1);
  put(ebr2 + 0x1CE + 8, 4, 4);  // points at itself again
  table = read_partition_table(read, disk.size());
  EXPECT_EQ(table.partitions.size(), 1u);
}

// A read-only loop device over an image reads, through the drive table, the file's bytes.
TEST_F(DriveTable, ReadOnlyLoopDeviceGivesTheImageBytes) {
  TempDir dir;
  const std::string image = test::make_fat_image(dir, "loop.img", 16, 40960, "-n LOOPVOL");
  if (image.empty()) GTEST_SKIP() << "mkfs.fat missing";
  std::string device;
  if (geteuid() != 0 || !test::have_program("losetup") ||
      test::run_command("losetup -r -f --show " + test::shell_quote(image), &device) != 0) {
    GTEST_SKIP() << "loop devices cannot be made here: " << device;
  }
  while (!device.empty() && (device.back() == '\n' || device.back() == ' ')) device.pop_back();
  struct Detach {
    std::string device;
    ~Detach() { test::run_command("losetup -d " + test::shell_quote(device)); }
  } detach{device};
  ASSERT_EQ(attach_sources({device}), std::vector<char>{'C'});
  const Drive* c = find_drive('C');
  EXPECT_TRUE(c->source.block_device);
  EXPECT_EQ(c->source.length, 40960u * 512);
  EXPECT_EQ(volume_details('C')->label, "LOOPVOL");
  EXPECT_EQ(drive_type('C'), 3u);
  EXPECT_EQ(read_drive('C', 40960 * 512 - 8192, 8192),
            test::file_bytes(image, 40960 * 512 - 8192, 8192));
  // The machine's volumes include the same device, which is not given a second letter.
  attach_machine_volumes();
  int seen = 0;
  for (const Drive& d : drives()) seen += d.source.path == device ? 1 : 0;
  EXPECT_EQ(seen, 1);
}

// A block device that refuses to open (in the sandbox /dev/vda refuses even root).
TEST_F(DriveTable, BlockDeviceThatCannotBeOpenedNamesTheReason) {
  const std::string device = "/dev/vda";
  const int fd = ::open(device.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    ::close(fd);
    GTEST_SKIP() << device << " can be opened here";
  }
  if (errno == ENOENT) GTEST_SKIP() << device << " does not exist here";
  ASSERT_EQ(attach_sources({device}), std::vector<char>{'C'});
  const std::string problem = find_drive('C')->source.problem;
  EXPECT_TRUE(find_drive('C')->source.block_device);
  EXPECT_NE(problem.find(device), std::string::npos) << problem;
  EXPECT_NE(problem.find("root"), std::string::npos) << problem;
  EXPECT_NE(problem.find("disk"), std::string::npos) << problem;
  char byte = 0;
  EXPECT_FALSE(read_volume('C', 0, &byte, 1));
}

// A device the user may not open, read through a descriptor a daemon handed over; pulled
// later, its reads fail and its letter is not given out again.
TEST_F(DriveTable, DescriptorSourceReadsUntilTheDriveIsDetached) {
  TempDir dir;
  const std::string image = test::make_fat_image(dir, "stick.img", 16, 40960, "-n HANDED");
  if (image.empty()) GTEST_SKIP() << "mkfs.fat missing";
  ASSERT_EQ(attach_sources({dir.file("no-such-device")}), std::vector<char>{'C'});
  EXPECT_FALSE(attach_source_fd('D', 0));
  const int fd = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(attach_source_fd('C', fd));
  ::close(fd);  // the drive keeps its own duplicate
  EXPECT_EQ(drive_problem('C'), "");
  EXPECT_EQ(volume_details('C')->label, "HANDED");
  EXPECT_EQ(drive_type('C'), 3u);
  EXPECT_EQ(read_drive('C', 40960 * 512 - 4096, 4096), test::file_bytes(image, 40960 * 512 - 4096, 4096));

  detach_drive('C');
  EXPECT_EQ(read_drive('C', 0, 512), "");
  EXPECT_NE(drive_problem('C').find("was removed"), std::string::npos) << drive_problem('C');
  EXPECT_EQ(find_drive('C'), nullptr);
  EXPECT_TRUE(drives().empty());
  EXPECT_EQ(attach_sources({image}), std::vector<char>{'D'});
}

TEST(OpenProblemText, NamesThePrivilegeOnlyForBlockDevices) {
  EXPECT_NE(open_problem_text("/dev/sdz", EACCES, true).find("'disk' group"), std::string::npos);
  EXPECT_EQ(open_problem_text("/x.img", EACCES, false), "cannot open /x.img: Permission denied");
}

TEST_F(DriveTable, DamagedGptHeaderLeavesOnlyTheProtectiveEntry) {
  TempDir dir;
  const std::string disk = test::make_gpt_disk(dir);
  if (disk.empty()) GTEST_SKIP() << "sfdisk or mkfs.fat missing";
  // Entry size 7 at 0x54 of the header in sector 1.
  {
    std::fstream f(disk, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(512 + 0x54);
    f.write("\x07\0\0\0", 4);
  }
  ASSERT_EQ(attach_sources({disk}), std::vector<char>{'C'});
  EXPECT_NE(find_drive('C')->source.problem.find("MBR partition table with 1 partition"),
            std::string::npos)
      << find_drive('C')->source.problem;
}

}  // namespace
}  // namespace pyralis::platform
