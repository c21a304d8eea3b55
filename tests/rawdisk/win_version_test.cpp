// SPDX-License-Identifier: GPL-3.0-or-later
// The version naming table, the OS family and the consumer family's geometry correction,
// on fixed version records.
#include <gtest/gtest.h>

#include "rawdisk/raw_disk_access.h"

namespace pyralis {
namespace {

OSVersionRecord consumer(uint32_t minor, const char* csd, uint32_t build = 0x04000457) {
  OSVersionRecord r;
  r.PlatformId = 1;
  r.MajorVersion = 4;
  r.MinorVersion = minor;
  r.BuildNumber = build;
  r.CSDVersion = csd;
  return r;
}

OSVersionRecord nt(uint32_t major, uint32_t minor, bool extended = false, uint8_t product = 0,
                   uint16_t suite = 0, const char* csd = "") {
  OSVersionRecord r;
  r.PlatformId = 2;
  r.MajorVersion = major;
  r.MinorVersion = minor;
  r.BuildNumber = 0x12345678;
  r.CSDVersion = csd;
  r.ExtendedQueryOk = extended;
  r.ProductType = product;
  r.SuiteMask = suite;
  return r;
}

std::string name_of(const OSVersionRecord& r) {
  return WinVersionFromRecord(r).VersionName;
}

TEST(WinVersion, ConsumerFamilyNames) {
  EXPECT_EQ(name_of(consumer(0, " C")), "Windows 95 OSR2");
  EXPECT_EQ(name_of(consumer(0, " B")), "Windows 95 with Service Pack 1");
  EXPECT_EQ(name_of(consumer(0, "")), "Windows 95 Original");
  EXPECT_EQ(name_of(consumer(0, "bc")), "Windows 95 with Service Pack 1");
  EXPECT_EQ(name_of(consumer(10, " A")), "Windows 98 Second Edition");
  EXPECT_EQ(name_of(consumer(10, "")), "Windows 98");
  EXPECT_EQ(name_of(consumer(90, "")), "Windows ME");
  EXPECT_EQ(name_of(consumer(20, "")), "");
  const TWinVersion v = WinVersionFromRecord(consumer(10, "", 0x040A08AE));
  EXPECT_EQ(v.Family, "9x");
  EXPECT_EQ(v.BuildNumber, 0x08AEu);  // low 16 bits
  EXPECT_EQ(v.ServicePack, "");
  EXPECT_EQ(WinVersionFromRecord(consumer(20, "", 0x1234)).BuildNumber, 0u);
}

TEST(WinVersion, NtFamilyNamesAndRefinements) {
  EXPECT_EQ(name_of(nt(5, 1, true, 3, 0)), "Windows 2003 Server");
  EXPECT_EQ(name_of(nt(5, 1, true, 3, 0, "Service Pack 2")),
            "Windows 2003 Server with Service Pack 2");
  EXPECT_EQ(name_of(nt(5, 1, true, 1, 0x0200)), "Windows XP Home Edition");
  EXPECT_EQ(name_of(nt(5, 0, true, 2, 0)), "Windows 2000");
  EXPECT_EQ(name_of(nt(5, 0, true, 3, 0x0080)), "Windows 2000 Datacenter Server");
  EXPECT_EQ(name_of(nt(4, 0, false, 3, 0x0004, "Service Pack 6")),
            "Windows NT 4.0 with Service Pack 6");
  EXPECT_EQ(name_of(nt(4, 0, true, 3, 0x0020)),
            "Windows NT 4.0 Server w/ BackOffice Small-Business Server (Rest.)");
  EXPECT_EQ(name_of(nt(5, 2, true, 3, 0x0400)), "Windows Server 2003 Web Edition");
  EXPECT_EQ(name_of(nt(5, 2, true, 3, 0)), "Windows Server 2003");
  EXPECT_EQ(name_of(nt(3, 51)), "Windows NT 3.51");
  EXPECT_EQ(name_of(nt(3, 2)), "");
  EXPECT_EQ(name_of(nt(5, 3)), "Future Windows Version");
  EXPECT_EQ(name_of(nt(5, 10)), "");
  EXPECT_EQ(name_of(nt(6, 1)), "Windows NT 6 Beta - \"Longhorn\"");
  EXPECT_EQ(name_of(nt(10, 0)), "Future Windows Version");
  EXPECT_EQ(name_of(nt(100, 0)), "");
  const TWinVersion v = WinVersionFromRecord(nt(5, 1, false, 0, 0, "Service Pack 3"));
  EXPECT_EQ(v.Family, "NT");
  EXPECT_EQ(v.BuildNumber, 0x12345678u);
  EXPECT_EQ(v.ServicePack, "Service Pack 3");
}

TEST(WinVersion, FamilyTextsAndWin32s) {
  EXPECT_EQ(OSFamilyFromPlatformId(0), "Win32S");
  EXPECT_EQ(OSFamilyFromPlatformId(1), "9x");
  EXPECT_EQ(OSFamilyFromPlatformId(2), "NT");
  EXPECT_EQ(OSFamilyFromPlatformId(3), "");
  OSVersionRecord r;
  r.PlatformId = 0;
  const TWinVersion v = WinVersionFromRecord(r);
  EXPECT_EQ(v.VersionName, "Windows 3.x + Win32");
  EXPECT_EQ(v.Family, "");
}

TEST(WinVersion, ThisSystemIsTheNtFamily) {
  SetOSVersionForTesting(nullptr);
  EXPECT_EQ(GetOSFamily(), "NT");
  TWinVersion v;
  GetWinVersion(v);
  EXPECT_EQ(v.Family, "NT");
  EXPECT_NE(v.ServicePack.find("Linux "), std::string::npos);
}

TEST(GeometryCorrection, ConsumerFamilyQuartersLargeVolumesOnly) {
  EXPECT_EQ(QuarterRoundedToEven(2), 0);
  EXPECT_EQ(QuarterRoundedToEven(6), 2);
  EXPECT_EQ(QuarterRoundedToEven(10), 2);
  EXPECT_EQ(QuarterRoundedToEven(7), 2);
  EXPECT_EQ(QuarterRoundedToEven(64), 16);
  TDiskGeometry g;
  g.SectorSize = 512;
  g.SectorsPerCluster = 64;
  g.TotalClusters = 65536;
  g.TotalDiskSpace = 2147483648;
  const TDiskGeometry corrected = ApplyFamilyCorrection(g, "9x");
  EXPECT_EQ(corrected.SectorsPerCluster, 16);
  EXPECT_EQ(corrected.ClusterSize, 8192);
  EXPECT_EQ(corrected.TotalClusters, 65536);  // counts are not corrected
  g.TotalDiskSpace = 2147483647;
  EXPECT_EQ(ApplyFamilyCorrection(g, "9x").SectorsPerCluster, 64);
  g.TotalDiskSpace = int64_t{1} << 40;
  EXPECT_EQ(ApplyFamilyCorrection(g, "NT").SectorsPerCluster, 64);
  EXPECT_EQ(ApplyFamilyCorrection(g, "NT").ClusterSize, 32768);
}

}  // namespace
}  // namespace pyralis
