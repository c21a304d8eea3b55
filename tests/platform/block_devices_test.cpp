// SPDX-License-Identifier: GPL-3.0-or-later
// Drive types read from a sysfs-like tree, and folders on a real block device.
#include "platform/block_devices.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "platform/drive_table.h"
#include "platform/system_paths.h"
#include "tests/support/test_files.h"

namespace pyralis::platform {
namespace {

// Makes `folder` with the given files (name, first line).
std::string make_device(const test::TempDir& root, const std::string& folder,
                        std::initializer_list<std::pair<const char*, const char*>> files) {
  const std::string path = root.path() + "/" + folder;
  std::filesystem::create_directories(path);
  for (const auto& [name, text] : files) std::ofstream(path + "/" + name) << text << "\n";
  return path;
}

TEST(BlockDevices, DriveTypesFromTheSysfsTree) {
  test::TempDir root;
  const std::string pci = "devices/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0/block/";
  EXPECT_EQ(drive_type_from_sysfs(make_device(root, pci + "sda", {{"removable", "0"}})), 3u);
  EXPECT_EQ(drive_type_from_sysfs(make_device(root, pci + "sda/sda2", {{"partition", "2"}})), 3u);
  const std::string usb = "devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/block/";
  EXPECT_EQ(drive_type_from_sysfs(make_device(root, usb + "sdb", {{"removable", "0"}})), 2u);
  EXPECT_EQ(drive_type_from_sysfs(make_device(root, usb + "sdb/sdb1", {{"partition", "1"}})), 2u);
  EXPECT_EQ(drive_type_from_sysfs(make_device(root, pci + "sdc", {{"removable", "1"}})), 2u);
  EXPECT_EQ(drive_type_from_sysfs(
                make_device(root, "devices/platform/mmc_host/mmc0/mmc0:0001/block/mmcblk0", {})),
            2u);
  EXPECT_EQ(drive_type_from_sysfs(make_device(root, pci + "sr0", {{"removable", "1"}})), 5u);
  EXPECT_EQ(drive_type_from_sysfs(make_device(root, "devices/virtual/block/zram0", {})), 6u);
  EXPECT_EQ(drive_type_from_sysfs(make_device(root, "devices/virtual/block/ram3", {})), 6u);
  EXPECT_EQ(drive_type_from_sysfs(make_device(root, "devices/virtual/block/loop4", {})), 3u);
  EXPECT_EQ(drive_type_from_sysfs(""), 0u);
}

// The folder holding this test's temporary files lies on some block device; when that
// device node exists, a drive on it holds the folder, whether or not it can be opened.
TEST(BlockDevices, FolderOnTheDriveOfItsOwnDevice) {
  test::TempDir dir;
  struct stat st {};
  ASSERT_EQ(::stat(dir.path().c_str(), &st), 0);
  std::string device;
  for (const auto& item : std::filesystem::directory_iterator("/dev")) {
    struct stat node {};
    if (::stat(item.path().c_str(), &node) == 0 && S_ISBLK(node.st_mode) &&
        node.st_rdev == st.st_dev) {
      device = item.path().string();
      break;
    }
  }
  if (device.empty()) GTEST_SKIP() << "the temporary folder is not on a block device node";
  reset_drive_table();
  attach_sources({device});
  EXPECT_TRUE(folder_on_drive(dir.path(), 'C'));
  EXPECT_FALSE(folder_on_drive("/proc", 'C'));
  reset_drive_table();
}

}  // namespace
}  // namespace pyralis::platform
