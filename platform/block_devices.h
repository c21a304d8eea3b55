// SPDX-License-Identifier: GPL-3.0-or-later
// What the block layer's sysfs tree tells about a device: its folder and its drive type.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace pyralis::platform {

// The resolved sysfs folder of a block device number (/sys/dev/block/MAJ:MIN), e.g.
// /sys/devices/pci0000:00/.../block/sdb/sdb1; "" when unknown.
std::string sysfs_block_folder(dev_t device);

// Drive-type code of the device whose sysfs folder is `folder` (a partition counts as its
// disk): 5 optical (sr*), 6 RAM disk (ram*, zram*), 2 removable ("removable" is 1, or the
// disk hangs off USB or MMC), else 3 fixed; 0 for an empty folder name.
uint32_t drive_type_from_sysfs(const std::string& folder);

}  // namespace pyralis::platform
