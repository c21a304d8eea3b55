// SPDX-License-Identifier: GPL-3.0-or-later
// TBuffer: a window of consecutive 512-byte sectors of the volume through which the engines
// read bytes at byte offsets. A request inside the window is served from memory; otherwise
// the window moves to the request's sector and is refilled with one ReadDrive.
//
// Window rules: the window is bounded by the volume's real sector count (the component's
// VolumeSectors()), never by the data area; a window that would run past the end is cut
// there, and the next refill uses the cut size (WindowBytes follows the last refill). A
// request that starts at or after the end of the volume, or at a negative offset, returns 0
// and changes nothing.
//
// Unreadable sectors: a refill delivers every sector the volume gives (the component reads
// a failed transfer again sector by sector); sectors that still fail read as zeros, each
// run of them is logged once per component ("Cannot read sectors 5040–5047 of C:
// (Input/output error)."), and Unreadable() tells the caller which bytes of its last
// request they (or the end of the volume) cost.
#pragma once

#include <cstdint>
#include <vector>

#include "core/memory_stream.h"
#include "rawdisk/raw_disk_access_component.h"

namespace pyralis {

// Bytes of a request, counted from the request's first byte.
struct RequestRange {
  int64_t offset = 0;
  int64_t length = 0;
};

class TBuffer {
 public:
  explicit TBuffer(uint32_t capacity_sectors);

  // Copies `count` bytes at volume byte `offset` into `dest`. Returns count when the bytes
  // were delivered (a request larger than the window grows the window), 0 when not all of
  // them could be delivered (request starting or running past the end of the volume,
  // unreadable sectors, count 0). When the request starts inside the volume, `dest` then
  // holds every byte that could be read and zeros for the bytes in Unreadable(); a request
  // starting outside leaves `dest` as it was. The bytes come from a private copy of the
  // window, so several TBuffers may share one component.
  int64_t ReadBytes(TRawDiskAccessComponent& component, int64_t offset, uint32_t count, void* dest);
  // Appends `count` bytes at volume byte `offset` to `dest` at its position (count 0 appends
  // the whole window). Returns dest's size afterwards. A request larger than the window grows
  // the window; bytes of a request that lie past the end of the volume are appended as
  // zeros, so dest always grows by count. A request starting past the end appends nothing
  // and returns 0. The bytes come straight from the component's buffer; when another user
  // of the component has moved that buffer since this window's refill, the window is read
  // again.
  int64_t ReadToStream(TRawDiskAccessComponent& component, int64_t offset, uint32_t count,
                       TMemoryStream& dest);

  // The bytes of the last request that could not be read (unreadable sectors, or past the
  // end of the volume), ordered; empty when all of them came through.
  const std::vector<RequestRange>& Unreadable() const { return unreadable_; }

  uint32_t WindowBytes() const { return window_bytes_; }
  int64_t FirstSector() const { return first_sector_; }
  int64_t EndSector() const { return end_sector_; }
  int64_t WindowSectors() const { return window_sectors_; }

 private:
  // True when the request's sectors (up to the one after its last byte) lie in the window.
  bool Covers(int64_t offset, uint32_t count) const;
  static bool InRange(const TRawDiskAccessComponent& component, int64_t offset);
  // Moves the window to offset's sector and reads it, grown to hold `count` bytes where
  // needed; returns the request's position in the component's buffer, or -1 when nothing
  // could be read.
  int64_t Refill(TRawDiskAccessComponent& component, int64_t offset, uint32_t count);
  bool ComponentHoldsWindow(TRawDiskAccessComponent& component) const;
  // Fills Unreadable() for a request at volume byte `offset` of `count` bytes of which the
  // first `available` lay inside the window's data.
  void NoteUnreadable(int64_t offset, int64_t count, int64_t available);
  // The request's position in the window: from the window when `window_usable` and the
  // request lies inside, else after a refill (-1 when nothing could be read).
  int64_t Locate(TRawDiskAccessComponent& component, int64_t offset, uint32_t count,
                 bool window_usable);

  uint32_t window_bytes_;
  int64_t first_sector_ = 0;
  int64_t end_sector_ = 0;
  int64_t window_sectors_ = 0;
  TMemoryStream cache_;
  std::vector<BadSectorRun> bad_runs_;  // of the window's refill
  std::vector<RequestRange> unreadable_;
  bool cache_valid_ = false;  // cache_ holds the current window (ReadToStream leaves it stale)
};

// ReadToStream that always grows `dest` by `count`: what the volume does not deliver is
// appended as zeros, and the first such shortfall is logged once per *logged ("Could not read
// C: at byte N; what could not be read counts as zeros.").
void read_to_stream_or_zeros(TBuffer& window, TRawDiskAccessComponent& component,
                             uint64_t offset, uint32_t count, TMemoryStream& dest, bool* logged);

// Logs one run of unreadable sectors of drive `drive`: "Cannot read sectors 5040–5047 of C:
// (Input/output error)."
void log_bad_sector_run(char drive, const BadSectorRun& run);

// Logs "Drive C: is gone (...)" the first time it is called after drive `drive`'s source
// went away (platform::source_gone), and nothing after that.
void log_gone_source_once(char drive);

}  // namespace pyralis
