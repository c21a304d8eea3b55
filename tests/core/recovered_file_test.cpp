// SPDX-License-Identifier: GPL-3.0-or-later
// Writing recovered files: safe names, no replacing, temporary files that never linger.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "core/recovered_file.h"
#include "core/recovery_command.h"
#include "tests/support/test_files.h"

namespace pyralis {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

std::set<std::string> entries(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename());
  return names;
}

// Writes `content` as `name` into `folder` (ending in "/"); returns the name used, or "".
std::string recover(const std::string& folder, std::string_view name, const std::string& content) {
  RecoveredFile file;
  std::string error, written;
  if (!file.Open(folder, name, &error)) return "";
  if (!file.Write(content.data(), content.size(), &error)) return "";
  if (!file.Commit(&written, &error)) return "";
  return written;
}

TEST(SafeFileName, MakesOneComponentThatStaysInTheFolder) {
  EXPECT_EQ(safe_file_name(""), "_");
  EXPECT_EQ(safe_file_name("."), "_");
  EXPECT_EQ(safe_file_name(".."), "_");
  EXPECT_EQ(safe_file_name("/"), "_");
  EXPECT_EQ(safe_file_name("x/../y"), "x_.._y");
  EXPECT_EQ(safe_file_name(std::string_view("a\0b", 3)), "a_b");
  EXPECT_EQ(safe_file_name("../../etc/passwd"), ".._.._etc_passwd");
  EXPECT_EQ(safe_file_name("Report 2004.doc"), "Report 2004.doc");
  EXPECT_EQ(safe_file_name("..."), "...");
  EXPECT_EQ(safe_file_name("red\x1b[31m\a\r\n\x7f.txt"), "red_[31m____.txt");
}

TEST(SafeFileName, CutsLongNamesKeepingTheExtension) {
  const std::string ascii = safe_file_name(std::string(300, 'a') + ".txt");
  EXPECT_EQ(ascii, std::string(251, 'a') + ".txt");
  std::string wide;
  for (int i = 0; i < 200; ++i) wide += "\xC3\xA9";
  const std::string cut = safe_file_name(wide + ".txt");
  EXPECT_LE(cut.size(), 255u);
  EXPECT_EQ(cut, wide.substr(0, 250) + ".txt");  // 125 whole characters, never half of one
  // An "extension" too long to be one is cut like the rest of the name.
  EXPECT_EQ(safe_file_name("a." + std::string(300, 'b')).size(), 255u);
}

TEST(RecoveredFile, NeverReplacesAnExistingFile) {
  TempDir dir;
  const std::string folder = dir.path() + "/";
  EXPECT_EQ(recover(folder, "a.txt", "one"), "a.txt");
  EXPECT_EQ(recover(folder, "a.txt", "two"), "a (2).txt");
  EXPECT_EQ(recover(folder, "a.txt", "three"), "a (3).txt");
  EXPECT_EQ(recover(folder, "noext", "x"), "noext");
  EXPECT_EQ(recover(folder, "noext", "y"), "noext (2)");
  EXPECT_EQ(recover(folder, "archive.tar.gz", "x"), "archive.tar.gz");
  EXPECT_EQ(recover(folder, "archive.tar.gz", "y"), "archive.tar (2).gz");
  EXPECT_EQ(test::read_file(folder + "a.txt"), "one");
  EXPECT_EQ(test::read_file(folder + "a (2).txt"), "two");
  EXPECT_EQ(test::read_file(folder + "a (3).txt"), "three");
  EXPECT_EQ(entries(dir.path()).size(), 7u);  // no temporary file left

  // A taken name of the longest length still gets a number, within 255 bytes.
  const std::string longest = std::string(251, 'L') + ".bin";
  EXPECT_EQ(recover(folder, longest, "1"), longest);
  const std::string second = recover(folder, longest, "2");
  EXPECT_EQ(second, std::string(247, 'L') + " (2).bin");
}

TEST(RecoveredFile, DangerousNamesStayInsideTheFolder) {
  TempDir dir;
  const std::string folder = dir.file("dest") + "/";
  fs::create_directory(folder);
  for (std::string_view name :
       {std::string_view(""), std::string_view("."), std::string_view(".."),
        std::string_view("x/../y"), std::string_view("a\0b", 3), std::string_view("../escape")})
    EXPECT_NE(recover(folder, name, "data"), "") << name;
  EXPECT_EQ(entries(dir.path()), std::set<std::string>{"dest"});
  EXPECT_EQ(entries(folder),
            (std::set<std::string>{"_", "_ (2)", "_ (3)", "x_.._y", "a_b", ".._escape"}));
}

TEST(RecoveredFile, HolesAndContentGiveTheExactLength) {
  TempDir dir;
  const std::string folder = dir.path() + "/";
  RecoveredFile file;
  std::string error, written;
  ASSERT_TRUE(file.Open(folder, "holes.bin", &error)) << error;
  ASSERT_TRUE(file.Write("ab", 2, &error));
  ASSERT_TRUE(file.WriteZeros(10000, &error));
  ASSERT_TRUE(file.Write("cd", 2, &error));
  ASSERT_TRUE(file.WriteZeros(4096, &error));  // a hole at the end is kept too
  EXPECT_EQ(file.BytesWritten(), 14100u);
  ASSERT_TRUE(file.Commit(&written, &error)) << error;
  const std::string content = test::read_file(folder + "holes.bin");
  EXPECT_EQ(content, "ab" + std::string(10000, '\0') + "cd" + std::string(4096, '\0'));
  // File mode follows 0644 under the process's umask.
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(fs::status(folder + "holes.bin").permissions(), static_cast<fs::perms>(0644 & ~mask));
}

TEST(RecoveredFile, DiscardAndDestructionLeaveNothing) {
  TempDir dir;
  const std::string folder = dir.path() + "/";
  std::string error;
  {
    RecoveredFile file;
    ASSERT_TRUE(file.Open(folder, "gone.txt", &error));
    ASSERT_TRUE(file.Write("x", 1, &error));
    EXPECT_EQ(entries(dir.path()).size(), 1u);  // the temporary file
    file.Discard();
    EXPECT_TRUE(entries(dir.path()).empty());
    std::string written;
    EXPECT_FALSE(file.Commit(&written, &error));  // nothing left to commit
  }
  {
    RecoveredFile file;
    ASSERT_TRUE(file.Open(folder, "dropped.txt", &error));
    ASSERT_TRUE(file.Write("x", 1, &error));
  }
  EXPECT_TRUE(entries(dir.path()).empty());
  {
    // A signal that ends the program takes the temporary file with it; later files are not
    // touched.
    RecoveredFile file;
    ASSERT_TRUE(file.Open(folder, "killed.txt", &error));
    ASSERT_TRUE(file.Write("x", 1, &error));
    remove_part_file_from_signal_handler();
    EXPECT_TRUE(entries(dir.path()).empty());
    RecoveredFile kept;
    ASSERT_TRUE(kept.Open(folder, "kept.txt", &error));
    ASSERT_TRUE(kept.Commit(nullptr, &error));
    remove_part_file_from_signal_handler();
    EXPECT_EQ(entries(dir.path()), std::set<std::string>{"kept.txt"});
  }
}

TEST(RecoveredFile, FolderDescriptorOfTheCommandIsUsedNotItsPath) {
  // The command opened the folder; replacing its path by a link afterwards moves nothing.
  TempDir dir;
  ASSERT_TRUE(fs::create_directory(dir.path() + "/real"));
  ASSERT_TRUE(fs::create_directory(dir.path() + "/outside"));
  const std::string folder = dir.path() + "/real/";
  RecoveryCommand command;
  command.UseFolder(folder, ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  fs::rename(dir.path() + "/real", dir.path() + "/moved");
  fs::create_directory_symlink("outside", dir.path() + "/real");
  RecoveredFile file;
  std::string error, written;
  ASSERT_TRUE(file.Open(folder, "a.txt", &error)) << error;
  ASSERT_TRUE(file.Write("abc", 3, &error));
  ASSERT_TRUE(file.Commit(&written, &error)) << error;
  EXPECT_TRUE(entries(dir.path() + "/outside").empty());
  EXPECT_EQ(entries(dir.path() + "/moved"), std::set<std::string>{"a.txt"});
}

TEST(RecoveredFile, MissingFolderGivesTheSystemsReason) {
  TempDir dir;
  RecoveredFile file;
  std::string error;
  EXPECT_FALSE(file.Open(dir.file("missing") + "/", "a.txt", &error));
  EXPECT_EQ(error, std::strerror(ENOENT));
}

// Opens a file in a read-only folder as a user that the permissions bind (root is not
// bound by them, so a root test run drops to "nobody" in a child process first).
void expect_read_only_folder_refused(const std::string& folder) {
  if (geteuid() == 0 && setuid(65534) != 0) std::_Exit(3);
  RecoveredFile file;
  std::string error;
  if (file.Open(folder, "a.txt", &error)) std::_Exit(1);
  std::_Exit(error == std::strerror(EACCES) ? 0 : 2);
}

TEST(RecoveredFile, ReadOnlyFolderGivesTheSystemsReasonAndLeavesNothing) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TempDir dir;
  // The folder above may be passed through by anyone; only "ro" itself refuses writes.
  fs::permissions(dir.path(), fs::perms::others_exec | fs::perms::group_exec,
                  fs::perm_options::add);
  const std::string folder = dir.file("ro") + "/";
  fs::create_directory(folder);
  fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                              fs::perms::group_exec | fs::perms::others_read |
                              fs::perms::others_exec);
  EXPECT_EXIT(expect_read_only_folder_refused(folder), testing::ExitedWithCode(0), "");
  EXPECT_TRUE(entries(folder).empty());
}

TEST(RecoveryTarget, CaptureKeepsTheFirstFileInMemoryUpToItsLimitAndWritesNothing) {
  TempDir dir;
  std::vector<uint8_t> bytes;
  {
    RecoveryTargetScope scope({0.0, &bytes, 6});
    RecoveredFile first, stream;
    std::string error, written;
    ASSERT_TRUE(first.Open(dir.path() + "/", "a.txt", &error));
    ASSERT_TRUE(first.Write("abc", 3, &error));
    ASSERT_TRUE(first.WriteZeros(2, &error));
    EXPECT_FALSE(first.Write("xyz", 3, &error));  // only one more byte fits
    EXPECT_NE(error.find("first 6 bytes"), std::string::npos);
    ASSERT_TRUE(stream.Open(dir.path() + "/", "a.txt.s.stream", &error));
    ASSERT_TRUE(stream.Write("zz", 2, &error));
    ASSERT_TRUE(stream.Commit(&written, &error));
  }
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), std::string("abc\0\0x", 6));
  EXPECT_TRUE(entries(dir.path()).empty());
  EXPECT_EQ(CurrentRecoveryTarget().capture, nullptr);
}

TEST(RecoveryTarget, CommittedFileGetsTheRecordedModificationTime) {
  TempDir dir;
  const std::string folder = dir.path() + "/";
  // 2004-03-05 14:07:30 local time.
  const double modified = 38051.0 + (14 * 3600 + 7 * 60 + 30) / 86400.0;
  {
    RecoveryTargetScope scope({modified, nullptr, 0});
    ASSERT_EQ(recover(folder, "dated.txt", "x"), "dated.txt");
  }
  ASSERT_EQ(recover(folder, "today.txt", "x"), "today.txt");
  std::tm local{};
  local.tm_year = 104, local.tm_mon = 2, local.tm_mday = 5;
  local.tm_hour = 14, local.tm_min = 7, local.tm_sec = 30, local.tm_isdst = -1;
  struct stat dated {}, today {};
  ASSERT_EQ(::stat((folder + "dated.txt").c_str(), &dated), 0);
  ASSERT_EQ(::stat((folder + "today.txt").c_str(), &today), 0);
  EXPECT_EQ(dated.st_mtime, std::mktime(&local));
  EXPECT_GT(today.st_mtime, std::mktime(&local) + 86400 * 365);
  EXPECT_FALSE(set_modified_time(folder + "today.txt", 0.0));
}

}  // namespace
}  // namespace pyralis
