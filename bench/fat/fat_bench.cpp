// SPDX-License-Identifier: GPL-3.0-or-later
// Times the FAT engine on an image through the drivers (not a test).
//   fat_bench scan IMAGE                 scan; prints the files found and the seconds taken
//   fat_bench recover IMAGE DIR PREFIX   scan, then recover every found file whose name begins
//                                        with PREFIX into DIR; prints bytes and seconds
#include <chrono>
#include <cstdio>
#include <string>

#include "core/engine_window.h"
#include "core/found_files.h"
#include "core/process_state.h"
#include "drivers/drivers.h"
#include "core/recovery_command.h"
#include "platform/drive_table.h"

namespace {

class QuietWindow : public pyralis::EngineWindow {
 public:
  void LogLine(const std::string& line) override { std::fprintf(stderr, "%s\n", line.c_str()); }
};

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace pyralis;
  const std::string command = argc > 2 ? argv[1] : "";
  if (!(command == "scan" && argc == 3) && !(command == "recover" && argc == 5)) {
    std::fprintf(stderr, "usage: %s scan IMAGE | recover IMAGE DIR PREFIX\n", argv[0]);
    return 2;
  }
  QuietWindow window;
  SetEngineWindow(&window);
  platform::attach_sources({argv[2]});
  auto start = ScanStartTime = std::chrono::steady_clock::now();
  scan_drive('c');
  const double scan_seconds = seconds_since(start);
  if (command == "scan") {
    std::printf("found %d files in %.3f s\n", FoundFiles.Count(), scan_seconds);
    return 0;
  }
  const std::string folder = std::string(argv[3]) + "/";
  const std::string prefix = argv[4];
  int64_t bytes = 0;
  int files = 0;
  RecoveryActive = true;
  const RecoveryCommand recovery;
  start = std::chrono::steady_clock::now();
  for (int32_t i = 0; i < FoundFiles.Count(); ++i) {
    if (FoundFiles[i].Name.rfind(prefix, 0) != 0) continue;
    undelete_found_file('c', i, folder);
    bytes += FoundFiles[i].Size;
    ++files;
  }
  const double seconds = seconds_since(start);
  std::printf("recovered %d files, %lld bytes in %.3f s (%.1f MB/s)\n", files,
              static_cast<long long>(bytes), seconds, seconds > 0 ? bytes / 1e6 / seconds : 0.0);
  return 0;
}
