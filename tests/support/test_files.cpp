// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/test_files.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#ifndef PYRALIS_FIXTURES_DIR
#error "PYRALIS_FIXTURES_DIR (the repository's tests/fixtures folder) must be defined"
#endif

namespace pyralis::test {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/pyralis-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed: " + pattern);
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests may leave read-only folders behind; make them writable before removing.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
  }
  std::filesystem::remove_all(path_, ec);
}

std::string fixtures_dir() {
  return PYRALIS_FIXTURES_DIR;
}

std::string fixture_path(const std::string& relative) {
  const std::string path = fixtures_dir() + "/" + relative;
  if (!std::filesystem::is_regular_file(path))
    throw std::runtime_error("sample volume missing: " + path);
  return path;
}

std::string shell_quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') quoted += "'\\''";
    else quoted += c;
  }
  return quoted + "'";
}

int run_command(const std::string& command, std::string* output) {
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string text;
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) text.append(chunk, n);
  const int status = pclose(pipe);
  if (output) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool have_program(const std::string& program) {
  return run_command("command -v " + shell_quote(program) + " >/dev/null") == 0;
}

std::string gunzip_fixture(const std::string& relative, const TempDir& dir) {
  const std::string source = fixture_path(relative);
  std::string name = std::filesystem::path(relative).filename().string();
  if (name.size() > 3 && name.ends_with(".gz")) name.resize(name.size() - 3);
  const std::string target = dir.file(name);
  if (run_command("gzip -dc " + shell_quote(source) + " > " + shell_quote(target)) != 0)
    throw std::runtime_error("sample volume cannot be decompressed: " + source);
  return target;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  return static_cast<bool>(out);
}

uint64_t file_fingerprint(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  uint64_t hash = 1469598103934665603ull;
  char chunk[65536];
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
    for (std::streamsize i = 0; i < in.gcount(); ++i) {
      hash ^= static_cast<unsigned char>(chunk[i]);
      hash *= 1099511628211ull;
    }
  }
  return hash;
}

std::string grown_jpeg(const std::string& jpeg, size_t extra, uint32_t seed, size_t* data_at) {
  // The first scan's data begins after the start-of-scan segment (0xFF 0xDA and its length).
  const size_t sos = jpeg.find("\xFF\xDA");
  if (sos == std::string::npos || sos + 4 > jpeg.size())
    throw std::runtime_error("grown_jpeg: no start of scan");
  const size_t length =
      static_cast<uint8_t>(jpeg[sos + 2]) << 8 | static_cast<uint8_t>(jpeg[sos + 3]);
  const size_t at = sos + 2 + length;
  std::mt19937 random(seed);
  std::string data;
  data.reserve(extra + extra / 128);
  while (data.size() < extra) {
    const auto byte = static_cast<char>(random());
    data.push_back(byte);
    if (byte == '\xFF') data.push_back('\0');
  }
  if (data_at) *data_at = at;
  return jpeg.substr(0, at) + data + jpeg.substr(at);
}

}  // namespace pyralis::test
