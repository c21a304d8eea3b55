// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/qt_engine_window.h"

#include <QCoreApplication>
#include <limits>

namespace pyralis::ui {

namespace {
int32_t to_int32(int64_t value) {
  if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}
}  // namespace

QtEngineWindow::QtEngineWindow(TSearchForm& search_form, QLabel& status_files, QPlainTextEdit& log)
    : search_form_(search_form), status_files_(status_files), log_(log) {}

void QtEngineWindow::ProcessMessages() {
  auto now = std::chrono::steady_clock::now();
  if (now - last_pump_ < kPumpInterval) return;
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  last_pump_ = std::chrono::steady_clock::now();
}

void QtEngineWindow::SetFilesFoundText(const std::string& text) {
  search_form_.FilesFoundEdit->setText(QString::fromStdString(text));
}

void QtEngineWindow::SetElapsedText(const std::string& text) {
  search_form_.ElapsedEdit->setText(QString::fromStdString(text));
}

void QtEngineWindow::SetGaugeMaxValue(int64_t value) {
  TGauge& gauge = *search_form_.SearchProgressBar;
  // A maximum below the minimum is refused by the gauge; the scan goes on regardless.
  try {
    gauge.SetMaxValue(to_int32(value));
  } catch (const TGaugeRangeError&) {
  }
}

void QtEngineWindow::SetGaugeProgress(int64_t value) {
  search_form_.SearchProgressBar->SetProgress(to_int32(value));
}

void QtEngineWindow::SetStatusFilesText(const std::string& text) {
  status_files_.setText(QString::fromStdString(text));
}

void QtEngineWindow::LogLine(const std::string& line) {
  log_.appendPlainText(QString::fromStdString(line));
}

}  // namespace pyralis::ui
