// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/process_state.h"

#include <cstdio>

#include "core/found_files.h"

namespace pyralis {

std::atomic<bool> ScanActive{false};
RecoveryFlag RecoveryActive{false};
thread_local const std::atomic<bool>* RecoveryFlag::own_ = nullptr;
std::chrono::steady_clock::time_point ScanStartTime{};
thread_local std::array<uint8_t, 512> FatBootSector{};
thread_local std::array<uint8_t, 512> NtfsBootSector{};
char SelectedDrive = 0;
std::array<bool, 6> SortToggle{};
bool RestoreDates = true;
UnreadableMetadata ScanUnreadable;

std::string unreadable_metadata_text() {
  std::string text;
  if (!ScanUnreadable.folders.empty()) {
    const size_t n = ScanUnreadable.folders.size();
    text = std::to_string(n) + (n == 1 ? " folder" : " folders") + " could not be read.";
  }
  if (!ScanUnreadable.records.empty()) {
    const size_t n = ScanUnreadable.records.size();
    text += (text.empty() ? "" : " ") + std::to_string(n) +
            (n == 1 ? " MFT record" : " MFT records") + " could not be read.";
  }
  return text;
}

std::string elapsed_text() {
  using namespace std::chrono;
  auto elapsed = duration_cast<seconds>(steady_clock::now() - ScanStartTime).count();
  if (elapsed < 0) elapsed = 0;
  char text[32];
  std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld", static_cast<long long>(elapsed / 3600),
                static_cast<long long>(elapsed / 60 % 60), static_cast<long long>(elapsed % 60));
  return text;
}

void reset_process_state() {
  FoundFiles.clear();
  ScanActive = false;
  RecoveryActive = false;
  ScanStartTime = {};
  FatBootSector.fill(0);
  NtfsBootSector.fill(0);
  SelectedDrive = 0;
  SortToggle.fill(false);
  RestoreDates = true;
  ScanUnreadable.clear();
}

}  // namespace pyralis
