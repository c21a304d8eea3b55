// SPDX-License-Identifier: GPL-3.0-or-later
// Drive information and the NT-family sector route over the platform's drive table, the
// dispatchers by OS family, and the UTF-16 to UTF-8 conversion.
#include "rawdisk/raw_disk_access.h"

#include <cstdint>
#include <limits>

#include "platform/drive_table.h"
#include "platform/volume_access.h"

namespace pyralis {
namespace {

constexpr int64_t kMaxSectorsPerTransfer = 65535;

char letter_of(uint8_t drive) {
  return static_cast<char>(drive + 64);
}

char upper(char letter) {
  return static_cast<char>(letter >= 'a' && letter <= 'z' ? letter - 32 : letter);
}

std::string cut_255(std::string text) {
  if (text.size() > 255) text.resize(255);
  return text;
}

// Carries out a transfer of `count` sectors in pieces of at most 65535 sectors, the widest
// count the platform routes take. `piece` moves one piece: (first sector, count, bytes).
template <typename Piece>
bool in_pieces(int64_t first_sector, int64_t count, int64_t sector_size, uint8_t* bytes,
               Piece piece) {
  if (first_sector < 0 || count < 0 || sector_size <= 0) return false;
  if (count > std::numeric_limits<int64_t>::max() - first_sector) return false;
  for (int64_t done = 0; done < count;) {
    const int64_t n = std::min(kMaxSectorsPerTransfer, count - done);
    if (!piece(first_sector + done, n, bytes + done * sector_size)) return false;
    done += n;
  }
  return true;
}

bool nt_transfer(uint8_t drive, int64_t first_sector, int64_t count, void* buffer, bool write) {
  const char letter = letter_of(drive);
  const int64_t sector_size = GetDiskGeometry(letter).SectorSize;
  if (sector_size <= 0) return false;
  if (first_sector > std::numeric_limits<int64_t>::max() / sector_size) return false;
  if (count > std::numeric_limits<int64_t>::max() / sector_size) return false;
  return in_pieces(first_sector, count, sector_size, static_cast<uint8_t*>(buffer),
                   [&](int64_t sector, int64_t n, uint8_t* bytes) {
                     const uint64_t offset = static_cast<uint64_t>(sector * sector_size);
                     const size_t size = static_cast<size_t>(n * sector_size);
                     return write ? platform::write_volume(letter, offset, bytes, size)
                                  : platform::read_volume(letter, offset, bytes, size);
                   });
}

// Cluster numbers to sector numbers (clusters count from the volume's first sector).
bool cluster_transfer(uint8_t drive, int64_t first_cluster, int64_t count, void* buffer,
                      bool write) {
  const TDiskGeometry g = GetDiskGeometry(letter_of(drive));
  if (g.SectorSize == 0 || g.SectorsPerCluster == 0) return false;
  const int64_t spc = g.SectorsPerCluster;
  if (first_cluster < 0 || count < 0 || first_cluster > std::numeric_limits<int64_t>::max() / spc ||
      count > std::numeric_limits<int64_t>::max() / spc) {
    return false;
  }
  return write ? WriteSectors(drive, first_cluster * spc, count * spc, buffer)
               : ReadSectors(drive, first_cluster * spc, count * spc, buffer);
}

void append_utf8(std::string& out, uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

}  // namespace

// Bytes of one transfer sector (see GetDiskGeometry).
constexpr int32_t kIoSectorSize = 512;

TMediaIdentifier GetMediaIdentifier(char letter) {
  TMediaIdentifier media;
  const auto details = platform::volume_details(letter);
  if (!details || details->file_system.empty()) return media;
  media.SerialNumber = details->serial;
  media.VolumeName = cut_255(details->label);
  media.FileSystem = cut_255(details->file_system);
  return media;
}

TDiskGeometry GetDiskGeometry(char letter) {
  TDiskGeometry g;
  const auto details = platform::volume_details(letter);
  if (!details || details->file_system.empty()) return g;
  const uint64_t cluster_bytes = uint64_t{details->bytes_per_sector} * details->sectors_per_cluster;
  // Sectors are the unit of this platform's transfers, not the file system's: image files
  // and Linux block devices are read at any 512-byte boundary, so volumes whose file system
  // counts in 2048- or 4096-byte sectors are addressed in 512-byte sectors like all others
  // (the sector window of the engines counts in those). The cluster size is unchanged.
  g.SectorSize = kIoSectorSize;
  g.SectorsPerCluster = static_cast<int32_t>(cluster_bytes / kIoSectorSize);
  g.TotalClusters = static_cast<int64_t>(details->total_clusters);
  g.FreeClusters = static_cast<int64_t>(details->free_clusters);
  g.TotalDiskSpace = static_cast<int64_t>(details->total_clusters * cluster_bytes);
  g.FreeDiskSpace = static_cast<int64_t>(details->free_clusters * cluster_bytes);
  return ApplyFamilyCorrection(g, GetOSFamily());
}

uint32_t GetDriveTypeCode(char letter) {
  return platform::drive_type(letter);
}

int64_t GetVolumeSectorCount(char letter) {
  const platform::Drive* drive = platform::find_drive(letter);
  const auto details = platform::volume_details(letter);
  if (!drive || !details || details->bytes_per_sector == 0) return 0;
  return static_cast<int64_t>(drive->source.length / kIoSectorSize);
}

int64_t GetBootSectorOffset(char letter) {
  const auto details = platform::volume_details(letter);
  return details ? static_cast<int64_t>(details->boot_offset) : 0;
}

std::string DescribeDriveSource(char letter) {
  const char name = upper(letter);
  const platform::Drive* drive = platform::find_drive(name);
  std::string text = std::string(1, name) + ":";
  if (!drive) return text + " (no image file or device)";
  text += " " + drive->source.path;
  if (drive->source.partition != 0) {
    text += " (partition " + std::to_string(drive->source.partition) + " at byte " +
            std::to_string(drive->source.offset) + ")";
  }
  return text;
}

std::string DescribeDriveProblem(char letter) {
  const char name = upper(letter);
  if (!platform::find_drive(name)) {
    return "Drive " + std::string(1, name) + ": has no image file or device behind it";
  }
  std::string reason = platform::drive_problem(name);
  if (reason.empty()) {
    const auto details = platform::volume_details(name);
    if (details && details->file_system.empty()) reason = details->problem;
  }
  if (reason.empty()) return "";
  return "Drive " + DescribeDriveSource(name) + " cannot be read: " + reason;
}

int LastTransferError() {
  return platform::last_transfer_error();
}

bool ReadSectorsNT(uint8_t drive, int64_t first_sector, int64_t count, void* buffer) {
  return nt_transfer(drive, first_sector, count, buffer, false);
}

bool WriteSectorsNT(uint8_t drive, int64_t first_sector, int64_t count, const void* buffer) {
  return nt_transfer(drive, first_sector, count, const_cast<void*>(buffer), true);
}

bool ReadSectors(uint8_t drive, int64_t first_sector, int64_t count, void* buffer) {
  const std::string family = GetOSFamily();
  if (family == "NT") return ReadSectorsNT(drive, first_sector, count, buffer);
  if (family == "9x") return ReadSectors9x(drive, first_sector, count, buffer);
  return false;
}

bool WriteSectors(uint8_t drive, int64_t first_sector, int64_t count, const void* buffer) {
  const std::string family = GetOSFamily();
  if (family == "NT") return WriteSectorsNT(drive, first_sector, count, buffer);
  if (family == "9x") return WriteSectors9x(drive, first_sector, count, buffer);
  return false;
}

bool ReadClusters(uint8_t drive, int64_t first_cluster, int64_t count, void* buffer) {
  return cluster_transfer(drive, first_cluster, count, buffer, false);
}

bool WriteClusters(uint8_t drive, int64_t first_cluster, int64_t count, const void* buffer) {
  return cluster_transfer(drive, first_cluster, count, const_cast<void*>(buffer), true);
}

std::string WideToAnsi(std::u16string_view text, uint16_t /*code_page*/) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const uint32_t unit = text[i];
    if (unit == 0) break;  // the text ends at its first zero character
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00u));
      ++i;
    } else if ((unit >= 0xD800 && unit <= 0xDFFF) || unit == 0xFFFE || unit == 0xFFFF) {
      out += '?';
    } else {
      append_utf8(out, unit);
    }
  }
  return out;
}

}  // namespace pyralis
