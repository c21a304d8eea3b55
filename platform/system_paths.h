// SPDX-License-Identifier: GPL-3.0-or-later
// Folders and mounts of the desktop session.
#pragma once

#include <string>

namespace pyralis::platform {

// The user's documents folder (XDG_DOCUMENTS_DIR, else ~/Documents when it exists, else the
// home folder), without a trailing "/".
std::string documents_folder();
// True when `folder` lies on a file system mounted from the block device behind drive
// `letter` (or from a partition of that device). Image-file sources give false.
bool folder_on_drive(const std::string& folder, char letter);

}  // namespace pyralis::platform
