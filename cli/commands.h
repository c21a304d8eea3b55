// SPDX-License-Identifier: GPL-3.0-or-later
// The three commands of pyralis-cli over the drive table and the drivers.
#pragma once

#include "cli/arguments.h"

namespace pyralis::cli {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitNotAllWritten = 1;  // also: the scan itself failed
constexpr int kExitBadArguments = 2;   // also: a source that cannot be read
constexpr int kExitInterrupted = 130;  // Ctrl-C (SIGINT) in any phase; see interrupted_status

// Runs the parsed command; returns the exit status. Output goes to standard output, log
// lines and errors to standard error.
int run(const Options& options);

// Installs the handler of Ctrl-C, SIGTERM and SIGHUP: the first clears ScanActive and
// RecoveryActive (the scan or recovery ends as Stop would end it, the file being written is
// removed); a second one removes the file being written and ends the program. SIGXFSZ is
// ignored, so that a file past the size limit fails to be written like any failed write.
void install_interrupt_handler();
bool interrupted();
// The exit status after such a signal: 128 + its number (130 for Ctrl-C, 143 for SIGTERM,
// 129 for SIGHUP).
int interrupted_status();

}  // namespace pyralis::cli
