// SPDX-License-Identifier: GPL-3.0-or-later
// The deleted-file scan: walks the MFT bitmap, reads every record no longer in use and
// lists those that still hold a file, with its name, folder path, size, times and estimate.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "core/cluster_buffer.h"
#include "core/date_time.h"
#include "core/engine_window.h"
#include "core/found_files.h"
#include "core/process_state.h"
#include "ntfs/ntfs_engine.h"
#include "ntfs/ntfs_internal.h"
#include "rawdisk/raw_disk_access.h"
#include "rawdisk/raw_disk_access_component.h"

namespace pyralis::ntfs {

namespace {

constexpr size_t kChunkBytes = 2048;
constexpr int kMaxPathSteps = 255;  // folder levels followed towards the root
constexpr uint64_t kRecordNumberMask = 0x0000FFFFFFFFFFFFull;  // low 48 bits of a reference
constexpr uint8_t kDosNamespace = 2;

void log(const std::string& line) {
  Window().LogLine(line);
}

// NameCache: entries in the order added, with a hash index on the record number.
struct NameCache {
  std::vector<NameCacheEntry> entries;
  std::unordered_map<int64_t, size_t> index;
};
NameCache g_names;

// The name a record is listed under: its last Win32 or POSIX name (namespaces 0, 1, 3) in
// record order, else its last DOS name (namespace 2).
struct ChosenName {
  int examined = 0;
  bool found = false;
  std::string name;
  int64_t parent = kRootDirectory;
};

ChosenName choose_file_name(Bytes record) {
  ChosenName chosen;
  std::optional<Bytes> long_value, dos_value;
  SearchContext context = new_search_context(record);
  while (const auto attribute = next_attribute(kFileName, context)) {
    const auto value = resident_value(*attribute);
    if (!value || value->size() < 0x42) continue;
    const uint8_t length = le8(*value, 0x40);
    if (length == 0) break;
    if (!fits(value->size(), 0x42, length * 2u)) continue;
    ++chosen.examined;
    chosen.parent = static_cast<int64_t>(le64(*value, 0x00) & kRecordNumberMask);
    const uint8_t name_space = le8(*value, 0x41);
    if (name_space > 3) continue;
    (name_space == kDosNamespace ? dos_value : long_value) = value;
  }
  const auto& best = long_value ? long_value : dos_value;
  if (best) {
    const Bytes v = *best;
    const uint8_t length = le8(v, 0x40);
    std::u16string wide(length, u'\0');
    for (size_t i = 0; i < length; ++i) wide[i] = static_cast<char16_t>(le16(v, 0x42 + 2 * i));
    chosen.found = true;
    chosen.name = cut_characters(WideToAnsi(wide), 255);
    chosen.parent = static_cast<int64_t>(le64(v, 0x00) & kRecordNumberMask);
  }
  return chosen;
}

std::string drive_root(const NtfsVolume& volume) {
  const char letter = volume.component ? volume.component->LogicalDrive() : 0;
  return std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(letter)))) +
         ":\\";
}

}  // namespace

const NameCacheEntry* name_cache_find(int64_t record) {
  const auto it = g_names.index.find(record);
  return it == g_names.index.end() ? nullptr : &g_names.entries[it->second];
}

void name_cache_add(NameCacheEntry entry) {
  if (g_names.entries.size() % 1000 == 0) g_names.entries.reserve(g_names.entries.size() + 1000);
  g_names.index.emplace(entry.record, g_names.entries.size());  // the first entry wins
  g_names.entries.push_back(std::move(entry));
}

size_t name_cache_size() {
  return g_names.entries.size();
}

int64_t ntfs_time_to_unix(int64_t ticks) {
  // A damaged record may hold any 64-bit time: the difference must not overflow.
  int64_t since_1970 = 0;
  if (__builtin_sub_overflow(ticks, 116'444'736'000'000'000LL, &since_1970))
    return INT64_MIN / 10'000'000LL;
  // Whole seconds down, so that a time before 1970 keeps its second (and its day).
  const int64_t seconds = since_1970 / 10'000'000LL;
  return since_1970 % 10'000'000LL < 0 ? seconds - 1 : seconds;
}

int get_filenames(FileRecordInfo& info) {
  info.name.clear();
  if (info.record.empty()) return -1;
  const ChosenName chosen = choose_file_name(info.record);
  if (chosen.examined > 0) info.parent = chosen.parent;
  if (chosen.found) info.name = chosen.name;
  return chosen.examined;
}

int get_data_streams(FileRecordInfo& info, NtfsVolume& volume) {
  info.streams.clear();
  if (info.record.empty()) return -1;
  const Bytes record(info.record);
  SearchContext context = new_search_context(record);
  bool have_size = false;
  while (const auto attribute = next_attribute(kData, context)) {
    if (info.streams.size() == kMaxStreams) {
      log("ERROR: More than " + std::to_string(kMaxStreams) + " data streams in record " +
          std::to_string(info.number) + "; the rest are ignored");
      break;
    }
    const Bytes a = *attribute;
    DataStream s;
    s.resident = !attribute_non_resident(a);
    s.compressed = (attribute_flags(a) & kAttrCompressed) != 0;
    s.encrypted = (attribute_flags(a) & kAttrEncrypted) != 0;
    s.name = attribute_name(a);
    if (s.resident) {
      if (const auto value = resident_value(a)) {
        s.data_size = static_cast<int64_t>(value->size());
        s.value = static_cast<size_t>(value->data() - record.data());
      } else {
        s.value_in_record = false;
        s.data_size = le32(a, 0x10);
        log("ERROR: Resident data lies outside its attribute in record " +
            std::to_string(info.number) + "; the stream is not recoverable");
      }
    } else {
      s.data_size = std::max<int64_t>(le64s(a, 0x30), 0);
      s.runlist = decode_runlist(a);
      if (s.compressed) s.compression_unit = le8(a, 0x22);
      if (!s.runlist)
        log("ERROR: Couldn't decompress the data runs for " + std::to_string(info.number));
    }
    if (s.name.empty() && !have_size) {
      info.size = s.data_size;
      have_size = true;
    }
    info.streams.push_back(std::move(s));
  }
  info.streams.shrink_to_fit();
  return static_cast<int>(info.streams.size());
}

std::string get_path(NtfsVolume& volume, int64_t start) {
  const std::string root = drive_root(volume);
  if (start == kRootDirectory) return root;
  // A path that cannot be followed to the root (an unreadable or nameless parent, a loop, or
  // more levels than the bound) starts with "?\" after the drive: never as if complete.
  const std::string unknown = root + "?\\";
  std::string acc;
  int64_t cur = start;
  std::vector<uint8_t> record;
  std::unordered_set<int64_t> visited;
  for (int step = 0; step < kMaxPathSteps; ++step) {
    if (!visited.insert(cur).second) return unknown + acc;  // the parents run in a loop
    const NameCacheEntry* entry = name_cache_find(cur);
    if (entry == nullptr) {
      if (record.empty()) record.assign(volume.mft_record_size, 0);
      if (read_mft_record(volume, cur, record, kPathBuffer, nullptr) != RecordRead::kOk) {
        return unknown + acc;
      }
      ChosenName chosen = choose_file_name(record);
      name_cache_add({cur, chosen.parent, std::move(chosen.name), chosen.found});
      entry = name_cache_find(cur);
    }
    if (!entry->has_name) return unknown + acc;
    acc = entry->name + "\\" + acc;
    cur = entry->parent;
    if (cur == kRootDirectory) return root + acc;
  }
  return unknown + acc;  // deeper than the bound
}

namespace {

// Adds the runs of the unnamed non-resident $DATA attributes of `record` to `out`.
void add_data_runs(const NtfsVolume& volume, Bytes record, std::vector<ByteExtent>& out) {
  SearchContext context = new_search_context(record);
  while (const auto attribute = next_attribute(kData, context)) {
    if (!attribute_non_resident(*attribute) || !attribute_name(*attribute).empty()) continue;
    const auto runs = decode_runlist(*attribute);
    if (!runs) continue;
    for (const RunElement& run : *runs) {
      if (run.lcn < 0 || run.length <= 0 || run.lcn >= volume.total_clusters) continue;
      const int64_t end = run.length > volume.total_clusters - run.lcn ? volume.total_clusters
                                                                       : run.lcn + run.length;
      out.push_back({static_cast<uint64_t>(run.lcn) * volume.cluster_size,
                     static_cast<uint64_t>(end - run.lcn) * volume.cluster_size});
    }
  }
}

// The value of the record's $ATTRIBUTE_LIST, resident or read from its clusters; empty when
// there is none or it cannot be read.
std::vector<uint8_t> attribute_list(NtfsVolume& volume, Bytes record) {
  const auto list = lookup_attribute(kAttributeList, record);
  if (!list) return {};
  if (!attribute_non_resident(*list)) {
    const auto value = resident_value(*list);
    return value ? std::vector<uint8_t>(value->begin(), value->end()) : std::vector<uint8_t>{};
  }
  NtfsInode inode;
  inode.volume = &volume;
  NtfsAttribute attribute;
  attribute.inode = &inode;
  attribute.type = kAttributeList;
  attribute.state = 3;
  attribute.runlist = decode_runlist(*list);
  attribute.data_size = std::min(std::max<int64_t>(le64s(*list, 0x30), 0), kMaxListBytes);
  attribute.initialized_size = std::max<int64_t>(le64s(*list, 0x38), 0);
  if (!attribute.runlist || attribute.data_size == 0) return {};
  std::vector<uint8_t> value(static_cast<size_t>(attribute.data_size));
  const int64_t got =
      read_attribute(&attribute, value.data(), kPathBuffer, nullptr, attribute.data_size, 0);
  value.resize(static_cast<size_t>(std::max<int64_t>(got, 0)));
  return value;
}

}  // namespace

std::vector<ByteExtent> data_extents(NtfsVolume& volume, Bytes record, int64_t number,
                                     bool follow_list) {
  std::vector<ByteExtent> out;
  add_data_runs(volume, record, out);
  if (!follow_list) return out;
  const std::vector<uint8_t> list = attribute_list(volume, record);
  // Entries: type (0x00), length (0x04), name length (0x06), starting VCN (0x08), the
  // record holding the attribute (0x10, 48-bit number and sequence).
  std::unordered_set<int64_t> read;
  std::vector<uint8_t> extension(volume.mft_record_size);
  const Bytes entries(list);
  for (size_t at = 0; at + 0x18 <= entries.size() && read.size() < kMaxListRecords;) {
    const uint16_t length = le16(entries, at + 0x04);
    if (length < 0x18 || length > entries.size() - at) break;
    const int64_t holder = static_cast<int64_t>(le64(entries, at + 0x10) & 0xFFFFFFFFFFFFull);
    if (le32(entries, at) == kData && le8(entries, at + 0x06) == 0 && holder != number &&
        read.insert(holder).second &&
        read_mft_record(volume, holder, extension, kPathBuffer, nullptr) == RecordRead::kOk &&
        static_cast<int64_t>(le64(Bytes(extension), 0x20) & 0xFFFFFFFFFFFFull) == number)
      add_data_runs(volume, extension, out);
    at += length;
  }
  return out;
}

void add_found_file(const FileRecordInfo& info, NtfsVolume& volume) {
  FoundFileRecord found;
  found.Inode = info.number;
  found.Sector = info.sector;
  found.Size = info.size;
  found.RecoveryQuality = static_cast<int8_t>(std::clamp(info.quality, -3, 100));
  found.Created = unix_to_local_date_time(info.creation_time);
  found.Modified = unix_to_local_date_time(info.data_change_time);
  found.Name = info.name;
  found.Path = info.path;
  RowFacts facts;
  facts.data_runs = data_extents(volume, info.record, info.number, true);
  facts.data_runs_known = true;
  FoundFiles.append(std::move(found), std::move(facts));
}

std::unique_ptr<FileRecordInfo> read_record(NtfsVolume* volume, int64_t number) {
  if (volume == nullptr) return nullptr;
  auto info = std::make_unique<FileRecordInfo>();
  info->number = number;
  info->record.assign(volume->mft_record_size, 0);
  if (volume->mft_data == nullptr) {
    log("ERROR: Couldnot open $MFT/$DATA");
    return nullptr;
  }
  switch (read_mft_record(*volume, number, info->record, kRecordBuffer, &info->sector)) {
    case RecordRead::kOk:
      break;
    case RecordRead::kNoSignature:
      return nullptr;
    case RecordRead::kUnreadable:
      ScanUnreadable.records.insert(number);
      log("ERROR: Couldnot read MFT Record " + std::to_string(number));
      return nullptr;
    case RecordRead::kDamaged:
      log("ERROR: Couldnot read MFT Record " + std::to_string(number));
      return nullptr;
  }
  return describe_record(std::move(info), *volume);
}

std::unique_ptr<FileRecordInfo> read_record_at(NtfsVolume& volume, uint64_t offset) {
  auto info = std::make_unique<FileRecordInfo>();
  info->record.assign(volume.mft_record_size, 0);
  TBuffer* buffer = engine_buffer(kRecordBuffer);
  if (buffer == nullptr || volume.component == nullptr || volume.sector_size == 0 ||
      offset > static_cast<uint64_t>(INT64_MAX) ||
      buffer->ReadBytes(*volume.component, static_cast<int64_t>(offset), volume.mft_record_size,
                        info->record.data()) <= 0)
    return nullptr;
  if (std::memcmp(info->record.data(), "FILE", 4) != 0 || !apply_fixups(info->record) ||
      !record_is_sound(info->record))
    return nullptr;
  info->number = record_number(info->record);
  info->sector = static_cast<int64_t>(offset / volume.sector_size);
  return describe_record(std::move(info), volume);
}

int64_t record_number(Bytes record) {
  // NTFS 3.1 keeps the record's own number at 0x2C, before its update sequence at 0x30;
  // older records have the update sequence at 0x2A and no number.
  if (record.size() < 0x30 || le16(record, 0x04) < 0x30) return -1;
  return le32(record, 0x2C);
}

std::unique_ptr<FileRecordInfo> describe_record(std::unique_ptr<FileRecordInfo> info,
                                                NtfsVolume& volume_ref) {
  NtfsVolume* volume = &volume_ref;
  const int64_t number = info->number;
  const Bytes record(info->record);
  const auto standard = lookup_attribute(kStandardInformation, record);
  const auto standard_value = standard ? resident_value(*standard) : std::nullopt;
  if (!standard_value || standard_value->size() < 0x18) return nullptr;
  info->creation_time = ntfs_time_to_unix(le64s(*standard_value, 0x00));
  info->data_change_time = ntfs_time_to_unix(le64s(*standard_value, 0x08));
  info->mft_change_time = ntfs_time_to_unix(le64s(*standard_value, 0x10));
  info->is_directory = lookup_attribute(kIndexRoot, record).has_value();
  if (info->is_directory) return info;
  // Records without any file name never held a file of their own: extension records of
  // another file, and the reserved records after the system files.
  if (!lookup_attribute(kFileName, record)) return nullptr;
  if (get_filenames(*info) < 0) {
    log("ERROR: Couldnot get filenames for " + std::to_string(number));
    return nullptr;
  }
  if (get_data_streams(*info, *volume) <= 0) {
    log("ERROR: Couldn't get data streams for " + std::to_string(number));
    return nullptr;
  }
  info->quality = calc_percentage(info.get(), volume);
  return info;
}

int scan_disk(NtfsVolume* volume) {
  reset_cluster_bitmap_cache();
  if (volume == nullptr) return -1;
  auto bitmap = open_attribute(volume->mft_inode.get(), kBitmap);
  if (bitmap == nullptr) {
    log("ERROR: Couldnot open $MFT/$BITMAP in scan_disk()");
    return -1;
  }
  EngineWindow& window = Window();
  // A damaged $MFT may claim petabytes: no more records than the volume can hold are walked.
  const int64_t volume_records = volume->total_clusters >
                                         (INT64_MAX >> volume->cluster_size_bits)
                                     ? INT64_MAX
                                     : (volume->total_clusters << volume->cluster_size_bits) >>
                                           volume->mft_record_size_bits;
  const int64_t records = std::min(
      volume->mft_data->initialized_size >> volume->mft_record_size_bits, volume_records);
  const int64_t bitmap_bytes =
      std::min(std::max<int64_t>(bitmap->initialized_size, 0), records / 8 + 1);
  std::vector<uint8_t> chunk(kChunkBytes);
  window.SetGaugeMaxValue(records);
  int found = 0;
  bool done = false;
  for (int64_t pos = 0; pos < bitmap_bytes && !done; pos += kChunkBytes) {
    // Bytes the read does not deliver count as records in use.
    std::fill(chunk.begin(), chunk.end(), 0xFF);
    const int64_t n = read_attribute(bitmap.get(), chunk.data(), kMftBitmapBuffer, nullptr,
                                     std::min<int64_t>(bitmap_bytes - pos, kChunkBytes), pos);
    if (n < 0) break;
    for (int64_t b = 0; b < n && !done; ++b) {
      if (!ScanActive) {
        done = true;
        break;
      }
      const uint8_t bits = chunk[static_cast<size_t>(b)];
      for (int k = 0; k < 8; ++k) {
        const int64_t r = (pos + b) * 8 + k;
        if (r >= records) {
          done = true;
          break;
        }
        if (bits & (1u << k)) continue;
        try {
          auto info = read_record(volume, r);
          window.ProcessMessages();
          if (info && !info->is_directory) {
            info->path = cut_characters(get_path(*volume, info->parent), 255);
            add_found_file(*info, *volume);
            ++found;
          }
        } catch (...) {
          log("Unhandled exception");
        }
      }
      window.SetFilesFoundText(std::to_string(found));
      window.SetElapsedText(elapsed_text());
      window.SetGaugeProgress((pos + b) * 8 + 8);
    }
  }
  window.SetStatusFilesText("Files: " + std::to_string(found));
  log("Files with potentially recoverable content: " + std::to_string(found));
  return found;
}

}  // namespace pyralis::ntfs

namespace pyralis {

int ntfs_scan(TRawDiskAccessComponent& component) {
  ntfs::ScopedReadBuffers buffers;  // MftBitmap, Record, Path, VolumeBitmap
  auto volume = ntfs::mount_volume(&component, true);
  if (!volume) return 0;  // the mount logged why
  const int found = ntfs::scan_disk(volume.get());
  ntfs::umount_volume(volume);
  return found < 0 ? 0 : 1;
}

void ntfs_clear_name_cache() {
  ntfs::g_names.entries.clear();
  ntfs::g_names.entries.shrink_to_fit();
  ntfs::g_names.index.clear();
}

}  // namespace pyralis
