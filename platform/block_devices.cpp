// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/block_devices.h"

#include <sys/sysmacros.h>

#include <filesystem>
#include <fstream>

namespace pyralis::platform {

std::string sysfs_block_folder(dev_t device) {
  std::error_code ec;
  const std::string link =
      "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
  const auto resolved = std::filesystem::canonical(link, ec);
  return ec ? std::string() : resolved.string();
}

uint32_t drive_type_from_sysfs(const std::string& device_folder) {
  if (device_folder.empty()) return 0;
  std::string folder = device_folder;
  std::error_code ec;
  if (std::filesystem::exists(folder + "/partition", ec)) {
    folder = std::filesystem::path(folder).parent_path().string();
  }
  const std::string name = std::filesystem::path(folder).filename().string();
  if (name.starts_with("sr")) return 5;
  if (name.starts_with("ram") || name.starts_with("zram")) return 6;
  std::ifstream removable(folder + "/removable");
  std::string flag;
  if (std::getline(removable, flag) && flag == "1") return 2;
  if (folder.find("/usb") != std::string::npos || folder.find("/mmc") != std::string::npos) {
    return 2;
  }
  return 3;
}

}  // namespace pyralis::platform
