// SPDX-License-Identifier: GPL-3.0-or-later
// Process-wide state shared by the commands, the drivers and the engines.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <set>
#include <string>

namespace pyralis {

// True while a scan may go on; the engines' scan loops end when it is false. Atomic
// because the command line clears it from its SIGINT handler.
extern std::atomic<bool> ScanActive;
// True while a recovery may go on. One thread may read a flag of its own in its place (the
// window's content check reads files in a worker while commands set and clear this one).
class RecoveryFlag {
 public:
  constexpr explicit RecoveryFlag(bool value) : value_(value) {}
  RecoveryFlag(const RecoveryFlag&) = delete;
  RecoveryFlag& operator=(const RecoveryFlag&) = delete;
  // Atomic and lock-free: the command line clears it from its SIGINT handler.
  RecoveryFlag& operator=(bool value) {
    value_.store(value);
    return *this;
  }
  bool load() const {
    const std::atomic<bool>* own = own_;
    return own != nullptr ? own->load() : value_.load();
  }
  operator bool() const { return load(); }  // NOLINT(google-explicit-constructor)

  // While it lives, the thread that made it reads `own` instead of the process-wide flag.
  class ThreadScope {
   public:
    explicit ThreadScope(const std::atomic<bool>& own) : outer_(own_) { own_ = &own; }
    ~ThreadScope() { own_ = outer_; }
    ThreadScope(const ThreadScope&) = delete;
    ThreadScope& operator=(const ThreadScope&) = delete;

   private:
    const std::atomic<bool>* outer_;
  };

 private:
  std::atomic<bool> value_;
  static thread_local const std::atomic<bool>* own_;
};
extern RecoveryFlag RecoveryActive;
// When the current scan started. A monotonic clock, so the elapsed time stays right
// across midnight and clock changes.
extern std::chrono::steady_clock::time_point ScanStartTime;
// Sector 0 of the FAT / NTFS volume being scanned or recovered from (first 512 bytes). One
// per thread: the driver fills it just before the engine that reads it runs, in the same
// thread, and a scan or recovery in a worker must not change what another thread reads.
extern thread_local std::array<uint8_t, 512> FatBootSector;
extern thread_local std::array<uint8_t, 512> NtfsBootSector;
// Lower-case letter of the drive chosen in the drive tree; 0 when none.
extern char SelectedDrive;
// True when a recovered file gets the modification time of its catalogue record.
extern bool RestoreDates;
// One flag per sortable list column: false = next click sorts in the first direction.
extern std::array<bool, 6> SortToggle;

// What the current scan could not read of the file system's own structures: folders (FAT,
// exFAT; by first cluster, 0 for a FAT12/16 root) and MFT records (NTFS; by number), in whole
// or in part. scan_drive empties it when a scan starts.
struct UnreadableMetadata {
  std::set<uint64_t> folders;
  std::set<int64_t> records;
  bool empty() const { return folders.empty() && records.empty(); }
  void clear() {
    folders.clear();
    records.clear();
  }
};
extern UnreadableMetadata ScanUnreadable;
// "3 folders could not be read.", "1 MFT record could not be read." (both, joined, when
// both happened); empty when everything was read.
std::string unreadable_metadata_text();

// Time now minus ScanStartTime as "hh:nn:ss" (hours go past 23 when they must).
std::string elapsed_text();

// Back to program-start state (empty catalogue, flags false, buffers zero). For tests.
void reset_process_state();

}  // namespace pyralis
