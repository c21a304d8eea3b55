// SPDX-License-Identifier: GPL-3.0-or-later
// The drive table as a grid: one row per attached drive.
#pragma once

#include "cli/output_formats.h"

namespace pyralis::cli {

// Columns: Drive, Type, FileSystem, Label, Serial, Size, Source, Offset, Problem (why the
// drive cannot be read, empty when nothing is known to be wrong). `human` shows the
// size as size_to_text, otherwise as a byte count.
Grid drives_grid(bool human);

// Name of a GetDriveTypeCode value ("removable", "fixed", ...).
std::string drive_type_name(uint32_t code);

}  // namespace pyralis::cli
