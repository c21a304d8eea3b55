// SPDX-License-Identifier: GPL-3.0-or-later
// pyralis-cli: the command-line front end over the same drivers as the desktop program.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/arguments.h"
#include "cli/commands.h"

int main(int argc, char** argv) {
  using namespace pyralis::cli;
  const ParseResult parsed = parse_arguments(std::vector<std::string>(argv + 1, argv + argc));
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "pyralis-cli: %s (see pyralis-cli --help)\n", parsed.error.c_str());
    return kExitBadArguments;
  }
  install_interrupt_handler();
  try {
    return run(parsed.options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "pyralis-cli: %s\n", e.what());
    return kExitNotAllWritten;
  }
}
