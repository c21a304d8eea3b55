// SPDX-License-Identifier: GPL-3.0-or-later
// Mounting an NTFS volume: the boot sector's geometry (checked before use), MFT record 0
// with its $DATA runlist and $BITMAP, and record 6 ($Bitmap). Also the engine's four read
// windows.
#include <array>
#include <bit>
#include <cstring>

#include "core/cluster_buffer.h"
#include "core/engine_window.h"
#include "ntfs/ntfs_internal.h"
#include "rawdisk/raw_disk_access_component.h"

namespace pyralis::ntfs {

namespace {

// Boot sector fields.
constexpr size_t kBytesPerSector = 0x0B;     // 16-bit
constexpr size_t kSectorsPerCluster = 0x0D;  // 8-bit; 0xF4..0xFF mean 2^(256 - v)
constexpr size_t kTotalSectors = 0x28;       // 64-bit
constexpr size_t kMftLcn = 0x30;             // 64-bit
constexpr size_t kMftMirrorLcn = 0x38;       // 64-bit
constexpr size_t kClustersPerRecord = 0x40;  // signed 8-bit; negative: 2^-v bytes
constexpr size_t kBootSectorSize = 512;

// Window sizes in sectors. RecordBuffer holds 64 KiB rather than 10: the scan reads the MFT
// record after record, and each refill is one transfer from the volume.
constexpr std::array<uint32_t, 4> kBufferSectors = {128, 2, 4, 4};
// One set per thread, like the boot sector they are made from.
thread_local std::array<std::unique_ptr<TBuffer>, 4> g_buffers;

void log(const std::string& line) {
  Window().LogLine(line);
}

// Reads the record at cluster `lcn` into `record` (fix-ups applied); false when it cannot
// be read whole or is not sound.
bool read_record_at(NtfsVolume& volume, int64_t lcn, std::vector<uint8_t>& record) {
  TBuffer* buffer = engine_buffer(kRecordBuffer);
  if (buffer == nullptr || lcn < 0 || lcn >= volume.total_clusters) return false;
  return buffer->ReadBytes(*volume.component, lcn << volume.cluster_size_bits,
                           volume.mft_record_size, record.data()) == volume.mft_record_size &&
         apply_fixups(record) && record_is_sound(record);
}

// 1 on success, -1 on failure (the caller logs the two summary lines). $MFT's own record
// comes from its copy in $MFTMirr when the MFT's first record cannot be read.
int load_mft(NtfsVolume& volume) {
  auto inode = std::make_unique<NtfsInode>();
  inode->volume = &volume;
  inode->record.assign(volume.mft_record_size, 0);
  if (!read_record_at(volume, volume.mft_lcn, inode->record)) {
    inode->record.assign(volume.mft_record_size, 0);
    if (volume.mft_mirror_lcn == volume.mft_lcn ||
        !read_record_at(volume, volume.mft_mirror_lcn, inode->record))
      return -1;
    const int64_t sector = (volume.mft_mirror_lcn << volume.cluster_size_bits) / volume.sector_size;
    log(std::string(1, volume.component->LogicalDrive()) +
        ": the first record of $MFT cannot be read; its copy in $MFTMirr at sector " +
        std::to_string(sector) + " is used.");
  }
  volume.mft_inode = std::move(inode);
  volume.mft_data = open_attribute(volume.mft_inode.get(), kData);

  SearchContext context = new_search_context(*volume.mft_inode);
  const auto data = next_attribute(kData, context);
  if (!data || volume.mft_data == nullptr) return -1;
  if (!attribute_non_resident(*data)) {
    log("MFT must be non-resident");
    return -1;
  }
  if (attribute_flags(*data) & (kAttrCompressionMask | kAttrEncrypted)) {
    log("MFT must be uncompressed and unencrypted");
    return -1;
  }
  auto runlist = decode_runlist(*data);
  if (!runlist) {
    log("Can't find mft mapping pairs");
    return -1;
  }
  volume.mft_data->runlist = std::move(runlist);
  volume.mft_bitmap = open_attribute(volume.mft_inode.get(), kBitmap);
  if (volume.mft_bitmap == nullptr) {
    log("Can't open MFT Bitmap");
    return -1;
  }
  return 1;
}

std::unique_ptr<NtfsVolume> startup_volume(TRawDiskAccessComponent& component) {
  auto volume = std::make_unique<NtfsVolume>();
  volume->component = &component;

  uint8_t sector[kBootSectorSize] = {};
  // Sector 0, or the backup in the volume's last sector when the volume is read by it.
  component.SetSectorNumber(component.BootSector());
  component.SetSectorCount(1);
  component.ReadDrive();
  component.DiskBufferStream().SetPosition(0);
  const int64_t got = component.DiskBufferStream().Read(sector, kBootSectorSize);
  std::string problem;
  const auto geometry = got == static_cast<int64_t>(kBootSectorSize)
                            ? parse_boot_sector(sector, &problem)
                            : std::nullopt;
  if (!geometry) {
    log(problem.empty() ? "The boot sector could not be read" : problem);
    return nullptr;
  }
  volume->sector_size = geometry->sector_size;
  volume->cluster_size = geometry->cluster_size;
  volume->cluster_size_bits = lowest_bit(geometry->cluster_size);
  volume->mft_record_size = geometry->mft_record_size;
  volume->mft_record_size_bits = lowest_bit(geometry->mft_record_size);
  volume->mft_lcn = geometry->mft_lcn;
  volume->mft_mirror_lcn = geometry->mft_mirror_lcn;
  volume->total_clusters =
      geometry->total_sectors / (geometry->cluster_size / geometry->sector_size);

  if (load_mft(*volume) != 1) {
    log("Failed to load $MFT");
    log("Failed to startup volume");
    return nullptr;
  }
  volume->volume_bitmap_inode = open_inode(volume.get(), kVolumeBitmapRecord);
  if (volume->volume_bitmap_inode == nullptr) return nullptr;
  return volume;
}

}  // namespace

TBuffer* engine_buffer(int selector) {
  if (selector < 0 || selector >= static_cast<int>(g_buffers.size())) return nullptr;
  return g_buffers[static_cast<size_t>(selector)].get();
}

ScopedReadBuffers::ScopedReadBuffers(std::initializer_list<BufferSelector> selectors) {
  for (BufferSelector selector : selectors) {
    g_buffers[selector] = std::make_unique<TBuffer>(kBufferSectors[selector]);
    created_.push_back(selector);
  }
}

ScopedReadBuffers::ScopedReadBuffers()
    : ScopedReadBuffers({kMftBitmapBuffer, kRecordBuffer, kPathBuffer, kVolumeBitmapBuffer}) {}

ScopedReadBuffers::~ScopedReadBuffers() {
  for (auto it = created_.rbegin(); it != created_.rend(); ++it) g_buffers[*it].reset();
}

uint8_t lowest_bit(uint64_t value) {
  return value == 0 ? 0 : static_cast<uint8_t>(std::countr_zero(value));
}

std::optional<BootGeometry> parse_boot_sector(Bytes sector, std::string* problem) {
  auto refuse = [&](const std::string& text) -> std::optional<BootGeometry> {
    if (problem) *problem = "Boot sector: " + text;
    return std::nullopt;
  };
  if (sector.size() < kBootSectorSize) return refuse("shorter than 512 bytes");
  BootGeometry g;
  const uint16_t bytes_per_sector = le16(sector, kBytesPerSector);
  if (!std::has_single_bit(bytes_per_sector) || bytes_per_sector < 512 || bytes_per_sector > 4096) {
    return refuse("bytes per sector " + std::to_string(bytes_per_sector) + " not supported");
  }
  g.sector_size = bytes_per_sector;
  const uint8_t raw = le8(sector, kSectorsPerCluster);
  uint32_t sectors_per_cluster = raw;
  if (raw >= 0xF4) {
    sectors_per_cluster = 1u << (256 - raw);
  } else if (!std::has_single_bit(sectors_per_cluster) || sectors_per_cluster > 0x80) {
    return refuse("sectors per cluster value " + std::to_string(raw) + " not supported");
  }
  g.cluster_size = sectors_per_cluster * bytes_per_sector;
  const int8_t per_record = static_cast<int8_t>(le8(sector, kClustersPerRecord));
  uint64_t record_size = 0;
  if (per_record < 0) {
    if (-per_record < 8 || -per_record > 16) {
      return refuse("MFT record size 2^" + std::to_string(-per_record) + " not supported");
    }
    record_size = uint64_t{1} << -per_record;
  } else {
    record_size = uint64_t(per_record) * g.cluster_size;
  }
  if (record_size < 256 || record_size > 65536 || !std::has_single_bit(record_size)) {
    return refuse("MFT record size " + std::to_string(record_size) + " not supported");
  }
  g.mft_record_size = static_cast<uint32_t>(record_size);
  g.total_sectors = le64s(sector, kTotalSectors);
  const int64_t total_clusters = g.total_sectors / sectors_per_cluster;
  if (g.total_sectors <= 0 || total_clusters <= 0 ||
      g.total_sectors > INT64_MAX / bytes_per_sector) {
    return refuse("sector count " + std::to_string(g.total_sectors) + " not supported");
  }
  g.mft_lcn = le64s(sector, kMftLcn);
  if (g.mft_lcn < 0 || g.mft_lcn >= total_clusters) {
    return refuse("MFT cluster " + std::to_string(g.mft_lcn) + " outside the volume of " +
                  std::to_string(total_clusters) + " clusters");
  }
  g.mft_mirror_lcn = le64s(sector, kMftMirrorLcn);
  // A mirror outside the volume is never read: the MFT itself stands in for it.
  if (g.mft_mirror_lcn < 0 || g.mft_mirror_lcn >= total_clusters) g.mft_mirror_lcn = g.mft_lcn;
  return g;
}

std::unique_ptr<NtfsVolume> mount_volume(TRawDiskAccessComponent* component, bool abort_if_dirty) {
  if (component == nullptr) return nullptr;
  auto volume = startup_volume(*component);
  if (volume == nullptr) {
    log("Couldnot mount device");
    return nullptr;
  }
  if (volume->flags & 1) {
    log("Volume is dirty. Please run checkdisk");
    if (abort_if_dirty) {
      log("Run chkdsk and try again");
      umount_volume(volume);
      return nullptr;
    }
  }
  return volume;
}

void umount_volume(std::unique_ptr<NtfsVolume>& volume) {
  if (volume == nullptr) return;
  volume->volume_bitmap_inode.reset();
  volume->mft_bitmap.reset();
  volume->mft_data.reset();
  volume->mft_inode.reset();
  volume.reset();
}

}  // namespace pyralis::ntfs
