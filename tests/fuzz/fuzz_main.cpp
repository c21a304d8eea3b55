// SPDX-License-Identifier: GPL-3.0-or-later
// One libFuzzer program per target: PYRALIS_FUZZ_TARGET names the body in fuzz_targets.h.
#include "tests/fuzz/fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return pyralis::fuzz::PYRALIS_FUZZ_TARGET(data, size);
}
