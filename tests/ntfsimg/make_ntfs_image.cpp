// SPDX-License-Identifier: GPL-3.0-or-later
// make-ntfs-image: writes a large synthetic NTFS volume for benchmarks.
//
//   make-ntfs-image OUTPUT [--records N] [--deleted N] [--long-every K] [--long-clusters N]
//                   [--files-per-dir N] [--record-size B] [--cluster-size B]
//                   [--data-mib N] [--manifest PATH] [--seed N]
//
// The volume holds N MFT records in all: folders of --files-per-dir files each, of which
// --deleted are deleted files spread evenly over the folders. Deleted files have 1 to 16
// clusters; every K-th of them has --long-clusters clusters in three fragments. Live files
// are small resident files. Pattern data is written for the first --data-mib MiB of deleted
// content (the rest reads as zeros), so the image stays sparse. --manifest writes one line
// per deleted file: record, path, size, clusters (tab-separated).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>

#include "tests/ntfsimg/ntfs_image_builder.h"

namespace {

using namespace pyralis::test;

struct Options {
  std::string output;
  uint64_t records = 200000;
  uint64_t deleted = 50000;
  uint64_t long_every = 50;
  uint64_t long_clusters = 2000;
  uint64_t files_per_dir = 100;
  uint32_t record_size = 1024;
  uint32_t cluster_size = 4096;
  uint64_t data_mib = 64;
  uint64_t seed = 1;
  std::string manifest;
};

[[noreturn]] void usage(const char* message) {
  std::fprintf(stderr,
               "make-ntfs-image: %s\n"
               "usage: make-ntfs-image OUTPUT [--records N] [--deleted N] [--long-every K]\n"
               "       [--long-clusters N] [--files-per-dir N] [--record-size B]\n"
               "       [--cluster-size B] [--data-mib N] [--manifest PATH] [--seed N]\n",
               message);
  std::exit(2);
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--", 0) != 0) {
      if (!o.output.empty()) usage("more than one output path");
      o.output = arg;
      continue;
    }
    if (i + 1 >= argc) usage(("missing value after " + arg).c_str());
    const std::string value = argv[++i];
    if (arg == "--manifest") {
      o.manifest = value;
      continue;
    }
    char* end = nullptr;
    const unsigned long long n = std::strtoull(value.c_str(), &end, 10);
    if (end == value.c_str() || *end != '\0') usage(("not a number: " + value).c_str());
    if (arg == "--records")
      o.records = n;
    else if (arg == "--deleted")
      o.deleted = n;
    else if (arg == "--long-every")
      o.long_every = n;
    else if (arg == "--long-clusters")
      o.long_clusters = n;
    else if (arg == "--files-per-dir")
      o.files_per_dir = n;
    else if (arg == "--record-size")
      o.record_size = static_cast<uint32_t>(n);
    else if (arg == "--cluster-size")
      o.cluster_size = static_cast<uint32_t>(n);
    else if (arg == "--data-mib")
      o.data_mib = n;
    else if (arg == "--seed")
      o.seed = n;
    else
      usage(("unknown option " + arg).c_str());
  }
  if (o.output.empty()) usage("no output path");
  if (o.files_per_dir == 0 || o.records < kFirstUserRecord + 2) usage("too few records");
  return o;
}

uint64_t mix(uint64_t x) {
  x ^= x >> 33;
  x *= 0xFF51AFD7ED558CCDULL;
  x ^= x >> 33;
  return x;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  const auto start = std::chrono::steady_clock::now();
  const uint64_t user_records = o.records - kFirstUserRecord;
  const uint64_t folders = std::max<uint64_t>(1, user_records / (o.files_per_dir + 1));
  const uint64_t files = user_records - folders;
  const uint64_t deleted = std::min(o.deleted, files);
  const uint64_t longs = o.long_every ? deleted / o.long_every : 0;

  // Clusters: deleted data (average 8.5 per short file, long files with fragment gaps),
  // MFT, folder indexes (about 160 bytes per live name), system files and headroom.
  const uint64_t cs = o.cluster_size;
  const uint64_t data = (deleted - longs) * 17 / 2 + longs * (o.long_clusters + 4);
  const uint64_t mft = (o.records + 64) * o.record_size / cs + 1;
  const uint64_t index = (files * 160 + folders * 8192) / cs + folders;
  const uint64_t clusters = (data + mft + index) * 11 / 10 + 4096;

  NtfsGeometry g;
  g.sector_size = 512;
  g.sectors_per_cluster = std::max<uint32_t>(1, o.cluster_size / 512);
  g.mft_record_size = o.record_size;
  g.total_sectors = clusters * g.sectors_per_cluster + 1;
  g.mft_capacity = o.records;
  g.label = "PYRALIS-BENCH";
  try {
    NtfsImageBuilder b(g);
    std::ofstream manifest;
    if (!o.manifest.empty()) {
      manifest.open(o.manifest);
      if (!manifest) usage(("cannot write " + o.manifest).c_str());
    }
    uint64_t data_budget = o.data_mib << 20;
    uint64_t made_files = 0, made_deleted = 0, made_longs = 0, made_bytes = 0;
    for (uint64_t d = 0; d < folders; ++d) {
      char folder_name[32];
      std::snprintf(folder_name, sizeof folder_name, "folder%05llu",
                    static_cast<unsigned long long>(d));
      const uint64_t folder = b.add_directory(folder_name);
      const uint64_t in_folder = d + 1 == folders ? files - made_files : o.files_per_dir;
      for (uint64_t i = 0; i < in_folder; ++i, ++made_files) {
        // Deleted files spread evenly: file k is deleted when the running share says so.
        const bool is_deleted = (made_files + 1) * deleted / files > made_deleted;
        FileSpec f;
        f.parent = folder;
        f.deleted = is_deleted;
        const uint64_t h = mix(o.seed * 0x9E3779B97F4A7C15ULL + made_files);
        char name[64];
        std::snprintf(name, sizeof name, "%s file %06llu.%s", is_deleted ? "old" : "kept",
                      static_cast<unsigned long long>(made_files), (h & 1) ? "txt" : "dat");
        f.name = name;
        if (!is_deleted) {
          f.content = "live content of " + f.name + "\n";
        } else {
          const bool is_long = longs && made_deleted % o.long_every == o.long_every - 1;
          const uint64_t clusters_of_file = is_long ? o.long_clusters : 1 + (h >> 8) % 16;
          f.pattern_size = clusters_of_file * cs - (h >> 16) % cs;
          f.pattern_seed = static_cast<uint32_t>(h >> 32);
          f.residency = Residency::kNonResident;
          f.fragments = is_long ? 3 : 1;
          f.write_clusters = f.pattern_size <= data_budget;
          if (f.write_clusters) data_budget -= f.pattern_size;
          made_longs += is_long ? 1 : 0;
          made_bytes += f.pattern_size;
          ++made_deleted;
        }
        const uint64_t record = b.add_file(f);
        if (is_deleted && manifest) {
          manifest << record << '\t' << folder_name << '/' << f.name << '\t' << f.pattern_size
                   << '\t' << b.data_clusters(record) << '\n';
        }
      }
    }
    b.write(o.output);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf(
        "%s: %llu MFT records (%llu folders, %llu files, %llu deleted, %llu long), "
        "%llu bytes of deleted data, %llu-byte clusters, %llu-byte records, image %llu bytes, "
        "made in %.1f s\n",
        o.output.c_str(), static_cast<unsigned long long>(b.record_count()),
        static_cast<unsigned long long>(folders), static_cast<unsigned long long>(made_files),
        static_cast<unsigned long long>(made_deleted), static_cast<unsigned long long>(made_longs),
        static_cast<unsigned long long>(made_bytes), static_cast<unsigned long long>(cs),
        static_cast<unsigned long long>(o.record_size),
        static_cast<unsigned long long>(b.image_size()), seconds);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make-ntfs-image: %s\n", e.what());
    return 1;
  }
  return 0;
}
