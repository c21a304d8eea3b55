// SPDX-License-Identifier: GPL-3.0-or-later
// The engines' view of the desktop program: the scan dialog's fields and gauge, the status
// bar's files panel and the log, and message pumping through the Qt event loop.
#pragma once

#include <QLabel>
#include <QPlainTextEdit>
#include <chrono>

#include "core/engine_window.h"
#include "ui/search_form.h"

namespace pyralis::ui {

class QtEngineWindow : public EngineWindow {
 public:
  QtEngineWindow(TSearchForm& search_form, QLabel& status_files, QPlainTextEdit& log);

  // Handles pending events, skipping calls within kPumpInterval of the last one, so that
  // pumping per directory entry or per cluster stays cheap.
  void ProcessMessages() override;
  void SetFilesFoundText(const std::string& text) override;
  void SetElapsedText(const std::string& text) override;
  void SetGaugeMaxValue(int64_t value) override;
  void SetGaugeProgress(int64_t value) override;
  void SetStatusFilesText(const std::string& text) override;
  void LogLine(const std::string& line) override;

  static constexpr std::chrono::milliseconds kPumpInterval{5};

 private:
  TSearchForm& search_form_;
  QLabel& status_files_;
  QPlainTextEdit& log_;
  std::chrono::steady_clock::time_point last_pump_{};
};

}  // namespace pyralis::ui
