// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/platform/test_images.h"

#include <fstream>
#include <stdexcept>

namespace pyralis::test {
namespace {

bool sh(const std::string& command) {
  return run_command(command) == 0;
}

bool format_at(const std::string& path, int fat_bits, uint64_t first_sector, uint64_t sectors,
               const std::string& options) {
  return sh("mkfs.fat -F " + std::to_string(fat_bits) + " " + options + " --offset " +
            std::to_string(first_sector) + " " + shell_quote(path) + " " +
            std::to_string(sectors / 2) + " >/dev/null");
}

}  // namespace

std::string make_fat_image(const TempDir& dir, const std::string& name, int fat_bits,
                           uint64_t sectors, const std::string& options) {
  if (!have_program("mkfs.fat")) return "";
  const std::string path = dir.file(name);
  if (!sh("truncate -s " + std::to_string(sectors * 512) + " " + shell_quote(path))) return "";
  if (!format_at(path, fat_bits, 0, sectors, options)) return "";
  return path;
}

std::string make_mbr_disk(const TempDir& dir) {
  if (!have_program("sfdisk") || !have_program("mkfs.fat")) return "";
  const std::string path = dir.file("mbr.img");
  const std::string q = shell_quote(path);
  const bool ok =
      sh("truncate -s 128M " + q) &&
      sh("printf 'label: dos\\nstart=2048, size=40960, type=6\\nstart=43008, size=40960, "
         "type=e\\nstart=86016, type=5\\n' | sfdisk -q " +
         q) &&
      sh("printf 'start=88064, size=140000, type=c\\n' | sfdisk -q -a " + q) &&
      format_at(path, 16, 2048, 40960, "-n FIRST") &&
      format_at(path, 32, 88064, 140000, "-s 1 -n LOGICAL");
  return ok ? path : "";
}

std::string make_gpt_disk(const TempDir& dir) {
  if (!have_program("sfdisk") || !have_program("mkfs.fat")) return "";
  const std::string path = dir.file("gpt.img");
  const std::string q = shell_quote(path);
  const std::string data = "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7";
  const bool ok = sh("truncate -s 64M " + q) &&
                  sh("printf 'label: gpt\\nstart=2048, size=40960, type=" + data +
                     "\\nstart=45056, size=8192, type=" + data + "\\n' | sfdisk -q " + q) &&
                  format_at(path, 16, 2048, 40960, "-n GPTONE") &&
                  format_at(path, 12, 45056, 8192, "-n GPTTWO");
  return ok ? path : "";
}

std::string gunzip_fixture_head(const std::string& relative, const TempDir& dir, uint64_t bytes) {
  const std::string source = fixture_path(relative);
  const std::string target = dir.file("head.img");
  // head closes the pipe early, so gzip's own status is not looked at.
  if (run_command("gzip -dc " + shell_quote(source) + " | head -c " + std::to_string(bytes) +
                  " > " + shell_quote(target)) != 0) {
    throw std::runtime_error("sample volume cannot be decompressed: " + source);
  }
  return target;
}

std::string file_bytes(const std::string& path, uint64_t offset, uint64_t size) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes(size, '\0');
  if (!in.seekg(static_cast<std::streamoff>(offset)) ||
      !in.read(bytes.data(), static_cast<std::streamsize>(size))) {
    return "";
  }
  return bytes;
}

}  // namespace pyralis::test
