// SPDX-License-Identifier: GPL-3.0-or-later
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
// Byte offset in the volume of the boot sector it is read by: 0, or that of the backup used
// when the main boot sector is damaged.
int64_t GetBootSectorOffset(char letter);
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

// The system's error number of this thread's last failed transfer (EIO for a bad sector);
// 0 when the source ended before the sectors asked for, or the route gives no number.
int LastTransferError();

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

// ---- The inputs behind GetOSFamily, GetWinVersion and GetDiskGeometry, as pure functions,
// and the hooks through which tests stand in for the platform. ----

// The basic and extended version records (GetVersionExA). This platform reports platform id
// 2, the kernel release's first two numbers as major and minor, its third as the build, the
// text "Linux <release>" as the service-pack text, and no extended record.
struct OSVersionRecord {
  uint32_t PlatformId = 0;  // 0 Win32s, 1 consumer family, 2 NT family
  uint32_t MajorVersion = 0;
  uint32_t MinorVersion = 0;
  uint32_t BuildNumber = 0;
  std::string CSDVersion;  // service-pack text
  bool ExtendedQueryOk = false;
  uint8_t ProductType = 0;  // 1 workstation, 2 domain controller, 3 server
  uint16_t SuiteMask = 0;
};
// The running system's record, or the one injected for tests.
OSVersionRecord QueryOSVersionRecord();
// "Win32S", "9x", "NT" for platform ids 0, 1, 2; empty otherwise.
std::string OSFamilyFromPlatformId(uint32_t platform_id);
// The naming table of the version record.
TWinVersion WinVersionFromRecord(const OSVersionRecord& record);
// Sectors per cluster / 4, halves rounded to the even neighbour (2 -> 0, 6 -> 2, 10 -> 2).
int32_t QuarterRoundedToEven(int32_t sectors_per_cluster);
// The consumer family's correction: on "9x" with TotalDiskSpace above 2147483647 the
// sectors per cluster become a quarter; ClusterSize is recomputed in every case.
TDiskGeometry ApplyFamilyCorrection(TDiskGeometry geometry, std::string_view family);

// Replaces the version record for tests (none: the running system's).
void SetOSVersionForTesting(const OSVersionRecord* record);
// The VWIN32 device's control call, for tests. Without one the device never opens.
using DeviceIoControlFn = std::function<bool(uint32_t code, DIOC_REGISTERS& registers)>;
void SetVWIN32DeviceForTesting(DeviceIoControlFn device);

// The DISKIO packet (10 bytes, packed, little-endian: 0 first sector u32, 4 sector count
// u16, 6 buffer address u32). A 64-bit buffer address does not fit its 32-bit field, so on
// this platform the field (and EBX, the packet's "address") holds a token naming the packet
// in a registry kept for the length of the call; a device resolves the token to the packet
// bytes and the caller's buffer.
struct DiskIoPacketView {
  uint8_t bytes[10] = {};  // the packet as laid out
  void* buffer = nullptr;  // the caller's memory
  size_t buffer_size = 0;  // count * sector size when the sector size is known, else 0
};
// The packet behind `token` while its call runs; false for an unknown token.
bool ResolveDiskIoPacket(uint32_t token, DiskIoPacketView& view);

}  // namespace pyralis
