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
// True while a recovery may go on.
extern std::atomic<bool> RecoveryActive;
// When the current scan started. A monotonic clock, so the elapsed time stays right
// across midnight and clock changes.
extern std::chrono::steady_clock::time_point ScanStartTime;
// Sector 0 of the FAT / NTFS volume being scanned or recovered from (first 512 bytes).
extern std::array<uint8_t, 512> FatBootSector;
extern std::array<uint8_t, 512> NtfsBootSector;
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
