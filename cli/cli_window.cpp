// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/cli_window.h"

#include <algorithm>

#include "core/process_state.h"

namespace pyralis::cli {

namespace {
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
}  // namespace

CliWindow::CliWindow(bool progress) : progress_(progress) {
  SetEngineWindow(this);
}

CliWindow::~CliWindow() {
  end_progress();
  SetEngineWindow(nullptr);
}

void CliWindow::ProcessMessages() {
  if (interrupt_ != nullptr && *interrupt_) {
    ScanActive = false;
    RecoveryActive = false;
  }
  // Every few thousand calls, refresh the elapsed time of a scan that finds nothing.
  if (!progress_ || (++pumps_ & 0xFFF) != 0) return;
  if (ScanActive) elapsed_ = elapsed_text();
  draw(false);
}

void CliWindow::SetFilesFoundText(const std::string& text) {
  files_found_ = text;
  draw(false);
}

void CliWindow::SetElapsedText(const std::string& text) {
  elapsed_ = text;
  draw(false);
}

void CliWindow::SetGaugeMaxValue(int64_t value) {
  gauge_max_ = value;
}

void CliWindow::SetGaugeProgress(int64_t value) {
  gauge_progress_ = value;
  draw(false);
}

void CliWindow::SetReadProgress(uint64_t done, uint64_t total, double bytes_per_second,
                                double seconds_left) {
  constexpr uint64_t kMiB = 1u << 20;
  read_progress_ = "  Read " + std::to_string(done / kMiB) + " of " + std::to_string(total / kMiB) +
                   " MiB, " + std::to_string(static_cast<uint64_t>(bytes_per_second) / kMiB) +
                   " MiB/s";
  if (seconds_left >= 0) {
    const auto s = static_cast<uint64_t>(seconds_left + 0.5);
    char text[32];
    std::snprintf(
        text, sizeof text, ", %02llu:%02llu:%02llu left", static_cast<unsigned long long>(s / 3600),
        static_cast<unsigned long long>(s / 60 % 60), static_cast<unsigned long long>(s % 60));
    read_progress_ += text;
  }
  draw(false);
}

void CliWindow::SetStatusFilesText(const std::string& text) {
  status_files_ = text;
}

void CliWindow::LogLine(const std::string& line) {
  wipe();
  std::fprintf(log_stream_, "%s\n", line.c_str());
  std::fflush(log_stream_);
  if (observer_) observer_(line);
}

void CliWindow::reset_progress() {
  files_found_ = std::string(1, '0');
  elapsed_ = elapsed_text();
  gauge_progress_ = 0;
  read_progress_.clear();
  draw(true);
}

void CliWindow::end_progress() {
  wipe();
}

void CliWindow::draw(bool force) {
  if (!progress_) return;
  const auto now = std::chrono::steady_clock::now();
  if (!force && drawn_ && now - last_draw_ < kRedrawInterval) return;
  last_draw_ = now;
  // The gauge holds its position within 0..maximum, as the dialog's gauge does.
  int percent = 0;
  if (gauge_max_ > 0) {
    const int64_t position = std::clamp<int64_t>(gauge_progress_, 0, gauge_max_);
    percent = static_cast<int>(position * 100 / gauge_max_);
  }
  std::fprintf(stderr, "\r\033[KFiles found: %s  Elapsed: %s  %d%%%s", files_found_.c_str(),
               elapsed_.c_str(), percent, read_progress_.c_str());
  std::fflush(stderr);
  drawn_ = true;
}

void CliWindow::wipe() {
  if (!drawn_) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  drawn_ = false;
}

}  // namespace pyralis::cli
