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
  blocks_.clear();
  end_ = 0;
  for (Recogniser* r : recognisers_) r->OnStart(*this);
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
  unit_ = unit;
  next_read_ = first;
  end_ = end;
  while (next_read_ < end_ || !blocks_.empty()) {
    Window().ProcessMessages();
    if (!ScanActive || platform::source_gone(component_.LogicalDrive())) {
      result.stopped = true;
      break;
    }
    if (blocks_.empty()) ReadNext();
    const Block& block = blocks_.front();
    for (const RequestRange& r : block.unreadable)
      result.unreadable_bytes += static_cast<uint64_t>(r.length);
    for (Recogniser* r : recognisers_) r->OnBlock(block.offset, block.bytes, block.unreadable);
    result.bytes_read += block.bytes.size();
    spare_.push_back(std::move(blocks_.front().bytes));
    blocks_.pop_front();
    ShowProgress(result.bytes_read, total, false);
  }
  blocks_.clear();
  end_ = 0;
  ShowProgress(result.bytes_read, total, true);
  for (Recogniser* r : recognisers_) r->OnEnd(!result.stopped);
  spare_.clear();
  return result;
}

void Sweep::ReadNext() {
  Block block;
  block.offset = next_read_;
  if (!spare_.empty()) {
    block.bytes = std::move(spare_.back());
    spare_.pop_back();
  }
  const uint64_t length = std::min<uint64_t>(kBlockBytes, end_ - next_read_);
  ReadBlock(static_cast<int64_t>(next_read_ / unit_), static_cast<int64_t>(length / unit_),
            block.bytes, block.unreadable);
  next_read_ += length;
  blocks_.push_back(std::move(block));
}

std::span<const uint8_t> Sweep::Ahead(uint64_t offset, size_t count) {
  if (blocks_.empty() || offset < blocks_.front().offset || offset >= end_ ||
      offset - blocks_.front().offset >= kAheadBytes)
    return {};
  while (next_read_ <= offset) ReadNext();
  // Blocks lie kBlockBytes apart from the pass's first byte; only the last one is shorter.
  const Block& block =
      blocks_[static_cast<size_t>((offset - blocks_.front().offset) / kBlockBytes)];
  const auto at = static_cast<int64_t>(offset - block.offset);
  auto stop = static_cast<int64_t>(block.bytes.size());
  for (const RequestRange& r : block.unreadable) {
    if (r.offset + r.length <= at) continue;
    if (r.offset <= at) return {};
    stop = std::min(stop, r.offset);
  }
  return std::span<const uint8_t>(block.bytes)
      .subspan(static_cast<size_t>(at), std::min<size_t>(count, static_cast<size_t>(stop - at)));
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
      for (const BadSectorRun& part : component_.UnreportedParts(run))
        log_bad_sector_run(component_.LogicalDrive(), part);
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
