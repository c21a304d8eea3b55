// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/qt_engine_window.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <atomic>
#include <limits>
#include <thread>

namespace pyralis::ui {

namespace {
int32_t to_int32(int64_t value) {
  if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}
}  // namespace

QtEngineWindow::QtEngineWindow(TSearchForm& search_form, QLabel& status_files, QPlainTextEdit& log)
    : search_form_(search_form), status_files_(status_files), log_(log) {
  flush_timer_.setInterval(kFlushInterval);
  connect(&flush_timer_, &QTimer::timeout, this, &QtEngineWindow::Flush);
}

bool QtEngineWindow::OnInterfaceThread() const {
  return QThread::currentThread() == thread();
}

void QtEngineWindow::ProcessMessages() {
  if (!OnInterfaceThread()) {
    if (OnWorkerReport) OnWorkerReport();
    return;
  }
  auto now = std::chrono::steady_clock::now();
  if (now - last_pump_ < kPumpInterval) return;
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  last_pump_ = std::chrono::steady_clock::now();
}

void QtEngineWindow::SetFilesFoundText(const std::string& text) {
  Report([&] { search_form_.FilesFoundEdit->setText(QString::fromStdString(text)); },
         [&] { files_found_ = QString::fromStdString(text); });
}

void QtEngineWindow::SetElapsedText(const std::string& text) {
  Report([&] { search_form_.ElapsedEdit->setText(QString::fromStdString(text)); },
         [&] { elapsed_ = QString::fromStdString(text); });
}

void QtEngineWindow::SetGaugeMaxValue(int64_t value) {
  Report(
      [&] {
        max_ = value;
        ShowGauge();
      },
      [&] { gauge_max_ = value; });
}

void QtEngineWindow::SetGaugeProgress(int64_t value) {
  Report(
      [&] {
        progress_ = value;
        ShowGauge();
      },
      [&] { gauge_progress_ = value; });
}

void QtEngineWindow::SetReadProgress(uint64_t done, uint64_t total, double bytes_per_second,
                                     double seconds_left) {
  const QString text = read_progress_text(done, total, bytes_per_second, seconds_left);
  Report([&] { search_form_.SetReadProgress(text); }, [&] { read_progress_ = text; });
}

void QtEngineWindow::SetStatusFilesText(const std::string& text) {
  Report([&] { status_files_.setText(QString::fromStdString(text)); },
         [&] { status_files_text_ = QString::fromStdString(text); });
}

void QtEngineWindow::LogLine(const std::string& line) {
  Report([&] { log_.appendPlainText(QString::fromStdString(line)); },
         [&] { lines_.append(QString::fromStdString(line)); });
}

void QtEngineWindow::ShowGauge() {
  TGauge& gauge = *search_form_.SearchProgressBar;
  // A maximum below the minimum is refused by the gauge; the scan goes on regardless.
  try {
    gauge.SetMaxValue(to_int32(max_));
  } catch (const TGaugeRangeError&) {
  }
  // The engines' measure of the work may reach its end before the last files are listed:
  // while the worker runs the gauge stops one step short of full.
  int64_t shown = progress_;
  if (worker_running_ && max_ > 0 && shown >= max_) shown = max_ - 1;
  gauge.SetProgress(to_int32(shown));
}

void QtEngineWindow::Flush() {
  QStringList lines;
  std::optional<QString> files_found, elapsed, status_text, read_progress;
  std::optional<int64_t> gauge_max, gauge_progress;
  {
    const std::lock_guard hold(lock_);
    lines.swap(lines_);
    files_found.swap(files_found_);
    elapsed.swap(elapsed_);
    status_text.swap(status_files_text_);
    read_progress.swap(read_progress_);
    gauge_max.swap(gauge_max_);
    gauge_progress.swap(gauge_progress_);
  }
  if (!lines.isEmpty()) log_.appendPlainText(lines.join(QLatin1Char('\n')));
  if (files_found) search_form_.FilesFoundEdit->setText(*files_found);
  if (elapsed) search_form_.ElapsedEdit->setText(*elapsed);
  if (status_text) status_files_.setText(*status_text);
  if (read_progress) search_form_.SetReadProgress(*read_progress);
  if (gauge_max) max_ = *gauge_max;
  if (gauge_progress) progress_ = *gauge_progress;
  if (gauge_max || gauge_progress) ShowGauge();
  if (worker_running_ && OnFlush) OnFlush();
}

void QtEngineWindow::RunInWorker(const std::function<void()>& work) {
  QEventLoop loop;
  worker_running_ = true;
  flush_timer_.start();
  // The worker's end is looked for every kPumpInterval rather than announced through the
  // event queue: nothing made in the worker crosses into Qt's queue.
  std::atomic<bool> ended{false};
  QTimer watch;
  watch.setInterval(kPumpInterval);
  connect(&watch, &QTimer::timeout, &loop, [&] {
    if (ended) loop.quit();
  });
  watch.start();
  std::thread worker([&work, &ended] {
    try {
      work();
    } catch (...) {
      // `work` says what went wrong itself; nothing may leave the thread.
    }
    ended = true;
  });
  loop.exec();
  worker.join();
  watch.stop();
  flush_timer_.stop();
  Flush();  // the worker's last words, with the gauge allowed to read 100 % now
  worker_running_ = false;
  ShowGauge();
  if (OnFlush) OnFlush();
}

}  // namespace pyralis::ui
