// SPDX-License-Identifier: GPL-3.0-or-later
// The drive table: drive letters mapped to sources. A source is an image file or a block
// device, plus the byte offset and length of the volume inside it (a partition).
//
// Letter rule: the paths given to the program come first, from C: on, in the order given;
// an image or disk with an MBR or GPT partition table yields one letter per partition that
// holds FAT, exFAT or NTFS, in table order; a bare volume yields one letter. Then the
// machine's own FAT, exFAT and NTFS volumes (attach_machine_volumes) follow in
// /sys/class/block order. A and B are never given out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/source_file.h"

namespace pyralis::platform {

struct Source {
  std::string path;          // image file or block device
  uint64_t offset = 0;       // byte offset of the volume in `path`
  uint64_t length = 0;       // byte length of the volume (0 when it could not be learned)
  bool block_device = false;
  int partition = 0;         // 1-based partition number, 0 for a bare volume
  std::string problem;       // why the source cannot be read (missing, permission...), or empty
  // Set when the source is read through a descriptor handed over by someone else (a daemon
  // that opened the device for a user who may not); `path` then only names it.
  SharedDescriptor descriptor;
};

struct Drive {
  char letter = 0;  // upper case
  Source source;
};

// Attaches the given image files / block devices; returns the upper-case letters given out,
// in order. A path that cannot be opened still gets a letter, with Source::problem set.
std::vector<char> attach_sources(const std::vector<std::string>& paths);
// Attaches the machine's block devices that hold FAT or NTFS (after the given paths). A
// device that cannot be opened is attached with its reason when udev's record says it holds
// FAT, exFAT or NTFS, or when there is no record to tell.
std::vector<char> attach_machine_volumes();
// Makes an already open descriptor the source of the drive behind `letter`: transfers read
// through a duplicate of it from then on, and the volume is probed again through it. The
// caller keeps `fd`. False when the letter has no drive or `fd` cannot be duplicated.
bool attach_source_fd(char letter, int fd);
// The device behind `letter` went away: the letter leaves the listing (it is not given out
// again) and every later transfer on it fails with the reason "<path> was removed".
void detach_drive(char letter);
// True when `path` (or the same block device under another name) already has a drive.
bool is_attached(const std::string& path);
// Forgets every attached drive (tests).
void reset_drive_table();
// The drive behind `letter` (either case), or nullptr.
const Drive* find_drive(char letter);
std::vector<Drive> drives();

}  // namespace pyralis::platform
