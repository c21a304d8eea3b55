// SPDX-License-Identifier: GPL-3.0-or-later
// The consumer family's sector route: DOS disk services performed by the VWIN32 device
// (INT 21h 7305h extended absolute disk I/O, INT 25h/26h absolute disk read/write, and the
// INT 21h 440Dh volume lock). On this platform the device never opens unless a test hands
// one in; the register and packet logic is the same either way.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/byte_loads.h"
#include "rawdisk/raw_disk_access.h"

namespace pyralis {
namespace {

constexpr uint32_t kDosIoctl = 1;      // VWIN32_DIOC_DOS_IOCTL
constexpr uint32_t kDosInt25 = 2;      // VWIN32_DIOC_DOS_INT25
constexpr uint32_t kDosInt26 = 3;      // VWIN32_DIOC_DOS_INT26
constexpr uint32_t kDosDriveInfo = 6;  // VWIN32_DIOC_DOS_DRIVEINFO
constexpr uint32_t kCarry = 1;

std::mutex device_mutex;
DeviceIoControlFn device;  // the injected device's control call
bool device_open = false;  // the process-wide handle: opened on first use, kept open

struct RegisteredPacket {
  const uint8_t* bytes;
  void* buffer;
  size_t buffer_size;
};
std::map<uint32_t, RegisteredPacket> packets;
uint32_t next_token = 0;

// One DISKIO packet, registered under a 32-bit token for the length of its calls.
class DiskIoPacket {
 public:
  DiskIoPacket(uint32_t first_sector, uint16_t count, void* buffer, size_t buffer_size) {
    const std::lock_guard lock(device_mutex);
    do {
      token_ = ++next_token;
    } while (token_ == 0 || packets.count(token_) != 0);
    const std::span<uint8_t> b(bytes_);
    platform::store_le(b, 0, first_sector, 4);  // 0 first sector
    platform::store_le(b, 4, count, 2);         // 4 number of sectors
    platform::store_le(b, 6, token_, 4);        // 6 buffer "address": the token
    packets[token_] = {bytes_, buffer, buffer_size};
  }
  ~DiskIoPacket() {
    const std::lock_guard lock(device_mutex);
    packets.erase(token_);
  }
  DiskIoPacket(const DiskIoPacket&) = delete;
  DiskIoPacket& operator=(const DiskIoPacket&) = delete;
  uint32_t address() const { return token_; }

 private:
  uint8_t bytes_[10] = {};
  uint32_t token_ = 0;
};

bool large_disk_call_available() {
  TWinVersion version;
  GetWinVersion(version);
  const std::string& name = version.VersionName;
  auto has = [&](std::string_view part) {
    return std::search(name.begin(), name.end(), part.begin(), part.end(), [](char a, char b) {
             return std::toupper(static_cast<unsigned char>(a)) ==
                    std::toupper(static_cast<unsigned char>(b));
           }) != name.end();
  };
  return has("95 OSR2") || has("98") || has("ME");
}

bool call_clear(uint32_t code, DIOC_REGISTERS& registers) {
  return VWIN32Control(code, registers) && (registers.Flags & kCarry) == 0;
}

// One packet's transfer: the extended call where the system has it, else INT 25h/26h.
bool disk_io(uint8_t drive, int64_t first_sector, int64_t count, void* buffer, bool write) {
  if (first_sector < 0 || first_sector > 0xFFFFFFFF || count < 0) return false;
  const int64_t sector_size = GetDiskGeometry(static_cast<char>(drive + 64)).SectorSize;
  const bool extended = large_disk_call_available();
  for (int64_t done = 0; done < count;) {
    const int64_t n = std::min<int64_t>(65535, count - done);
    if (first_sector + done > 0xFFFFFFFF) return false;
    uint8_t* bytes = static_cast<uint8_t*>(buffer) + done * sector_size;
    const DiskIoPacket packet(static_cast<uint32_t>(first_sector + done), static_cast<uint16_t>(n),
                              bytes, static_cast<size_t>(n * sector_size));
    bool ok = false;
    if (extended) {
      DIOC_REGISTERS r;
      r.EAX = 0x7305;
      r.EBX = packet.address();
      r.ECX = 0xFFFFFFFF;
      r.EDX = drive;
      r.ESI = write ? 1 : 0;
      ok = call_clear(kDosDriveInfo, r);
    }
    if (!ok) {
      DIOC_REGISTERS r;
      r.EAX = static_cast<uint32_t>(drive) - 1;
      r.EBX = packet.address();
      r.ECX = 0xFFFFFFFF;
      ok = call_clear(write ? kDosInt26 : kDosInt25, r);
    }
    if (!ok) return false;
    done += n;
  }
  return true;
}

// The 440Dh request: minor code `extended_minor` where the system has it, else `minor`.
bool generic_ioctl(uint32_t ebx, uint32_t edx, uint32_t extended_minor, uint32_t minor) {
  if (large_disk_call_available()) {
    DIOC_REGISTERS r;
    r.EAX = 0x440D;
    r.EBX = ebx;
    r.ECX = extended_minor;
    r.EDX = edx;
    if (call_clear(kDosIoctl, r)) return true;
  }
  DIOC_REGISTERS r;
  r.EAX = 0x440D;
  r.EBX = ebx;
  r.ECX = minor;
  r.EDX = edx;
  return call_clear(kDosIoctl, r);
}

}  // namespace

void SetVWIN32DeviceForTesting(DeviceIoControlFn fn) {
  const std::lock_guard lock(device_mutex);
  device = std::move(fn);
  device_open = false;
}

bool ResolveDiskIoPacket(uint32_t token, DiskIoPacketView& view) {
  const std::lock_guard lock(device_mutex);
  const auto it = packets.find(token);
  if (it == packets.end()) return false;
  std::memcpy(view.bytes, it->second.bytes, sizeof view.bytes);
  view.buffer = it->second.buffer;
  view.buffer_size = it->second.buffer_size;
  return true;
}

bool VWIN32Control(uint32_t control_code, DIOC_REGISTERS& registers) {
  const bool consumer_family = GetOSFamily() == "9x";
  DeviceIoControlFn call;
  {
    const std::lock_guard lock(device_mutex);
    if (control_code == 0) {
      device_open = false;
      return true;
    }
    if (!device_open) {
      // Only the consumer family has the device; here it exists only when a test gives one.
      if (!consumer_family || !device) return false;
      device_open = true;
    }
    call = device;
  }
  return call && call(control_code, registers);
}

bool ReadSectors9x(uint8_t drive, int64_t first_sector, int64_t count, void* buffer) {
  return disk_io(drive, first_sector, count, buffer, false);
}

bool WriteSectors9x(uint8_t drive, int64_t first_sector, int64_t count, const void* buffer) {
  if (!LockLogicalVolume(drive, 1, 1)) return false;
  const bool ok = disk_io(drive, first_sector, count, const_cast<void*>(buffer), true);
  UnlockLogicalVolume(drive);
  return ok;
}

bool LockLogicalVolume(uint8_t drive, uint8_t lock_level, uint8_t permissions) {
  const uint32_t edx = lock_level > 1 ? 0u : (permissions & 7u);
  return generic_ioctl(uint32_t{lock_level} * 256 + drive, edx, 0x484A, 0x084A);
}

bool UnlockLogicalVolume(uint8_t drive) {
  return generic_ioctl(drive, 0, 0x486A, 0x086A);
}

}  // namespace pyralis
