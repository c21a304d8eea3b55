// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/system_paths.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/block_devices.h"
#include "platform/drive_table.h"

namespace pyralis::platform {
namespace {

std::string without_trailing_slash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string home_folder() {
  const char* home = std::getenv("HOME");
  return home && *home ? without_trailing_slash(home) : std::string("/");
}

// XDG_DOCUMENTS_DIR from the user-dirs file: a line XDG_DOCUMENTS_DIR="$HOME/Documents".
std::string xdg_documents_dir(const std::string& home) {
  if (const char* env = std::getenv("XDG_DOCUMENTS_DIR"); env && *env) return env;
  const char* config = std::getenv("XDG_CONFIG_HOME");
  const std::string folder = config && *config ? config : home + "/.config";
  std::ifstream in(folder + "/user-dirs.dirs");
  std::string line;
  const std::string key = "XDG_DOCUMENTS_DIR=";
  while (std::getline(in, line)) {
    if (!line.starts_with(key)) continue;
    std::string value = line.substr(key.size());
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    if (value.starts_with("$HOME")) value = home + value.substr(5);
    return value;
  }
  return "";
}

bool is_folder(const std::string& path) {
  std::error_code ec;
  return !path.empty() && std::filesystem::is_directory(path, ec);
}

}  // namespace

std::string documents_folder() {
  const std::string home = home_folder();
  const std::string xdg = xdg_documents_dir(home);
  if (is_folder(xdg)) return without_trailing_slash(xdg);
  if (is_folder(home + "/Documents")) return home + "/Documents";
  return home;
}

bool folder_on_drive(const std::string& folder, char letter) {
  const Drive* drive = find_drive(letter);
  if (!drive || !drive->source.block_device) return false;
  struct stat folder_stat {
  }, device_stat{};
  if (::stat(folder.c_str(), &folder_stat) != 0) return false;
  if (::stat(drive->source.path.c_str(), &device_stat) != 0 || !S_ISBLK(device_stat.st_mode)) {
    return false;
  }
  if (folder_stat.st_dev == device_stat.st_rdev) return true;
  // The partitions of a whole disk are folders of its sysfs folder with a "dev" file.
  const std::string sys = sysfs_block_folder(device_stat.st_rdev);
  if (sys.empty()) return false;
  const std::string wanted =
      std::to_string(major(folder_stat.st_dev)) + ":" + std::to_string(minor(folder_stat.st_dev));
  std::error_code ec;
  for (const auto& item : std::filesystem::directory_iterator(sys, ec)) {
    std::ifstream dev(item.path() / "dev");
    std::string text;
    if (std::getline(dev, text) && text == wanted) return true;
  }
  return false;
}

}  // namespace pyralis::platform
