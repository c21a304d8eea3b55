// SPDX-License-Identifier: GPL-3.0-or-later
// Replays every kept fuzz input (the committed corpus seeds and each regression input, one
// folder per target) and the seeds made from generated volumes through the fuzz targets'
// bodies, so that an input that once crashed keeps being checked by the normal suite.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/fuzz/fuzz_targets.h"
#include "tests/support/test_files.h"

namespace pyralis::fuzz {
// Test names show the target's name.
void PrintTo(const Target& target, std::ostream* out) { *out << target.name; }
}  // namespace pyralis::fuzz

namespace pyralis::test {
namespace {

namespace fs = std::filesystem;

class FuzzReplay : public ::testing::TestWithParam<fuzz::Target> {};

TEST_P(FuzzReplay, KeptInputsAndGeneratedSeedsRunCleanly) {
  const fuzz::Target target = GetParam();
  int inputs = 0;
  for (const char* kind : {"corpus", "regressions"}) {
    const fs::path folder = fs::path(PYRALIS_FUZZ_DIR) / kind / target.name;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
      if (!entry.is_regular_file()) continue;
      SCOPED_TRACE(entry.path().string());
      const std::string bytes = read_file(entry.path());
      target.run(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
      ++inputs;
    }
  }
  for (const std::string& seed : fuzz::seeds(target.name)) {
    target.run(reinterpret_cast<const uint8_t*>(seed.data()), seed.size());
    ++inputs;
  }
  EXPECT_GT(inputs, 0);
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, ::testing::ValuesIn(fuzz::targets()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace pyralis::test
