// SPDX-License-Identifier: GPL-3.0-or-later
// OS family, the version naming table and the consumer family's geometry correction.
#include <sys/utsname.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <mutex>
#include <optional>

#include "rawdisk/raw_disk_access.h"

namespace pyralis {
namespace {

std::mutex version_mutex;
std::optional<OSVersionRecord> injected_version;

bool contains_ci(std::string_view text, std::string_view part) {
  return std::search(text.begin(), text.end(), part.begin(), part.end(), [](char a, char b) {
           return std::toupper(static_cast<unsigned char>(a)) ==
                  std::toupper(static_cast<unsigned char>(b));
         }) != text.end();
}

struct Refinement {
  const char* base;
  enum { kProduct, kSuite } test;
  uint16_t mask;
  const char* name;
};

// Tested in order; every test that holds replaces the name.
constexpr Refinement kRefinements[] = {
    {"Windows NT 4.0", Refinement::kProduct, 1, "Windows NT 4.0 Workstation"},
    {"Windows NT 4.0", Refinement::kProduct, 3, "Windows NT 4.0 Server"},
    {"Windows NT 4.0", Refinement::kSuite, 0x0004, "Windows NT 4.0 Server w/ BackOffice Server"},
    {"Windows NT 4.0", Refinement::kSuite, 0x0001,
     "Windows NT 4.0 Server w/ BackOffice Small-Business Server"},
    {"Windows NT 4.0", Refinement::kSuite, 0x0020,
     "Windows NT 4.0 Server w/ BackOffice Small-Business Server (Rest.)"},
    {"Windows 2000", Refinement::kProduct, 1, "Windows 2000 Professional"},
    {"Windows 2000", Refinement::kProduct, 3, "Windows 2000 Server"},
    {"Windows 2000", Refinement::kSuite, 0x0080, "Windows 2000 Datacenter Server"},
    {"Windows 2000", Refinement::kSuite, 0x0002, "Windows 2000 Advanced Server"},
    {"Windows XP", Refinement::kProduct, 1, "Windows XP Professional"},
    {"Windows XP", Refinement::kProduct, 3, "Windows 2003 Server"},
    {"Windows XP", Refinement::kSuite, 0x0200, "Windows XP Home Edition"},
    {"Windows XP", Refinement::kSuite, 0x0002, "Windows 2003 Enterprise Server"},
    {"Windows Server 2003", Refinement::kSuite, 0x0400, "Windows Server 2003 Web Edition"},
    {"Windows Server 2003", Refinement::kSuite, 0x0080, "Windows Server 2003 Datacenter Edition"},
    {"Windows Server 2003", Refinement::kSuite, 0x0002, "Windows Server 2003 Enterprise Edition"},
};

std::string nt_base_name(uint32_t major, uint32_t minor) {
  switch (major) {
    case 3:
      if (minor == 0) return "Windows NT 3.0";
      if (minor == 1) return "Windows NT 3.1";
      if (minor == 5) return "Windows NT 3.5";
      if (minor == 51) return "Windows NT 3.51";
      return "";
    case 4:
      return "Windows NT 4.0";
    case 5:
      if (minor == 0) return "Windows 2000";
      if (minor == 1) return "Windows XP";
      if (minor == 2) return "Windows Server 2003";
      if (minor <= 9) return "Future Windows Version";
      return "";
    case 6:
      return "Windows NT 6 Beta - \"Longhorn\"";
    default:
      return major >= 7 && major <= 99 ? "Future Windows Version" : "";
  }
}

std::string refine(const std::string& base, const OSVersionRecord& r) {
  std::string name = base;
  for (const Refinement& rule : kRefinements) {
    if (base != rule.base) continue;
    const bool holds = rule.test == Refinement::kProduct ? (r.ProductType & rule.mask) == rule.mask
                                                         : (r.SuiteMask & rule.mask) != 0;
    if (holds) name = rule.name;
  }
  return name;
}

OSVersionRecord running_system_record() {
  OSVersionRecord record;
  record.PlatformId = 2;
  struct utsname names {};
  if (::uname(&names) != 0) return record;
  unsigned major = 0, minor = 0, patch = 0;
  std::sscanf(names.release, "%u.%u.%u", &major, &minor, &patch);
  record.MajorVersion = major;
  record.MinorVersion = minor;
  record.BuildNumber = patch;
  record.CSDVersion = std::string("Linux ") + names.release;
  return record;
}

}  // namespace

OSVersionRecord QueryOSVersionRecord() {
  {
    const std::lock_guard lock(version_mutex);
    if (injected_version) return *injected_version;
  }
  static const OSVersionRecord running = running_system_record();
  return running;
}

void SetOSVersionForTesting(const OSVersionRecord* record) {
  const std::lock_guard lock(version_mutex);
  if (record)
    injected_version = *record;
  else
    injected_version.reset();
}

std::string OSFamilyFromPlatformId(uint32_t platform_id) {
  switch (platform_id) {
    case 0:
      return "Win32S";
    case 1:
      return "9x";
    case 2:
      return "NT";
    default:
      return "";
  }
}

std::string GetOSFamily() {
  return OSFamilyFromPlatformId(QueryOSVersionRecord().PlatformId);
}

TWinVersion WinVersionFromRecord(const OSVersionRecord& r) {
  TWinVersion v;
  v.MajorVersion = r.MajorVersion;
  v.MinorVersion = r.MinorVersion;
  std::string name;
  if (r.PlatformId == 0) {
    name = "Windows 3.x + Win32";
  } else if (r.PlatformId == 1) {
    v.Family = "9x";
    if (r.MinorVersion == 0 || r.MinorVersion == 10 || r.MinorVersion == 90) {
      v.BuildNumber = r.BuildNumber & 0xFFFF;
    }
    if (r.MinorVersion == 0) {
      name = "Windows 95 Original";
      if (contains_ci(r.CSDVersion, "C")) name = "Windows 95 OSR2";
      if (contains_ci(r.CSDVersion, "B")) {
        name = "Windows 95";
        v.ServicePack = "Service Pack 1";
      }
    } else if (r.MinorVersion == 10) {
      name = contains_ci(r.CSDVersion, "A") ? "Windows 98 Second Edition" : "Windows 98";
    } else if (r.MinorVersion == 90) {
      name = "Windows ME";
    }
  } else if (r.PlatformId == 2) {
    v.BuildNumber = r.BuildNumber;
    v.ServicePack = r.CSDVersion;
    v.Family = "NT";
    name = nt_base_name(r.MajorVersion, r.MinorVersion);
    if (r.ExtendedQueryOk) name = refine(name, r);
  }
  v.VersionName = name;
  if (!v.ServicePack.empty()) v.VersionName += " with " + v.ServicePack;
  return v;
}

void GetWinVersion(TWinVersion& version) {
  version = WinVersionFromRecord(QueryOSVersionRecord());
}

int32_t QuarterRoundedToEven(int32_t sectors_per_cluster) {
  const int32_t quotient = sectors_per_cluster / 4, remainder = sectors_per_cluster % 4;
  if (remainder > 2) return quotient + 1;
  if (remainder == 2) return quotient + (quotient & 1);
  return quotient;
}

TDiskGeometry ApplyFamilyCorrection(TDiskGeometry geometry, std::string_view family) {
  if (family == "9x" && geometry.TotalDiskSpace > 2147483647) {
    geometry.SectorsPerCluster = QuarterRoundedToEven(geometry.SectorsPerCluster);
  }
  geometry.ClusterSize = static_cast<int32_t>(static_cast<uint32_t>(geometry.SectorsPerCluster) *
                                              static_cast<uint32_t>(geometry.SectorSize));
  return geometry;
}

}  // namespace pyralis
