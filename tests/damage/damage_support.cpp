// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/damage/damage_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>

#include "core/found_files.h"
#include "core/process_state.h"
#include "drivers/drivers.h"
#include "ntfs/ntfs_engine.h"
#include "platform/drive_table.h"
#include "tests/ntfsimg/ntfs_image_builder.h"

namespace fs = std::filesystem;

namespace pyralis::test {

uint16_t get16(const std::string& image, uint64_t at) {
  if (at + 2 > image.size()) return 0;
  return static_cast<uint16_t>(static_cast<uint8_t>(image[at]) |
                               static_cast<uint8_t>(image[at + 1]) << 8);
}

uint32_t get32(const std::string& image, uint64_t at) {
  return get16(image, at) | uint32_t{get16(image, at + 2)} << 16;
}

void put8(std::string& image, uint64_t at, uint8_t value) {
  if (at < image.size()) image[at] = static_cast<char>(value);
}

void put16(std::string& image, uint64_t at, uint16_t value) {
  put8(image, at, static_cast<uint8_t>(value));
  put8(image, at + 1, static_cast<uint8_t>(value >> 8));
}

void put32(std::string& image, uint64_t at, uint32_t value) {
  put16(image, at, static_cast<uint16_t>(value));
  put16(image, at + 2, static_cast<uint16_t>(value >> 16));
}

void put64(std::string& image, uint64_t at, uint64_t value) {
  put32(image, at, static_cast<uint32_t>(value));
  put32(image, at + 4, static_cast<uint32_t>(value >> 32));
}

void fill_zero(std::string& image, uint64_t at, uint64_t size) {
  for (uint64_t i = at; i < at + size && i < image.size(); ++i) image[i] = 0;
}

void fill_random(std::string& image, uint64_t at, uint64_t size, uint32_t seed) {
  std::mt19937 random(seed);
  for (uint64_t i = at; i < at + size && i < image.size(); ++i)
    image[i] = static_cast<char>(random());
}

// ---------------------------------------------------------------------------------------

FatPlace fat_place(const std::string& image) {
  FatPlace p;
  p.bytes_per_sector = get16(image, 0x0B);
  const uint32_t spc = static_cast<uint8_t>(image[0x0D]);
  p.cluster_size = p.bytes_per_sector * spc;
  const uint32_t reserved = get16(image, 0x0E);
  const uint32_t fats = static_cast<uint8_t>(image[0x10]);
  const uint32_t root_entries = get16(image, 0x11);
  const uint32_t fat_sectors = get16(image, 0x16) != 0 ? get16(image, 0x16) : get32(image, 0x24);
  const uint64_t bps = p.bytes_per_sector;
  p.fat_offset = reserved * bps;
  p.fat_bytes = fat_sectors * bps;
  const uint64_t root_sectors = (root_entries * 32 + bps - 1) / bps;
  p.data_offset = p.fat_offset + fats * p.fat_bytes + root_sectors * bps;
  if (root_entries == 0) {
    p.root_cluster = get32(image, 0x2C);
    p.root_offset = p.cluster_offset(p.root_cluster);
  } else {
    p.root_offset = p.fat_offset + fats * p.fat_bytes;
  }
  return p;
}

void set_fat_entry(std::string& image, const FatPlace& place, int bits, uint32_t x, uint32_t v) {
  const uint64_t base = place.fat_offset;
  if (bits == 32) {
    put32(image, base + 4 * uint64_t{x}, v);
  } else if (bits == 16) {
    put16(image, base + 2 * uint64_t{x}, static_cast<uint16_t>(v));
  } else {
    const uint64_t at = base + x + x / 2;
    uint16_t pair = get16(image, at);
    pair = (x & 1) ? static_cast<uint16_t>((pair & 0x000F) | (v & 0xFFF) << 4)
                   : static_cast<uint16_t>((pair & 0xF000) | (v & 0xFFF));
    put16(image, at, pair);
  }
}

bool mtool(const std::string& image, const std::string& command, const std::string& args) {
  return run_command("MTOOLS_SKIP_CHECK=1 " + command + " -i " + shell_quote(image) + " " +
                     args) == 0;
}

bool make_fat_volume(const std::string& image, int fat_bits, const TempDir& dir) {
  if (!have_program("mkfs.fat") || !have_program("mcopy")) return false;
  // One-sector clusters; FAT16 and FAT32 just above their smallest cluster counts.
  const int kib = fat_bits == 12 ? 1024 : fat_bits == 16 ? 4096 : 33400;
  const std::string extra = " -s 1";
  std::error_code ec;
  fs::remove(image, ec);
  if (run_command("mkfs.fat -C -F " + std::to_string(fat_bits) + extra + " -n DAMAGED " +
                  shell_quote(image) + " " + std::to_string(kib)) != 0)
    return false;
  const auto put = [&](const std::string& target, const std::string& content) {
    const std::string local = dir.file("content.tmp");
    write_file(local, content);
    return mtool(image, "mcopy", shell_quote(local) + " " + shell_quote(target));
  };
  std::string big;
  for (int i = 0; i < 3000; ++i) big += "line " + std::to_string(i) + " of a longer text\n";
  return mtool(image, "mmd", "::/DOCS ::/DOCS/SUB ::/GONE") && put("::/keep.txt", "live file") &&
         put("::/deleted one.txt", "first deleted file") && put("::/DOCS/report.doc", big) &&
         put("::/DOCS/SUB/photo.jpg", "\xFF\xD8" + big.substr(0, 5000)) &&
         put("::/GONE/inner.txt", "inside a deleted folder") &&
         put("::/" + std::string(251, 'L') + ".txt", "a long long name") &&
         mtool(image, "mdel", "'::/deleted one.txt' ::/DOCS/report.doc ::/DOCS/SUB/photo.jpg") &&
         mtool(image, "mdel", "::/" + std::string(251, 'L') + ".txt") &&
         mtool(image, "mdeltree", "::/GONE");
}

// ---------------------------------------------------------------------------------------

NtfsVolumeImage make_ntfs_volume() {
  NtfsGeometry g;
  g.total_sectors = 16384;
  g.mft_capacity = 128;
  NtfsImageBuilder b(g);
  NtfsVolumeImage v;
  v.docs = b.add_directory("docs");
  v.gone = b.add_directory("gone", v.docs, true);
  FileSpec f;
  f.name = "live.txt";
  f.content = "still here";
  b.add_file(f);
  f = {};
  f.name = "small.txt";
  f.deleted = true;
  f.content = "resident and deleted";
  v.small = b.add_file(f);
  f = {};
  f.name = "fragments.bin";
  f.parent = v.docs;
  f.deleted = true;
  f.pattern_size = 9 * b.cluster_size() + 100;
  f.fragments = 3;
  f.backwards = true;
  v.fragments = b.add_file(f);
  f = {};
  f.name = "sparse.dat";
  f.parent = v.gone;
  f.deleted = true;
  f.pattern_size = 8 * b.cluster_size();
  f.holes = {{2, 3}};
  f.streams = {{"Zone.Identifier", "[ZoneTransfer]", false}};
  v.sparse = b.add_file(f);
  f = {};
  f.name = "reused.bin";
  f.parent = v.docs;
  f.deleted = true;
  f.pattern_size = 5 * b.cluster_size();
  f.reuse = {{1, 2, true}};
  v.reused = b.add_file(f);
  f = {};
  f.name = std::string(251, 'N') + ".txt";
  f.deleted = true;
  f.content = "longest name";
  v.longest = b.add_file(f);
  v.record_size = g.mft_record_size;
  v.mft_offset = b.record_offset(0);
  const std::vector<uint8_t> bytes = b.build();
  v.bytes.assign(bytes.begin(), bytes.end());
  return v;
}

std::string fixed_up(const std::string& record) {
  std::string r = record;
  const uint16_t usa = get16(r, 4);
  const uint16_t count = get16(r, 6);
  for (uint32_t i = 1; i < count && i * 512 <= r.size(); ++i) {
    put16(r, i * 512 - 2, get16(r, usa + 2 * i));
  }
  return r;
}

std::string protect(const std::string& record) {
  std::string r = record;
  const uint16_t usa = get16(r, 4);
  const uint16_t count = get16(r, 6);
  const uint16_t number = get16(r, usa);
  for (uint32_t i = 1; i < count && i * 512 <= r.size(); ++i) {
    put16(r, usa + 2 * i, get16(r, i * 512 - 2));
    put16(r, i * 512 - 2, number);
  }
  return r;
}

uint32_t attribute_offset(const std::string& record, uint32_t type) {
  uint32_t at = get16(record, 0x14);
  while (at + 8 <= record.size()) {
    const uint32_t t = get32(record, at);
    const uint32_t length = get32(record, at + 4);
    if (t == 0xFFFFFFFF || length == 0) return 0;
    if (t == type) return at;
    at += length;
  }
  return 0;
}

// ---------------------------------------------------------------------------------------

namespace {

std::set<std::string> names_in(const std::string& folder) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) names.insert(e.path().filename());
  return names;
}

}  // namespace

RunResult scan_path(const std::string& path) {
  RunResult result;
  platform::reset_drive_table();
  const auto letters = platform::attach_sources({path});
  const char letter = letters.empty() ? 'C' : letters.front();
  RecordingWindow window;
  FoundFiles.clear();
  ntfs_clear_name_cache();
  ScanStartTime = std::chrono::steady_clock::now();
  scan_drive(letter);
  result.scan_finished = ScanActive;
  ScanActive = false;
  result.scan_log = window.log;
  result.gauge_max = window.gauge_max;
  result.gauge_progress = window.gauge_progress;
  result.rows = FoundFiles.Count();
  return result;
}

std::string read_range(const std::string& path, uint64_t offset, size_t size) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  std::string bytes(size, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(size));
  bytes.resize(static_cast<size_t>(in.gcount()));
  return bytes;
}

bool write_range(const std::string& path, uint64_t offset, const std::string& bytes) {
  std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
  out.seekp(static_cast<std::streamoff>(offset));
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

RunResult scan_and_recover(const TempDir& dir, const std::string& name, const std::string& image,
                           bool recover) {
  RunResult result;
  const std::string path = dir.file(name);
  write_file(path, image);
  const uint64_t before = file_fingerprint(path);
  const std::string out = dir.file("out");
  std::error_code ec;
  fs::remove_all(out, ec);
  fs::create_directory(out);
  const std::set<std::string> around = names_in(dir.path());

  result = scan_path(path);
  const char letter = platform::drives().empty() ? 'C' : platform::drives().front().letter;
  int64_t largest = 0;
  for (int32_t i = 0; i < result.rows; ++i) largest = std::max(largest, FoundFiles[i].Size);
  if (recover) {
    RecordingWindow window;
    RecoveryActive = true;
    for (int32_t i = 0; i < result.rows; ++i) undelete_found_file(letter, i, out + "/");
    RecoveryActive = false;
    result.recover_log = window.log;
  }
  platform::reset_drive_table();

  EXPECT_EQ(file_fingerprint(path), before) << name << ": the scanned image changed";
  EXPECT_EQ(names_in(dir.path()), around) << name << ": something was written beside out/";
  // Recovered files are plain files inside out/, none larger than the volume or the largest
  // listed size (named streams are small here).
  const uint64_t bound = std::max<uint64_t>(image.size(), static_cast<uint64_t>(largest));
  for (const auto& e : fs::recursive_directory_iterator(out, ec)) {
    EXPECT_TRUE(e.is_regular_file() && !e.is_symlink()) << e.path();
    if (e.is_regular_file()) {
      EXPECT_LE(e.file_size(), bound) << e.path();
    }
    EXPECT_EQ(e.path().parent_path(), fs::path(out)) << e.path();
  }
  return result;
}

size_t count_lines(const std::vector<std::string>& log, const std::string& part) {
  size_t n = 0;
  for (const auto& line : log) n += line.find(part) != std::string::npos;
  return n;
}

namespace {

int64_t status_kib(const std::string& key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key + ":", 0) == 0) return std::stoll(line.substr(key.size() + 1));
  }
  return -1;
}

}  // namespace

int64_t rss_kib() { return status_kib("VmRSS"); }
int64_t peak_rss_kib() { return status_kib("VmHWM"); }

bool reset_peak_rss() {
  std::ofstream out("/proc/self/clear_refs");
  out << "5";
  out.flush();
  return static_cast<bool>(out);
}

}  // namespace pyralis::test
