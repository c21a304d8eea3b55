// SPDX-License-Identifier: GPL-3.0-or-later
// Areas of a source (image file or device) that reads must treat as unreadable: the
// sectors a GNU ddrescue mapfile does not mark as finished, and, for tests only, injected
// faults (unreadable byte ranges and a cut-off length). A transfer that touches such an
// area delivers the bytes before it and then fails with EIO, as a device with bad sectors
// does; one that reaches the cut-off length ends there like a short file.
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <vector>

namespace pyralis::platform {

struct ByteArea {
  uint64_t offset = 0;  // byte offset in the source file or device
  uint64_t length = 0;
};

// Parses a GNU ddrescue mapfile: '#' comment lines, the current-status line
// ("pos status [pass]"), then "pos size status" lines (numbers in decimal or 0x-hex).
// Returns the areas whose status is not '+' (finished), ordered and merged; none and a
// reason in *error when the text is not a mapfile.
std::optional<std::vector<ByteArea>> parse_ddrescue_map(std::istream& in, std::string* error);
// Reads and parses the mapfile at `path`.
std::optional<std::vector<ByteArea>> read_ddrescue_map(const std::string& path, std::string* error);

// Reads of `source_path` (as given to attach_sources) fail where they touch `areas`.
// Replaces what was set for that path; an empty list removes it.
void set_unreadable_areas(const std::string& source_path, std::vector<ByteArea> areas);
// Forgets every path's areas and cut-offs.
void clear_unreadable_areas();

// The mapfile that GNU ddrescue wrote beside `image` ("card.img.map", else "card.map" for
// "card.img"), put to use for reads of `image`. Returns the line that says so (or why the
// map could not be used); empty when there is no such file.
std::string use_map_beside(const std::string& image);

// For tests only: the source ends after `length` bytes for reads (a cut image).
void set_source_cut_for_testing(const std::string& source_path, uint64_t length);
// For tests only: the source goes away (as a pulled stick) after `reads` more reads of it;
// from then on source_gone_for_testing is true for it.
void set_source_gone_for_testing(const std::string& source_path, uint64_t reads);
// Counts one read of `source_path`; true when the source has gone away by then.
bool source_gone_for_testing(const std::string& source_path);

// For tests only: how many reads have failed on an unreadable area since the last reset.
uint64_t unreadable_area_hits_for_testing();
void reset_unreadable_area_hits_for_testing();

// How much of [offset, offset + size) of `source_path` a read may deliver before it must
// fail: `size` when nothing unreadable lies inside. *error becomes EIO for an unreadable
// area and 0 for the cut-off end.
size_t readable_prefix(const std::string& source_path, uint64_t offset, size_t size, int* error);

}  // namespace pyralis::platform
