// SPDX-License-Identifier: GPL-3.0-or-later
// An EngineWindow that records what the engines show, for tests.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/engine_window.h"

namespace pyralis::test {

class RecordingWindow : public EngineWindow {
 public:
  RecordingWindow() { SetEngineWindow(this); }
  ~RecordingWindow() override { SetEngineWindow(nullptr); }

  void ProcessMessages() override {
    ++pumps;
    if (on_pump) on_pump();
  }
  void SetFilesFoundText(const std::string& text) override { files_found = text; }
  void SetElapsedText(const std::string& text) override { elapsed = text; }
  void SetGaugeMaxValue(int64_t value) override { gauge_max = value; }
  void SetGaugeProgress(int64_t value) override { gauge_progress = value; }
  void SetStatusFilesText(const std::string& text) override { status_files = text; }
  void LogLine(const std::string& line) override { log.push_back(line); }

  bool Logged(const std::string& line) const;
  // Lines containing `part`.
  std::vector<std::string> LinesWith(const std::string& part) const;
  std::string LogText() const;  // all lines joined by "\n"

  std::vector<std::string> log;
  std::string files_found, elapsed, status_files;
  int64_t gauge_max = -1, gauge_progress = -1;
  long pumps = 0;
  std::function<void()> on_pump;  // e.g. clear ScanActive after N pumps
};

}  // namespace pyralis::test
