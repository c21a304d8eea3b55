// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/e2e/cli_runner.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace pyralis::test {

namespace {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string mtools(const std::string& command, const std::string& image, const std::string& rest) {
  return "MTOOLS_SKIP_CHECK=1 " + command + " -i " + shell_quote(image) + " " + rest;
}

std::string on_volume(const VolumeFile& f) {
  return shell_quote("::/" + (f.folder.empty() ? "" : f.folder + "/") + f.name);
}

}  // namespace

std::vector<std::string> CliRun::out_lines() const {
  return lines_of(out);
}
std::vector<std::string> CliRun::err_lines() const {
  return lines_of(err);
}

CliRun run_cli(const std::string& arguments, const TempDir& dir,
               const std::vector<std::string>& environment, int timeout_seconds) {
  CliRun run;
  std::string settings;
  for (const std::string& setting : environment) settings += shell_quote(setting) + " ";
  const std::string out = dir.file(".cli-out"), err = dir.file(".cli-err");
  // In a subshell so that the runner's own 2>&1 does not undo the split of the two streams.
  const std::string limit =
      timeout_seconds > 0 ? "timeout -k 1 " + std::to_string(timeout_seconds) + " " : "";
  run.status = run_command("(cd " + shell_quote(dir.path()) + " && " + limit + "env " + settings +
                           shell_quote(PYRALIS_CLI) + " " + arguments + " >" + shell_quote(out) +
                           " 2>" + shell_quote(err) + " </dev/null)");
  run.out = read_file(out);
  run.err = read_file(err);
  return run;
}

std::string filler(size_t size, uint32_t seed, const std::string& head) {
  std::string bytes = head.substr(0, size);
  uint32_t x = seed * 2654435761u + 1;
  while (bytes.size() < size) {
    x = x * 1664525u + 1013904223u;
    bytes += static_cast<char>(x >> 24);
  }
  return bytes;
}

std::vector<VolumeFile> sample_files() {
  return {
      {"", "Quarterly report - final version.pdf", filler(12345, 1, "%PDF-1.4\n"), true},
      {"", "keep me.txt", filler(3000, 2), false},
      {"Photos", "Beach holiday 2024.jpg", filler(70000, 3, "\xFF\xD8\xFF\xE0"), true},
      {"Photos", "same name.txt", filler(700, 4), true},
      {"Photos", "Still here.jpg", filler(9000, 5, "\xFF\xD8\xFF\xE0"), false},
      {"Old stuff", "same name.txt", filler(900, 6), true},
      {"Old stuff", "Archive one.zip", filler(4096, 7, "PK\x03\x04"), true},
  };
}

std::vector<std::string> sample_deleted_folders() {
  return {"Old stuff"};
}

std::string make_fat_volume(const TempDir& dir, int fat_bits, const std::vector<VolumeFile>& files,
                            const std::vector<std::string>& deleted_folders) {
  if (!have_program("mkfs.fat") || !have_program("mcopy")) return "";
  const std::string image = dir.file("fat" + std::to_string(fat_bits) + ".img");
  // Sizes that each FAT type accepts with one sector per cluster where it can.
  const std::string blocks = fat_bits == 12 ? "2880" : fat_bits == 16 ? "20480" : "40000";
  const std::string options = fat_bits == 32 ? " -s 1" : "";
  if (run_command("mkfs.fat -C -F " + std::to_string(fat_bits) + options + " " +
                  shell_quote(image) + " " + blocks + " >/dev/null") != 0)
    return "";
  const std::string staging = dir.file("staging");
  std::vector<std::string> folders;
  for (const VolumeFile& f : files)
    if (!f.folder.empty() && std::find(folders.begin(), folders.end(), f.folder) == folders.end())
      folders.push_back(f.folder);
  for (const std::string& folder : folders)
    if (run_command(mtools("mmd", image, shell_quote("::/" + folder))) != 0) return "";
  for (size_t i = 0; i < files.size(); ++i) {
    const std::string local = staging + std::to_string(i);
    write_file(local, files[i].content);
    if (run_command(mtools("mcopy", image, shell_quote(local) + " " + on_volume(files[i]))) != 0)
      return "";
    std::remove(local.c_str());
  }
  for (const VolumeFile& f : files) {
    const bool in_deleted_folder = std::find(deleted_folders.begin(), deleted_folders.end(),
                                             f.folder) != deleted_folders.end();
    if (f.deleted && !in_deleted_folder && run_command(mtools("mdel", image, on_volume(f))) != 0)
      return "";
  }
  for (const std::string& folder : deleted_folders)
    if (run_command(mtools("mdeltree", image, shell_quote("::/" + folder))) != 0) return "";
  return image;
}

}  // namespace pyralis::test

namespace pyralis::test {

bool write_ddrescue_map(const std::string& path, uint64_t size, uint64_t bad, uint64_t length) {
  char text[512];
  std::snprintf(text, sizeof text,
                "# Mapfile. Created by GNU ddrescue\n"
                "# current_pos  current_status  current_pass\n"
                "0x%08llX     +               1\n"
                "#      pos        size  status\n"
                "0x%08llX  0x%08llX  +\n"
                "%llu  %llu  -\n"
                "0x%08llX  0x%08llX  +\n",
                0ull, 0ull, static_cast<unsigned long long>(bad),
                static_cast<unsigned long long>(bad), static_cast<unsigned long long>(length),
                static_cast<unsigned long long>(bad + length),
                static_cast<unsigned long long>(size - bad - length));
  return write_file(path, text);
}

size_t offset_of(const std::string& path, const std::string& content) {
  return read_file(path).find(content.substr(0, 4096));
}

}  // namespace pyralis::test
