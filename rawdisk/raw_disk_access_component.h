// TRawDiskAccessComponent: the program's one window onto a logical drive. Select a drive,
// read geometry and identity, set SectorNumber then SectorCount, call ReadDrive and read
// the bytes from DiskBufferStream. Every operation leaves StatusCode/StatusText; nothing
// throws.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/memory_stream.h"
#include "platform/volume_access.h"
#include "rawdisk/raw_disk_access.h"

namespace pyralis {

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

  void ReadDrive();
  void WriteDrive();  // no part of the product calls this: the scanned volume is never written

 private:
  void set_status(int32_t code);
  // Sizes the buffer (stream and string) to count * unit zero bytes; false when that does
  // not fit in 64 bits or in memory.
  bool size_buffer(int64_t count, int64_t unit);
  // True when the buffer holds the bytes the next transfer moves.
  bool transfer_fits_buffer() const;
  void set_count(int64_t value, bool clusters);
  void transfer(bool write);

  char logical_drive_ = 0;
  uint8_t drive_number_ = 0;
  TDiskGeometry geometry_;
  TMediaIdentifier media_;
  int64_t volume_sectors_ = 0;
  int64_t cluster_number_ = 0, sector_number_ = 0, cluster_count_ = 0, sector_count_ = 0;
  std::unique_ptr<TMemoryStream> buffer_;
  std::string buffer_string_;
  int32_t status_code_ = 0;
  std::string status_text_ = "Ready.";
  // The drive's source stays open while the component lives: one open per scan or
  // recovery call instead of one per transfer.
  platform::SourceHold source_hold_;
};

}  // namespace pyralis
