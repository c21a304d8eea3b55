// SPDX-License-Identifier: GPL-3.0-or-later
// The engines' view of the desktop program: the scan dialog's fields and gauge, the status
// bar's files panel and the log. Scans and recoveries run in a worker thread; what they
// report there is kept under a lock and shown by the interface thread every kFlushInterval,
// so that thousands of log lines or gauge steps cost one repaint per interval. Calls made on
// the interface thread itself (the preview's read) are shown at once, as before.
#pragma once

#include <QLabel>
#include <QObject>
#include <QPlainTextEdit>
#include <QStringList>
#include <QTimer>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>

#include "core/engine_window.h"
#include "ui/search_form.h"

namespace pyralis::ui {

class QtEngineWindow : public QObject, public EngineWindow {
  Q_OBJECT

 public:
  QtEngineWindow(TSearchForm& search_form, QLabel& status_files, QPlainTextEdit& log);

  // On the interface thread: handles pending events, skipping calls within kPumpInterval of
  // the last one. In the worker: nothing (the interface thread runs its own loop).
  void ProcessMessages() override;
  void SetFilesFoundText(const std::string& text) override;
  void SetElapsedText(const std::string& text) override;
  void SetGaugeMaxValue(int64_t value) override;
  void SetGaugeProgress(int64_t value) override;
  void SetReadProgress(uint64_t done, uint64_t total, double bytes_per_second,
                       double seconds_left) override;
  void SetStatusFilesText(const std::string& text) override;
  void LogLine(const std::string& line) override;

  // Runs `work` in a worker thread while the interface thread goes on handling events and
  // showing what the work reports; returns when the work has ended and all it reported is
  // shown. While it runs, the scan gauge stays below 100 %.
  void RunInWorker(const std::function<void()>& work);
  // Shows what the worker has reported since the last flush.
  void Flush();
  // Run by every flush while a worker runs (the recovery dialog's file counter).
  std::function<void()> OnFlush;
  // Run in the worker at each report and message pump (tests hold the worker here).
  std::function<void()> OnWorkerReport;

  static constexpr std::chrono::milliseconds kPumpInterval{5};
  static constexpr std::chrono::milliseconds kFlushInterval{50};

 private:
  bool OnInterfaceThread() const;
  // On the interface thread `now` shows the report at once; from the worker `later` keeps it,
  // under the lock, for the next flush.
  template <typename Now, typename Later>
  void Report(Now now, Later later) {
    if (OnInterfaceThread()) {
      now();
      return;
    }
    if (OnWorkerReport) OnWorkerReport();
    const std::lock_guard hold(lock_);
    later();
  }
  void ShowGauge();

  TSearchForm& search_form_;
  QLabel& status_files_;
  QPlainTextEdit& log_;
  std::chrono::steady_clock::time_point last_pump_{};
  QTimer flush_timer_;
  bool worker_running_ = false;

  std::mutex lock_;  // guards the pending state below
  QStringList lines_;
  std::optional<QString> files_found_, elapsed_, status_files_text_, read_progress_;
  std::optional<int64_t> gauge_max_, gauge_progress_;
  // The gauge as the engine set it last (interface thread only).
  int64_t max_ = 0, progress_ = 0;
};

}  // namespace pyralis::ui
