// SPDX-License-Identifier: GPL-3.0-or-later
// Queries and transfers on the volume behind a drive letter of the drive table: the
// stand-ins for the Windows drive-type, volume-information, free-space and raw volume
// device services.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/volume_probe.h"

namespace pyralis::platform {

// What the volume behind `letter` reports; probed once per source and kept, so that asking
// again on every transfer costs a table lookup. None when the letter has no drive.
std::optional<VolumeDetails> volume_details(char letter);

// Drive-type code: 0 cannot be told, 1 no drive behind the letter, 2 removable, 3 fixed
// (image files and other disks), 5 optical, 6 RAM disk.
uint32_t drive_type(char letter);
// Bit n set when letter 'A' + n has a drive.
uint32_t logical_drives_mask();

// Reads `size` bytes at byte `offset` of the volume. The source is opened read-only for the
// transfer and closed after it, unless a SourceHold lives (then it stays open); nothing past
// the volume's length is read (a request that runs past it reads what lies inside and
// fails). True only for a complete transfer.
bool read_volume(char letter, uint64_t offset, void* buffer, size_t size);
// The write twin (opens the source for writing). Nothing in the product writes a volume.
bool write_volume(char letter, uint64_t offset, const void* buffer, size_t size);

// The errno value of this thread's last failed read_volume/write_volume (EIO for a bad
// sector, ENOENT for a vanished image, ...); 0 when it failed because the source ended.
int last_transfer_error();

// Whether drive `letter`'s source went away after it was attached (a stick pulled or
// detached, a device that stopped answering, an image deleted): its reads fail from then on
// with ENODEV, without touching the source.
bool source_gone(char letter);
// True only the first time it is asked after the source of `letter` went away, so that one
// line says so.
bool first_notice_of_gone_source(char letter);
// While at least one SourceHold lives, a drive's source that has been opened for reading
// stays open (read-only, one descriptor per source, shared by the drives of its partitions)
// and serves every further read, instead of being opened and closed for each transfer. The
// last hold to end closes them. Holds nest; a scan or recovery call holds for its length, a
// command for the length of its loop over many rows.
class SourceHold {
 public:
  SourceHold();
  ~SourceHold();
  SourceHold(const SourceHold&) = delete;
  SourceHold& operator=(const SourceHold&) = delete;
};

// Why the drive cannot be used: the problem found when it was attached, else the last
// failed transfer's reason, else the probe's reason when no FAT/NTFS was recognised; empty
// when nothing is known to be wrong or the letter has no drive.
std::string drive_problem(char letter);

}  // namespace pyralis::platform
