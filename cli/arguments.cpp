// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/arguments.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace pyralis::cli {

namespace {

bool all_digits(const std::string& text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

template <typename Integer>
std::optional<Integer> parse_count(const std::string& text) {
  Integer value{};
  if (!all_digits(text)) return std::nullopt;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<Command> parse_command(const std::string& word) {
  if (word == "drives") return Command::Drives;
  if (word == "scan") return Command::Scan;
  if (word == "recover") return Command::Recover;
  if (word == "help") return Command::Help;
  return std::nullopt;
}

// Walks the arguments once; `fail` keeps only the first problem.
class Parser {
 public:
  explicit Parser(const std::vector<std::string>& arguments) : args_(arguments) {}

  ParseResult run() {
    for (const std::string& a : args_) {
      if (a == "--") break;
      if (a == "--help" || a == "-h") return only(Command::Help);
      if (a == "--version" || a == "-V") return only(Command::Version);
    }
    if (args_.empty()) return fail("no command given; commands: drives, scan, recover");
    const auto command = parse_command(args_[0]);
    if (!command)
      return fail("unknown command '" + args_[0] + "'; commands: drives, scan, recover");
    result_.options.command = *command;
    bool options_ended = false;
    for (pos_ = 1; pos_ < args_.size() && result_.error.empty(); ++pos_) {
      const std::string& a = args_[pos_];
      if (!options_ended && a == "--")
        options_ended = true;
      else if (!options_ended && a.size() > 1 && a[0] == '-')
        option(a);
      else
        result_.options.sources.push_back(a);
    }
    if (result_.error.empty()) check_combination();
    return result_;
  }

 private:
  static ParseResult only(Command command) {
    ParseResult result;
    result.options.command = command;
    return result;
  }

  ParseResult fail(const std::string& error) {
    if (result_.error.empty()) result_.error = error;
    return result_;
  }

  // The value of --name VALUE or --name=VALUE.
  std::optional<std::string> value(const std::string& name, const std::string& argument) {
    if (argument.size() > name.size() && argument[name.size()] == '=')
      return argument.substr(name.size() + 1);
    if (pos_ + 1 >= args_.size()) {
      fail(name + " needs a value");
      return std::nullopt;
    }
    return args_[++pos_];
  }

  bool is(const std::string& argument, const std::string& name) {
    return argument == name || argument.starts_with(name + "=");
  }

  // --inode / --row take one or more numbers: separate arguments or comma-separated.
  template <typename Integer>
  void numbers(const std::string& name, const std::string& argument, std::vector<Integer>& into) {
    std::vector<std::string> texts;
    auto split = [&](const std::string& text) {
      size_t start = 0;
      for (size_t comma; (comma = text.find(',', start)) != std::string::npos; start = comma + 1)
        texts.push_back(text.substr(start, comma - start));
      texts.push_back(text.substr(start));
    };
    if (argument.size() > name.size()) {
      split(argument.substr(name.size() + 1));
    } else {
      while (pos_ + 1 < args_.size() && !args_[pos_ + 1].empty() &&
             std::isdigit(static_cast<unsigned char>(args_[pos_ + 1][0])))
        split(args_[++pos_]);
    }
    if (texts.empty()) return void(fail(name + " needs at least one number"));
    for (const std::string& text : texts) {
      const auto number = parse_count<Integer>(text);
      if (!number) return void(fail(name + ": '" + text + "' is not a number of 0 or more"));
      into.push_back(*number);
    }
  }

  void option(const std::string& a) {
    Options& o = result_.options;
    if (is(a, "--drive")) {
      const auto text = value("--drive", a);
      if (!text) return;
      const auto letter = parse_drive_letter(*text);
      if (!letter) return void(fail("--drive: '" + *text + "' is not a drive letter C to Z"));
      o.drive = *letter;
    } else if (is(a, "--format")) {
      const auto text = value("--format", a);
      if (!text) return;
      const auto format = parse_format(*text);
      if (!format)
        return void(
            fail("--format: '" + *text + "' is not one of table, tsv, json, csv, bodyfile"));
      o.format = *format;
      format_given_ = true;
    } else if (is(a, "--to")) {
      const auto text = value("--to", a);
      if (!text) return;
      if (text->empty()) return void(fail("--to needs a folder"));
      o.destination = *text;
    } else if (a == "--all") {
      o.all = true;
    } else if (is(a, "--inode")) {
      numbers("--inode", a, o.inodes);
    } else if (is(a, "--row")) {
      numbers("--row", a, o.rows);
    } else if (a == "--check") {
      o.check = true;
    } else if (a == "--with-paths") {
      o.with_paths = true;
    } else if (a == "--no-dates") {
      o.no_dates = true;
    } else if (a == "--carve") {
      o.carve = true;
    } else if (is(a, "--report")) {
      const auto text = value("--report", a);
      if (!text) return;
      if (text->empty()) return void(fail("--report needs a file"));
      o.report = *text;
    } else if (is(a, "--map")) {
      const auto text = value("--map", a);
      if (!text) return;
      if (text->empty()) return void(fail("--map needs a file"));
      o.map = *text;
    } else if (a == "--deep") {
      o.deep = true;
    } else if (is(a, "--save")) {
      const auto text = value("--save", a);
      if (!text) return;
      if (text->empty()) return void(fail("--save needs a file"));
      o.save = *text;
    } else if (is(a, "--from-scan")) {
      const auto text = value("--from-scan", a);
      if (!text) return;
      if (text->empty()) return void(fail("--from-scan needs a file"));
      o.from_scan = *text;
    } else {
      fail("unknown option '" + a + "'");
    }
  }

  void check_combination() {
    const Options& o = result_.options;
    const bool recover = o.command == Command::Recover;
    if (o.command == Command::Help) return;
    if (o.command == Command::Drives && o.drive)
      return void(fail("drives takes no --drive; it lists every drive"));
    if (o.command == Command::Drives && o.format == OutputFormat::Bodyfile)
      return void(fail("drives cannot be written as a bodyfile"));
    if (recover && format_given_) return void(fail("recover takes no --format"));
    const bool picks = o.all || !o.inodes.empty() || !o.rows.empty();
    if (!recover && (picks || o.with_paths || o.no_dates || !o.destination.empty()))
      return void(
          fail("--to, --all, --inode, --row, --with-paths and --no-dates belong to recover"));
    if (!recover && !o.report.empty()) return void(fail("--report belongs to recover"));
    if (o.check && o.command != Command::Scan)
      return void(fail(recover ? "recover always checks what it writes; --check belongs to scan"
                               : "--check belongs to scan"));
    if (!o.map.empty() && o.command == Command::Drives)
      return void(fail("--map belongs to scan and recover"));
    if (o.carve && o.command == Command::Drives)
      return void(fail("--carve belongs to scan and recover"));
    if (!o.map.empty() && o.sources.empty())
      return void(fail("--map needs the image it belongs to as SOURCE"));
    if (o.deep && o.command == Command::Drives)
      return void(fail("--deep belongs to scan and recover"));
    if (!o.save.empty() && o.command != Command::Scan) return void(fail("--save belongs to scan"));
    if (!o.from_scan.empty() && !recover) return void(fail("--from-scan belongs to recover"));
    if (o.carve && !o.from_scan.empty())
      return void(
          fail("--carve and --from-scan exclude each other: a saved scan is not scanned again"));
    if (o.deep && !o.from_scan.empty())
      return void(
          fail("--deep and --from-scan exclude each other: a saved scan is not scanned again"));
    if (!recover) return;
    if (o.destination.empty()) return void(fail("recover needs --to DIR"));
    const int choices = int(o.all) + int(!o.inodes.empty()) + int(!o.rows.empty());
    if (choices != 1)
      return void(fail("recover needs exactly one of --all, --inode N..., --row N..."));
  }

  const std::vector<std::string>& args_;
  size_t pos_ = 0;
  bool format_given_ = false;
  ParseResult result_;
};

}  // namespace

std::optional<char> parse_drive_letter(const std::string& text) {
  if (text.empty() || text.size() > 3) return std::nullopt;
  const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  if (letter < 'C' || letter > 'Z') return std::nullopt;
  if (text.size() >= 2 && text[1] != ':') return std::nullopt;
  if (text.size() == 3 && text[2] != '\\' && text[2] != '/') return std::nullopt;
  return letter;
}

ParseResult parse_arguments(const std::vector<std::string>& arguments) {
  return Parser(arguments).run();
}

std::string help_text() {
  return R"(Usage: pyralis-cli COMMAND [SOURCE...] [OPTIONS]

Finds deleted files on FAT12/16/32, exFAT and NTFS volumes (disk images or block devices)
and copies chosen ones into a folder. The source is only ever read.

Commands:
  drives [SOURCE...]            list the drive table: letter, type, file system, label,
                                serial, size and source
  scan [SOURCE...] [--drive X] [--format F] [--map FILE] [--deep] [--carve]
          [--save FILE] [--check]
                                scan drive X and print one row per deleted file found
  recover [SOURCE...] [--drive X] --to DIR CHOICE [--with-paths] [--no-dates]
          [--report FILE] [--map FILE] [--deep] [--carve] [--from-scan FILE]
                                scan drive X, then write the chosen files into DIR;
                                CHOICE is --all, --inode N... or --row N...

SOURCE is a disk image or a block device. Given sources get letters from C: on, one per
FAT, exFAT or NTFS partition (or one for a bare volume); the machine's own such volumes
follow.
Without --drive, the first given source's drive is used, else C:.

Options:
  --drive X        drive letter C to Z (X, X: or X:\)
  --format F       table (default), tsv, json, csv or bodyfile (for mactime)
  --check          read every found file (nothing is written) and add its content:
                   Intact, Plausible, Damaged (at N %) or Unchecked
  --to DIR         destination folder, created when missing; never on the scanned volume
  --all            recover every file the scan found
  --inode N...     recover the files with these inode numbers (FAT, exFAT: first cluster,
                   NTFS: MFT record number); numbers may also be comma-separated
  --row N...       recover these rows (0-based, in the order scan prints them)
  --with-paths     recreate each file's folder under DIR (drive letter dropped)
  --no-dates       leave the written files the time of writing instead of the
                   modification time the volume recorded
  --report FILE    write JSON with one entry per chosen row: row, inode, name, path,
                   estimate, the file written, bytes written, outcome (complete, partial,
                   failed, stopped), the byte ranges unreadable or missing, the SHA-256 and
                   the content of what was written; never the source, the map or anything
                   on the scanned drive
  --map FILE       GNU ddrescue mapfile of the first SOURCE image: sectors it does not
                   mark finished ('+') are read as unreadable
  --deep           deep scan: after the folder tree, read the whole volume once and also
                   list the files of folders the tree no longer reaches (after a format),
                   under "X:\Lost folders\" (FAT, exFAT) or by their MFT records (NTFS)
  --save FILE      also write the scan's rows and the volume's identity to FILE
  --from-scan FILE take the rows from a scan saved with --save instead of scanning; a file
                   saved from another volume is refused
  --carve          search by content too: files found by their own bytes in the clusters
                   no file and no listed row holds, or anywhere on a source that holds
                   no volume Pyralis reads; listed under "X:\Found by content\..."
                   (implies the deep scan)
  -h, --help       show this text
  -V, --version    show the program's version

Log lines go to standard error (during recover, the recovery's own lines go to standard
output); a progress line is drawn when standard error is a terminal. Ctrl-C stops a scan
and still prints what was found; during recover it stops the file being written (SIGTERM
and SIGHUP alike).

Sectors that cannot be read are logged ("Cannot read sectors ...") and read as zeros;
a file touching them is kept and logged as written in part ("Undeleted ... with N of M
bytes unreadable (written as zeros).").
recover checks each file it writes; a complete file whose content is damaged gets the line
"Undeleted ..., but its content is damaged at byte N (it does not look like a whole TYPE).".
Exit status: 0 every drive asked for was scanned and every chosen file written completely;
1 a volume was refused or could not be mounted, or a chosen file is partial, failed,
stopped or written with damaged content; 2 bad arguments, a source that cannot be read or a
--report that cannot be used; 130 interrupted by Ctrl-C (143 SIGTERM, 129 SIGHUP).
)";
}

}  // namespace pyralis::cli
