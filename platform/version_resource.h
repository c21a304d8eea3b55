// SPDX-License-Identifier: GPL-3.0-or-later
// The program's version block: key/value strings embedded in the executable (an ELF section)
// by linking the `pyralis_version_block` object library, and read back from a file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pyralis::platform {

// Size of the version block in `exe_path` (0 when the file has none or cannot be read).
uint32_t GetFileVersionInfoSize(const std::string& exe_path);
// The version block of `exe_path`; empty when there is none.
std::vector<uint8_t> GetFileVersionInfo(const std::string& exe_path);
// The string stored under `sub_block`, e.g. "StringFileInfo\\040904E4\\FileVersion";
// none when the block lacks it.
std::optional<std::string> VerQueryValue(const std::vector<uint8_t>& block,
                                         const std::string& sub_block);
// Path of the running executable (/proc/self/exe resolved).
std::string running_executable_path();

}  // namespace pyralis::platform
