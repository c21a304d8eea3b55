// SPDX-License-Identifier: GPL-3.0-or-later
// Reads each file given once (pread into a buffer, as recovery reads), checks the bytes read
// (a memory source), checks it again through a pread source, all from the page cache, and prints
// MB/s of each (processor time) and the ratio (read + check) / read, for the structure walk and for
// the decoding check.
//   filetypes_bench [--repeat N] FILE...
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "filetypes/filetypes.h"

namespace {

// Processor time of this thread: on a shared machine wall time says more of the others.
struct Clock {
  using time_point = double;
  static double now() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
  }
};

class FileSource final : public pyralis::filetypes::ByteSource {
 public:
  FileSource(int fd, uint64_t size) : fd_(fd), size_(size) {}
  uint64_t Size() const override { return size_; }
  size_t Read(uint64_t offset, void* dest, size_t count) override {
    const ssize_t n = ::pread(fd_, dest, count, static_cast<off_t>(offset));
    return n > 0 ? static_cast<size_t>(n) : 0;
  }

 private:
  int fd_;
  uint64_t size_;
};

double seconds(double a, double b) {
  return b - a;
}

}  // namespace

int main(int argc, char** argv) {
  int repeat = 1;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc) {
      repeat = std::max(1, std::atoi(argv[++i]));
    } else {
      files.emplace_back(argv[i]);
    }
  }
  if (files.empty()) {
    std::fprintf(stderr, "usage: filetypes_bench [--repeat N] FILE...\n");
    return 2;
  }
  std::vector<uint8_t> buffer(1 << 20);
  double read_time = 0, memory_time = 0, walk_time = 0, decode_time = 0;
  uint64_t bytes = 0;
  int intact = 0, checked = 0;
  for (int r = 0; r < repeat; ++r) {
    for (const auto& path : files) {
      const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) continue;
      const uint64_t size = static_cast<uint64_t>(::lseek(fd, 0, SEEK_END));
      buffer.resize(size);
      const auto t0 = Clock::now();
      for (uint64_t at = 0; at < size;) {
        const ssize_t n = ::pread(fd, buffer.data() + at, std::min<uint64_t>(1 << 20, size - at),
                                  static_cast<off_t>(at));
        if (n <= 0) break;
        at += static_cast<uint64_t>(n);
      }
      const auto t1 = Clock::now();
      pyralis::filetypes::MemorySource in_memory(buffer);
      pyralis::filetypes::check(in_memory, path.substr(path.rfind('.') + 1));
      const auto t1b = Clock::now();
      const std::string extension = path.substr(path.rfind('.') + 1);
      FileSource source(fd, size);
      const auto walked = pyralis::filetypes::check(source, extension);
      const auto t2 = Clock::now();
      pyralis::filetypes::check(source, extension, pyralis::filetypes::Depth::kDecode);
      const auto t3 = Clock::now();
      ::close(fd);
      read_time += seconds(t0, t1);
      memory_time += seconds(t1, t1b);
      walk_time += seconds(t1b, t2);
      decode_time += seconds(t2, t3);
      bytes += size;
      ++checked;
      intact += walked.state == pyralis::filetypes::State::kIntact;
    }
  }
  const double mb = static_cast<double>(bytes) / 1e6;
  std::printf("%d files, %.1f MB, %d intact\n", checked, mb, intact);
  std::printf("read:                  %8.1f MB/s\n", mb / read_time);
  std::printf("walk of the bytes read: %8.1f MB/s, (read + walk) / read = %.2f\n", mb / memory_time,
              (read_time + memory_time) / read_time);
  std::printf("walk reading again:    %8.1f MB/s, (read + walk) / read = %.2f\n", mb / walk_time,
              (read_time + walk_time) / read_time);
  std::printf("decoding check:        %8.1f MB/s, (read + decode) / read = %.2f\n",
              mb / decode_time, (read_time + decode_time) / read_time);
  return 0;
}
