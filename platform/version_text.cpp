// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/version_text.h"

#include "platform/version_resource.h"

namespace pyralis::platform {

std::string version_text(const std::string& program) {
  const auto block = GetFileVersionInfo(running_executable_path());
  const auto version = VerQueryValue(block, "StringFileInfo\\040904E4\\FileVersion");
  return program + " " + (version ? *version : std::string("(no version information)")) + "\n" +
         "Copyright (C) 2004 Quorel Data Recovery Centre\n"
         "Licence " +
         kLicenceName +
         ": GNU GPL version 3 or later <https://www.gnu.org/licenses/gpl.html>.\n"
         "This is free software: you are free to change and redistribute it.\n"
         "There is NO WARRANTY, to the extent permitted by law.\n";
}

}  // namespace pyralis::platform
