// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/exfat/exfat_test_volume.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>

#include "drivers/drivers.h"
#include "core/found_files.h"
#include "core/process_state.h"
#include "platform/drive_table.h"

namespace pyralis::test {

ExfatTestVolume::ExfatTestVolume(const TempDir& dir, uint64_t mib, const std::string& cluster,
                                 bool sectors_4k, const std::string& name)
    : image_(dir.file(name)) {
  std::string output;
  const std::string command = "truncate -s " + std::to_string(mib) + "M " + shell_quote(image_) +
                              " && mkfs.exfat -c " + cluster + " " + shell_quote(image_);
  EXPECT_EQ(run_command(command, &output), 0) << command << "\n" << output;
  if (sectors_4k) Write("sectors4k\n");
}

void ExfatTestVolume::Write(const std::string& script) const {
  const std::string file = image_ + ".script";
  write_file(file, script);
  std::string output;
  const std::string command = "python3 " + shell_quote(PYRALIS_EXFAT_WRITER) + " " +
                              shell_quote(image_) + " < " + shell_quote(file) + " 2>&1";
  EXPECT_EQ(run_command(command, &output), 0) << script << "\n" << output;
}

bool ExfatTestVolume::Clean(std::string* output) const {
  return run_command("fsck.exfat -n " + shell_quote(image_) + " 2>&1", output) == 0;
}

std::map<std::string, std::string> ExfatTestVolume::TskDeletedFiles() const {
  std::string output;
  EXPECT_EQ(run_command("timeout 60 fls -r -d " + shell_quote(image_), &output), 0) << output;
  std::map<std::string, std::string> files;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    // "r/r * 643:\tDCIM/100CANON/IMG_0001.JPG"
    const size_t tab = line.find('\t');
    if (line.rfind("r/r * ", 0) != 0 || tab == std::string::npos) continue;
    const std::string path = line.substr(tab + 1);
    if (path.rfind("$OrphanFiles/", 0) == 0) continue;
    files[path] = line.substr(6, line.find(':') - 6);
  }
  return files;
}

void scan_exfat_image(const std::string& image) {
  platform::reset_drive_table();
  platform::attach_sources({image});
  FoundFiles.clear();
  ScanStartTime = std::chrono::steady_clock::now();
  scan_drive('c');
}

std::string row_path(int32_t row) {
  std::string path = FoundFiles[row].Path;
  path = path.size() > 2 ? path.substr(3) + "/" : "";  // "C:\DCIM\X" -> "DCIM\X/"
  for (char& c : path)
    if (c == '\\') c = '/';
  return path + FoundFiles[row].Name;
}

int32_t row_of(const std::string& path) {
  for (int32_t i = 0; i < FoundFiles.Count(); ++i)
    if (row_path(i) == path) return i;
  return -1;
}

}  // namespace pyralis::test
