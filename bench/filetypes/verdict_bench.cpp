// SPDX-License-Identifier: GPL-3.0-or-later
// What the content verdict costs beside reading the files once (not a test). Scans IMAGE
// (bench/filetypes/verdict-bench.sh builds a FAT32 volume of 20,000 deleted photos), then for
// every row:
//   - reads it once as recovery reads it, into memory (the reference time);
//   - walks the bytes read (markers, stuffing, restart order: Plausible or Damaged);
//   - decodes them with libjpeg-turbo (what makes a JPEG Intact), on one thread, and on two;
//   - runs the content check as `scan --check` runs it (read and decode), and as the window
//     runs it: every row walked first, then the JPEGs found whole decoded on two threads.
// Times are processor time of the thread, except the two-thread decoding (wall time).
//   verdict_bench IMAGE
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>
#include <vector>

#include "core/engine_window.h"
#include "core/found_files.h"
#include "core/process_state.h"
#include "core/recovered_file.h"
#include "core/recovery_command.h"
#include "drivers/content_check.h"
#include "drivers/drivers.h"
#include "filetypes/filetypes.h"
#include "platform/drive_table.h"

namespace {

using namespace pyralis;

class QuietWindow : public EngineWindow {};

double cpu_now() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

std::vector<uint8_t> read_row(int32_t row) {
  std::vector<uint8_t> bytes;
  RecoveryTargetScope capture({0.0, &bytes, uint64_t{1} << 30});
  undelete_found_file('c', row, std::string());
  return bytes;
}

filetypes::Result check_bytes(const std::vector<uint8_t>& bytes, filetypes::Depth depth) {
  filetypes::MemorySource source(bytes);
  return filetypes::check(source, "jpg", depth);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s IMAGE\n", argv[0]);
    return 2;
  }
  QuietWindow window;
  SetEngineWindow(&window);
  platform::reset_drive_table();
  platform::attach_sources({argv[1]});
  ScanStartTime = std::chrono::steady_clock::now();
  scan_drive('c');
  const int32_t rows = FoundFiles.Count();
  if (rows == 0) {
    std::fprintf(stderr, "%s: no rows\n", argv[1]);
    return 1;
  }
  const RecoveryCommand command;
  RecoveryActive = true;
  for (int32_t row = 0; row < rows; ++row) read_row(row);  // the page cache, warm

  std::vector<std::vector<uint8_t>> files(static_cast<size_t>(rows));
  double read_time = 0, walk_time = 0, decode_time = 0;
  uint64_t bytes = 0;
  int plausible = 0, intact = 0;
  for (int32_t row = 0; row < rows; ++row) {
    const double t0 = cpu_now();
    files[static_cast<size_t>(row)] = read_row(row);
    const double t1 = cpu_now();
    const auto walked = check_bytes(files[static_cast<size_t>(row)], filetypes::Depth::kStructure);
    const double t2 = cpu_now();
    const auto decoded = check_bytes(files[static_cast<size_t>(row)], filetypes::Depth::kDecode);
    const double t3 = cpu_now();
    read_time += t1 - t0;
    walk_time += t2 - t1;
    decode_time += t3 - t2;
    bytes += files[static_cast<size_t>(row)].size();
    plausible += walked.state == filetypes::State::kIntact;
    intact += decoded.payload_verified;
  }

  // The decoding shared by two threads, row by row.
  std::atomic<size_t> next{0};
  const auto worker = [&] {
    for (size_t i; (i = next.fetch_add(1)) < files.size();)
      check_bytes(files[i], filetypes::Depth::kDecode);
  };
  const auto w0 = std::chrono::steady_clock::now();
  std::thread second(worker);
  worker();
  second.join();
  const double two_threads =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();

  const double c0 = cpu_now();
  int checked_intact = 0;
  for (int32_t row = 0; row < rows; ++row)
    checked_intact += check_found_file('c', row).state == ContentState::kIntact;
  const double check_time = cpu_now() - c0;

  // The window's check: every row walked by one worker (wall time), then the JPEGs the walk
  // found whole decoded by two.
  std::vector<int32_t> to_decode;
  const auto s0 = std::chrono::steady_clock::now();
  {
    const std::atomic<bool> go_on{true};
    for (int32_t row = 0; row < rows; ++row)
      if (decoding_may_tell_more(check_found_row('c', FoundFiles[row], FoundFiles.Facts(row), go_on,
                                                 filetypes::Depth::kStructure)))
        to_decode.push_back(row);
  }
  const auto s1 = std::chrono::steady_clock::now();
  std::atomic<size_t> next_row{0};
  std::atomic<int> staged_intact{0};
  const auto decoder = [&] {
    const RecoveryCommand thread_command;  // as each of the window's workers holds one
    const std::atomic<bool> go_on{true};
    for (size_t i; (i = next_row.fetch_add(1)) < to_decode.size();) {
      const int32_t row = to_decode[i];
      staged_intact += check_found_row('c', FoundFiles[row], FoundFiles.Facts(row), go_on,
                                       filetypes::Depth::kDecode)
                           .state == ContentState::kIntact;
    }
  };
  std::thread other(decoder);
  decoder();
  other.join();
  const auto s2 = std::chrono::steady_clock::now();
  const double every_verdict = std::chrono::duration<double>(s1 - s0).count();
  const double decoded_after = std::chrono::duration<double>(s2 - s1).count();

  const double mb = static_cast<double>(bytes) / 1e6;
  std::printf("%d rows, %.1f MB; structure whole: %d, decoded whole: %d, checked Intact: %d\n",
              rows, mb, plausible, intact, checked_intact);
  std::printf("read once (recovery into memory)  %7.3f s  %8.1f MB/s\n", read_time, mb / read_time);
  std::printf(
      "structure walk                    %7.3f s  %8.1f MB/s  (read + walk) / read = %.2f\n",
      walk_time, mb / walk_time, (read_time + walk_time) / read_time);
  std::printf(
      "decoding, one thread              %7.3f s  %8.1f MB/s  (read + decode) / read = %.2f\n",
      decode_time, mb / decode_time, (read_time + decode_time) / read_time);
  std::printf(
      "decoding, two threads (wall)      %7.3f s  %8.1f MB/s  (read + decode) / read = %.2f\n",
      two_threads, mb / two_threads, (read_time + two_threads) / read_time);
  std::printf("content check (check_found_file)  %7.3f s  %8.1f MB/s  verdict / read = %.2f\n",
              check_time, mb / check_time, check_time / read_time);
  std::printf(
      "window: every row walked (wall)   %7.3f s  %8.1f MB/s  verdicts / read = %.2f\n"
      "  then %zu JPEGs decoded, 2 threads %7.3f s  %8.1f MB/s  (%d Intact; all / read = %.2f)\n",
      every_verdict, mb / every_verdict, every_verdict / read_time, to_decode.size(), decoded_after,
      mb / decoded_after, staged_intact.load(), (every_verdict + decoded_after) / read_time);
  return 0;
}
