// SPDX-License-Identifier: GPL-3.0-or-later
// Sector reads per second through TBuffer on a page-cached image.
//
//   tbuffer_bench [IMAGE]
//
// Without IMAGE a 64 MiB FAT32 volume is made with mkfs.fat in $TMPDIR. The image is read
// once first so that every pass runs from the page cache. Passes: 512-byte ReadBytes in
// order through a 20-sector window (mostly hits), ReadBytes at scattered sectors (a refill
// each), 4 KiB ReadToStream in order, and 64 KiB ReadBytes through a 2-sector window (a
// grown window each).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "core/cluster_buffer.h"
#include "platform/drive_table.h"
#include "rawdisk/raw_disk_access_component.h"

namespace {

using Clock = std::chrono::steady_clock;

void warm_page_cache(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> chunk(1 << 20);
  while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0) {
  }
}

void report(const char* pass, int64_t requests, int64_t bytes, Clock::duration elapsed) {
  const double seconds = std::chrono::duration<double>(elapsed).count();
  std::printf("%-34s %10lld requests %9.0f requests/s %10.0f sectors/s %8.1f MB/s\n", pass,
              static_cast<long long>(requests), requests / seconds, bytes / 512.0 / seconds,
              bytes / 1e6 / seconds);
}

}  // namespace

int main(int argc, char** argv) {
  std::string image;
  if (argc > 1) {
    image = argv[1];
  } else {
    const char* tmp = std::getenv("TMPDIR");
    image = std::string(tmp && *tmp ? tmp : "/tmp") + "/tbuffer_bench.img";
    const std::string command =
        "rm -f '" + image + "' && mkfs.fat -C -F 32 '" + image + "' 65536 >/dev/null";
    if (std::system(command.c_str()) != 0) {
      std::fprintf(stderr, "mkfs.fat failed; give an image instead\n");
      return 1;
    }
  }
  warm_page_cache(image);
  const std::vector<char> letters = pyralis::platform::attach_sources({image});
  if (letters.empty()) return 1;
  pyralis::TRawDiskAccessComponent component;
  component.SetLogicalDrive(letters.front());
  const int64_t sectors = component.VolumeSectors();
  if (sectors <= 0) {
    std::fprintf(stderr, "%s: %s\n", image.c_str(), component.StatusText().c_str());
    return 1;
  }
  std::printf("%s: %lld sectors\n", image.c_str(), static_cast<long long>(sectors));
  char sector[512];
  std::vector<char> cluster(65536);

  {
    pyralis::TBuffer buffer(20);
    const auto start = Clock::now();
    int64_t bytes = 0;
    for (int64_t s = 0; s < sectors; ++s)
      bytes += buffer.ReadBytes(component, s * 512, 512, sector);
    report("ReadBytes 512 B, in order, 20 sect", sectors, bytes, Clock::now() - start);
  }
  {
    pyralis::TBuffer buffer(20);
    const int64_t requests = 20000;
    uint64_t state = 88172645463325252ull;
    const auto start = Clock::now();
    int64_t bytes = 0;
    for (int64_t i = 0; i < requests; ++i) {
      state ^= state << 13, state ^= state >> 7, state ^= state << 17;
      bytes +=
          buffer.ReadBytes(component, static_cast<int64_t>(state % sectors) * 512, 512, sector);
    }
    report("ReadBytes 512 B, scattered, 20 sect", requests, bytes, Clock::now() - start);
  }
  {
    pyralis::TBuffer buffer(20);
    pyralis::TMemoryStream stream;
    const int64_t requests = sectors / 8;
    const auto start = Clock::now();
    for (int64_t i = 0; i < requests; ++i) {
      stream.SetPosition(0);
      buffer.ReadToStream(component, i * 4096, 4096, stream);
    }
    report("ReadToStream 4 KiB, in order", requests, requests * 4096, Clock::now() - start);
  }
  {
    pyralis::TBuffer buffer(2);
    const int64_t requests = sectors / 128 - 1;
    const auto start = Clock::now();
    int64_t bytes = 0;
    for (int64_t i = 0; i < requests; ++i)
      bytes += buffer.ReadBytes(component, i * 65536, 65536, cluster.data());
    report("ReadBytes 64 KiB, 2-sector window", requests, bytes, Clock::now() - start);
  }
  return 0;
}
