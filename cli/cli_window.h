// SPDX-License-Identifier: GPL-3.0-or-later
// The engines' window on a terminal: log lines to a stream (standard error by default),
// and a one-line progress display on standard error when it is a terminal.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "core/engine_window.h"

namespace pyralis::cli {

class CliWindow : public EngineWindow {
 public:
  // `progress` draws the progress line; pass false when standard error is not a terminal.
  explicit CliWindow(bool progress);
  ~CliWindow() override;
  CliWindow(const CliWindow&) = delete;
  CliWindow& operator=(const CliWindow&) = delete;

  void ProcessMessages() override;
  void SetFilesFoundText(const std::string& text) override;
  void SetElapsedText(const std::string& text) override;
  void SetGaugeMaxValue(int64_t value) override;
  void SetGaugeProgress(int64_t value) override;
  void SetReadProgress(uint64_t done, uint64_t total, double bytes_per_second,
                       double seconds_left) override;
  void SetStatusFilesText(const std::string& text) override;
  void LogLine(const std::string& line) override;

  // A flag set by the Ctrl-C handler. While it is set, every pump clears ScanActive and
  // RecoveryActive again, so that a Ctrl-C that came before the driver set ScanActive still
  // stops the engine at its first test.
  void watch_interrupt(const volatile std::sig_atomic_t* flag) { interrupt_ = flag; }
  // Where log lines go from now on (not owned).
  void set_log_stream(std::FILE* stream) { log_stream_ = stream; }
  // Called with every log line after it is printed (the recovery watches for its outcome).
  void set_line_observer(std::function<void(const std::string&)> observer) {
    observer_ = std::move(observer);
  }
  // The dialog's starting state: "0" files, "00:00:00", gauge at 0.
  void reset_progress();
  // Wipes the progress line so that what follows starts on a clean line.
  void end_progress();
  const std::string& status_files_text() const { return status_files_; }

 private:
  void draw(bool force);
  void wipe();

  bool progress_;
  const volatile std::sig_atomic_t* interrupt_ = nullptr;
  bool drawn_ = false;
  std::FILE* log_stream_ = stderr;
  std::function<void(const std::string&)> observer_;
  std::string files_found_ = "0", elapsed_ = "00:00:00", status_files_;
  std::string read_progress_;  // "  Read 512 of 2048 MiB, 180 MiB/s, 00:00:08 left" (deep scan)
  int64_t gauge_max_ = 0, gauge_progress_ = 0;
  uint32_t pumps_ = 0;
  std::chrono::steady_clock::time_point last_draw_{};
};

}  // namespace pyralis::cli
