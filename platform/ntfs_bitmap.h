// SPDX-License-Identifier: GPL-3.0-or-later
// Free clusters of an NTFS volume, counted from the cluster bitmap ($Bitmap, MFT record 6).
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "platform/source_file.h"
#include "platform/volume_probe.h"

namespace pyralis::platform {

// Counts the clear bits among the first info.total_clusters bits of the volume's cluster
// bitmap. `boot` is the volume's first sector; `read` reads from the volume's first byte.
// None when the bitmap cannot be found or read.
//   Boot sector: 0x30 first cluster of the MFT (u64), 0x40 size of a file record (signed
//   byte: positive, clusters; negative, 2^-n bytes).
//   File record: "FILE" at 0x00, 0x04 update sequence offset (u16), 0x06 its count (u16),
//   0x14 first attribute offset (u16). The last two bytes of every 512-byte stride hold the
//   update sequence number; the real bytes are in the update sequence array.
//   Attribute: 0x00 type (u32, 0xFFFFFFFF ends the list), 0x04 length (u32), 0x08
//   non-resident flag, 0x09 name length; non-resident: 0x20 runlist offset (u16).
//   Runlist: a header byte (low nibble: bytes of the run length, high nibble: bytes of the
//   signed cluster delta), the length, the delta; a zero header ends it.
std::optional<uint64_t> count_ntfs_free_clusters(const ReadAt& read, std::span<const uint8_t> boot,
                                                 const BootSectorInfo& info);

}  // namespace pyralis::platform
