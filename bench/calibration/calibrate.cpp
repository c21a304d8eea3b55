// SPDX-License-Identifier: GPL-3.0-or-later
// What the Status words and the content verdict are worth (not a test): builds volumes of
// known files, deletes files, writes new ones over part of the freed space (so some deleted
// files lose clusters, some come back fragmented), scans, recovers every row into memory and
// compares it with the original. Prints, per file system, per Status word and per verdict,
// how many rows came back byte-exact. FAT volumes are made with mkfs.fat and mtools, exFAT
// volumes with mkfs.exfat and tests/exfat/exfat_writer.py (which deletes and allocates as
// the system does), NTFS volumes with the test image builder (tests/ntfsimg), whose deleted
// files may have clusters handed out again and overwritten.
//   calibrate SAMPLES_DIR WORK_DIR [ROUNDS]
// SAMPLES_DIR holds sample files of each type (tests/fixtures/filetypes); WORK_DIR must exist.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/engine_window.h"
#include "core/found_files.h"
#include "core/process_state.h"
#include "core/recovered_file.h"
#include "core/recovery_command.h"
#include "drivers/drivers.h"
#include "platform/drive_table.h"
#ifdef PYRALIS_CALIBRATE_NTFS
#include "tests/ntfsimg/ntfs_image_builder.h"
#endif

namespace {

namespace fs = std::filesystem;

class QuietWindow : public pyralis::EngineWindow {};

std::string read_all(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_all(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

bool run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

struct Tally {
  int rows = 0;
  int exact = 0;
};

enum class FileSystem { kFat, kExfat, kNtfs };

struct Volume {
  FileSystem file_system;
  int fat_bits;  // FAT only
  int kib;
  std::string options;  // mkfs.fat or mkfs.exfat options
};

using Tallies = std::map<std::string, Tally>;

// A sample file drawn at random: its name on the volume and its bytes. Each sample is kept
// as "extension\n" + bytes.
struct Drawn {
  std::string name;
  std::string bytes;
};
Drawn draw(const std::vector<std::string>& samples, std::mt19937& random, int number) {
  std::string bytes = samples[random() % samples.size()];
  const std::string extension = bytes.substr(0, bytes.find('\n'));
  bytes.erase(0, extension.size() + 1);
  return {"File " + std::to_string(number) + " sample." + extension, bytes};
}

// Picks about `share` of `live` to delete; the rest stay live.
std::vector<std::string> pick(std::vector<std::string>& live, double share, std::mt19937& random) {
  std::vector<std::string> kept, gone;
  for (const std::string& name : live)
    (std::uniform_real_distribution<double>(0, 1)(random) < share ? gone : kept).push_back(name);
  live = kept;
  return gone;
}

// FAT: files put with mtools, about half deleted, new files written into the freed space,
// some of those deleted again.
void build_fat(const Volume& spec, const std::vector<std::string>& samples, const fs::path& work,
               std::mt19937& random, const fs::path& image,
               std::map<std::string, std::string>& originals) {
  run("mkfs.fat -C -F " + std::to_string(spec.fat_bits) + " " + spec.options + " " +
      quote(image.string()) + " " + std::to_string(spec.kib));
  const std::string mtools = "MTOOLS_SKIP_CHECK=1 ";
  const fs::path staging = work / "staging";
  std::vector<std::string> live;
  int number = 0;
  const auto put_batch = [&](int count) {
    fs::remove_all(staging);
    fs::create_directories(staging);
    std::string args;
    for (int i = 0; i < count; ++i) {
      const Drawn d = draw(samples, random, ++number);
      write_all(staging / d.name, d.bytes);
      originals[d.name] = d.bytes;
      live.push_back(d.name);
      args += " " + quote((staging / d.name).string());
    }
    run(mtools + "mcopy -i " + quote(image.string()) + args + " ::/");
  };
  const auto delete_some = [&](double share) {
    std::string args;
    for (const std::string& name : pick(live, share, random)) args += " " + quote("::/" + name);
    if (!args.empty()) run(mtools + "mdel -i " + quote(image.string()) + args);
  };
  put_batch(120);
  delete_some(0.5);
  put_batch(40);  // into the freed clusters, first free first
  delete_some(0.3);
}

// exFAT: the same steps through exfat_writer.py; a quarter of the files are written
// fragmented (a FAT chain over every other free cluster), the rest contiguous.
void build_exfat(const Volume& spec, const std::vector<std::string>& samples, const fs::path& work,
                 std::mt19937& random, const fs::path& image,
                 std::map<std::string, std::string>& originals) {
  run("truncate -s " + std::to_string(spec.kib) + "K " + quote(image.string()) + " && mkfs.exfat " +
      spec.options + " " + quote(image.string()));
  const fs::path staging = work / "staging";
  fs::remove_all(staging);
  fs::create_directories(staging);
  std::string script;
  std::vector<std::string> live;
  int number = 0;
  const auto put_batch = [&](int count) {
    for (int i = 0; i < count; ++i) {
      const Drawn d = draw(samples, random, ++number);
      write_all(staging / d.name, d.bytes);
      originals[d.name] = d.bytes;
      live.push_back(d.name);
      script += "put\t/" + d.name + "\t" + std::to_string(d.bytes.size()) +
                "\t0\tfrom=" + (staging / d.name).string() + (random() % 4 == 0 ? "\tfrag" : "") +
                "\n";
    }
  };
  const auto delete_some = [&](double share) {
    for (const std::string& name : pick(live, share, random)) script += "delete\t/" + name + "\n";
  };
  put_batch(120);
  delete_some(0.5);
  put_batch(40);
  delete_some(0.3);
  write_all(work / "exfat.script", script);
  run("/usr/bin/python3 " + quote(PYRALIS_EXFAT_WRITER) + " " + quote(image.string()) + " < " +
      quote((work / "exfat.script").string()));
}

#ifdef PYRALIS_CALIBRATE_NTFS
// NTFS: 160 files, about 60 % of them deleted; a third of the deleted ones in two or three
// fragments, and a third have some of their clusters handed out again and overwritten, as
// new files written after the deletion would.
void build_ntfs(const Volume& spec, const std::vector<std::string>& samples, std::mt19937& random,
                const fs::path& image, std::map<std::string, std::string>& originals) {
  using namespace pyralis::test;
  NtfsGeometry geometry;
  geometry.sectors_per_cluster = 1;
  geometry.total_sectors = uint64_t(spec.kib) * 2;
  NtfsImageBuilder builder(geometry);
  for (int number = 1; number <= 160; ++number) {
    const Drawn d = draw(samples, random, number);
    FileSpec f;
    f.name = d.name;
    f.content = d.bytes;
    f.deleted = random() % 5 < 3;
    const uint64_t clusters = (d.bytes.size() + 511) / 512;
    if (f.deleted && clusters >= 4 && random() % 3 == 0) f.fragments = 2 + random() % 2;
    if (f.deleted && clusters >= 2 && random() % 3 == 0) {
      const uint64_t first = random() % clusters;
      f.reuse.push_back({first, 1 + random() % std::min<uint64_t>(4, clusters - first), true});
    }
    builder.add_file(f);
    if (f.deleted) originals[d.name] = d.bytes;
  }
  builder.write(image.string());
}
#endif

// Scans `image`, recovers every row of `originals` into memory and adds it to the tallies.
void tally_rows(const fs::path& image, const std::map<std::string, std::string>& originals,
                Tallies& by_status, Tallies& by_verdict) {
  using namespace pyralis;
  platform::reset_drive_table();
  platform::attach_sources({image.string()});
  FoundFiles.clear();
  ScanStartTime = std::chrono::steady_clock::now();
  scan_drive('c');
  const RecoveryCommand command;
  for (int32_t row = 0; row < FoundFiles.Count(); ++row) {
    const auto it = originals.find(FoundFiles[row].Name);
    if (it == originals.end()) continue;
    const ContentVerdict verdict = check_found_file('c', row);
    std::vector<uint8_t> bytes;
    {
      RecoveryActive = true;
      RecoveryTargetScope capture({0.0, &bytes, uint64_t{1} << 30});
      undelete_found_file('c', row, std::string());
    }
    const bool exact = std::string(bytes.begin(), bytes.end()) == it->second;
    const std::string status = quality_to_text(FoundFiles[row].RecoveryQuality);
    const std::string content = verdict.state == ContentState::kDamaged
                                    ? "Damaged"
                                    : content_to_text(verdict, FoundFiles[row].Size);
    // The rows that matter most: called whole, yet not the original.
    if (verdict.state == ContentState::kIntact && !exact)
      std::fprintf(stderr, "Intact but not byte-exact: %s (%s, %zu of %zu bytes)\n",
                   it->first.c_str(), status.c_str(), bytes.size(), it->second.size());
    for (Tally* t : {&by_status[status], &by_verdict[content], &by_status["(all)"]}) {
      ++t->rows;
      t->exact += exact;
    }
  }
}

void calibrate_volume(const Volume& spec, const std::vector<std::string>& samples,
                      const fs::path& work, uint32_t seed, Tallies& by_status,
                      Tallies& by_verdict) {
  std::mt19937 random(seed);
  const fs::path image = work / "calibration.img";
  fs::remove(image);
  std::map<std::string, std::string> originals;  // name on the volume -> bytes
  switch (spec.file_system) {
    case FileSystem::kFat:
      build_fat(spec, samples, work, random, image, originals);
      break;
    case FileSystem::kExfat:
      build_exfat(spec, samples, work, random, image, originals);
      break;
    case FileSystem::kNtfs:
#ifdef PYRALIS_CALIBRATE_NTFS
      build_ntfs(spec, samples, random, image, originals);
      break;
#else
      return;  // built without the tests' NTFS image builder
#endif
  }
  tally_rows(image, originals, by_status, by_verdict);
}

void print_table(const char* title, const std::map<std::string, Tally>& tallies) {
  std::printf("| %s | rows | byte-exact |\n|---|---:|---:|\n", title);
  for (const auto& [word, t] : tallies)
    std::printf("| %s | %d | %.1f %% |\n", word.c_str(), t.rows,
                t.rows ? 100.0 * t.exact / t.rows : 0.0);
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s SAMPLES_DIR WORK_DIR [ROUNDS]\n", argv[0]);
    return 2;
  }
  const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
  // Each sample is kept as "extension\n" + bytes.
  std::vector<std::string> samples;
  for (const auto& entry : fs::directory_iterator(argv[1])) {
    const std::string extension = entry.path().extension().string();
    if (!entry.is_regular_file() || extension.size() < 2 || extension == ".gz" ||
        extension == ".md" || extension == ".sh")
      continue;
    samples.push_back(extension.substr(1) + "\n" + read_all(entry.path()));
  }
  if (samples.empty()) {
    std::fprintf(stderr, "no sample files in %s\n", argv[1]);
    return 2;
  }
  QuietWindow window;
  pyralis::SetEngineWindow(&window);
  const std::vector<Volume> volumes = {{FileSystem::kFat, 16, 16384, "-s 4"},
                                       {FileSystem::kFat, 32, 65536, "-s 1"},
                                       {FileSystem::kExfat, 0, 32768, "-c 512"},
                                       {FileSystem::kNtfs, 0, 16384, ""}};
  const char* names[] = {"FAT", "exFAT", "NTFS"};
  std::map<FileSystem, Tallies> by_status, by_verdict;
  for (int round = 0; round < rounds; ++round)
    for (size_t v = 0; v < volumes.size(); ++v)
      calibrate_volume(volumes[v], samples, argv[2], static_cast<uint32_t>(round * 16 + v + 1),
                       by_status[volumes[v].file_system], by_verdict[volumes[v].file_system]);
  for (const auto& [system, tallies] : by_status) {
    std::printf("%s\n\n", names[static_cast<int>(system)]);
    print_table("Status", tallies);
    print_table("Content", by_verdict[system]);
  }
  return 0;
}
