// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/drive_listing.h"

#include <cstdio>

#include "platform/drive_table.h"
#include "platform/volume_access.h"
#include "rawdisk/raw_disk_access.h"

namespace pyralis::cli {

std::string drive_type_name(uint32_t code) {
  switch (code) {
    case 1:
      return "no root";
    case 2:
      return "removable";
    case 3:
      return "fixed";
    case 4:
      return "remote";
    case 5:
      return "optical";
    case 6:
      return "RAM disk";
    default:
      return "unknown";
  }
}

Grid drives_grid(bool human) {
  Grid grid;
  grid.columns = {{"Drive"},      {"Type"},
                  {"FileSystem"}, {"Label"},
                  {"Serial"},     {"Size", ColumnKind::Number, true},
                  {"Source"},     {"Offset", ColumnKind::Number, true},
                  {"Problem"}};
  for (const platform::Drive& drive : platform::drives()) {
    const TMediaIdentifier media = GetMediaIdentifier(drive.letter);
    char serial[16] = "";
    if (media.SerialNumber != 0)
      std::snprintf(serial, sizeof serial, "%04X-%04X", media.SerialNumber >> 16,
                    media.SerialNumber & 0xFFFF);
    const auto length = static_cast<int64_t>(drive.source.length);
    // A readable source without a volume Pyralis reads: its file system is unknown, and it
    // can still be searched by content.
    std::string file_system = media.FileSystem;
    std::string problem = platform::drive_problem(drive.letter);
    uint8_t sector[512];
    if (file_system.empty() && drive.source.length >= sizeof sector &&
        platform::read_volume(drive.letter, 0, sector, sizeof sector)) {
      file_system = "unknown";
      problem += problem.empty() ? "scan --carve searches it by content"
                                 : "; scan --carve searches it by content";
    }
    grid.rows.push_back({std::string(1, drive.letter) + ":",
                         drive_type_name(GetDriveTypeCode(drive.letter)), file_system,
                         media.VolumeName, serial,
                         human ? volume_size_text(drive.source.length) : std::to_string(length),
                         drive.source.path, std::to_string(drive.source.offset), problem});
  }
  return grid;
}

}  // namespace pyralis::cli
