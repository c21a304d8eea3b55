// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/cluster_buffer.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>
#include <string>

#include "core/engine_window.h"
#include "core/process_state.h"
#include "platform/source_file.h"
#include "platform/volume_access.h"
#include "rawdisk/raw_disk_access_component.h"

namespace pyralis {

namespace {

constexpr int64_t kSectorBytes = 512;
constexpr int32_t kStatusSuccess = 9999;
// WindowBytes is 32-bit: no window may hold more sectors than this.
constexpr int64_t kMaxWindowSectors = std::numeric_limits<uint32_t>::max() / kSectorBytes;

void add_range(std::vector<RequestRange>& ranges, int64_t offset, int64_t length) {
  if (length <= 0) return;
  if (!ranges.empty() && ranges.back().offset + ranges.back().length >= offset) {
    ranges.back().length = std::max(ranges.back().offset + ranges.back().length, offset + length) -
                           ranges.back().offset;
  } else {
    ranges.push_back({offset, length});
  }
}

std::string error_reason(int error) {
  return error == 0 ? "the source ends before them" : platform::error_text(error);
}

}  // namespace

// "Cannot read sectors 5040–5047 of C: (Input/output error)."
void log_bad_sector_run(char drive, const BadSectorRun& run) {
  const std::string sectors = run.count == 1 ? "sector " + std::to_string(run.first)
                                             : "sectors " + std::to_string(run.first) + "\u2013" +
                                                   std::to_string(run.first + run.count - 1);
  Window().LogLine("Cannot read " + sectors + " of " + std::string(1, drive) + ": (" +
                   error_reason(run.error) + ").");
}

void log_gone_source_once(char drive) {
  if (platform::first_notice_of_gone_source(drive))
    Window().LogLine("Drive " + std::string(1, static_cast<char>(std::toupper(drive))) +
                     ": is gone (removed, or it stopped answering); nothing more is read from "
                     "it.");
}

TBuffer::TBuffer(uint32_t capacity_sectors)
    : window_bytes_(static_cast<uint32_t>(std::min<int64_t>(capacity_sectors, kMaxWindowSectors) *
                                          kSectorBytes)) {}

bool TBuffer::Covers(int64_t offset, uint32_t count) const {
  // The end test wants the sector holding the byte just after the request, so a request
  // ending on a sector boundary needs one sector more than it uses.
  const int64_t s = offset / kSectorBytes;
  const int64_t e = (offset + count) / kSectorBytes;
  return window_bytes_ != 0 && e + 1 <= end_sector_ && s >= first_sector_;
}

bool TBuffer::InRange(const TRawDiskAccessComponent& component, int64_t offset) {
  // The real sector count of the volume, not the data area that TotalClusters counts.
  return offset >= 0 && offset / kSectorBytes < component.VolumeSectors();
}

int64_t TBuffer::Refill(TRawDiskAccessComponent& component, int64_t offset, uint32_t count) {
  const int64_t limit = component.VolumeSectors();
  const int64_t s = offset / kSectorBytes;
  const int64_t e = (offset + count) / kSectorBytes;
  int64_t first = s;
  int64_t end = first + window_bytes_ / kSectorBytes;
  if (end > limit) end = limit;
  int64_t sectors = end - first;
  // A request larger than the window grows the window so that it holds the whole request
  // (the same span the hit test asks for); EndSector keeps the unclamped size's end.
  if (e - s + 1 > sectors) sectors = std::min(e - s + 1, limit - first);
  if (sectors <= 0 || sectors > kMaxWindowSectors) return -1;

  first_sector_ = first;
  end_sector_ = end;
  window_sectors_ = sectors;
  component.SetSectorNumber(first_sector_);
  if (component.StatusCode() != kStatusSuccess || component.SectorNumber() != first_sector_) {
    // The component refused the position: the window is empty until the next refill.
    end_sector_ = first_sector_;
    return -1;
  }
  component.SetSectorCount(window_sectors_);
  component.ReadDrive();  // sectors that could not be read are zeros
  bad_runs_ = component.BadSectorRuns();
  // A source that went away ends the scan at once with one line, instead of a line for
  // every window of the rest of the volume.
  if (!bad_runs_.empty() && platform::source_gone(component.LogicalDrive())) {
    log_gone_source_once(component.LogicalDrive());
    ScanActive = false;
  } else {
    for (const BadSectorRun& run : bad_runs_)
      if (component.FirstReportOf(run)) log_bad_sector_run(component.LogicalDrive(), run);
  }
  const int64_t size = component.DiskBufferStream().Size();
  window_bytes_ = static_cast<uint32_t>(std::min<int64_t>(size, kMaxWindowSectors * kSectorBytes));
  return offset % kSectorBytes;
}

bool TBuffer::ComponentHoldsWindow(TRawDiskAccessComponent& component) const {
  return component.SectorNumber() == first_sector_ && component.SectorCount() == window_sectors_ &&
         component.DiskBufferStream().Size() == window_bytes_;
}

int64_t TBuffer::Locate(TRawDiskAccessComponent& component, int64_t offset, uint32_t count,
                        bool window_usable) {
  if (window_usable && Covers(offset, count))
    return (offset / kSectorBytes - first_sector_) * kSectorBytes + offset % kSectorBytes;
  cache_valid_ = false;
  return Refill(component, offset, count);
}

void TBuffer::NoteUnreadable(int64_t offset, int64_t count, int64_t available) {
  unreadable_.clear();
  for (const BadSectorRun& run : bad_runs_) {
    const int64_t from = std::max(run.first * kSectorBytes, offset);
    const int64_t to = std::min((run.first + run.count) * kSectorBytes, offset + available);
    add_range(unreadable_, from - offset, to - from);
  }
  add_range(unreadable_, available, count - available);
}

int64_t TBuffer::ReadBytes(TRawDiskAccessComponent& component, int64_t offset, uint32_t count,
                           void* dest) {
  unreadable_.clear();
  if (count == 0) return 0;
  const int64_t position =
      InRange(component, offset) ? Locate(component, offset, count, cache_valid_) : -1;
  if (position < 0) {
    unreadable_.push_back({0, count});
    return 0;
  }
  if (!cache_valid_) {  // refilled: keep a private copy of the window
    const TMemoryStream& buffer = component.DiskBufferStream();
    cache_.SetSize(buffer.Size());
    if (buffer.Size() > 0) std::memcpy(cache_.Memory(), buffer.Memory(), buffer.Size());
    cache_valid_ = true;
  }
  const int64_t available = std::clamp<int64_t>(cache_.Size() - position, 0, count);
  auto* bytes = static_cast<uint8_t*>(dest);
  if (available > 0) std::memcpy(bytes, cache_.Memory() + position, static_cast<size_t>(available));
  std::memset(bytes + available, 0, static_cast<size_t>(count - available));
  NoteUnreadable(first_sector_ * kSectorBytes + position, count, available);
  // All or nothing: the caller relies on the full count whenever the result is not 0.
  return unreadable_.empty() ? count : 0;
}

int64_t TBuffer::ReadToStream(TRawDiskAccessComponent& component, int64_t offset, uint32_t count,
                              TMemoryStream& dest) {
  unreadable_.clear();
  // Another TBuffer on the same component may have moved the component's buffer since our
  // last refill; then the window is read again.
  int64_t position = InRange(component, offset)
                         ? Locate(component, offset, count, ComponentHoldsWindow(component))
                         : -1;
  if (position < 0) {
    if (count > 0) unreadable_.push_back({0, count});
    return 0;
  }
  TMemoryStream& buffer = component.DiskBufferStream();
  int64_t wanted = count;
  if (count == 0) {  // the whole window, from its first byte
    position = 0;
    wanted = buffer.Size();
  }
  buffer.SetPosition(position);
  const int64_t copied = dest.CopyFrom(buffer, wanted);
  // Bytes past the end of the volume read as zeros, like sectors that failed to read, so
  // the destination always grows by the full count.
  if (copied < wanted) {
    static const uint8_t kZeros[4096] = {};
    for (int64_t left = wanted - copied; left > 0;) {
      const int64_t n = std::min<int64_t>(left, sizeof kZeros);
      dest.Write(kZeros, n);
      left -= n;
    }
  }
  NoteUnreadable(first_sector_ * kSectorBytes + position, wanted, copied);
  return dest.Size();
}

void read_to_stream_or_zeros(TBuffer& window, TRawDiskAccessComponent& component,
                             uint64_t offset, uint32_t count, TMemoryStream& dest, bool* logged) {
  const int64_t before = dest.Size();
  window.ReadToStream(component, static_cast<int64_t>(offset), count, dest);
  if (dest.Size() >= before + count) return;
  if (!*logged)
    Window().LogLine("Could not read " + std::string(1, component.LogicalDrive()) +
                     ": at byte " + std::to_string(offset + (dest.Size() - before)) +
                     "; what could not be read counts as zeros.");
  *logged = true;
  dest.SetSize(before + count);
  dest.SetPosition(dest.Size());
}

}  // namespace pyralis
