// SPDX-License-Identifier: GPL-3.0-or-later
// A small strict JSON reader for tests: checks that a text is one well-formed JSON value and
// counts the objects of a top-level array.
#pragma once

#include <string_view>

namespace pyralis::test {

struct JsonCheck {
  bool valid = false;
  int top_level_items = -1;  // elements of a top-level array; -1 when the value is no array
};

JsonCheck check_json(std::string_view text);

}  // namespace pyralis::test
