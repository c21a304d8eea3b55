// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/drive_table.h"

#include <blkid.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>

#include "platform/block_devices.h"
#include "platform/partition_table.h"
#include "platform/unreadable_areas.h"
#include "platform/volume_access.h"

namespace pyralis::platform {
namespace {

struct Entry {
  Drive drive;
  uint32_t type = 0;
  std::optional<VolumeDetails> details;  // probed once, then kept
  std::string last_error;                // reason of the last failed transfer
  bool removed = false;                  // detached: kept only so its letter stays taken
  bool gone = false;                     // the source went away after it was attached
  bool gone_noticed = false;             // first_notice_of_gone_source said so
  // The source opened read-only, kept while a SourceHold lives (shared by the entries of
  // one path's partitions); null when reads open the source for each transfer.
  std::shared_ptr<const SourceFile> open_file;
};

// A deque keeps the addresses handed out by find_drive valid while drives are added.
std::mutex table_mutex;
std::deque<Entry> table;
int source_holds = 0;  // live SourceHold objects

Entry* entry_for(char letter) {
  const char upper = static_cast<char>(letter >= 'a' && letter <= 'z' ? letter - 32 : letter);
  for (Entry& e : table) {
    if (e.drive.letter == upper) return &e;
  }
  return nullptr;
}

char next_letter() {
  char letter = 'C';
  for (const Entry& e : table)
    letter = std::max<char>(letter, static_cast<char>(e.drive.letter + 1));
  return letter <= 'Z' ? letter : 0;
}

std::string read_text_file(const std::string& path) {
  std::ifstream in(path);
  std::string text;
  std::getline(in, text);
  return text;
}

uint32_t source_type(const struct stat& st) {
  if (S_ISREG(st.st_mode)) return 3;
  if (S_ISBLK(st.st_mode)) return drive_type_from_sysfs(sysfs_block_folder(st.st_rdev));
  return 0;
}

uint32_t source_type(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? source_type(st) : 0;
}

// NTFS keeps its label in a file of its own; libblkid knows where to find it. The probe
// reads through the source's own descriptor (and leaves it open).
std::string blkid_label(int fd, uint64_t offset, uint64_t length) {
  std::string label;
  if (fd < 0) return label;
  if (blkid_probe probe = blkid_new_probe()) {
    if (blkid_probe_set_device(probe, fd, static_cast<blkid_loff_t>(offset),
                               static_cast<blkid_loff_t>(length)) == 0) {
      blkid_probe_enable_superblocks(probe, 1);
      blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_LABEL | BLKID_SUBLKS_TYPE);
      const char* value = nullptr;
      if (blkid_do_safeprobe(probe) == 0 &&
          blkid_probe_lookup_value(probe, "LABEL", &value, nullptr) == 0 && value) {
        label = value;
      }
    }
    blkid_free_probe(probe);
  }
  return label;
}

// The probe reads like every transfer: areas marked unreadable fail. Without `backups` a
// damaged boot sector is not replaced by its backup (a whole disk that may be partitioned).
VolumeDetails probe_source_volume(const SourceFile& file, const std::string& path, uint64_t offset,
                                  uint64_t length, bool backups = true) {
  const ReadAt read = [&](uint64_t at, void* buffer, size_t size) {
    int error = 0;
    return readable_prefix(path, offset + at, size, &error) == size &&
           file.read_at(offset + at, buffer, size);
  };
  VolumeDetails details = probe_volume(read, length, backups);
  if (details.file_system == "NTFS") details.label = blkid_label(file.fd(), offset, length);
  return details;
}

// Opens the source for one transfer or probe: a duplicate of its descriptor when it has one.
SourceFile open_source(const Source& s, bool write) {
  return s.descriptor ? SourceFile(*s.descriptor) : SourceFile(s.path, write);
}

// `file` is the source as the caller opened it; the entry keeps it while sources are held.
void add_entry(Source source, std::optional<VolumeDetails> details, std::vector<char>& letters,
               const std::shared_ptr<const SourceFile>& file = nullptr) {
  const char letter = next_letter();
  if (letter == 0) return;  // every letter is taken
  Entry e;
  if (source_holds > 0 && file && file->is_open()) e.open_file = file;
  e.drive.letter = letter;
  e.type = source_type(source.path);
  e.drive.source = std::move(source);
  e.details = std::move(details);
  table.push_back(std::move(e));
  letters.push_back(letter);
}

// A block device's size from sysfs (in 512-byte units there), readable without opening it;
// 0 when unknown.
uint64_t sysfs_size(const std::string& device) {
  struct stat st {};
  if (::stat(device.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return 0;
  const std::string folder = sysfs_block_folder(st.st_rdev);
  const std::string sectors = folder.empty() ? "" : read_text_file(folder + "/size");
  return sectors.empty() ? 0 : std::strtoull(sectors.c_str(), nullptr, 10) * 512;
}

// Whether a machine device that cannot be opened should still be listed: udev's record of
// it (readable by anyone) says it holds FAT, exFAT or NTFS, or there is no record to tell by.
// A whole disk with a partition table is left to its partitions.
bool may_hold_volume(const std::string& device, bool whole_disk) {
  struct stat st {};
  if (::stat(device.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return false;
  std::ifstream record("/run/udev/data/b" + std::to_string(major(st.st_rdev)) + ":" +
                       std::to_string(minor(st.st_rdev)));
  if (record.is_open()) {
    for (std::string line; std::getline(record, line);) {
      if (line == "E:ID_FS_TYPE=vfat" || line == "E:ID_FS_TYPE=exfat" ||
          line == "E:ID_FS_TYPE=ntfs")
        return true;
    }
    return false;
  }
  if (!whole_disk) return true;
  const std::string name = std::filesystem::path(device).filename().string();
  std::error_code ec;
  for (const auto& item : std::filesystem::directory_iterator("/sys/class/block/" + name, ec))
    if (std::filesystem::exists(item.path() / "partition")) return false;
  return true;
}

// Adds the drives of one path: its partitions holding FAT/NTFS, or the bare volume, or a
// drive with a problem text. With `only_volumes`, adds nothing unless a volume was found.
void attach_path(const std::string& path, bool only_volumes, bool skip_partitioned,
                 std::vector<char>& letters) {
  Source base;
  base.path = path;
  const auto opened = std::make_shared<const SourceFile>(path, false);
  const SourceFile& file = *opened;
  base.block_device = file.is_block_device();
  if (!file.is_open()) {
    if (only_volumes && !may_hold_volume(path, skip_partitioned)) return;
    base.length = sysfs_size(path);
    base.problem = open_problem_text(path, file.open_errno(), file.is_block_device());
    add_entry(base, std::nullopt, letters);
    return;
  }
  base.length = file.length();
  std::error_code ec;
  if (!base.block_device && !std::filesystem::is_regular_file(path, ec)) {
    if (only_volumes) return;
    base.problem = path + " is neither an image file nor a block device";
    add_entry(base, std::nullopt, letters);
    return;
  }
  VolumeDetails whole = probe_source_volume(file, path, 0, base.length, false);
  if (!whole.file_system.empty()) {
    add_entry(base, whole, letters, opened);
    return;
  }
  const ReadAt read = [&](uint64_t at, void* buffer, size_t size) {
    return file.read_at(at, buffer, size);
  };
  const PartitionTable partitions = read_partition_table(read, base.length);
  if (skip_partitioned && !partitions.partitions.empty()) return;
  // No partition table: a bare volume whose boot sector is damaged may still be read by
  // its backup.
  if (partitions.kind.empty()) {
    whole = probe_source_volume(file, path, 0, base.length);
    if (!whole.file_system.empty()) {
      add_entry(base, whole, letters, opened);
      return;
    }
  }
  // The table's numbers count 512-byte sectors, unless only 4,096-byte ones (a 4Kn disk)
  // lead to volumes.
  bool found = false;
  for (const uint32_t sector_size : {512u, 4096u}) {
    const PartitionTable table =
        sector_size == 512 ? partitions : read_partition_table(read, base.length, sector_size);
    for (const PartitionEntry& p : table.partitions) {
      VolumeDetails details = probe_source_volume(file, path, p.offset, p.length);
      if (details.file_system.empty()) continue;
      Source source = base;
      source.offset = p.offset;
      source.length = p.length;
      source.partition = p.number;
      add_entry(source, details, letters, opened);
      found = true;
    }
    if (found || partitions.kind.empty()) break;
  }
  if (found || only_volumes) return;
  if (!partitions.kind.empty()) {
    base.problem = path + " holds an " + partitions.kind + " partition table with " +
                   std::to_string(partitions.partitions.size()) +
                   " partition(s), none of them FAT, exFAT or NTFS";
  } else if (base.length < 512) {
    base.problem =
        path + " is too short to hold a volume (" + std::to_string(base.length) + " bytes)";
  } else {
    base.problem = path + " " + whole.problem;
  }
  add_entry(base, whole, letters);
}

bool already_attached(const std::string& path) {
  struct stat wanted {};
  if (::stat(path.c_str(), &wanted) != 0) wanted.st_mode = 0;
  for (const Entry& e : table) {
    if (e.removed) continue;
    struct stat st {};
    if (e.drive.source.path == path) return true;
    if (S_ISBLK(wanted.st_mode) && ::stat(e.drive.source.path.c_str(), &st) == 0 &&
        S_ISBLK(st.st_mode) && st.st_rdev == wanted.st_rdev) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::vector<char> attach_sources(const std::vector<std::string>& paths) {
  const std::lock_guard lock(table_mutex);
  std::vector<char> letters;
  for (const std::string& path : paths) attach_path(path, false, false, letters);
  return letters;
}

std::vector<char> attach_machine_volumes() {
  const std::lock_guard lock(table_mutex);
  std::vector<char> letters;
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& item : std::filesystem::directory_iterator("/sys/class/block", ec)) {
    names.push_back(item.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string sys = "/sys/class/block/" + name;
    if (read_text_file(sys + "/size") == "0") continue;
    const std::string device = "/dev/" + name;
    if (already_attached(device)) continue;
    // Whole disks with a partition table are skipped: their partitions have entries of their own.
    const bool partition = std::filesystem::exists(sys + "/partition");
    attach_path(device, true, !partition, letters);
  }
  return letters;
}

void reset_drive_table() {
  const std::lock_guard lock(table_mutex);
  table.clear();
}

bool attach_source_fd(char letter, int fd) {
  SharedDescriptor descriptor = share_descriptor(fd);
  const std::lock_guard lock(table_mutex);
  Entry* e = entry_for(letter);
  if (!e || e->removed || !descriptor) return false;
  Source& s = e->drive.source;
  s.descriptor = std::move(descriptor);
  s.problem.clear();
  e->last_error.clear();
  const SourceFile file(*s.descriptor);
  s.block_device = file.is_block_device();
  struct stat st {};
  if (::fstat(file.fd(), &st) == 0) e->type = source_type(st);
  if (s.offset == 0 && file.length() > 0) s.length = file.length();
  e->details = probe_source_volume(file, s.path, s.offset, s.length);
  return true;
}

void detach_drive(char letter) {
  const std::lock_guard lock(table_mutex);
  if (Entry* e = entry_for(letter)) {
    e->removed = true;
    e->open_file.reset();
    e->drive.source.descriptor.reset();
    e->drive.source.problem = e->drive.source.path + " was removed";
  }
}

bool is_attached(const std::string& path) {
  const std::lock_guard lock(table_mutex);
  return already_attached(path);
}

const Drive* find_drive(char letter) {
  const std::lock_guard lock(table_mutex);
  const Entry* e = entry_for(letter);
  return e && !e->removed ? &e->drive : nullptr;
}

std::vector<Drive> drives() {
  const std::lock_guard lock(table_mutex);
  std::vector<Drive> list;
  for (const Entry& e : table)
    if (!e.removed) list.push_back(e.drive);
  return list;
}

std::optional<VolumeDetails> volume_details(char letter) {
  const std::lock_guard lock(table_mutex);
  Entry* e = entry_for(letter);
  if (!e) return std::nullopt;
  if (!e->details) {
    const Source& s = e->drive.source;
    const SourceFile file = open_source(s, false);
    if (file.is_open()) {
      e->details = probe_source_volume(file, s.path, s.offset, s.length);
    } else {
      e->details = VolumeDetails{};
      e->details->problem = open_problem_text(s.path, file.open_errno(), file.is_block_device());
    }
  }
  return e->details;
}

uint32_t drive_type(char letter) {
  const std::lock_guard lock(table_mutex);
  const Entry* e = entry_for(letter);
  return e ? e->type : 1;
}

uint32_t logical_drives_mask() {
  const std::lock_guard lock(table_mutex);
  uint32_t mask = 0;
  for (const Entry& e : table)
    if (!e.removed) mask |= 1u << (e.drive.letter - 'A');
  return mask;
}

namespace {

thread_local int last_error = 0;
// The source of `e` opened read-only: the kept one, or a new one that is kept (for every
// entry of the same path) while sources are held. The caller holds table_mutex.
std::shared_ptr<const SourceFile> reading_file(Entry& e) {
  if (e.open_file) return e.open_file;
  const Source& s = e.drive.source;
  // A source handed over as a descriptor reads through a duplicate of it.
  auto file = s.descriptor ? std::make_shared<const SourceFile>(*s.descriptor)
                           : std::make_shared<const SourceFile>(s.path, false);
  if (source_holds > 0 && file->is_open()) {
    for (Entry& other : table)
      if (!other.open_file && !other.removed && other.drive.source.path == s.path &&
          other.drive.source.descriptor == s.descriptor)
        other.open_file = file;
  }
  return file;
}

// `buffer` is only read from when `write` is set.
bool transfer(char letter, uint64_t offset, void* buffer, size_t size, bool write) {
  Source source;
  std::shared_ptr<const SourceFile> file;
  {
    const std::lock_guard lock(table_mutex);
    Entry* e = entry_for(letter);
    if (!e) return false;
    if (e->removed || e->gone) {
      e->last_error = e->removed ? e->drive.source.problem : e->drive.source.path + " is gone";
      last_error = ENODEV;
      return false;
    }
    source = e->drive.source;
    // Writes never go through the kept read-only descriptor.
    if (!write && offset <= source.length) file = reading_file(*e);
  }
  if (write && offset <= source.length)
    file = std::make_shared<const SourceFile>(source.path, true);
  // Requests past the volume's end fail without being a fault of the drive; only open and
  // I/O failures are kept as the drive's problem.
  std::string error;
  bool ok = false;
  last_error = 0;
  if (offset <= source.length) {
    const size_t inside = static_cast<size_t>(std::min<uint64_t>(size, source.length - offset));
    int err = 0, area_err = 0;
    // Areas marked unreadable (a ddrescue map) fail like bad sectors after what lies before.
    const size_t readable =
        write ? inside : readable_prefix(source.path, source.offset + offset, inside, &area_err);
    if (!write && source_gone_for_testing(source.path)) {
      last_error = ENODEV;
      error = source.path + " is gone";
    } else if (!file->is_open()) {
      last_error = file->open_errno() == kNotFileOrDevice ? EINVAL : file->open_errno();
      error = open_problem_text(source.path, file->open_errno(), file->is_block_device());
    } else if (write ? !file->write_at(source.offset + offset, buffer, inside, nullptr, &err)
                     : !file->read_at(source.offset + offset, buffer, readable, nullptr, &err) ||
                           readable < inside) {
      if (err == 0) err = area_err;
      last_error = err;
      error = std::string(write ? "write" : "read") + " of " + std::to_string(inside) +
              " bytes at " + std::to_string(source.offset + offset) + " in " + source.path +
              " failed: " + (err ? error_text(err) : std::string("end of file"));
    } else {
      ok = inside == size;
    }
  }
  // A read that failed because the source went away: a device pulled (its size is 0 now)
  // or an image or device that can no longer be opened.
  const int open_error = file && !file->is_open() ? file->open_errno() : 0;
  const bool gone =
      !write && !error.empty() && source.problem.empty() &&
      (last_error == ENODEV || (file && file->shrunk()) || open_error == ENOENT ||
       open_error == ENXIO || open_error == ENODEV || open_error == ENOMEDIUM);
  if (gone) last_error = ENODEV;
  if (!error.empty()) {
    const std::lock_guard lock(table_mutex);
    if (Entry* e = entry_for(letter)) {
      e->last_error = error;
      e->gone = e->gone || gone;
    }
  }
  return ok;
}

}  // namespace

SourceHold::SourceHold() {
  const std::lock_guard lock(table_mutex);
  ++source_holds;
}

SourceHold::~SourceHold() {
  const std::lock_guard lock(table_mutex);
  if (--source_holds > 0) return;
  for (Entry& e : table) e.open_file.reset();
}

bool read_volume(char letter, uint64_t offset, void* buffer, size_t size) {
  return transfer(letter, offset, buffer, size, false);
}

bool write_volume(char letter, uint64_t offset, const void* buffer, size_t size) {
  return transfer(letter, offset, const_cast<void*>(buffer), size, true);
}

int last_transfer_error() {
  return last_error;
}

bool source_gone(char letter) {
  const std::lock_guard lock(table_mutex);
  const Entry* e = entry_for(letter);
  return e != nullptr && (e->gone || e->removed);
}

bool first_notice_of_gone_source(char letter) {
  const std::lock_guard lock(table_mutex);
  Entry* e = entry_for(letter);
  if (e == nullptr || !(e->gone || e->removed) || e->gone_noticed) return false;
  e->gone_noticed = true;
  return true;
}

std::string drive_problem(char letter) {
  const std::lock_guard lock(table_mutex);
  const Entry* e = entry_for(letter);
  if (!e) return "";
  if (!e->drive.source.problem.empty()) return e->drive.source.problem;
  return e->last_error;
}

}  // namespace pyralis::platform
