// SPDX-License-Identifier: GPL-3.0-or-later
// The documents folder and whether a folder lies on a drive's device.
#include "platform/system_paths.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "platform/drive_table.h"
#include "tests/platform/test_images.h"

namespace pyralis::platform {
namespace {

class EnvironmentGuard {
 public:
  explicit EnvironmentGuard(std::vector<std::string> names) : names_(std::move(names)) {
    for (const auto& n : names_) {
      const char* v = std::getenv(n.c_str());
      saved_.push_back(v ? std::optional<std::string>(v) : std::nullopt);
    }
  }
  ~EnvironmentGuard() {
    for (size_t i = 0; i < names_.size(); ++i) {
      if (saved_[i])
        setenv(names_[i].c_str(), saved_[i]->c_str(), 1);
      else
        unsetenv(names_[i].c_str());
    }
  }

 private:
  std::vector<std::string> names_;
  std::vector<std::optional<std::string>> saved_;
};

TEST(SystemPaths, DocumentsFolderFollowsUserDirsThenDocumentsThenHome) {
  EnvironmentGuard guard({"HOME", "XDG_CONFIG_HOME", "XDG_DOCUMENTS_DIR"});
  test::TempDir home;
  setenv("HOME", (home.path() + "/").c_str(), 1);
  unsetenv("XDG_CONFIG_HOME");
  unsetenv("XDG_DOCUMENTS_DIR");
  EXPECT_EQ(documents_folder(), home.path());
  std::filesystem::create_directories(home.file("Documents"));
  EXPECT_EQ(documents_folder(), home.file("Documents"));
  std::filesystem::create_directories(home.file(".config"));
  std::filesystem::create_directories(home.file("Papiere"));
  test::write_file(home.file(".config/user-dirs.dirs"),
                   "# comment\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
                   "XDG_DOCUMENTS_DIR=\"$HOME/Papiere\"\n");
  EXPECT_EQ(documents_folder(), home.file("Papiere"));
  // A configured folder that does not exist is passed over.
  test::write_file(home.file(".config/user-dirs.dirs"), "XDG_DOCUMENTS_DIR=\"$HOME/Gone\"\n");
  EXPECT_EQ(documents_folder(), home.file("Documents"));
}

TEST(SystemPaths, FoldersAreNeverOnAnImageFileDrive) {
  reset_drive_table();
  test::TempDir dir;
  const std::string image = test::make_fat_image(dir, "v.img", 12, 2048);
  if (image.empty()) GTEST_SKIP() << "mkfs.fat missing";
  attach_sources({image});
  EXPECT_FALSE(folder_on_drive(dir.path(), 'C'));
  EXPECT_FALSE(folder_on_drive(dir.path(), 'X'));  // no drive
  reset_drive_table();
}

}  // namespace
}  // namespace pyralis::platform
