// SPDX-License-Identifier: GPL-3.0-or-later
// The consumer family's register and packet logic, driven through a fake VWIN32 device.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/drive_table.h"
#include "rawdisk/raw_disk_access.h"
#include "tests/platform/test_images.h"

namespace pyralis {
namespace {

struct Call {
  uint32_t code;
  DIOC_REGISTERS in;
  uint32_t packet_sector = 0;
  uint16_t packet_count = 0;
  uint32_t packet_address = 0;
  bool packet_found = false;
};

class ConsumerRoute : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::reset_drive_table();
    image_ = test::make_fat_image(dir_, "v.img", 16, 40960);
    if (image_.empty()) GTEST_SKIP() << "mkfs.fat missing";
    platform::attach_sources({image_});  // drive C, 512-byte sectors
    use_version(10, "");                 // Windows 98
    SetVWIN32DeviceForTesting([this](uint32_t code, DIOC_REGISTERS& r) { return device(code, r); });
  }
  void TearDown() override {
    SetVWIN32DeviceForTesting({});
    SetOSVersionForTesting(nullptr);
    platform::reset_drive_table();
  }

  void use_version(uint32_t minor, const char* csd, uint32_t platform = 1) {
    OSVersionRecord r;
    r.PlatformId = platform;
    r.MajorVersion = 4;
    r.MinorVersion = minor;
    r.CSDVersion = csd;
    SetOSVersionForTesting(&r);
  }

  // Answers every call per `carry_for` and fills a read buffer with the sector number.
  bool device(uint32_t code, DIOC_REGISTERS& r) {
    Call call{code, r};
    DiskIoPacketView view;
    if ((code == 2 || code == 3 || code == 6) && ResolveDiskIoPacket(r.EBX, view)) {
      call.packet_found = true;
      call.packet_sector =
          view.bytes[0] | view.bytes[1] << 8 | view.bytes[2] << 16 | uint32_t{view.bytes[3]} << 24;
      call.packet_count = static_cast<uint16_t>(view.bytes[4] | view.bytes[5] << 8);
      call.packet_address =
          view.bytes[6] | view.bytes[7] << 8 | view.bytes[8] << 16 | uint32_t{view.bytes[9]} << 24;
      if ((code == 2 || (code == 6 && r.ESI == 0)) && view.buffer) {
        std::memset(view.buffer, static_cast<int>(call.packet_sector & 0xFF), view.buffer_size);
      }
    }
    calls.push_back(call);
    r.Flags = carry_for(code, r) ? 1 : 0;
    return device_answers;
  }

  std::function<bool(uint32_t, const DIOC_REGISTERS&)> carry_for =
      [](uint32_t, const DIOC_REGISTERS&) { return false; };
  bool device_answers = true;
  std::vector<Call> calls;
  test::TempDir dir_;
  std::string image_;
};

TEST_F(ConsumerRoute, Windows98TriesTheExtendedCallFirst) {
  std::vector<uint8_t> buffer(1024, 0xEE);
  ASSERT_TRUE(ReadSectors9x(3, 7, 2, buffer.data()));
  ASSERT_EQ(calls.size(), 1u);
  const Call& c = calls[0];
  EXPECT_EQ(c.code, 6u);
  EXPECT_EQ(c.in.EAX, 0x7305u);
  EXPECT_EQ(c.in.ECX, 0xFFFFFFFFu);
  EXPECT_EQ(c.in.EDX, 3u);
  EXPECT_EQ(c.in.ESI, 0u);
  EXPECT_EQ(c.in.Flags, 0u);
  ASSERT_TRUE(c.packet_found);
  EXPECT_EQ(c.packet_sector, 7u);
  EXPECT_EQ(c.packet_count, 2);
  EXPECT_EQ(c.packet_address, c.in.EBX);
  EXPECT_EQ(buffer, std::vector<uint8_t>(1024, 7));
  // The packet lives only for the call.
  DiskIoPacketView view;
  EXPECT_FALSE(ResolveDiskIoPacket(c.in.EBX, view));
}

TEST_F(ConsumerRoute, CarryOnTheExtendedCallFallsBackToInt25) {
  carry_for = [](uint32_t code, const DIOC_REGISTERS&) { return code == 6; };
  std::vector<uint8_t> buffer(512);
  EXPECT_TRUE(ReadSectors9x(3, 1, 1, buffer.data()));
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].code, 2u);
  EXPECT_EQ(calls[1].in.EAX, 2u);  // drive C, 0-based
  EXPECT_EQ(calls[1].in.ECX, 0xFFFFFFFFu);
  EXPECT_EQ(calls[1].in.EBX, calls[0].in.EBX);  // the same packet
  carry_for = [](uint32_t, const DIOC_REGISTERS&) { return true; };
  EXPECT_FALSE(ReadSectors9x(3, 1, 1, buffer.data()));
}

TEST_F(ConsumerRoute, Windows95OriginalUsesOnlyInt25) {
  use_version(0, "");
  std::vector<uint8_t> buffer(512);
  EXPECT_TRUE(ReadSectors(3, 0, 1, buffer.data()));  // the dispatcher takes the 9x route
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].code, 2u);
  EXPECT_EQ(calls[0].in.EAX, 2u);
}

TEST_F(ConsumerRoute, WriteTakesTheLockAroundTheTransfer) {
  std::vector<uint8_t> buffer(512);
  EXPECT_TRUE(WriteSectors9x(3, 5, 1, buffer.data()));
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].code, 1u);  // lock: level 1, permissions 1
  EXPECT_EQ(calls[0].in.EAX, 0x440Du);
  EXPECT_EQ(calls[0].in.EBX, 0x103u);
  EXPECT_EQ(calls[0].in.ECX, 0x484Au);
  EXPECT_EQ(calls[0].in.EDX, 1u);
  EXPECT_EQ(calls[1].code, 6u);
  EXPECT_EQ(calls[1].in.ESI, 1u);
  EXPECT_EQ(calls[2].code, 1u);  // unlock
  EXPECT_EQ(calls[2].in.EBX, 3u);
  EXPECT_EQ(calls[2].in.ECX, 0x486Au);
}

TEST_F(ConsumerRoute, FailedLockPreventsTheWrite) {
  carry_for = [](uint32_t code, const DIOC_REGISTERS&) { return code == 1; };
  std::vector<uint8_t> buffer(512);
  EXPECT_FALSE(WriteSectors9x(3, 5, 1, buffer.data()));
  ASSERT_EQ(calls.size(), 2u);  // 484Ah, then 084Ah; no write, no unlock
  EXPECT_EQ(calls[0].in.ECX, 0x484Au);
  EXPECT_EQ(calls[1].in.ECX, 0x084Au);
}

TEST_F(ConsumerRoute, LockLevelsAndOlderSystems) {
  use_version(0, "");
  EXPECT_TRUE(LockLogicalVolume(3, 2, 7));
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].in.ECX, 0x084Au);
  EXPECT_EQ(calls[0].in.EBX, 0x203u);
  EXPECT_EQ(calls[0].in.EDX, 0u);  // levels above 1 take no permissions
  calls.clear();
  EXPECT_TRUE(LockLogicalVolume(3, 1, 0xFF));
  EXPECT_EQ(calls[0].in.EDX, 7u);
  calls.clear();
  EXPECT_TRUE(UnlockLogicalVolume(3));
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].in.ECX, 0x086Au);
  use_version(10, " A");
  calls.clear();
  carry_for = [](uint32_t, const DIOC_REGISTERS& r) { return r.ECX == 0x486A; };
  EXPECT_TRUE(UnlockLogicalVolume(3));
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].in.ECX, 0x086Au);
}

TEST_F(ConsumerRoute, LongTransfersGoInPiecesOf65535Sectors) {
  std::vector<uint8_t> buffer(size_t{70000} * 512);
  EXPECT_TRUE(ReadSectors9x(3, 10, 70000, buffer.data()));
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].packet_count, 65535);
  EXPECT_EQ(calls[1].packet_sector, 10u + 65535);
  EXPECT_EQ(calls[1].packet_count, 70000 - 65535);
  EXPECT_EQ(buffer[size_t{65535} * 512], static_cast<uint8_t>((10 + 65535) & 0xFF));
  calls.clear();
  EXPECT_FALSE(ReadSectors9x(3, int64_t{1} << 32, 1, buffer.data()));  // beyond 32 bits
  EXPECT_FALSE(ReadSectors9x(3, -1, 1, buffer.data()));
  EXPECT_TRUE(calls.empty());
}

TEST_F(ConsumerRoute, TheDeviceOpensOnlyOnTheConsumerFamily) {
  use_version(1, "", 2);  // NT family
  DIOC_REGISTERS r;
  EXPECT_FALSE(VWIN32Control(2, r));
  EXPECT_TRUE(calls.empty());
  EXPECT_TRUE(VWIN32Control(0, r));  // closing is always fine
  use_version(10, "");
  SetVWIN32DeviceForTesting({});
  EXPECT_FALSE(VWIN32Control(2, r));  // no device on this platform
  std::vector<uint8_t> buffer(512);
  EXPECT_FALSE(ReadSectors9x(3, 0, 1, buffer.data()));
}

TEST_F(ConsumerRoute, AFailedControlCallIsAFailedTransfer) {
  device_answers = false;
  std::vector<uint8_t> buffer(512);
  EXPECT_FALSE(ReadSectors9x(3, 0, 1, buffer.data()));
  EXPECT_EQ(calls.size(), 2u);  // extended, then INT 25h
}

TEST_F(ConsumerRoute, OtherFamiliesHaveNoRoute) {
  use_version(0, "", 0);  // Win32s
  std::vector<uint8_t> buffer(512);
  EXPECT_FALSE(ReadSectors(3, 0, 1, buffer.data()));
  EXPECT_FALSE(ReadClusters(3, 0, 1, buffer.data()));
  EXPECT_TRUE(calls.empty());
}

}  // namespace
}  // namespace pyralis
