// TBuffer: a window of consecutive 512-byte sectors of the volume through which the engines
// read bytes at byte offsets. A request inside the window is served from memory; otherwise
// the window moves to the request's sector and is refilled with one ReadDrive.
#pragma once

#include <cstdint>

#include "core/memory_stream.h"

namespace pyralis {

class TRawDiskAccessComponent;

class TBuffer {
 public:
  explicit TBuffer(uint32_t capacity_sectors);

  // Copies `count` bytes at volume byte `offset` into `dest`. Returns count when the bytes
  // were delivered (a request larger than the window grows the window), 0 when nothing
  // could be delivered (request beyond the end of the volume, count 0).
  int64_t ReadBytes(TRawDiskAccessComponent& component, int64_t offset, uint32_t count,
                    void* dest);
  // Appends `count` bytes at volume byte `offset` to `dest` at its position (count 0 appends
  // the whole window). Returns dest's size afterwards.
  int64_t ReadToStream(TRawDiskAccessComponent& component, int64_t offset, uint32_t count,
                       TMemoryStream& dest);

  uint32_t WindowBytes() const { return window_bytes_; }
  int64_t FirstSector() const { return first_sector_; }
  int64_t EndSector() const { return end_sector_; }
  int64_t WindowSectors() const { return window_sectors_; }

 private:
  uint32_t window_bytes_;
  int64_t first_sector_ = 0;
  int64_t end_sector_ = 0;
  int64_t window_sectors_ = 0;
  TMemoryStream cache_;
};

}  // namespace pyralis
