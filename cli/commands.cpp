// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/commands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <system_error>
#include <thread>

#include "cli/cli_window.h"
#include "cli/drive_listing.h"
#include "cli/output_formats.h"
#include "cli/recovery_paths.h"
#include "cli/recovery_report.h"
#include "core/found_files.h"
#include "core/process_state.h"
#include "core/recovered_file.h"
#include "drivers/content_check.h"
#include "core/recovery_command.h"
#include "drivers/drivers.h"
#include "ntfs/ntfs_engine.h"
#include "platform/block_devices.h"
#include "platform/drive_table.h"
#include "platform/read_state.h"
#include "platform/system_paths.h"
#include "platform/unreadable_areas.h"
#include "platform/version_resource.h"
#include "platform/version_text.h"
#include "platform/volume_access.h"
#include "rawdisk/raw_disk_access.h"

namespace pyralis::cli {

namespace fs = std::filesystem;

namespace {

volatile std::sig_atomic_t g_interrupted = 0;  // the signal that asked to stop, or 0

void on_interrupt(int signal_number) {
  if (g_interrupted) {
    // The second request ends the program at once; the file being written goes with it.
    remove_part_file_from_signal_handler();
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
    return;
  }
  g_interrupted = signal_number;
  // Lock-free atomics: safe to store from a signal handler.
  ScanActive = false;
  RecoveryActive = false;
}

// The content check of every row. Decoding (a JPEG's image data) costs more than reading,
// so the files of up to kSharedCheckBytes are checked by as many threads as there are cores
// (at most two), each with its own command so that the engines keep their tables from file
// to file; larger files are checked one at a time, so that no two are held in memory at
// once. Ctrl-C stops the files being read and leaves the rest unchecked.
constexpr int64_t kSharedCheckBytes = 64 << 20;
constexpr unsigned kMaxCheckThreads = 2;

void check_all_rows(char letter) {
  std::vector<int32_t> shared;
  {
    const RecoveryCommand command;
    for (int32_t i = 0; i < FoundFiles.Count() && !interrupted(); ++i) {
      if (FoundFiles[i].Size <= kSharedCheckBytes)
        shared.push_back(i);
      else
        check_found_file(letter, i);
    }
  }
  if (interrupted() || shared.empty()) return;
  std::vector<std::pair<FoundFileRecord, RowFacts>> rows;
  rows.reserve(shared.size());
  for (const int32_t i : shared) rows.emplace_back(FoundFiles[i], FoundFiles.Facts(i));
  std::vector<ContentVerdict> verdicts(rows.size());
  std::vector<char> checked(rows.size(), 0);  // whole checks only: one cut short says nothing
  std::atomic<size_t> next{0};
  std::atomic<bool> go_on{true};
  const auto work = [&] {
    const RecoveryCommand command;
    for (size_t k; go_on && (k = next.fetch_add(1)) < rows.size();) {
      ContentVerdict verdict = check_found_row(letter, rows[k].first, rows[k].second, go_on);
      if (!go_on) break;
      verdicts[k] = std::move(verdict);
      checked[k] = 1;
    }
  };
  const unsigned count = std::clamp(std::thread::hardware_concurrency(), 1u, kMaxCheckThreads);
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < count; ++t) threads.emplace_back(work);
  // The signal lands in any thread; this one passes it on to the reads under way.
  std::atomic<bool> all_done{false};
  std::thread watch([&] {
    while (!all_done) {
      if (interrupted()) go_on = false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  for (std::thread& t : threads) t.join();
  all_done = true;
  watch.join();
  for (size_t k = 0; k < rows.size(); ++k)
    if (checked[k]) FoundFiles.Facts(shared[k]).content = std::move(verdicts[k]);
}

void error_line(const std::string& text) {
  std::fprintf(stderr, "pyralis-cli: %s\n", escape_controls(text).c_str());
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

// Whether the command may work on a source that holds no volume: a search by content, or
// the rows of a scan saved from such a source (found by content too).
bool takes_whole_source(const Options& options) {
  return options.carve || !options.from_scan.empty();
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
  // The map is in force before the sources are probed: a boot sector it marks unreadable
  // is not read.
  if (!options.map.empty()) {
    std::string why;
    auto areas = platform::read_ddrescue_map(options.map, &why);
    if (!areas) {
      error_line("--map: " + why);
      return 0;
    }
    platform::set_unreadable_areas(options.sources.front(), std::move(*areas));
  }
  const std::vector<char> given = platform::attach_sources(options.sources);
  if (report_problems(given, takes_whole_source(options))) return 0;
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
  if (!why.empty() && !(takes_whole_source(options) && carvable_source(letter))) {
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
  // A readable source without a volume is listed as one to search by content, not a fault.
  return report_problems(given, true) ? kExitBadArguments : kExitOk;
}

int run_scan(const Options& options) {
  // The source is opened once for the whole command.
  const platform::SourceHold source_hold;
  const platform::ReadState read_state;
  const char letter = attach_and_choose(options, false);
  if (!letter) return kExitBadArguments;
  CliWindow window(isatty(STDERR_FILENO) == 1);
  window.watch_interrupt(&g_interrupted);
  const ScanResult result = scan(window, letter, scan_options_of(options));
  if (options.check && result != ScanResult::kNotScanned && !interrupted())
    check_all_rows(static_cast<char>(std::tolower(letter)));
  write_found_files(std::cout, options.format, FoundFiles, options.check);
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
  if (interrupted()) return interrupted_status();
  // Folders or records that could not be read may hide deleted files: not all was listed.
  return result == ScanResult::kScanned && saved && ScanUnreadable.empty() ? kExitOk
                                                                          : kExitNotAllWritten;
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

// Recovers one row through the driver into the folder that `folders` gives it.
RecoveryOutcome recover_row(CliWindow& window, char letter, int32_t row, const Options& options,
                            FolderMaker& folders) {
  const FoundFileRecord record = FoundFiles[row];
  RecoveryOutcome outcome;
  outcome.size = record.Size > 0 ? static_cast<uint64_t>(record.Size) : 0;
  std::string why;
  const std::string folder = folders.folder_for(record.Path, options.with_paths, &why);
  if (folder.empty()) {
    window.LogLine("Cannot create " +
                   engine_folder(options.destination, record.Path, options.with_paths) + ": " +
                   why);
    return outcome;
  }
  try {
    outcome = undelete_found_file(static_cast<char>(std::tolower(letter)), row, folder);
  } catch (const std::exception& e) {
    window.LogLine("Cannot write to " + folder + record.Name + ": " + e.what());
  }
  return outcome;
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether two block devices are one, or one is a partition of the other.
bool same_disk(dev_t a, dev_t b) {
  if (a == b) return true;
  const std::string fa = platform::sysfs_block_folder(a), fb = platform::sysfs_block_folder(b);
  return !fa.empty() && !fb.empty() && (fa.starts_with(fb + "/") || fb.starts_with(fa + "/"));
}

// " is the source being read" or " is the map being read" when `st` is one of the
// command's inputs, else "".
std::string input_clash(const Options& options, const struct stat& st) {
  for (const std::string& source : options.sources) {
    struct stat input {};
    if (::stat(source.c_str(), &input) != 0) continue;
    if (same_file(st, input) ||
        (S_ISBLK(st.st_mode) && S_ISBLK(input.st_mode) && same_disk(st.st_rdev, input.st_rdev)))
      return " is the source being read";
  }
  struct stat map {};
  if (!options.map.empty() && ::stat(options.map.c_str(), &map) == 0 && same_file(st, map))
    return " is the map being read";
  return "";
}

// The --report file. It is checked and opened (created when missing) before anything is
// recovered: it must not be the source, the map, a block device or anything on the scanned
// drive, and a link as its last component is never followed. Existing from the start, it
// cannot be taken by a recovered file either; it is written at the end of the command.
class ReportFile {
 public:
  ReportFile() = default;
  ReportFile(const ReportFile&) = delete;
  ReportFile& operator=(const ReportFile&) = delete;
  ~ReportFile() {
    if (fd_ >= 0) ::close(fd_);
    // A report this command created but never wrote (the command ended early) goes again.
    if (created_ && !written_) ::unlink(path_.c_str());
  }

  // Prints why and returns false when the path names one of the command's inputs or
  // something on the scanned drive; comes before the destination is made.
  bool check(const Options& options, char letter) {
    path_ = options.report;
    const std::string head = "--report " + path_;
    struct stat st {};
    if (::stat(path_.c_str(), &st) == 0) {
      const std::string clash = input_clash(options, st);
      if (!clash.empty()) return refuse(head + clash);
      if (S_ISBLK(st.st_mode)) return refuse(head + " is a block device, not a file");
      if (S_ISDIR(st.st_mode)) return refuse(head + " is a folder");
    }
    if (platform::folder_on_drive(existing_ancestor(path_).string(), letter))
      return refuse(head + " lies on the scanned drive " + letter +
                    ":; write it onto another drive");
    return true;
  }

  // Opens (creates) the checked report; prints why and returns false when it cannot.
  bool open(const Options& options) {
    const std::string head = "--report " + path_;
    struct stat st {};
    const bool exists = ::stat(path_.c_str(), &st) == 0;
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                 0644);
    if (fd_ < 0) {
      if (errno == ELOOP) return refuse(head + " is a symbolic link; name the file itself");
      return refuse("cannot write the report " + path_ + ": " +
                    std::error_code(errno, std::generic_category()).message());
    }
    created_ = !exists;
    // What was opened is checked again: the path may have changed since it was looked at.
    if (::fstat(fd_, &st) != 0) return refuse("cannot write the report " + path_);
    const std::string clash = input_clash(options, st);
    if (!clash.empty()) return refuse(head + clash);
    if (S_ISBLK(st.st_mode)) return refuse(head + " is a block device, not a file");
    regular_ = S_ISREG(st.st_mode);
    const int flags = ::fcntl(fd_, F_GETFL);
    if (flags >= 0) ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK);
    return true;
  }

  // Refuses (with its line) a report that has the name and folder of a file to be recovered.
  bool clashes_with_rows(const Options& options, const std::vector<int32_t>& rows) const {
    const fs::path report(path_);
    const std::string name = report.filename().string();
    const fs::path parent = report.parent_path().empty() ? fs::path(".") : report.parent_path();
    struct stat folder {};
    if (!regular_ || ::stat(parent.c_str(), &folder) != 0) return false;
    for (const int32_t row : rows) {
      if (safe_file_name(FoundFiles[row].Name) != name) continue;
      struct stat target {};
      const std::string at =
          engine_folder(options.destination, FoundFiles[row].Path, options.with_paths);
      if (::stat(at.c_str(), &target) == 0 && same_file(target, folder)) {
        error_line("--report " + path_ + " is a file this command recovers (row " +
                   std::to_string(row) + ")");
        return true;
      }
    }
    return false;
  }

  bool write(const std::vector<ReportEntry>& entries) {
    std::ostringstream text;
    write_recovery_report(text, entries);
    const std::string json = text.str();
    bool ok = fd_ >= 0 && (!regular_ || ::ftruncate(fd_, 0) == 0);
    for (size_t at = 0; ok && at < json.size();) {
      const ssize_t n = ::write(fd_, json.data() + at, json.size() - at);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0)
        ok = false;
      else
        at += static_cast<size_t>(n);
    }
    const int error_number = errno;
    if (fd_ >= 0 && ::close(fd_) != 0 && ok) ok = false;
    fd_ = -1;
    written_ = true;
    if (ok) return true;
    error_line("cannot write the report " + path_ + ": " +
               std::error_code(error_number, std::generic_category()).message());
    return false;
  }

 private:
  bool refuse(const std::string& line) {
    error_line(line);
    return false;
  }

  std::string path_;
  int fd_ = -1;
  bool created_ = false;
  bool written_ = false;
  bool regular_ = false;
};

// "Undeleted <file>, but its content is damaged at byte N (it does not look like a whole
// JPEG)."
std::string damaged_content_line(const ReportEntry& entry) {
  const std::string type = entry.content.type.empty() ? "file"
                           : entry.content.type == "Text" ? "text file"
                                                          : entry.content.type;
  return "Undeleted " + entry.outcome.written_path + ", but its content is damaged at byte " +
         with_thousands(entry.content.damaged_at) + " (it does not look like a whole " + type +
         ").";
}

int run_recover(const Options& options) {
  // One command: the source is opened once, the FAT engine loads its table once, and the
  // names given out in the destination are known from row to row. The report lists digests.
  RecoveryCommand command;
  command.ComputeDigests(!options.report.empty());
  const char letter = attach_and_choose(options, false);
  if (!letter) return kExitBadArguments;
  ReportFile report_file;
  const bool reporting = !options.report.empty();
  if (reporting && !report_file.check(options, letter)) return kExitBadArguments;
  if (!prepare_destination(options.destination, letter)) return kExitBadArguments;
  if (reporting && !report_file.open(options)) return kExitBadArguments;
  FolderMaker folders(command);
  if (std::string why; !folders.open_root(options.destination, &why)) {
    error_line("cannot open destination folder " + options.destination + ": " + why);
    return kExitBadArguments;
  }
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
  if (!holds_engine_volume(letter) && !(takes_whole_source(options) && carvable_source(letter))) {
    error_line(DescribeDriveSource(letter) + " holds no FAT, exFAT or NTFS volume");
    return kExitBadArguments;
  }
  if (interrupted()) {
    error_line("interrupted; nothing recovered");
    return interrupted_status();
  }
  if (scanned != ScanResult::kScanned) return kExitNotAllWritten;
  const bool metadata_lost = !ScanUnreadable.empty();
  int unknown = 0;
  const std::vector<int32_t> rows = chosen_rows(options, unknown);
  if (reporting && report_file.clashes_with_rows(options, rows)) return kExitBadArguments;
  // The recovery's own lines are this command's output.
  window.set_log_stream(stdout);
  RestoreDates = !options.no_dates;
  RecoveryActive = true;
  int complete = 0, partial = 0, damaged = 0;
  bool stopped = false;
  std::vector<ReportEntry> report;
  for (const int32_t row : rows) {
    ReportEntry entry{
        row, FoundFiles[row].Inode,          FoundFiles[row].Name, FoundFiles[row].Path,
        {},  FoundFiles[row].RecoveryQuality};
    entry.outcome.size = FoundFiles[row].Size > 0 ? static_cast<uint64_t>(FoundFiles[row].Size) : 0;
    if (interrupted())
      entry.outcome.result = RecoveryResult::kStopped;
    else
      entry.outcome = recover_row(window, letter, row, options, folders);
    // What was written is read back and checked as it lies on disk.
    entry.content = check_written_file(FoundFiles[row].Name, entry.outcome);
    FoundFiles.Facts(row).content = entry.content;
    if (entry.content.state == ContentState::kDamaged) {
      ++damaged;
      if (entry.outcome.complete()) window.LogLine(damaged_content_line(entry));
    }
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
               escape_controls(options.destination).c_str());
  if (partial > 0) std::fprintf(stderr, "; %d more written in part", partial);
  if (damaged > 0) std::fprintf(stderr, "; %d written with damaged content", damaged);
  std::fprintf(stderr, "\n");
  const bool reported = !reporting || report_file.write(report);
  if (interrupted()) return interrupted_status();
  // The scan's line said how many folders or records could not be read.
  return complete == chosen && damaged == 0 && reported && !metadata_lost ? kExitOk
                                                                         : kExitNotAllWritten;
}

}  // namespace

void install_interrupt_handler() {
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP})
    sigaction(signal_number, &action, nullptr);
  // A file that grows past `ulimit -f` fails its write (EFBIG) like a full disk, instead of
  // ending the program with the temporary file left behind.
  std::signal(SIGXFSZ, SIG_IGN);
}

bool interrupted() {
  return g_interrupted != 0;
}

int interrupted_status() {
  return g_interrupted == 0 ? kExitInterrupted : 128 + g_interrupted;
}

int run(const Options& options) {
  switch (options.command) {
    case Command::Help:
      std::fputs(help_text().c_str(), stdout);
      return kExitOk;
    case Command::Version:
      std::fputs(platform::version_text("pyralis-cli").c_str(), stdout);
      return kExitOk;
    case Command::Drives: {
      const int status = run_drives(options);
      return interrupted() ? interrupted_status() : status;
    }
    case Command::Scan:
      return run_scan(options);
    case Command::Recover:
      return run_recover(options);
  }
  return kExitBadArguments;
}

}  // namespace pyralis::cli
