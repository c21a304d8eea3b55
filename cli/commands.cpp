// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/commands.h"

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <system_error>

#include "cli/cli_window.h"
#include "cli/drive_listing.h"
#include "cli/recovery_paths.h"
#include "cli/recovery_report.h"
#include "core/found_files.h"
#include "core/process_state.h"
#include "drivers/drivers.h"
#include "core/recovery_command.h"
#include "ntfs/ntfs_engine.h"
#include "platform/drive_table.h"
#include "platform/system_paths.h"
#include "platform/unreadable_areas.h"
#include "platform/version_resource.h"
#include "platform/volume_access.h"
#include "platform/version_text.h"
#include "rawdisk/raw_disk_access.h"

namespace pyralis::cli {

namespace fs = std::filesystem;

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

void on_interrupt(int) {
  if (g_interrupted) {
    std::signal(SIGINT, SIG_DFL);
    std::raise(SIGINT);
    return;
  }
  g_interrupted = 1;
  // Lock-free atomics: safe to store from a signal handler.
  ScanActive = false;
  RecoveryActive = false;
}

void error_line(const std::string& text) {
  std::fprintf(stderr, "pyralis-cli: %s\n", text.c_str());
}

bool holds_engine_volume(char letter) {
  std::string name = GetMediaIdentifier(letter).FileSystem;
  std::transform(name.begin(), name.end(), name.begin(), ::toupper);
  return name.find("FAT") != std::string::npos || name.find("NTFS") != std::string::npos;
}

std::string letters_in_use() {
  std::string text;
  for (const platform::Drive& d : platform::drives())
    text += std::string(text.empty() ? "" : " ") + d.letter + ":";
  return text.empty() ? "none" : text;
}

// Prints one line for each of `letters` whose source cannot be read; true when there was any.
// Whether drive `letter` holds no volume Pyralis reads but can be read, so that a search by
// content can still go over it.
bool carvable_source(char letter) {
  uint8_t sector[512];
  return GetMediaIdentifier(letter).FileSystem.empty() &&
         platform::read_volume(letter, 0, sector, sizeof sector);
}

bool report_problems(const std::vector<char>& letters, bool carve) {
  bool problem = false;
  for (char letter : letters) {
    const std::string why = DescribeDriveProblem(letter);
    if (!why.empty() && !(carve && carvable_source(letter))) {
      error_line(why);
      problem = true;
    }
  }
  return problem;
}

// The driver's scan options the command line asks for (--carve implies the deep scan).
ScanOptions scan_options_of(const Options& options) {
  ScanOptions scan_options;
  scan_options.carve = options.carve;
  scan_options.deep = options.deep || options.carve;
  return scan_options;
}

// Attaches the given sources (and the machine's volumes when they are needed) and picks the
// drive; returns its upper-case letter, or 0 after printing why there is none.
char attach_and_choose(const Options& options, bool need_machine_volumes) {
  platform::reset_drive_table();
  platform::clear_unreadable_areas();
  const std::vector<char> given = platform::attach_sources(options.sources);
  if (report_problems(given, options.carve)) return 0;
  if (!options.map.empty()) {
    std::string why;
    auto areas = platform::read_ddrescue_map(options.map, &why);
    if (!areas) {
      error_line("--map: " + why);
      return 0;
    }
    platform::set_unreadable_areas(options.sources.front(), std::move(*areas));
  }
  const bool drive_given_elsewhere =
      options.drive && std::find(given.begin(), given.end(), options.drive) == given.end();
  if (need_machine_volumes || given.empty() || drive_given_elsewhere)
    platform::attach_machine_volumes();
  char letter = options.drive ? options.drive : (given.empty() ? 'C' : given.front());
  if (platform::find_drive(letter) == nullptr) {
    if (options.sources.empty() && !options.drive)
      error_line("no drive C: to scan; give a disk image or block device (drives in use: " +
                 letters_in_use() + ")");
    else
      error_line(std::string("drive ") + letter +
                 ": has no source; give a disk image or block device (drives in use: " +
                 letters_in_use() + ")");
    return 0;
  }
  const std::string why = DescribeDriveProblem(letter);
  // A readable source that holds no volume can still be searched by content.
  if (!why.empty() && !(options.carve && carvable_source(letter))) {
    error_line(why);
    return 0;
  }
  return letter;
}

// The Scan command's steps: empty the catalogue and the NTFS name cache, note the start time,
// log "Scan X:\ ...", run the driver, log how it ended ("End scan", "Process interrupted",
// or nothing more after the line that says why the drive was not scanned).
ScanResult scan(CliWindow& window, char letter, const ScanOptions& scan_options) {
  FoundFiles.clear();
  ntfs_clear_name_cache();
  ScanStartTime = std::chrono::steady_clock::now();
  window.reset_progress();
  window.LogLine(std::string("Scan ") + letter + ":\\ ...");
  ScanResult result = ScanResult::kNotScanned;
  try {
    result = scan_drive(static_cast<char>(std::tolower(letter)), scan_options);
  } catch (const std::exception& e) {
    window.LogLine(std::string("ERROR: the scan of ") + letter + ": stopped: " + e.what());
  }
  if (result != ScanResult::kNotScanned)
    window.LogLine(result == ScanResult::kScanned ? "End scan" : "Process interrupted");
  window.end_progress();
  return result;
}

int run_drives(const Options& options) {
  platform::reset_drive_table();
  const std::vector<char> given = platform::attach_sources(options.sources);
  platform::attach_machine_volumes();
  write_grid(std::cout, options.format, drives_grid(options.format == OutputFormat::Table));
  std::cout.flush();
  return report_problems(given, false) ? kExitBadArguments : kExitOk;
}

int run_scan(const Options& options) {
  // The source is opened once for the whole command.
  const platform::SourceHold source_hold;
  const char letter = attach_and_choose(options, false);
  if (!letter) return kExitBadArguments;
  CliWindow window(isatty(STDERR_FILENO) == 1);
  window.watch_interrupt(&g_interrupted);
  const ScanResult result = scan(window, letter, scan_options_of(options));
  write_found_files(std::cout, options.format, FoundFiles);
  std::cout.flush();
  if (!holds_engine_volume(letter) && !(options.carve && carvable_source(letter))) {
    error_line(DescribeDriveSource(letter) + " holds no FAT, exFAT or NTFS volume");
    return kExitBadArguments;
  }
  // A stopped scan is saved too: what it found is worth keeping.
  bool saved = true;
  if (!options.save.empty() && result != ScanResult::kNotScanned) {
    std::string why;
    saved = save_scan(static_cast<char>(std::tolower(letter)), options.save, &why);
    if (!saved) error_line("cannot save the scan to " + options.save + ": " + why);
  }
  if (interrupted()) return kExitInterrupted;
  return result == ScanResult::kScanned && saved ? kExitOk : kExitNotAllWritten;
}

// The folder nearest to `path` that exists (the path itself when it does).
fs::path existing_ancestor(fs::path path) {
  std::error_code ec;
  path = fs::absolute(path, ec);
  while (!path.empty() && !fs::exists(path, ec) && path != path.parent_path())
    path = path.parent_path();
  return path;
}

// Checks and creates the destination; prints why not and returns false when it cannot be used.
bool prepare_destination(const std::string& destination, char letter) {
  const fs::path anchor = existing_ancestor(destination);
  if (platform::folder_on_drive(anchor.string(), letter)) {
    error_line(destination + " lies on the scanned drive " + letter +
               ":; recover onto another drive so that nothing overwrites the deleted files");
    return false;
  }
  std::error_code ec;
  if (fs::exists(destination, ec) && !fs::is_directory(destination, ec)) {
    error_line("cannot use " + destination + " as destination: it is not a folder");
    return false;
  }
  fs::create_directories(destination, ec);
  if (ec) {
    error_line("cannot create destination folder " + destination + ": " + ec.message());
    return false;
  }
  if (::access(destination.c_str(), W_OK | X_OK) != 0) {
    error_line("cannot write into destination folder " + destination + ": " +
               std::error_code(errno, std::generic_category()).message());
    return false;
  }
  return true;
}

// Row indices chosen by --all, --inode or --row, each once, in the order asked; a number that
// names no row gets one line and counts as a file not written.
std::vector<int32_t> chosen_rows(const Options& options, int& unknown) {
  std::vector<int32_t> rows;
  std::set<int32_t> seen;
  const auto take = [&](int32_t row) {
    if (seen.insert(row).second) rows.push_back(row);
  };
  if (options.all)
    for (int32_t i = 0; i < FoundFiles.Count(); ++i) take(i);
  for (int64_t inode : options.inodes) {
    bool found = false;
    for (int32_t i = 0; i < FoundFiles.Count(); ++i)
      if (FoundFiles[i].Inode == inode) take(i), found = true;
    if (!found) {
      error_line("no deleted file with inode " + std::to_string(inode) + " was found");
      ++unknown;
    }
  }
  for (int32_t row : options.rows) {
    if (row < FoundFiles.Count()) {
      take(row);
    } else {
      error_line("row " + std::to_string(row) + " does not exist; the scan found " +
                 std::to_string(FoundFiles.Count()) + " files (rows 0 to " +
                 std::to_string(FoundFiles.Count() - 1) + ")");
      ++unknown;
    }
  }
  return rows;
}

// Recovers one row through the driver. `made` holds the folders this command has already
// created, which are not looked at again.
RecoveryOutcome recover_row(CliWindow& window, char letter, int32_t row, const Options& options,
                            std::set<std::string>& made) {
  const FoundFileRecord record = FoundFiles[row];
  const std::string folder = engine_folder(options.destination, record.Path, options.with_paths);
  RecoveryOutcome outcome;
  outcome.size = record.Size > 0 ? static_cast<uint64_t>(record.Size) : 0;
  if (!made.contains(folder)) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) {
      window.LogLine("Cannot create " + folder + ": " + ec.message());
      return outcome;
    }
    made.insert(folder);
  }
  try {
    outcome = undelete_found_file(static_cast<char>(std::tolower(letter)), row, folder);
  } catch (const std::exception& e) {
    window.LogLine("Cannot write to " + folder + record.Name + ": " + e.what());
  }
  return outcome;
}

bool write_report(const std::string& file, const std::vector<ReportEntry>& entries) {
  std::ofstream out(file, std::ios::trunc);
  if (out) write_recovery_report(out, entries);
  out.close();
  if (out) return true;
  error_line("cannot write the report " + file + ": " +
             std::error_code(errno, std::generic_category()).message());
  return false;
}

int run_recover(const Options& options) {
  // One command: the source is opened once, the FAT engine loads its table once, and the
  // names given out in the destination are known from row to row. The report lists digests.
  RecoveryCommand command;
  command.ComputeDigests(!options.report.empty());
  const char letter = attach_and_choose(options, false);
  if (!letter) return kExitBadArguments;
  if (!prepare_destination(options.destination, letter)) return kExitBadArguments;
  CliWindow window(isatty(STDERR_FILENO) == 1);
  window.watch_interrupt(&g_interrupted);
  ScanResult scanned = ScanResult::kScanned;
  if (options.from_scan.empty()) {
    scanned = scan(window, letter, scan_options_of(options));
  } else {
    std::string why;
    if (!open_scan(static_cast<char>(std::tolower(letter)), options.from_scan, &why)) {
      error_line("cannot use the saved scan " + options.from_scan + ": " + why);
      return kExitBadArguments;
    }
  }
  if (!holds_engine_volume(letter) && !(options.carve && carvable_source(letter))) {
    error_line(DescribeDriveSource(letter) + " holds no FAT, exFAT or NTFS volume");
    return kExitBadArguments;
  }
  if (interrupted()) {
    error_line("interrupted; nothing recovered");
    return kExitNotAllWritten;
  }
  if (scanned != ScanResult::kScanned) return kExitNotAllWritten;
  int unknown = 0;
  const std::vector<int32_t> rows = chosen_rows(options, unknown);
  // The recovery's own lines are this command's output.
  window.set_log_stream(stdout);
  RestoreDates = !options.no_dates;
  RecoveryActive = true;
  int complete = 0, partial = 0;
  bool stopped = false;
  std::vector<ReportEntry> report;
  std::set<std::string> made_folders;
  for (const int32_t row : rows) {
    ReportEntry entry{row, FoundFiles[row].Inode, FoundFiles[row].Name, FoundFiles[row].Path, {}};
    entry.outcome.size = FoundFiles[row].Size > 0 ? static_cast<uint64_t>(FoundFiles[row].Size) : 0;
    if (interrupted())
      entry.outcome.result = RecoveryResult::kStopped;
    else
      entry.outcome = recover_row(window, letter, row, options, made_folders);
    complete += entry.outcome.complete();
    partial += entry.outcome.result == RecoveryResult::kPartial;
    stopped = stopped || entry.outcome.result == RecoveryResult::kStopped;
    report.push_back(std::move(entry));
  }
  RecoveryActive = false;
  window.set_log_stream(stderr);
  const int chosen = static_cast<int>(rows.size()) + unknown;
  if (stopped)
    std::fprintf(stderr, "Recovery stopped: %d of %d chosen files were written.\n",
                 complete + partial, chosen);
  std::fprintf(stderr, "Recovered %d of %d chosen files into %s", complete, chosen,
               options.destination.c_str());
  if (partial > 0) std::fprintf(stderr, "; %d more written in part", partial);
  std::fprintf(stderr, "\n");
  const bool reported = options.report.empty() || write_report(options.report, report);
  return complete == chosen && reported ? kExitOk : kExitNotAllWritten;
}

}  // namespace

void install_interrupt_handler() {
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
}

bool interrupted() {
  return g_interrupted != 0;
}

int run(const Options& options) {
  switch (options.command) {
    case Command::Help:
      std::fputs(help_text().c_str(), stdout);
      return kExitOk;
    case Command::Version:
      std::fputs(platform::version_text("pyralis-cli").c_str(), stdout);
      return kExitOk;
    case Command::Drives:
      return run_drives(options);
    case Command::Scan:
      return run_scan(options);
    case Command::Recover:
      return run_recover(options);
  }
  return kExitBadArguments;
}

}  // namespace pyralis::cli
