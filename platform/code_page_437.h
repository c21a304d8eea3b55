// SPDX-License-Identifier: GPL-3.0-or-later
// The OEM code page 437, in which FAT keeps its short names and volume labels.
#pragma once

#include <string>
#include <string_view>

namespace pyralis::platform {

// The character of one byte of code page 437 (bytes below 0x80 stand for themselves).
char16_t cp437_character(unsigned char byte);
// Bytes of code page 437 to UTF-8.
std::string cp437_to_utf8(std::string_view bytes);

}  // namespace pyralis::platform
