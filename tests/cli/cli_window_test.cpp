// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/cli_window.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "core/process_state.h"

namespace pyralis::cli {
namespace {

std::string stream_text(std::FILE* stream) {
  std::rewind(stream);
  std::string text;
  char chunk[256];
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, stream)) > 0;) text.append(chunk, n);
  return text;
}

TEST(CliWindow, LogLinesGoToTheChosenStreamAndTheObserver) {
  CliWindow window(false);
  EXPECT_EQ(&Window(), &window) << "the engines reach the installed window";
  std::FILE* log = std::tmpfile();
  ASSERT_NE(log, nullptr);
  window.set_log_stream(log);
  std::vector<std::string> seen;
  window.set_line_observer([&](const std::string& line) { seen.push_back(line); });
  Window().LogLine("Scan C:\\ ...");
  Window().LogLine("End scan");
  EXPECT_EQ(stream_text(log), "Scan C:\\ ...\nEnd scan\n");
  EXPECT_EQ(seen, (std::vector<std::string>{"Scan C:\\ ...", "End scan"}));
  window.set_log_stream(stderr);
  std::fclose(log);
}

TEST(CliWindow, AnEarlyCtrlCStillStopsTheEngineAtItsFirstPump) {
  reset_process_state();
  volatile std::sig_atomic_t interrupted = 0;
  CliWindow window(false);
  window.watch_interrupt(&interrupted);
  ScanActive = true;  // the driver sets it when it starts
  Window().ProcessMessages();
  EXPECT_TRUE(ScanActive);
  interrupted = 1;  // Ctrl-C came before the driver set ScanActive again
  ScanActive = true;
  RecoveryActive = true;
  Window().ProcessMessages();
  EXPECT_FALSE(ScanActive);
  EXPECT_FALSE(RecoveryActive);
  reset_process_state();
}

}  // namespace
}  // namespace pyralis::cli
