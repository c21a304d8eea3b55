// SPDX-License-Identifier: GPL-3.0-or-later
#include "rawdisk/raw_disk_access_component.h"

#include <cctype>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace pyralis {
namespace {

constexpr int32_t kReady = 0;
constexpr int32_t kNoDrive = 1;
constexpr int32_t kBadDrive = 2;
constexpr int32_t kClusterTooHigh = 10;
constexpr int32_t kSectorTooHigh = 11;
constexpr int32_t kSizeMismatch = 20;
constexpr int32_t kSizeNotSet = 21;
constexpr int32_t kNoCount = 30;
constexpr int32_t kReadFailed = 5000;
constexpr int32_t kWriteFailed = 5001;
constexpr int32_t kReading = 9997;
constexpr int32_t kWriting = 9998;
constexpr int32_t kSuccess = 9999;

const char* status_text_of(int32_t code) {
  switch (code) {
    case kReady:
      return "Ready.";
    case kNoDrive:
      return "Drive not selected first.";
    case kBadDrive:
      return "Bad drive ID or drive not responding.";
    case kClusterTooHigh:
      return "Cluster number too high.";
    case kSectorTooHigh:
      return "Sector number too high.";
    case kSizeMismatch:
      return "Buffer size mismatch.";
    case kSizeNotSet:
      return "Buffer size not set first.";
    case kNoCount:
      return "No cluster or sector count provided.";
    case kReadFailed:
      return "Read failed.";
    case kWriteFailed:
      return "Write failed.";
    case kReading:
      return "Reading...";
    case kWriting:
      return "Writing...";
    case kSuccess:
      return "Success!";
    default:
      return "";
  }
}

// count * unit bytes, or -1 when the product does not fit.
int64_t byte_count(int64_t count, int64_t unit) {
  if (count < 0 || unit < 0) return -1;
  if (unit != 0 && count > std::numeric_limits<int64_t>::max() / unit) return -1;
  return count * unit;
}

}  // namespace

TRawDiskAccessComponent::TRawDiskAccessComponent() : buffer_(std::make_unique<TMemoryStream>()) {
  set_status(kReady);
}

TRawDiskAccessComponent::~TRawDiskAccessComponent() = default;

void TRawDiskAccessComponent::set_status(int32_t code) {
  status_code_ = code;
  status_text_ = status_text_of(code);
}

void TRawDiskAccessComponent::SetLogicalDrive(char letter) {
  const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
  logical_drive_ = upper;
  drive_number_ = static_cast<uint8_t>(upper - 64);
  const uint32_t type = GetDriveTypeCode(upper);
  if (type == 0 || type == 1) {
    logical_drive_ = 0;
    drive_number_ = 0;
    set_status(kBadDrive);
    return;
  }
  geometry_ = GetDiskGeometry(upper);
  media_ = GetMediaIdentifier(upper);
  volume_sectors_ = GetVolumeSectorCount(upper);
  boot_sector_ = geometry_.SectorSize > 0 ? GetBootSectorOffset(upper) / geometry_.SectorSize : 0;
  set_status(kSuccess);
}

int32_t TRawDiskAccessComponent::DriveType() const {
  return static_cast<int32_t>(GetDriveTypeCode(logical_drive_));
}

bool TRawDiskAccessComponent::size_buffer(int64_t count, int64_t unit) {
  const int64_t n = byte_count(count, unit);
  if (n < 0) return false;
  try {
    buffer_string_.assign(static_cast<size_t>(n), '\0');
    // Shrinking to 0 first keeps the memory and makes the regrowth all zero bytes.
    buffer_->SetSize(0);
    buffer_->SetSize(n);
    buffer_->SetPosition(0);
  } catch (const std::exception&) {  // bad_alloc or length_error
    buffer_string_.clear();
    buffer_->Clear();
    return false;
  }
  return true;
}

void TRawDiskAccessComponent::SetClusterNumber(int64_t value) {
  if (logical_drive_ == 0) return set_status(kNoDrive);
  // A negative position is an unsigned number beyond every bound.
  if (value < 0 || value > geometry_.TotalClusters) return set_status(kClusterTooHigh);
  cluster_number_ = value;
  sector_number_ = 0;
  sector_count_ = 0;
  if (cluster_count_ > 0 && !size_buffer(cluster_count_, geometry_.ClusterSize)) {
    return set_status(kSizeMismatch);
  }
  set_status(kSuccess);
}

void TRawDiskAccessComponent::SetSectorNumber(int64_t value) {
  if (logical_drive_ == 0) return set_status(kNoDrive);
  if (value < 0 || value > volume_sectors_) return set_status(kSectorTooHigh);
  sector_number_ = value;
  cluster_number_ = 0;
  cluster_count_ = 0;
  if (sector_count_ > 0 && !size_buffer(sector_count_, geometry_.SectorSize)) {
    return set_status(kSizeMismatch);
  }
  set_status(kSuccess);
}

// Stores a count of the given mode (clearing the other mode) and sizes the buffer to it.
void TRawDiskAccessComponent::set_count(int64_t value, bool clusters) {
  if (logical_drive_ == 0) return set_status(kNoDrive);
  if (value < 0) return set_status(kNoCount);  // negative counts are refused, nothing stored
  const int64_t unit = clusters ? geometry_.ClusterSize : geometry_.SectorSize;
  if (byte_count(value, unit) < 0) return set_status(kSizeMismatch);
  cluster_count_ = clusters ? value : 0;
  sector_count_ = clusters ? 0 : value;
  (clusters ? sector_number_ : cluster_number_) = 0;
  if (value > 0 && !size_buffer(value, unit)) {
    cluster_count_ = sector_count_ = 0;
    return set_status(kSizeMismatch);
  }
  set_status(kSuccess);
}

void TRawDiskAccessComponent::SetClusterCount(int64_t value) {
  set_count(value, true);
}

void TRawDiskAccessComponent::SetSectorCount(int64_t value) {
  set_count(value, false);
}

void TRawDiskAccessComponent::SetDiskBufferString(const std::string& value) {
  if (logical_drive_ == 0) return set_status(kNoDrive);
  if (buffer_->Size() == 0) return set_status(kSizeNotSet);
  if (value.size() != buffer_string_.size()) return set_status(kSizeMismatch);
  buffer_string_ = value;
  buffer_->SetSize(static_cast<int64_t>(value.size()));
  buffer_->SetPosition(0);
  buffer_->Write(value.data(), static_cast<int64_t>(value.size()));
  set_status(kSuccess);
}

void TRawDiskAccessComponent::SetDiskBufferStream(std::unique_ptr<TMemoryStream> stream) {
  if (logical_drive_ == 0) return set_status(kNoDrive);
  if (buffer_->Size() == 0) return set_status(kSizeNotSet);
  if (!stream || stream->Size() != buffer_->Size()) return set_status(kSizeMismatch);
  buffer_ = std::move(stream);
  buffer_->SetPosition(0);
  buffer_string_.assign(reinterpret_cast<const char*>(buffer_->Memory()),
                        static_cast<size_t>(buffer_->Size()));
  set_status(kSuccess);
}

bool TRawDiskAccessComponent::transfer_fits_buffer() const {
  const int64_t needed = cluster_count_ > 0 ? byte_count(cluster_count_, geometry_.ClusterSize)
                                            : byte_count(sector_count_, geometry_.SectorSize);
  return needed >= 0 && needed <= buffer_->Size();
}

// One transfer in the current mode, straight between the volume and the buffer's memory.
void TRawDiskAccessComponent::transfer(bool write) {
  if (cluster_count_ == 0 && sector_count_ == 0) return set_status(kNoCount);
  set_status(write ? kWriting : kReading);
  if (!write) bad_runs_.clear();
  // The buffer was sized for the current count, and a stream swapped in since has the same
  // size; the check keeps a transfer inside the memory whatever happened in between.
  bool ok = transfer_fits_buffer();
  uint8_t* memory = buffer_->Memory();
  platform::ReadState* const state = &read_state();
  if (ok && !write && sector_count_ > 0) {
    const std::vector<BadSectorRun> known =
        state->KnownUnreadable(logical_drive_, sector_number_, sector_count_);
    if (!known.empty()) {
      set_status(read_around(known, memory) ? kSuccess : kReadFailed);
      return;
    }
  }
  if (ok && cluster_count_ > 0) {
    ok = write ? WriteClusters(drive_number_, cluster_number_, cluster_count_, memory)
               : ReadClusters(drive_number_, cluster_number_, cluster_count_, memory);
  } else if (ok) {
    ok = write ? WriteSectors(drive_number_, sector_number_, sector_count_, memory)
               : ReadSectors(drive_number_, sector_number_, sector_count_, memory);
  }
  if (!ok && !write && transfer_fits_buffer() && geometry_.SectorSize > 0) {
    const int64_t spc = cluster_count_ > 0 ? geometry_.SectorsPerCluster : 1;
    const int64_t first = (cluster_count_ > 0 ? cluster_number_ : sector_number_) * spc;
    const int64_t count = (cluster_count_ > 0 ? cluster_count_ : sector_count_) * spc;
    ok = read_sector_by_sector(first, count, memory);
  }
  if (!write)
    for (const BadSectorRun& run : bad_runs_) state->NoteUnreadable(logical_drive_, run);
  set_status(ok ? kSuccess : (write ? kWriteFailed : kReadFailed));
}

void TRawDiskAccessComponent::add_bad_run(const BadSectorRun& run) {
  if (!bad_runs_.empty() && bad_runs_.back().first + bad_runs_.back().count == run.first &&
      bad_runs_.back().error == run.error)
    bad_runs_.back().count += run.count;
  else
    bad_runs_.push_back(run);
}

bool TRawDiskAccessComponent::read_around(const std::vector<BadSectorRun>& known, uint8_t* memory) {
  const int64_t unit = geometry_.SectorSize;
  bool ok = true;
  int64_t at = sector_number_;
  const auto read_gap = [&](int64_t end) {
    if (end <= at) return;
    uint8_t* place = memory + (at - sector_number_) * unit;
    if (!ReadSectors(drive_number_, at, end - at, place) &&
        !read_sector_by_sector(at, end - at, place))
      ok = false;
  };
  for (const BadSectorRun& run : known) {
    read_gap(run.first);
    std::memset(memory + (run.first - sector_number_) * unit, 0,
                static_cast<size_t>(run.count * unit));
    add_bad_run(run);
    ok = false;
    at = run.first + run.count;
  }
  read_gap(sector_number_ + sector_count_);
  for (const BadSectorRun& run : bad_runs_) read_state().NoteUnreadable(logical_drive_, run);
  return ok;
}

std::vector<BadSectorRun> TRawDiskAccessComponent::UnreportedParts(const BadSectorRun& run) {
  return read_state().Unreported(logical_drive_, run);
}

platform::ReadState& TRawDiskAccessComponent::read_state() {
  platform::ReadState* const current = platform::ReadState::Current();
  return current ? *current : read_state_;
}

bool TRawDiskAccessComponent::read_sector_by_sector(int64_t first, int64_t count, uint8_t* memory) {
  const int64_t unit = geometry_.SectorSize;
  std::vector<int> error(static_cast<size_t>(count), -1);  // -1: delivered
  const auto read_one = [&](int64_t i) {
    if (ReadSectors(drive_number_, first + i, 1, memory + i * unit)) return true;
    std::memset(memory + i * unit, 0, static_cast<size_t>(unit));
    error[static_cast<size_t>(i)] = LastTransferError();
    return false;
  };
  // The transfer was the first try of every sector; this is the second and last.
  int64_t low = 0;
  while (low < count && read_one(low)) ++low;
  if (low == count) return true;
  int64_t high = count - 1;
  while (high > low && read_one(high)) --high;
  for (int64_t i = low + 1; i < high; ++i) read_one(i);
  for (int64_t i = low; i <= high; ++i) {
    const int e = error[static_cast<size_t>(i)];
    if (e >= 0) add_bad_run({first + i, 1, e});
  }
  return false;
}

void TRawDiskAccessComponent::ReadDrive() {
  transfer(false);
}

void TRawDiskAccessComponent::WriteDrive() {
  transfer(true);
}

}  // namespace pyralis
