// SPDX-License-Identifier: GPL-3.0-or-later
// What one command (a scan, a recovery of many rows, the scan-then-recover of the command
// line) has learnt of its drives' reads: the sectors known to be unreadable and which of them
// have been reported. A failing device is
// then asked for each bad sector at most twice per command (the transfer, then the sector on
// its own), and each bad sector is reported once.
//
// The command owns the state: it creates one ReadState for its length. A ReadState created
// while another lives is no state of its own; it hands on to the outer one, so that the
// rows of a recovery and the scan before them share what was learnt. Single-threaded, like
// the engines.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace pyralis::platform {

// `count` sectors from `first`, and the system's error for them (0: the source ended).
struct SectorRun {
  int64_t first = 0;
  int64_t count = 0;
  int error = 0;
};

class ReadState {
 public:
  ReadState();
  ~ReadState();
  ReadState(const ReadState&) = delete;
  ReadState& operator=(const ReadState&) = delete;

  // The outermost ReadState alive in the calling thread, or nullptr.
  static ReadState* Current();

  // Notes that sectors `run` of `drive` could not be read.
  void NoteUnreadable(char drive, const SectorRun& run);
  // The known-unreadable runs of `drive` inside [first, first + count), clipped, in order.
  std::vector<SectorRun> KnownUnreadable(char drive, int64_t first, int64_t count) const;
  // The parts of `run` not reported before, in order; they count as reported from now on.
  std::vector<SectorRun> Unreported(char drive, const SectorRun& run);
  // True the first time `note` is asked for in this command, false after that: a line that
  // every row of the command would repeat (a table that cannot be read) is said once.
  bool FirstNotice(const std::string& note) { return notices_.insert(note).second; }

 private:
  // first sector -> (end sector, error); runs do not overlap.
  using Runs = std::map<int64_t, std::pair<int64_t, int>>;
  static void add(Runs& runs, const SectorRun& run);

  bool owner_ = false;
  std::map<char, Runs> unreadable_;
  std::map<char, Runs> reported_;
  std::set<std::string> notices_;
};

}  // namespace pyralis::platform
