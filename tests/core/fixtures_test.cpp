// SPDX-License-Identifier: GPL-3.0-or-later
// The sample volumes live in the repository: every image tests/fixtures/README.md lists is
// there, under the folder of its section, and every image there is listed.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>

#include "tests/support/test_files.h"

namespace pyralis::test {
namespace {

TEST(FixturesTest, EverySampleListedHereIsPresent) {
  const std::string readme = fixture_path("README.md");
  std::ifstream in(readme);
  const std::regex section(R"(^## ([A-Za-z0-9_-]+)/)");
  const std::regex row(R"(^\| ([A-Za-z0-9_.-]+\.gz) \|)");
  std::string folder;
  std::set<std::string> listed;
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (std::regex_search(line, m, section)) folder = m[1];
    if (!std::regex_search(line, m, row)) continue;
    ASSERT_FALSE(folder.empty()) << "row before any folder section: " << line;
    listed.insert(folder + "/" + m[1].str());
    EXPECT_NO_THROW(fixture_path(folder + "/" + m[1].str()));
  }
  EXPECT_GE(listed.size(), 15u) << "the README's tables were not read";

  for (const auto& entry : std::filesystem::recursive_directory_iterator(fixtures_dir())) {
    if (entry.path().extension() != ".gz") continue;
    const std::string relative =
        std::filesystem::relative(entry.path(), fixtures_dir()).generic_string();
    EXPECT_TRUE(listed.count(relative)) << relative << " is not listed in " << readme;
  }
}

}  // namespace
}  // namespace pyralis::test
