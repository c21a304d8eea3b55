// SPDX-License-Identifier: GPL-3.0-or-later
// What --version prints, and the licence the about box names.
#pragma once

#include <string>

namespace pyralis::platform {

// The SPDX name of the programs' licence.
inline constexpr const char* kLicenceName = "GPL-3.0-or-later";

// "<program> <FileVersion of the running executable's version block>", then the copyright
// and licence lines; each line ends with a newline.
std::string version_text(const std::string& program);

}  // namespace pyralis::platform
