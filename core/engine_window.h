// SPDX-License-Identifier: GPL-3.0-or-later
// What the engines touch of the window while they run. The desktop program, the command
// line and the tests each plug in their own implementation; engines reach it through
// Window(). ScanActive, RecoveryActive and ScanStartTime are process-wide state
// (process_state.h).
#pragma once

#include <cstdint>
#include <string>

namespace pyralis {

class EngineWindow {
 public:
  virtual ~EngineWindow() = default;
  // Let pending window messages be handled (the Stop buttons run in here). Called very
  // often (per directory entry, per cluster); implementations may skip calls that come
  // within a few milliseconds of the last one.
  virtual void ProcessMessages() {}
  // The scan dialog: found-files field, elapsed field, gauge maximum and position.
  virtual void SetFilesFoundText(const std::string& text) {}
  virtual void SetElapsedText(const std::string& text) {}
  virtual void SetGaugeMaxValue(int64_t value) {}
  virtual void SetGaugeProgress(int64_t value) {}
  // A pass over the whole volume (deep scan): bytes read so far of `total`, the read rate
  // in bytes per second and the seconds still needed at that rate (negative while unknown).
  virtual void SetReadProgress(uint64_t done, uint64_t total, double bytes_per_second,
                               double seconds_left) {}
  // The second panel (index 1) of the main window's status bar.
  virtual void SetStatusFilesText(const std::string& text) {}
  // Appends one line to LogMemo.
  virtual void LogLine(const std::string& line) {}
};

// The window of the calling thread's ThreadWindowScope, else the installed window, else a
// do-nothing one.
EngineWindow& Window();
// Installs `window` (not owned); nullptr goes back to the do-nothing window.
void SetEngineWindow(EngineWindow* window);

// While it lives, Window() in the thread that made it is `window` (not owned), whatever
// window is installed for the others: a worker that reads files quietly beside a command.
class ThreadWindowScope {
 public:
  explicit ThreadWindowScope(EngineWindow& window);
  ~ThreadWindowScope();
  ThreadWindowScope(const ThreadWindowScope&) = delete;
  ThreadWindowScope& operator=(const ThreadWindowScope&) = delete;

 private:
  EngineWindow* outer_;
};

}  // namespace pyralis
