// SPDX-License-Identifier: GPL-3.0-or-later
#include "sweep/sweep.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "core/engine_window.h"
#include "core/process_state.h"
#include "platform/volume_access.h"
#include "rawdisk/raw_disk_access.h"
#include "rawdisk/raw_disk_access_component.h"

namespace pyralis {

namespace {

constexpr uint64_t kMiB = 1u << 20;
// The progress is shown at most this often (milliseconds).
constexpr int64_t kProgressEveryMs = 200;

int64_t ms_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

}  // namespace

SweepResult Sweep::Run() {
  const uint64_t sector = static_cast<uint64_t>(std::max<int32_t>(component_.SectorSize(), 1));
  return Run(0, static_cast<uint64_t>(component_.VolumeSectors()) * sector);
}

SweepResult Sweep::Run(uint64_t first, uint64_t end) {
  SweepResult result;
  const int64_t sector_bytes = component_.SectorSize();
  if (sector_bytes <= 0 || sector_bytes > int64_t{kBlockBytes} ||
      kBlockBytes % static_cast<uint64_t>(sector_bytes) != 0) {
    for (Recogniser* r : recognisers_) r->OnEnd(false);
    return result;
  }
  const auto unit = static_cast<uint64_t>(sector_bytes);
  const uint64_t volume_end = static_cast<uint64_t>(component_.VolumeSectors()) * unit;
  end = std::min(end, volume_end) / unit * unit;
  first = first / unit * unit;
  const uint64_t total = end > first ? end - first : 0;
  Window().SetGaugeMaxValue(static_cast<int64_t>((total + kMiB - 1) / kMiB));
  Window().SetGaugeProgress(0);
  last_shown_ms_ = -1;
  start_ = std::chrono::steady_clock::now();
  std::vector<uint8_t> block;
  std::vector<RequestRange> unreadable;
  uint64_t offset = first;
  while (offset < end) {
    Window().ProcessMessages();
    if (!ScanActive || platform::source_gone(component_.LogicalDrive())) {
      result.stopped = true;
      break;
    }
    const uint64_t length = std::min<uint64_t>(kBlockBytes, end - offset);
    ReadBlock(static_cast<int64_t>(offset / unit), static_cast<int64_t>(length / unit), block,
              unreadable);
    for (const RequestRange& r : unreadable)
      result.unreadable_bytes += static_cast<uint64_t>(r.length);
    const std::span<const uint8_t> bytes(block.data(), static_cast<size_t>(length));
    for (Recogniser* r : recognisers_) r->OnBlock(offset, bytes, unreadable);
    offset += length;
    result.bytes_read += length;
    ShowProgress(result.bytes_read, total, false);
  }
  ShowProgress(result.bytes_read, total, true);
  for (Recogniser* r : recognisers_) r->OnEnd(!result.stopped);
  return result;
}

void Sweep::ReadBlock(int64_t sector, int64_t count, std::vector<uint8_t>& block,
                      std::vector<RequestRange>& unreadable) {
  const int64_t unit = component_.SectorSize();
  block.resize(static_cast<size_t>(count * unit));
  unreadable.clear();
  // One transfer straight into the block; only a failed one goes the component's way, which
  // retries sector by sector and lists what still fails.
  if (ReadSectors(component_.DriveNumber(), sector, count, block.data())) return;
  component_.SetSectorNumber(sector);
  component_.SetSectorCount(count);
  component_.ReadDrive();
  const TMemoryStream& stream = component_.DiskBufferStream();
  if (stream.Size() >= count * unit) {
    std::memcpy(block.data(), stream.Memory(), static_cast<size_t>(count * unit));
    for (const BadSectorRun& run : component_.BadSectorRuns()) {
      if (component_.FirstReportOf(run)) log_bad_sector_run(component_.LogicalDrive(), run);
      const int64_t from = std::max(run.first, sector) - sector;
      const int64_t to = std::min(run.first + run.count, sector + count) - sector;
      if (to > from) unreadable.push_back({from * unit, (to - from) * unit});
    }
    return;
  }
  // Not even the component could size its buffer: the whole block counts as unreadable.
  std::fill(block.begin(), block.end(), uint8_t{0});
  unreadable.push_back({0, count * unit});
}

void Sweep::ShowProgress(uint64_t done, uint64_t total, bool force) {
  const int64_t ms = ms_since(start_);
  if (!force && last_shown_ms_ >= 0 && ms - last_shown_ms_ < kProgressEveryMs) return;
  last_shown_ms_ = ms;
  const double seconds = static_cast<double>(std::max<int64_t>(ms, 1)) / 1000.0;
  const double rate = static_cast<double>(done) / seconds;
  const double left = rate > 0 ? static_cast<double>(total - std::min(done, total)) / rate : -1.0;
  Window().SetGaugeProgress(static_cast<int64_t>((done + kMiB - 1) / kMiB));
  Window().SetReadProgress(done, total, rate, left);
  Window().SetElapsedText(elapsed_text());
}

}  // namespace pyralis
