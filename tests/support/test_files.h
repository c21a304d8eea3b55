// SPDX-License-Identifier: GPL-3.0-or-later
// Temporary folders, sample volumes and shell helpers for tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pyralis::test {

// A fresh folder under $TMPDIR, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Root of the sample volumes: the repository's tests/fixtures (PYRALIS_FIXTURES_DIR).
std::string fixtures_dir();
// fixtures_dir()/relative; throws std::runtime_error naming the file when it is missing, so
// that the test using it fails (a missing sample never skips a test).
std::string fixture_path(const std::string& relative);
// Decompresses fixtures_dir()/relative (a .gz) into `dir` and returns the new file's path;
// throws like fixture_path when the sample is missing or cannot be decompressed.
std::string gunzip_fixture(const std::string& relative, const TempDir& dir);
// Runs a shell command; returns its exit status (-1 when it could not run). Output is
// captured into *output when given.
int run_command(const std::string& command, std::string* output = nullptr);
// True when `program` is on PATH.
bool have_program(const std::string& program);
// Whole file content ("" when unreadable) and writing helpers.
std::string read_file(const std::string& path);
bool write_file(const std::string& path, const std::string& content);
// Hex SHA-256-free fingerprint good enough to see a change: FNV-1a 64 of the file.
uint64_t file_fingerprint(const std::string& path);
// A JPEG (`jpeg`, a whole one) whose first scan holds `extra` more bytes of entropy-coded
// data: pseudo-random bytes, each 0xFF among them stuffed with 0x00, so that no marker lies
// among them. Its structure is whole; its picture no longer decodes. `*data_at` (optional)
// is the first byte added.
std::string grown_jpeg(const std::string& jpeg, size_t extra, uint32_t seed,
                       size_t* data_at = nullptr);
// Single-quote a string for the shell.
std::string shell_quote(const std::string& text);

}  // namespace pyralis::test
