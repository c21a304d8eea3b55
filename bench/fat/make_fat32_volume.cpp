// SPDX-License-Identifier: GPL-3.0-or-later
// Writes a large FAT32 volume for the scan and recovery benchmark straight into a sparse
// image file: FOLDERS folders of FILES_PER_FOLDER files with long names in the root, every
// fifth file deleted (entries marked 0xE5, clusters freed), and a few large deleted files
// with known content in contiguous clusters for the recovery figures. Not a test.
//
//   make_fat32_volume IMAGE [FOLDERS=2000] [FILES_PER_FOLDER=50] [BIG_FILES=8] [BIG_MIB=16]
//                           [VOLUME_MIB=1024]
//   make_fat32_volume IMAGE --photos COUNT JPEG... [--volume-mib MIB]
// The second form writes COUNT deleted photos in the root and nothing else, each a copy of
// one of the JPEG files given in turn with a comment of its number after its start (so that
// no two are alike), in contiguous clusters: the content check benchmark's volume.
// The image is sparse: only what is written takes space.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kSectorBytes = 512;
constexpr uint32_t kSectorsPerCluster = 8;
constexpr uint32_t kClusterBytes = kSectorBytes * kSectorsPerCluster;
constexpr uint32_t kReserved = 32;

void put16(uint8_t* p, uint16_t v) {
  p[0] = v & 0xFF;
  p[1] = v >> 8;
}
void put32(uint8_t* p, uint32_t v) {
  put16(p, v & 0xFFFF);
  put16(p + 2, v >> 16);
}

struct Volume {
  int fd = -1;
  uint32_t fat_sectors = 0;
  uint32_t clusters = 0;
  uint64_t data_start = 0;  // bytes
  std::vector<uint32_t> fat;
  uint32_t next_cluster = 2;

  uint64_t offset(uint32_t cluster) const {
    return data_start + uint64_t{cluster - 2} * kClusterBytes;
  }
  void write(uint64_t at, const void* data, size_t size) {
    if (pwrite(fd, data, size, static_cast<off_t>(at)) != static_cast<ssize_t>(size)) {
      std::perror("pwrite");
      std::exit(1);
    }
  }
  // A contiguous chain of n clusters; its first cluster.
  uint32_t allocate(uint32_t n) {
    const uint32_t first = next_cluster;
    if (uint64_t{first} + n > uint64_t{clusters} + 2) {
      std::fprintf(stderr, "volume full\n");
      std::exit(1);
    }
    for (uint32_t i = 0; i < n; ++i) fat[first + i] = i + 1 < n ? first + i + 1 : 0x0FFFFFFF;
    next_cluster += n;
    return first;
  }
  void free_chain(uint32_t first, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) fat[first + i] = 0;
  }
};

uint8_t short_name_checksum(const uint8_t* name) {
  uint8_t sum = 0;
  for (int i = 0; i < 11; ++i) sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + name[i]);
  return sum;
}

// Appends the long-name entries and the short entry of one file or folder.
void add_entry(std::vector<uint8_t>& dir, const std::string& long_name, const std::string& name83,
               uint8_t attributes, uint32_t cluster, uint32_t size, bool deleted) {
  uint8_t short_entry[32] = {};
  std::memcpy(short_entry, name83.data(), 11);
  const uint8_t sum = short_name_checksum(short_entry);
  const size_t pieces = (long_name.size() + 12) / 13;
  static const int kSlots[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  for (size_t k = pieces; k-- > 0;) {
    uint8_t e[32] = {};
    e[0] = deleted ? 0xE5 : static_cast<uint8_t>((k + 1) | (k + 1 == pieces ? 0x40 : 0));
    e[11] = 0x0F;
    e[13] = sum;
    for (size_t i = 0; i < 13; ++i) {
      const size_t at = k * 13 + i;
      const uint16_t u = at < long_name.size() ? static_cast<uint8_t>(long_name[at])
                         : at == long_name.size() ? 0x0000
                                                  : 0xFFFF;
      put16(e + kSlots[i], u);
    }
    dir.insert(dir.end(), e, e + 32);
  }
  short_entry[11] = attributes;
  if (deleted) short_entry[0] = 0xE5;
  put16(short_entry + 14, 0x6000);  // 12:00:00
  put16(short_entry + 16, 0x5A21);  // 2025-01-01
  put16(short_entry + 20, static_cast<uint16_t>(cluster >> 16));
  put16(short_entry + 22, 0x6000);
  put16(short_entry + 24, 0x5A21);
  put16(short_entry + 26, static_cast<uint16_t>(cluster & 0xFFFF));
  put32(short_entry + 28, size);
  dir.insert(dir.end(), short_entry, short_entry + 32);
}

// Writes a directory's entries into a new chain; returns its first cluster. "." and ".."
// come first in every folder but the root.
uint32_t write_directory(Volume& v, std::vector<uint8_t> entries, uint32_t parent, bool root) {
  const uint32_t bytes = static_cast<uint32_t>(entries.size()) + (root ? 0 : 64);
  const uint32_t n = (bytes + kClusterBytes - 1) / kClusterBytes;
  const uint32_t first = v.allocate(n == 0 ? 1 : n);
  if (!root) {
    std::vector<uint8_t> dots;
    add_entry(dots, "", ".          ", 0x10, first, 0, false);
    add_entry(dots, "", "..         ", 0x10, parent, 0, false);
    entries.insert(entries.begin(), dots.begin(), dots.end());
  }
  entries.resize(uint64_t{n == 0 ? 1 : n} * kClusterBytes, 0);
  v.write(v.offset(first), entries.data(), entries.size());
  return first;
}

std::string number(const char* format, unsigned value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// Photos for --photos: each given JPEG with a COM segment holding `id` after its SOI.
std::vector<uint8_t> numbered_photo(const std::vector<uint8_t>& jpeg, unsigned id) {
  const std::string text = number("Photo %08u", id);
  std::vector<uint8_t> out;
  out.reserve(jpeg.size() + 4 + text.size());
  for (const uint8_t b : {uint8_t{0xFF}, uint8_t{0xD8}, uint8_t{0xFF}, uint8_t{0xFE}, uint8_t{0}})
    out.push_back(b);
  out.push_back(static_cast<uint8_t>(text.size() + 2));
  out.insert(out.end(), text.begin(), text.end());
  out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::vector<uint8_t>> photos;
  unsigned photo_count = 0;
  uint64_t photo_volume_mib = 0;
  if (argc > 3 && std::strcmp(argv[2], "--photos") == 0) {
    photo_count = static_cast<unsigned>(std::atoi(argv[3]));
    for (int i = 4; i < argc; ++i) {
      if (std::strcmp(argv[i], "--volume-mib") == 0 && i + 1 < argc) {
        photo_volume_mib = std::strtoull(argv[++i], nullptr, 10);
        continue;
      }
      std::ifstream in(argv[i], std::ios::binary);
      std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
      if (bytes.size() < 4 || bytes[0] != 0xFF || bytes[1] != 0xD8) {
        std::fprintf(stderr, "%s: not a JPEG file\n", argv[i]);
        return 2;
      }
      photos.push_back(std::move(bytes));
    }
    if (photos.empty() || photo_count == 0) {
      std::fprintf(stderr, "usage: %s IMAGE --photos COUNT JPEG... [--volume-mib MIB]\n", argv[0]);
      return 2;
    }
    if (photo_volume_mib == 0) {
      uint64_t bytes = 0;
      for (unsigned id = 0; id < photo_count; ++id)
        bytes += (photos[id % photos.size()].size() + 16 + kClusterBytes) / kClusterBytes *
                 kClusterBytes;
      photo_volume_mib = bytes / (1 << 20) + bytes / (1 << 20) / 16 + 64;
    }
  }
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s IMAGE [FOLDERS] [FILES_PER_FOLDER] [BIG_FILES] [BIG_MIB] [VOLUME_MIB]\n",
                 argv[0]);
    return 2;
  }
  const bool photo_volume = photo_count > 0;
  const unsigned folders = photo_volume ? 0 : argc > 2 ? std::atoi(argv[2]) : 2000;
  const unsigned per_folder = argc > 3 ? std::atoi(argv[3]) : 50;
  const unsigned big_files = photo_volume ? 0 : argc > 4 ? std::atoi(argv[4]) : 8;
  const unsigned big_mib = argc > 5 ? std::atoi(argv[5]) : 16;
  const uint64_t volume_bytes = (photo_volume ? photo_volume_mib
                                 : argc > 6   ? std::strtoull(argv[6], nullptr, 10)
                                              : 1024)
                                << 20;

  Volume v;
  v.fd = ::open(argv[1], O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (v.fd < 0 || ftruncate(v.fd, static_cast<off_t>(volume_bytes)) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  const uint32_t total_sectors = static_cast<uint32_t>(volume_bytes / kSectorBytes);
  // Table size: enough 4-byte entries for the clusters that remain after the tables.
  v.fat_sectors = 1;
  for (int round = 0; round < 4; ++round) {
    const uint32_t clusters = (total_sectors - kReserved - 2 * v.fat_sectors) / kSectorsPerCluster;
    v.fat_sectors = ((clusters + 2) * 4 + kSectorBytes - 1) / kSectorBytes;
  }
  v.clusters = (total_sectors - kReserved - 2 * v.fat_sectors) / kSectorsPerCluster;
  v.data_start = (uint64_t{kReserved} + 2ull * v.fat_sectors) * kSectorBytes;
  v.fat.assign(v.clusters + 2, 0);
  v.fat[0] = 0x0FFFFFF8;
  v.fat[1] = 0x0FFFFFFF;

  std::vector<uint8_t> root;
  uint64_t deleted = 0, files = 0;
  // The folders' clusters are taken after their files': remember where each folder goes.
  for (unsigned f = 0; f < folders; ++f) {
    std::vector<uint8_t> entries;
    for (unsigned i = 0; i < per_folder; ++i) {
      const unsigned id = f * per_folder + i;
      const bool jpeg = id % 10 == 3;
      const uint32_t size = 500 + (id * 37) % 3500;
      const uint32_t cluster = v.allocate(1);
      if (jpeg) {
        const uint8_t magic[4] = {0xFF, 0xD8, 0xFF, 0xE0};
        v.write(v.offset(cluster), magic, sizeof magic);
      }
      const bool gone = id % 5 == 0;
      if (gone) v.free_chain(cluster, 1);
      add_entry(entries, number("Document number %07u of the benchmark", id) + (jpeg ? ".jpg" : ".txt"),
                number("D%07u", id) + (jpeg ? "JPG" : "TXT"), 0x20, cluster, size, gone);
      deleted += gone;
      ++files;
    }
    // ".." of a folder in the root is cluster 0.
    const uint32_t first = write_directory(v, entries, 0, false);
    add_entry(root, number("Folder %05u with a long name", f), number("F%07u   ", f), 0x10, first,
              0, false);
  }
  // Large deleted files with known content, each in contiguous clusters.
  std::vector<uint8_t> chunk(1 << 20);
  uint64_t state = 0x9E3779B97F4A7C15ull;
  for (unsigned b = 0; b < big_files; ++b) {
    const uint64_t size = uint64_t{big_mib} << 20;
    const uint32_t n = static_cast<uint32_t>(size / kClusterBytes);
    const uint32_t first = v.allocate(n);
    for (uint64_t done = 0; done < size; done += chunk.size()) {
      for (size_t k = 0; k < chunk.size(); k += 8) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        std::memcpy(&chunk[k], &state, 8);
      }
      v.write(v.offset(first) + done, chunk.data(), chunk.size());
    }
    v.free_chain(first, n);
    add_entry(root, number("Big recovery file %02u.bin", b), number("BIG%05u BIN", b), 0x20, first,
              static_cast<uint32_t>(size), true);
    ++deleted;
    ++files;
  }
  // Deleted photos in the root, each in contiguous clusters.
  for (unsigned id = 0; id < photo_count; ++id) {
    const std::vector<uint8_t> photo = numbered_photo(photos[id % photos.size()], id);
    const uint32_t n = static_cast<uint32_t>((photo.size() + kClusterBytes - 1) / kClusterBytes);
    const uint32_t first = v.allocate(n);
    v.write(v.offset(first), photo.data(), photo.size());
    v.free_chain(first, n);
    add_entry(root, number("Photo %07u.jpg", id), number("P%07uJPG", id), 0x20, first,
              static_cast<uint32_t>(photo.size()), true);
    ++deleted;
    ++files;
  }
  const uint32_t root_cluster = write_directory(v, root, 0, true);

  // Boot sector, FSInfo and their backups.
  uint8_t boot[512] = {0xEB, 0x58, 0x90, 'P', 'Y', 'R', 'A', 'L', 'I', 'S', 'B'};
  put16(boot + 0x0B, kSectorBytes);
  boot[0x0D] = kSectorsPerCluster;
  put16(boot + 0x0E, kReserved);
  boot[0x10] = 2;
  boot[0x15] = 0xF8;
  put16(boot + 0x18, 32);
  put16(boot + 0x1A, 64);
  put32(boot + 0x20, total_sectors);
  put32(boot + 0x24, v.fat_sectors);
  put32(boot + 0x2C, root_cluster);
  put16(boot + 0x30, 1);
  put16(boot + 0x32, 6);
  boot[0x40] = 0x80;
  boot[0x42] = 0x29;
  put32(boot + 0x43, 0x20251208);
  std::memcpy(boot + 0x47, "BENCH      FAT32   ", 19);
  boot[510] = 0x55;
  boot[511] = 0xAA;
  uint8_t info[512] = {};
  put32(info, 0x41615252);
  put32(info + 484, 0x61417272);
  put32(info + 488, 0xFFFFFFFF);
  put32(info + 492, 0xFFFFFFFF);
  info[510] = 0x55;
  info[511] = 0xAA;
  v.write(0, boot, 512);
  v.write(512, info, 512);
  v.write(6 * 512, boot, 512);
  v.write(7 * 512, info, 512);
  std::vector<uint8_t> table(uint64_t{v.fat_sectors} * kSectorBytes, 0);
  for (size_t x = 0; x < v.fat.size(); ++x) put32(&table[x * 4], v.fat[x]);
  for (int copy = 0; copy < 2; ++copy)
    v.write((uint64_t{kReserved} + static_cast<uint64_t>(copy) * v.fat_sectors) * kSectorBytes, table.data(),
            table.size());
  ::close(v.fd);
  std::printf("%s: %u folders, %llu files, %llu deleted, %u clusters of %u bytes\n", argv[1],
              folders, static_cast<unsigned long long>(files),
              static_cast<unsigned long long>(deleted), v.clusters, kClusterBytes);
  return 0;
}
