// SPDX-License-Identifier: GPL-3.0-or-later
// TRawDiskAccessComponent: the program's one window onto a logical drive. Select a drive,
// read geometry and identity, set SectorNumber then SectorCount, call ReadDrive and read
// the bytes from DiskBufferStream. Every operation leaves StatusCode/StatusText; nothing
// throws.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/memory_stream.h"
#include "platform/read_state.h"
#include "platform/volume_access.h"
#include "rawdisk/raw_disk_access.h"

namespace pyralis {

// Sectors a read could not deliver: `count` sectors from `first` (volume sectors of
// SectorSize bytes), and the system's error (errno; 0 when the source ended before them).
using BadSectorRun = platform::SectorRun;

class TRawDiskAccessComponent {
 public:
  TRawDiskAccessComponent();
  ~TRawDiskAccessComponent();
  TRawDiskAccessComponent(const TRawDiskAccessComponent&) = delete;
  TRawDiskAccessComponent& operator=(const TRawDiskAccessComponent&) = delete;

  char LogicalDrive() const { return logical_drive_; }  // upper case, 0 when none
  void SetLogicalDrive(char letter);
  uint8_t DriveNumber() const { return drive_number_; }
  int32_t DriveType() const;  // queried afresh on every read

  int32_t ClusterSize() const { return geometry_.ClusterSize; }
  int32_t SectorSize() const { return geometry_.SectorSize; }
  int32_t SectorsPerCluster() const { return geometry_.SectorsPerCluster; }
  int64_t TotalClusters() const { return geometry_.TotalClusters; }
  int64_t FreeClusters() const { return geometry_.FreeClusters; }
  int64_t TotalDiskSpace() const { return geometry_.TotalDiskSpace; }
  int64_t FreeDiskSpace() const { return geometry_.FreeDiskSpace; }
  int64_t SerialNumber() const { return media_.SerialNumber; }  // zero-extended
  const std::string& VolumeName() const { return media_.VolumeName; }
  const std::string& FileSystem() const { return media_.FileSystem; }
  // Sectors of the whole volume (its length / SectorSize), stored at selection. Positions
  // are bounded by this, not by the data area's TotalClusters * SectorsPerCluster.
  int64_t VolumeSectors() const { return volume_sectors_; }
  // The sector (of SectorSize bytes) holding the boot sector the volume is read by: 0, or
  // the backup's when the main boot sector is damaged. Stored at selection.
  int64_t BootSector() const { return boot_sector_; }

  int64_t ClusterNumber() const { return cluster_number_; }
  void SetClusterNumber(int64_t value);
  int64_t SectorNumber() const { return sector_number_; }
  void SetSectorNumber(int64_t value);
  int64_t ClusterCount() const { return cluster_count_; }
  void SetClusterCount(int64_t value);
  int64_t SectorCount() const { return sector_count_; }
  void SetSectorCount(int64_t value);

  TMemoryStream& DiskBufferStream() { return *buffer_; }
  void SetDiskBufferStream(std::unique_ptr<TMemoryStream> stream);
  const std::string& DiskBufferString() const { return buffer_string_; }
  void SetDiskBufferString(const std::string& value);

  int32_t StatusCode() const { return status_code_; }
  const std::string& StatusText() const { return status_text_; }

  // A transfer that fails is read again sector by sector, so that one bad sector costs only
  // itself: forward from its start and backward from its end until a sector fails, then
  // each sector between once. What still fails is zeros in the buffer, listed in
  // BadSectorRuns(), and the status is "Read failed.". Sectors the command's ReadState
  // already knows to be unreadable are not asked for again: they are zeros and listed at
  // once, and the transfer reads around them. So no sector is asked for more than twice
  // per command.
  void ReadDrive();
  void WriteDrive();  // no part of the product calls this: the scanned volume is never written
  // The sectors the last ReadDrive could not deliver, in order; empty after a full read.
  const std::vector<BadSectorRun>& BadSectorRuns() const { return bad_runs_; }
  // The parts of `run` not reported before in this command (so that each bad sector is
  // reported once); they count as reported from now on.
  std::vector<BadSectorRun> UnreportedParts(const BadSectorRun& run);

 private:
  void set_status(int32_t code);
  // Sizes the buffer (stream and string) to count * unit zero bytes; false when that does
  // not fit in 64 bits or in memory.
  bool size_buffer(int64_t count, int64_t unit);
  // True when the buffer holds the bytes the next transfer moves.
  bool transfer_fits_buffer() const;
  void set_count(int64_t value, bool clusters);
  void transfer(bool write);
  // Reads `count` sectors from `first` into `memory` one at a time after a failed transfer
  // (see ReadDrive); true when every sector came through.
  bool read_sector_by_sector(int64_t first, int64_t count, uint8_t* memory);
  // Reads the sectors of the current sector-mode transfer that lie between the `known`
  // unreadable runs, which become zeros; true when nothing failed.
  bool read_around(const std::vector<BadSectorRun>& known, uint8_t* memory);
  void add_bad_run(const BadSectorRun& run);
  // The command's read state, else the component's own.
  platform::ReadState& read_state();

  char logical_drive_ = 0;
  uint8_t drive_number_ = 0;
  TDiskGeometry geometry_;
  TMediaIdentifier media_;
  int64_t volume_sectors_ = 0;
  int64_t boot_sector_ = 0;
  int64_t cluster_number_ = 0, sector_number_ = 0, cluster_count_ = 0, sector_count_ = 0;
  std::unique_ptr<TMemoryStream> buffer_;
  std::string buffer_string_;
  std::vector<BadSectorRun> bad_runs_;
  int32_t status_code_ = 0;
  std::string status_text_ = "Ready.";
  // The drive's source stays open while the component lives: one open per scan or
  // recovery call instead of one per transfer.
  platform::SourceHold source_hold_;
  // The command's read state; this one only when the component is used outside a command.
  platform::ReadState read_state_;
};

}  // namespace pyralis
