// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/recording_window.h"

#include <algorithm>

namespace pyralis::test {

bool RecordingWindow::Logged(const std::string& line) const {
  return std::find(log.begin(), log.end(), line) != log.end();
}

std::vector<std::string> RecordingWindow::LinesWith(const std::string& part) const {
  std::vector<std::string> lines;
  for (const auto& line : log)
    if (line.find(part) != std::string::npos) lines.push_back(line);
  return lines;
}

std::string RecordingWindow::LogText() const {
  std::string text;
  for (const auto& line : log) text += line + "\n";
  return text;
}

}  // namespace pyralis::test
