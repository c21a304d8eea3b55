// SPDX-License-Identifier: GPL-3.0-or-later
#include "drivers/drivers.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <set>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "core/cluster_buffer.h"
#include "core/engine_window.h"
#include "core/found_files.h"
#include "core/process_state.h"
#include "core/recovered_file.h"
#include "core/saved_scan.h"
#include "core/sha256.h"
#include "drivers/carving.h"
#include "drivers/content_check.h"
#include "exfat/exfat_engine.h"
#include "fat/fat_engine.h"
#include "ntfs/ntfs_engine.h"
#include "platform/drive_table.h"
#include "platform/read_state.h"
#include "platform/volume_access.h"
#include "rawdisk/raw_disk_access.h"
#include "rawdisk/raw_disk_access_component.h"
#include "sweep/exfat_deep.h"
#include "sweep/fat_deep.h"
#include "sweep/ntfs_deep.h"

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

// Reads the drive's boot sector (sector 0, or the backup the volume is read by when sector
// 0 is damaged) with the NT-family read, or with the read of the running family when
// `by_family`; copies its first 512 bytes into `boot`. False when nothing was read (and
// `boot` is left alone).
bool read_boot_sector(TRawDiskAccessComponent& component, bool by_family,
                      std::array<uint8_t, 512>& boot) {
  const int32_t sector_size = std::max<int32_t>(component.SectorSize(), 512);
  if (sector_size > kMaxSectorSize) return false;
  std::vector<uint8_t> sector(static_cast<size_t>(sector_size));
  bool read = false;
  const std::string family = by_family ? GetOSFamily() : "NT";
  if (family == "NT")
    read = ReadSectorsNT(component.DriveNumber(), component.BootSector(), 1, sector.data());
  else if (family == "9x")
    read = ReadSectors9x(component.DriveNumber(), component.BootSector(), 1, sector.data());
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
  if (!read)
    log_drive_problem(letter, "reading its boot sector (sector " +
                                  std::to_string(component.BootSector()) + ") failed");
  return read;
}

// The line that says a scan reads the volume by a backup boot sector.
void log_backup_boot_sector(char letter) {
  const auto details = platform::volume_details(letter);
  if (details && details->boot_offset != 0)
    Window().LogLine(drive_name(letter) +
                     " the main boot sector is damaged; the backup at sector " +
                     std::to_string(details->boot_sector) + " is used.");
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

// The pass over the whole volume after the tree walk, and its rows.
// A search by content (`carving`, when asked for) joins the pass.
void deep_scan(TRawDiskAccessComponent& component, Volume kind,
               const std::unordered_set<uint32_t>& reached, DriveCarving* carving) {
  const std::string drive = drive_name(component.LogicalDrive());
  Recogniser* extra[] = {carving ? &carving->recogniser() : nullptr};
  const std::span<Recogniser* const> with(extra, carving ? 1 : 0);
  const int64_t added = kind == Volume::kFat     ? fat_deep_scan(component, reached, with)
                        : kind == Volume::kExFat ? exfat_deep_scan(component, reached, with)
                                                 : ntfs_deep_scan(component, with);
  Window().LogLine("Deep scan of " + drive + " found " + std::to_string(added) +
                   (added == 1 ? " file" : " files") +
                   (kind == Volume::kNtfs ? " in records outside the MFT."
                                          : " in folders the tree no longer reaches."));
  Window().SetFilesFoundText(std::to_string(FoundFiles.Count()));
  Window().SetStatusFilesText("Files: " + std::to_string(FoundFiles.Count()));
}

// Recovers one row, given as a copy of its record and facts (a file found by its tree or a
// deep scan; carved rows are written by their extents), through its volume's engine.
RecoveryOutcome recover_row(char letter, const FoundFileRecord& record, const RowFacts& facts,
                            const std::string& folder) {
  RecoveryOutcome outcome;
  if (record.Size > 0) outcome.size = static_cast<uint64_t>(record.Size);
  // A row whose finder knew its bytes outright (found by content, or in an earlier volume's
  // geometry) is written from those extents, on any volume.
  if (!facts.extents.empty()) {
    run_guarded("Recovery", letter,
                [&] { outcome = undelete_carved_file(letter, record, facts, folder); });
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
      outcome = fat_undelete(component, record, folder);
    else if (kind == Volume::kExFat)
      outcome = exfat_undelete(component, record, facts, folder);
    else
      outcome = ntfs_undelete(component, record.Inode, folder, facts.record_offset);
  });
  return outcome;
}

}  // namespace

ScanResult scan_drive(char letter) {
  return scan_drive(letter, ScanOptions{});
}

ScanResult scan_drive(char letter, const ScanOptions& options) {
  // A scan is one command for what it learns of the drive's reads, unless it is part of a
  // larger one (the command line's scan-then-recover).
  const platform::ReadState read_state;
  ScanActive = true;
  ScanUnreadable.clear();
  bool engine_ran = false;
  const bool finished = run_guarded("Scan", letter, [&] {
    TRawDiskAccessComponent component;
    component.SetLogicalDrive(letter);
    // A source that holds no volume Pyralis reads is searched by content as a whole.
    if (options.carve && component.FileSystem().empty()) {
      engine_ran = carve_drive(letter) != CarveResult::kNotSearched;  // its own pass
      return;
    }
    if (drive_unusable(component)) {
      log_drive_problem(letter, unusable_reason(component));
      return;
    }
    Window().ProcessMessages();
    const Volume kind = volume_kind(component);
    if (kind == Volume::kOther || !prepare_engine(component, letter, kind)) return;
    log_backup_boot_sector(letter);
    std::unordered_set<uint32_t> reached;
    const int ran = kind == Volume::kFat     ? fat_scan(component, &reached)
                    : kind == Volume::kExFat ? exfat_scan(component, &reached)
                                             : ntfs_scan(component);
    engine_ran = ran > 0;
    // A volume whose engine cannot open it (a broken $MFT, FAT or bitmap; the engine said
    // why) is still searched by content: as a whole, in a pass of its own.
    if (!engine_ran && options.carve && ScanActive) {
      engine_ran = carve_drive(letter) != CarveResult::kNotSearched;
    } else if (engine_ran && (options.deep || options.carve) && ScanActive) {
      std::unique_ptr<DriveCarving> carving;
      if (options.carve) carving = std::make_unique<DriveCarving>(letter);
      if (carving && !carving->ok()) carving.reset();
      deep_scan(component, kind, reached, carving.get());
      if (carving) carving->finish();
    }
    // Folders and records that could not be read hide what they hold: one line says how
    // many, and the status line keeps it beside the count.
    const std::string lost = unreadable_metadata_text();
    if (!lost.empty()) {
      Window().LogLine(lost);
      Window().SetStatusFilesText("Files: " + std::to_string(FoundFiles.Count()) + " (" +
                                  lost.substr(0, lost.size() - 1) + ")");
    }
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
  return recover_row(letter, FoundFiles[index], FoundFiles.Facts(index), folder);
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
      tally = ntfs_count_clusters(component, FoundFiles[index].Inode,
                                  FoundFiles.Facts(index).record_offset);
  });
  return tally;
}

namespace {

// Keeps the recovery's log lines out of the log while a check reads a file (for the calling
// thread only); the window's message pump still runs when `pump` is given.
class QuietRecovery : public EngineWindow {
 public:
  explicit QuietRecovery(EngineWindow* pump) : pump_(pump), scope_(*this) {}
  void ProcessMessages() override {
    if (pump_) pump_->ProcessMessages();
  }

 private:
  EngineWindow* pump_;
  ThreadWindowScope scope_;
};

// A found file, read as recovery reads it, through one window of its bytes at a time: a
// read outside the window reads the file again from its start (recovery reads only
// forward) and keeps the window around the read. The ranges that could not be read are
// gathered from every pass.
class WindowedFoundFile final : public filetypes::ByteSource {
 public:
  WindowedFoundFile(char letter, const FoundFileRecord& record, const RowFacts& facts,
                    uint64_t window, EngineWindow* pump)
      : letter_(letter),
        record_(record),
        facts_(facts),
        size_(static_cast<uint64_t>(std::max<int64_t>(record.Size, 0))),
        window_(std::max<uint64_t>(window, 4096)),
        pump_(pump) {}

  uint64_t Size() const override { return size_; }
  size_t Read(uint64_t offset, void* dest, size_t count) override {
    size_t done = 0;
    while (done < count && offset + done < size_) {
      const uint64_t at = offset + done;
      if ((at < start_ || at >= start_ + bytes_.size()) && !load(at)) break;
      const size_t n =
          static_cast<size_t>(std::min<uint64_t>(count - done, start_ + bytes_.size() - at));
      std::memcpy(static_cast<uint8_t*>(dest) + done, bytes_.data() + (at - start_), n);
      done += n;
    }
    return done;
  }

  // Whether every pass read as far as it should (the bound on passes was not reached and
  // the recovery read the file at all).
  bool ok() const { return !failed_; }
  // The ranges of the file that could not be read, complete once a pass went to its end.
  std::vector<FileByteRange> unread() {
    if (!reached_end_ && !failed_) load(size_ - 1);
    std::vector<FileByteRange> out;
    for (const auto& [offset, length] : unread_) out.push_back({offset, length});
    return out;
  }

 private:
  static constexpr int kMaxPasses = 64;

  bool load(uint64_t at) {
    if (failed_ || passes_ >= kMaxPasses) {
      failed_ = true;
      return false;
    }
    ++passes_;
    // The window starts a quarter window before its read at most: a walk that steps back a
    // little stays inside it.
    start_ = at - at % (window_ / 4);
    bytes_.clear();
    RecoveryOutcome outcome;
    {
      QuietRecovery quiet(pump_);
      RecoveryTargetScope capture({0.0, &bytes_, window_, start_});
      outcome = recover_row(letter_, record_, facts_, std::string());
    }
    for (const FileByteRange& r : outcome.unreadable)
      if (r.offset < start_ + bytes_.size()) unread_.insert({r.offset, r.length});
    reached_end_ = reached_end_ || start_ + bytes_.size() >= size_;
    if (at >= start_ + bytes_.size()) {
      failed_ = true;  // the recovery read no bytes there
      return false;
    }
    return true;
  }

  char letter_;
  const FoundFileRecord& record_;
  const RowFacts& facts_;
  uint64_t size_;
  uint64_t window_;
  EngineWindow* pump_;
  uint64_t start_ = 0;
  std::vector<uint8_t> bytes_;
  std::set<std::pair<uint64_t, uint64_t>> unread_;
  int passes_ = 0;
  bool reached_end_ = false;
  bool failed_ = false;
};

// Walks a file larger than the check holds in memory through windows of `window` bytes.
ContentVerdict check_row_in_windows(char letter, const FoundFileRecord& record,
                                    const RowFacts& facts, uint64_t window, EngineWindow* pump,
                                    filetypes::Depth depth = filetypes::Depth::kDecode) {
  if (record.Size <= 0) return {};
  WindowedFoundFile source(letter, record, facts, window, pump);
  const std::string& name = record.Name;
  const size_t dot = name.rfind('.');
  const filetypes::Result walked = filetypes::check(
      source,
      dot == std::string::npos ? std::string_view() : std::string_view(name).substr(dot + 1),
      depth);
  const std::vector<FileByteRange> unread = source.unread();
  if (!source.ok()) return {};  // too many passes, or the file could not be read
  return judge_walked(walked, name, source.Size(), unread);
}

// Reads a copy of a row the way its recovery reads it, into memory, and judges its bytes.
ContentVerdict check_row(char letter, const FoundFileRecord& record, const RowFacts& facts,
                         EngineWindow* pump, filetypes::Depth depth = filetypes::Depth::kDecode) {
  // A carved row was walked when it was found, over exactly the bytes its extents hold; one
  // whose payload that walk could not check (a JPEG's image data) is read and checked again.
  if (facts.origin == RowOrigin::kCarved && facts.content.state != ContentState::kPlausible)
    return facts.content;
  ContentVerdict verdict;
  if (record.Size <= 0) return verdict;
  if (platform::source_gone(letter)) return verdict;
  // A file is read whole into memory (walks look anywhere in it); one larger than the
  // bound is read a window of that size at a time.
  const uint64_t limit = content_check_memory_limit();
  if (static_cast<uint64_t>(record.Size) > limit)
    return check_row_in_windows(letter, record, facts, limit, pump, depth);
  std::vector<uint8_t> bytes;
  RecoveryOutcome outcome;
  {
    QuietRecovery quiet(pump);
    RecoveryTargetScope capture({0.0, &bytes, limit});
    outcome = recover_row(letter, record, facts, std::string());
  }
  if (outcome.result == RecoveryResult::kComplete || outcome.result == RecoveryResult::kPartial) {
    filetypes::MemorySource source(bytes);
    verdict = judge_content(source, record.Name, outcome.unreadable, depth);
  }
  return verdict;
}

// For its lifetime a read runs as a recovery that goes on whatever Stop said to the last one;
// the flag is put back after.
class ActiveRecovery {
 public:
  ActiveRecovery() : was_active_(RecoveryActive.load()) { RecoveryActive = true; }
  ~ActiveRecovery() { RecoveryActive = was_active_; }
  ActiveRecovery(const ActiveRecovery&) = delete;
  ActiveRecovery& operator=(const ActiveRecovery&) = delete;

 private:
  bool was_active_;
};

}  // namespace

ContentVerdict check_found_file_in_windows(char letter, int32_t index, uint64_t window) {
  if (index < 0 || index >= FoundFiles.Count()) return {};
  const ActiveRecovery active;
  return check_row_in_windows(letter, FoundFiles[index], FoundFiles.Facts(index), window,
                              &Window());
}

RecoveryOutcome read_found_file(char letter, int32_t index, uint64_t limit,
                                std::vector<uint8_t>& bytes) {
  const ActiveRecovery active;
  QuietRecovery quiet(&Window());
  RecoveryTargetScope capture({0.0, &bytes, limit});
  return undelete_found_file(letter, index, std::string());
}

ContentVerdict check_found_file(char letter, int32_t index) {
  if (index < 0 || index >= FoundFiles.Count()) return {};
  ContentVerdict verdict;
  {
    const ActiveRecovery active;
    verdict = check_row(letter, FoundFiles[index], FoundFiles.Facts(index), &Window());
  }
  FoundFiles.Facts(index).content = verdict;
  return verdict;
}

ContentVerdict check_found_row(char letter, const FoundFileRecord& record, const RowFacts& facts,
                               const std::atomic<bool>& go_on, filetypes::Depth depth) {
  const RecoveryFlag::ThreadScope flag(go_on);
  return check_row(letter, record, facts, nullptr, depth);
}

RecoveryOutcome read_found_row(char letter, const FoundFileRecord& record, const RowFacts& facts,
                               uint64_t limit, std::vector<uint8_t>& bytes,
                               const std::atomic<bool>& go_on) {
  const RecoveryFlag::ThreadScope flag(go_on);
  if (record.Size <= 0 || platform::source_gone(letter)) return {};
  QuietRecovery quiet(nullptr);
  RecoveryTargetScope capture({0.0, &bytes, limit});
  return recover_row(letter, record, facts, std::string());
}

namespace {

// Sectors of the volume's start whose digest identifies it in a saved scan.
constexpr int64_t kIdentitySectors = 16;

// The identity of the volume behind `letter`; none (with the reason in `error`) when the
// drive cannot be read.
std::optional<VolumeIdentity> volume_identity(char letter, std::string* error) {
  TRawDiskAccessComponent component;
  component.SetLogicalDrive(letter);
  // A source that holds no volume (searched by content as a whole): its length and first
  // bytes.
  const platform::Drive* drive = platform::find_drive(letter);
  if (component.FileSystem().empty() && drive && drive->source.length > 0) {
    std::vector<uint8_t> start(
        static_cast<size_t>(std::min<uint64_t>(kIdentitySectors * 512, drive->source.length)));
    if (!platform::read_volume(letter, 0, start.data(), start.size())) {
      *error = "the first sectors of drive " + drive_name(letter) + " cannot be read";
      return std::nullopt;
    }
    VolumeIdentity identity;
    identity.size = drive->source.length;
    Sha256 digest;
    digest.Update(start.data(), start.size());
    identity.digest = digest.HexDigest();
    return identity;
  }
  const int64_t unit = component.SectorSize();
  if (component.LogicalDrive() == 0 || component.VolumeSectors() <= 0 || unit <= 0 ||
      unit > kMaxSectorSize) {
    *error = "drive " + drive_name(letter) + " cannot be read";
    return std::nullopt;
  }
  const int64_t count = std::min(kIdentitySectors, component.VolumeSectors());
  std::vector<uint8_t> start(static_cast<size_t>(count * unit));
  if (!ReadSectors(component.DriveNumber(), 0, count, start.data())) {
    *error = "the first sectors of drive " + drive_name(letter) + " cannot be read";
    return std::nullopt;
  }
  VolumeIdentity identity;
  identity.serial = static_cast<uint64_t>(component.SerialNumber());
  identity.size = static_cast<uint64_t>(component.VolumeSectors()) * static_cast<uint64_t>(unit);
  Sha256 digest;
  digest.Update(start.data(), start.size());
  identity.digest = digest.HexDigest();
  identity.file_system = component.FileSystem();
  return identity;
}

std::string describe_identity(const VolumeIdentity& v) {
  if (v.file_system.empty() && v.serial == 0)
    return "a source without a volume, of " + std::to_string(v.size) + " bytes";
  char serial[16];
  std::snprintf(serial, sizeof serial, "%04X-%04X", static_cast<unsigned>(v.serial >> 16 & 0xFFFF),
                static_cast<unsigned>(v.serial & 0xFFFF));
  return (v.file_system.empty() ? std::string("volume") : v.file_system + " volume") +
         " with serial " + serial + " and " + std::to_string(v.size) + " bytes";
}

}  // namespace

bool save_scan(char letter, const std::string& path, std::string* error) {
  std::string why;
  const auto identity = volume_identity(letter, &why);
  if (!identity) {
    if (error) *error = why;
    return false;
  }
  const std::string bytes = encode_saved_scan(FoundFiles, *identity);
  // Written beside the target first, so that a failed write leaves no half file behind.
  const std::string temporary = path + ".part";
  std::FILE* file = std::fopen(temporary.c_str(), "wb");
  bool written =
      file != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  const int write_error = errno;
  if (file != nullptr) written = std::fclose(file) == 0 && written;
  if (written && std::rename(temporary.c_str(), path.c_str()) == 0) return true;
  const int e = written ? errno : write_error;
  std::remove(temporary.c_str());
  if (error) *error = std::strerror(e != 0 ? e : EIO);
  return false;
}

bool open_scan(char letter, const std::string& path, std::string* error) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    if (error) *error = std::strerror(errno);
    return false;
  }
  std::string bytes;
  char chunk[65536];
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) bytes.append(chunk, n);
  const bool read_ok = std::ferror(file) == 0;
  std::fclose(file);
  if (!read_ok) {
    if (error) *error = "reading it failed";
    return false;
  }
  TFoundFiles rows;
  VolumeIdentity saved;
  if (!decode_saved_scan(bytes, rows, saved, error)) return false;
  std::string why;
  const auto current = volume_identity(letter, &why);
  if (!current) {
    if (error) *error = why;
    return false;
  }
  if (!(saved == *current)) {
    if (error)
      *error = "it was saved from another volume (" + describe_identity(saved) + "), not from " +
               drive_name(letter) + " (" + describe_identity(*current) + ")";
    return false;
  }
  FoundFiles = std::move(rows);
  Window().SetFilesFoundText(std::to_string(FoundFiles.Count()));
  Window().SetStatusFilesText("Files: " + std::to_string(FoundFiles.Count()));
  return true;
}

}  // namespace pyralis
