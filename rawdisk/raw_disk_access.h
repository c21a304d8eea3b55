// Drive information, OS detection and sector I/O by drive number, over the platform layer.
// Drive numbers are 1-based (A is 1, C is 3). Every transfer reports only true/false.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace pyralis {

struct TDiskGeometry {
  int32_t ClusterSize = 0;        // SectorsPerCluster * SectorSize
  int32_t SectorSize = 0;         // bytes per sector
  int32_t SectorsPerCluster = 0;
  int64_t TotalClusters = 0;
  int64_t FreeClusters = 0;
  int64_t TotalDiskSpace = 0;     // bytes
  int64_t FreeDiskSpace = 0;      // bytes
};

struct TMediaIdentifier {
  uint32_t SerialNumber = 0;
  std::string VolumeName;  // label
  std::string FileSystem;  // "FAT" (FAT12/16), "FAT32", "NTFS", ... as Windows names them
};

struct TWinVersion {
  std::string VersionName;
  std::string Family;  // "9x", "NT", or empty
  std::string ServicePack;
  uint32_t MajorVersion = 0;
  uint32_t MinorVersion = 0;
  uint32_t BuildNumber = 0;
};

// "NT" on this platform (its route is the volume device file); "9x", "Win32S" or empty
// come only from an injected version record.
std::string GetOSFamily();
void GetWinVersion(TWinVersion& version);
TMediaIdentifier GetMediaIdentifier(char letter);
TDiskGeometry GetDiskGeometry(char letter);
// Drive-type code of letter + ":\": 0 unknown, 1 no root, 2 removable, 3 fixed, 4 remote,
// 5 CD-ROM, 6 RAM disk.
uint32_t GetDriveTypeCode(char letter);
// Sectors of the volume behind `letter` (its length / sector size); 0 when unknown.
int64_t GetVolumeSectorCount(char letter);
// One line describing why the drive behind `letter` cannot be used (missing image,
// permission, ...), naming the source; empty when nothing is known to be wrong.
std::string DescribeDriveProblem(char letter);
// "C: /path/to/image.img" style text naming the drive's source.
std::string DescribeDriveSource(char letter);

// Dispatchers by OS family. Sector numbers and counts are 64-bit; a count above 65535 is
// carried out in several platform transfers. The buffer holds count * sector size bytes.
bool ReadSectors(uint8_t drive, int64_t first_sector, int64_t count, void* buffer);
bool ReadClusters(uint8_t drive, int64_t first_cluster, int64_t count, void* buffer);
bool WriteSectors(uint8_t drive, int64_t first_sector, int64_t count, const void* buffer);
bool WriteClusters(uint8_t drive, int64_t first_cluster, int64_t count, const void* buffer);

// NT-family route: the volume's device file (here: the drive table's source).
bool ReadSectorsNT(uint8_t drive, int64_t first_sector, int64_t count, void* buffer);
bool WriteSectorsNT(uint8_t drive, int64_t first_sector, int64_t count, const void* buffer);

// Consumer-family route (VWIN32 device control). Kept as logic; on this platform the
// device never opens unless a test injects one.
struct DIOC_REGISTERS {
  uint32_t EBX = 0, EDX = 0, ECX = 0, EAX = 0, EDI = 0, ESI = 0, Flags = 0;
};
static_assert(sizeof(DIOC_REGISTERS) == 28);
bool ReadSectors9x(uint8_t drive, int64_t first_sector, int64_t count, void* buffer);
bool WriteSectors9x(uint8_t drive, int64_t first_sector, int64_t count, const void* buffer);
bool VWIN32Control(uint32_t control_code, DIOC_REGISTERS& registers);
bool LockLogicalVolume(uint8_t drive, uint8_t lock_level, uint8_t permissions);
bool UnlockLogicalVolume(uint8_t drive);

// UTF-16 to this platform's narrow encoding (UTF-8). Unpaired surrogates and the
// noncharacters U+FFFE/U+FFFF become "?". `code_page` is accepted and ignored.
std::string WideToAnsi(std::u16string_view text, uint16_t code_page = 0);

}  // namespace pyralis
