// SPDX-License-Identifier: GPL-3.0-or-later
// Writes the seed inputs of every fuzz target, made from generated volumes, into
// <folder>/<target>/seed-<n>: pyralis-fuzz-seeds <folder>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "tests/fuzz/fuzz_targets.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  for (const auto& target : pyralis::fuzz::targets()) {
    const std::filesystem::path folder = std::filesystem::path(argv[1]) / target.name;
    std::filesystem::create_directories(folder);
    int n = 0;
    for (const std::string& seed : pyralis::fuzz::seeds(target.name)) {
      std::ofstream(folder / ("seed-" + std::to_string(++n)), std::ios::binary) << seed;
    }
    std::printf("%s: %d seeds\n", target.name, n);
  }
  return 0;
}
