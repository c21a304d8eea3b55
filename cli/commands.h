// SPDX-License-Identifier: GPL-3.0-or-later
// The three commands of pyralis-cli over the drive table and the drivers.
#pragma once

#include "cli/arguments.h"

namespace pyralis::cli {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitNotAllWritten = 1;  // also: the scan itself failed
constexpr int kExitBadArguments = 2;   // also: a source that cannot be read
constexpr int kExitInterrupted = 130;  // Ctrl-C during a scan

// Runs the parsed command; returns the exit status. Output goes to standard output, log
// lines and errors to standard error.
int run(const Options& options);

// Installs the Ctrl-C handler: the first Ctrl-C clears ScanActive and RecoveryActive (the
// scan ends as Stop would end it); a second one ends the program.
void install_interrupt_handler();
bool interrupted();

}  // namespace pyralis::cli
