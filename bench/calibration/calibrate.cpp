// SPDX-License-Identifier: GPL-3.0-or-later
// What the Status words and the content verdict are worth (not a test): builds FAT volumes
// of known files with mkfs.fat and mtools, deletes files, writes new ones over part of the
// freed space (so some deleted files lose clusters, some come back fragmented), scans,
// recovers every row into memory and compares it with the original. Prints, per Status word
// and per verdict, how many rows came back byte-exact.
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

struct Volume {
  int fat_bits;
  int kib;
  std::string options;
};

// One volume: files put, about half deleted, new files written into the freed space, some
// of those deleted again. Adds each listed row to the tallies.
void calibrate_volume(const Volume& spec, const std::vector<std::string>& samples,
                      const fs::path& work, uint32_t seed, std::map<std::string, Tally>& by_status,
                      std::map<std::string, Tally>& by_verdict) {
  using namespace pyralis;
  std::mt19937 random(seed);
  const fs::path image = work / "calibration.img";
  fs::remove(image);
  run("mkfs.fat -C -F " + std::to_string(spec.fat_bits) + " " + spec.options + " " +
      quote(image.string()) + " " + std::to_string(spec.kib));
  const std::string mtools = "MTOOLS_SKIP_CHECK=1 ";
  const fs::path staging = work / "staging";
  fs::create_directories(staging);
  std::map<std::string, std::string> originals;  // name on the volume -> bytes
  std::vector<std::string> live;
  int number = 0;
  const auto put_batch = [&](int count) {
    fs::remove_all(staging);
    fs::create_directories(staging);
    std::string args;
    for (int i = 0; i < count; ++i) {
      std::string bytes = samples[random() % samples.size()];
      std::string extension = bytes.substr(0, bytes.find('\n'));
      bytes.erase(0, extension.size() + 1);
      const std::string name = "File " + std::to_string(++number) + " sample." + extension;
      write_all(staging / name, bytes);
      originals[name] = bytes;
      live.push_back(name);
      args += " " + quote((staging / name).string());
    }
    run(mtools + "mcopy -i " + quote(image.string()) + args + " ::/");
  };
  const auto delete_some = [&](double share) {
    std::vector<std::string> kept;
    std::string args;
    for (const std::string& name : live) {
      if (std::uniform_real_distribution<double>(0, 1)(random) < share)
        args += " " + quote("::/" + name);
      else
        kept.push_back(name);
    }
    live = kept;
    if (!args.empty()) run(mtools + "mdel -i " + quote(image.string()) + args);
  };
  put_batch(120);
  delete_some(0.5);
  put_batch(40);  // into the freed clusters, first free first
  delete_some(0.3);

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
  const std::vector<Volume> volumes = {{16, 16384, "-s 4"}, {32, 65536, "-s 1"}};
  std::map<std::string, Tally> by_status, by_verdict;
  for (int round = 0; round < rounds; ++round)
    for (size_t v = 0; v < volumes.size(); ++v)
      calibrate_volume(volumes[v], samples, argv[2], static_cast<uint32_t>(round * 16 + v + 1),
                       by_status, by_verdict);
  print_table("Status", by_status);
  print_table("Content", by_verdict);
  return 0;
}
