// SPDX-License-Identifier: GPL-3.0-or-later
// One recovery command (a `recover --all`, an Unerase of many rows): the loops that call
// undelete_found_file row by row create one RecoveryCommand around their loop. While it
// lives
//  - the drives' sources stay open (one read-only open per source for the command);
//  - sectors found unreadable are known for the rest of the command (platform::ReadState):
//    never asked for again, reported once;
//  - the engines keep what they loaded for one row (the FAT engine its table) and use it for
//    the next rows of the same volume instead of loading it again;
//  - the names taken in each destination folder are known, so that the next file of a taken
//    name tries the next number "name (N).ext" straight away instead of every number again;
//  - the written files get their SHA-256 when the command asks for it (a report that lists
//    them). Digests cost time in proportion to the file's length, holes included, so
//    nothing else computes them.
// Without one, every call opens, loads and tries names for itself. Commands nest; the
// innermost is the current one. Single-threaded, like the engines.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/read_state.h"
#include "platform/volume_access.h"

namespace pyralis {

class RecoveryCommand {
 public:
  // With `keep_engine_data` false the rows share the open sources and the names, but each
  // row loads the volume's tables afresh (for a destination on the scanned drive, where the
  // written files change those tables between rows).
  explicit RecoveryCommand(bool keep_engine_data = true);
  ~RecoveryCommand();
  RecoveryCommand(const RecoveryCommand&) = delete;
  RecoveryCommand& operator=(const RecoveryCommand&) = delete;

  // The calling thread's command in progress, or nullptr.
  static RecoveryCommand* Current();

  // Data an engine keeps for the rest of the command, under a key of its choosing.
  struct Kept {
    virtual ~Kept() = default;
  };
  template <typename T>
  T* Find(const std::string& key) const {
    const auto it = kept_.find(key);
    return it == kept_.end() ? nullptr : dynamic_cast<T*>(it->second.get());
  }
  // Keeps `data` under `key` (replacing what was kept there); drops it when engine data is
  // not kept.
  void Keep(const std::string& key, std::unique_ptr<Kept> data);

  // The first number worth trying for `name` in `folder`: 1 (the name itself) until this
  // command has taken the name, then one more than the last number it took for it.
  int FirstNumberToTry(const std::string& folder, const std::string& name) const;
  // Notes that this command wrote `name` with `number` into `folder`.
  void NumberTaken(const std::string& folder, const std::string& name, int number);

  // Makes the open folder descriptor `fd` the way into `folder` (as the engines are given it,
  // ending in "/") for the rest of the command: files are then created and named relative to
  // it, so that a link planted in the folder's path later is never followed. The command
  // closes it.
  void UseFolder(const std::string& folder, int fd);
  // The descriptor of `folder`, or -1 when the command has none (then the path is used).
  int FolderDescriptor(const std::string& folder) const;

  // Whether the files written during this command get their SHA-256 (off until asked).
  void ComputeDigests(bool on) { digests_ = on; }
  bool DigestsWanted() const { return digests_; }

 private:
  static std::string name_key(const std::string& folder, const std::string& name);

  platform::SourceHold source_hold_;
  platform::ReadState read_state_;
  RecoveryCommand* outer_;
  bool keep_engine_data_;
  bool digests_ = false;
  std::map<std::string, std::unique_ptr<Kept>> kept_;
  std::unordered_map<std::string, int> last_number_;
  std::unordered_map<std::string, int> folder_fds_;
};

// The command of a worker thread that reads files for one run after another (the window's
// content check, its thumbnails): Enter(run) before each file keeps one command for all files
// of a run, so the engines keep their tables from file to file; a new run gets a new one.
// Release() lets it go (the worker is idle: the drive may be written to or detached
// meanwhile). Used by its own thread only.
class WorkerCommand {
 public:
  void Enter(uint64_t run) {
    if (command_ && run_ == run) return;
    command_.reset();  // before the next: commands nest
    command_ = std::make_unique<RecoveryCommand>();
    run_ = run;
  }
  void Release() { command_.reset(); }

  // Waits on `wake` (with `hold` locked) until `ready()`; once the wait has lasted kIdle the
  // command is let go, without the lock, and the wait goes on.
  template <typename Ready>
  void Wait(std::unique_lock<std::mutex>& hold, std::condition_variable& wake, Ready ready) {
    if (wake.wait_for(hold, kIdle, ready)) return;
    hold.unlock();
    Release();
    hold.lock();
    wake.wait(hold, ready);
  }

  // How long a worker waits for work before it lets its command go.
  static constexpr std::chrono::seconds kIdle{2};

 private:
  std::unique_ptr<RecoveryCommand> command_;
  uint64_t run_ = 0;
};

}  // namespace pyralis
