// SPDX-License-Identifier: GPL-3.0-or-later
#include "drivers/drivers.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <exception>
#include <new>
#include <string_view>
#include <vector>

#include "core/cluster_buffer.h"
#include "core/engine_window.h"
#include "core/found_files.h"
#include "core/process_state.h"
#include "core/recovered_file.h"
#include "drivers/carving.h"
#include "exfat/exfat_engine.h"
#include "fat/fat_engine.h"
#include "ntfs/ntfs_engine.h"
#include "platform/volume_access.h"
#include "rawdisk/raw_disk_access.h"
#include "rawdisk/raw_disk_access_component.h"

namespace pyralis {

namespace {

// Largest sector a boot-sector read accepts; one whole sector of the drive is read.
constexpr int32_t kMaxSectorSize = 65536;

bool contains_no_case(std::string_view text, std::string_view part) {
  return std::search(text.begin(), text.end(), part.begin(), part.end(), [](char a, char b) {
           return std::toupper(static_cast<unsigned char>(a)) ==
                  std::toupper(static_cast<unsigned char>(b));
         }) != text.end();
}

std::string drive_name(char letter) {
  return std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(letter)))) + ":";
}

// The one line that says why a drive could not be used, naming the drive, its source and
// the reason. The platform's own account of the source wins over `fallback`.
void log_drive_problem(char letter, const std::string& fallback) {
  std::string line = DescribeDriveProblem(letter);
  if (line.empty()) line = "Drive " + DescribeDriveSource(letter) + " cannot be read: " + fallback;
  Window().LogLine(line);
}

// Why a selected drive gave no geometry, when the raw disk layer has nothing to say.
std::string unusable_reason(const TRawDiskAccessComponent& component) {
  if (component.FileSystem().empty()) return "no FAT, exFAT or NTFS volume found on it";
  return "its " + component.FileSystem() + " volume reports no clusters";
}

bool drive_unusable(const TRawDiskAccessComponent& component) {
  return component.LogicalDrive() == 0 || component.TotalClusters() == 0 ||
         component.TotalDiskSpace() == 0;
}

// Reads sector 0 of the drive with the NT-family read, or with the read of the running
// family when `by_family`; copies its first 512 bytes into `boot`. False when nothing was
// read (and `boot` is left alone).
bool read_boot_sector(TRawDiskAccessComponent& component, bool by_family,
                      std::array<uint8_t, 512>& boot) {
  const int32_t sector_size = std::max<int32_t>(component.SectorSize(), 512);
  if (sector_size > kMaxSectorSize) return false;
  std::vector<uint8_t> sector(static_cast<size_t>(sector_size));
  bool read = false;
  const std::string family = by_family ? GetOSFamily() : "NT";
  if (family == "NT")
    read = ReadSectorsNT(component.DriveNumber(), 0, 1, sector.data());
  else if (family == "9x")
    read = ReadSectors9x(component.DriveNumber(), 0, 1, sector.data());
  else
    return false;  // no sector route on this family, as ReadSectors decides
  if (read) std::memcpy(boot.data(), sector.data(), boot.size());
  return read;
}

enum class Volume { kFat, kExFat, kNtfs, kOther };

Volume volume_kind(const TRawDiskAccessComponent& component) {
  // "exFAT" holds "FAT": it is told apart first.
  if (contains_no_case(component.FileSystem(), "exFAT")) return Volume::kExFat;
  if (contains_no_case(component.FileSystem(), "FAT")) return Volume::kFat;
  if (contains_no_case(component.FileSystem(), "NTFS")) return Volume::kNtfs;
  return Volume::kOther;
}

// Reads the boot sector the engine of `kind` wants; logs the drive problem when it fails.
bool prepare_engine(TRawDiskAccessComponent& component, char letter, Volume kind) {
  // The exFAT engine reads its boot sector itself; the read here only decides that it runs.
  const bool read = kind == Volume::kNtfs ? read_boot_sector(component, false, NtfsBootSector)
                                          : read_boot_sector(component, true, FatBootSector);
  if (!read) log_drive_problem(letter, "reading its boot sector (sector 0) failed");
  return read;
}

// Runs `body`; an exception out of an engine ends the call with one log line instead of
// ending the program. The component inside `body` is released by unwinding.
template <typename Body>
bool run_guarded(const std::string& what, char letter, Body body) {
  try {
    body();
    return true;
  } catch (const std::bad_alloc&) {
    Window().LogLine(what + " of drive " + drive_name(letter) + " stopped: out of memory");
  } catch (const std::exception& error) {
    Window().LogLine(what + " of drive " + drive_name(letter) + " stopped: " + error.what());
  } catch (...) {
    Window().LogLine(what + " of drive " + drive_name(letter) + " stopped: unknown error");
  }
  return false;
}

}  // namespace

ScanResult scan_drive(char letter) {
  return scan_drive(letter, ScanOptions{});
}

ScanResult scan_drive(char letter, const ScanOptions& options) {
  ScanActive = true;
  bool engine_ran = false;
  const bool finished = run_guarded("Scan", letter, [&] {
    TRawDiskAccessComponent component;
    component.SetLogicalDrive(letter);
    // A source that holds no volume Pyralis reads is searched by content as a whole.
    if (options.carve && component.FileSystem().empty()) {
      engine_ran = carve_drive(letter) != CarveResult::kNotSearched;
      return;
    }
    if (drive_unusable(component)) {
      log_drive_problem(letter, unusable_reason(component));
      return;
    }
    Window().ProcessMessages();
    const Volume kind = volume_kind(component);
    if (kind == Volume::kOther || !prepare_engine(component, letter, kind)) return;
    const int ran = kind == Volume::kFat     ? fat_scan(component)
                    : kind == Volume::kExFat ? exfat_scan(component)
                                             : ntfs_scan(component);
    engine_ran = ran > 0;
    // Then the clusters that no live file and no listed row holds, by content.
    if (engine_ran && options.carve && ScanActive) carve_drive(letter);
  });
  // A source that went away during the scan said so; what was found before stays listed.
  if (platform::source_gone(letter)) engine_ran = false;
  if (finished && engine_ran) return ScanActive ? ScanResult::kScanned : ScanResult::kStopped;
  // A scan that broke off or never reached a volume is no finished scan.
  ScanActive = false;
  return ScanResult::kNotScanned;
}

RecoveryOutcome undelete_found_file(char letter, int32_t index, const std::string& folder) {
  RecoveryOutcome outcome;  // failed until an engine says otherwise
  if (index < 0 || index >= FoundFiles.Count()) {
    Window().LogLine("Cannot recover row " + std::to_string(index) + ": the list holds " +
                     std::to_string(FoundFiles.Count()) + " files");
    return outcome;
  }
  // A drive that went away is said to be gone once; its rows are not tried.
  if (platform::source_gone(letter)) {
    log_gone_source_once(letter);
    return outcome;
  }
  RecoveryTarget target = CurrentRecoveryTarget();
  target.modified = RestoreDates ? FoundFiles[index].Modified : 0.0;
  RecoveryTargetScope dates(target);
  if (FoundFiles[index].Size > 0) outcome.size = static_cast<uint64_t>(FoundFiles[index].Size);
  // A row found by content is written from the extents it was found in, on any volume.
  if (FoundFiles.Facts(index).origin == RowOrigin::kCarved &&
      !FoundFiles.Facts(index).extents.empty()) {
    run_guarded("Recovery", letter, [&] { outcome = undelete_carved_file(letter, index, folder); });
    return outcome;
  }
  run_guarded("Recovery", letter, [&] {
    TRawDiskAccessComponent component;
    component.SetLogicalDrive(letter);
    const Volume kind = volume_kind(component);
    if (kind == Volume::kOther) {
      if (drive_unusable(component)) log_drive_problem(letter, unusable_reason(component));
      return;
    }
    if (!prepare_engine(component, letter, kind)) return;
    if (kind == Volume::kFat)
      outcome = fat_undelete(component, index, folder);
    else if (kind == Volume::kExFat)
      outcome = exfat_undelete(component, index, folder);
    else
      outcome = ntfs_undelete(component, FoundFiles[index].Inode, folder);
  });
  return outcome;
}

std::optional<ClusterTally> count_found_file_clusters(char letter, int32_t index) {
  std::optional<ClusterTally> tally;
  if (index < 0 || index >= FoundFiles.Count()) return tally;
  run_guarded("Counting clusters", letter, [&] {
    TRawDiskAccessComponent component;
    component.SetLogicalDrive(letter);
    const Volume kind = volume_kind(component);
    if (kind == Volume::kOther || !prepare_engine(component, letter, kind)) return;
    if (kind == Volume::kFat)
      tally = fat_count_clusters(component, index);
    else if (kind == Volume::kExFat)
      tally = exfat_count_clusters(component, index);
    else
      tally = ntfs_count_clusters(component, FoundFiles[index].Inode);
  });
  return tally;
}

ContentVerdict check_found_file(char letter, int32_t index) {
  ContentVerdict verdict;
  if (index < 0 || index >= FoundFiles.Count()) return verdict;
  // Not measured yet: every row stays unchecked.
  FoundFiles.Facts(index).content = verdict;
  return verdict;
}

bool save_scan(char letter, const std::string& path, std::string* error) {
  if (error) *error = "saving a scan is not available yet";
  return false;
}

bool open_scan(char letter, const std::string& path, std::string* error) {
  if (error) *error = "opening a saved scan is not available yet";
  return false;
}

}  // namespace pyralis
