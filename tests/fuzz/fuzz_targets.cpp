// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/fuzz/fuzz_targets.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include "carve/carve.h"
#include "core/date_time.h"
#include "core/engine_window.h"
#include "core/found_files.h"
#include "core/process_state.h"
#include "core/recovered_file.h"
#include "core/recovery_command.h"
#include "drivers/drivers.h"
#include "exfat/exfat_entries.h"
#include "fat/fat_names.h"
#include "filetypes/filetypes.h"
#include "ntfs/ntfs_engine.h"
#include "ntfs/ntfs_internal.h"
#include "ntfs/ntfs_lznt1.h"
#include "platform/drive_table.h"
#include "rawdisk/raw_disk_access.h"
#include "sweep/exfat_deep.h"
#include "sweep/fat_deep.h"
#include "sweep/ntfs_deep.h"
#include "tests/ntfsimg/ntfs_image_builder.h"

namespace fs = std::filesystem;

namespace pyralis::fuzz {

namespace {

// A broken promise of the code under test: stop here so that the fuzzer keeps the input.
#define FUZZ_CHECK(condition) \
  do {                        \
    if (!(condition)) __builtin_trap(); \
  } while (0)

// Where a target's volume file and recovered files live: one folder per process, removed
// at exit.
const std::string& scratch() {
  // Never destroyed: the exit handler that removes the folder runs after static destructors.
  static const std::string* dir = [] {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/pyralis-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    std::atexit([] {
      std::error_code ec;
      fs::remove_all(scratch(), ec);
    });
    return new std::string(pattern);
  }();
  return *dir;
}

// Installs a window that drops everything for the length of one input.
class QuietWindow : public EngineWindow {
 public:
  QuietWindow() { SetEngineWindow(this); }
  ~QuietWindow() override { SetEngineWindow(nullptr); }
};

bool write_at(const std::string& path, uint64_t offset, const uint8_t* data, size_t size,
              bool truncate) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | (truncate ? O_TRUNC : 0) | O_CLOEXEC,
                        0600);
  if (fd < 0) return false;
  bool ok = size == 0 || ::pwrite(fd, data, size, static_cast<off_t>(offset)) ==
                             static_cast<ssize_t>(size);
  ok = ::close(fd) == 0 && ok;
  return ok;
}

// Scans `image` through the scan driver and recovers up to `rows` found files (those with
// `inode` first when it is not -1) into a fresh folder, which is emptied afterwards.
void scan_and_recover(const std::string& image, int rows, int64_t inode = -1) {
  platform::reset_drive_table();
  const auto letters = platform::attach_sources({image});
  if (letters.empty()) return;
  const char letter = letters.front();
  FoundFiles.clear();
  ntfs_clear_name_cache();
  ScanStartTime = std::chrono::steady_clock::now();
  scan_drive(letter);
  ScanActive = false;
  const std::string out = scratch() + "/out";
  std::error_code ec;
  fs::create_directory(out, ec);
  RecoveryActive = true;
  {
    const RecoveryCommand command;  // as the window's Unerase: one command, no digests
    int done = 0;
    for (int32_t i = 0; i < FoundFiles.Count() && done < rows; ++i) {
      if (inode != -1 && FoundFiles[i].Inode != inode) continue;
      undelete_found_file(letter, i, out + "/");
      ++done;
    }
  }
  RecoveryActive = false;
  // Everything recovered stays inside `out` as plain files.
  for (const auto& entry : fs::directory_iterator(out, ec)) {
    FUZZ_CHECK(entry.is_regular_file() && !entry.is_symlink());
  }
  for (const auto& entry : fs::directory_iterator(out, ec)) fs::remove(entry.path(), ec);
  platform::reset_drive_table();
}

// The synthetic NTFS volume of the record and mount targets, written once per process.
struct NtfsBase {
  std::vector<uint8_t> bytes;
  uint64_t record_size = 0;
  uint64_t mft_offset = 0;        // byte offset of record 0
  uint64_t target_record = 0;     // a deleted file's record
  uint64_t target_offset = 0;
  std::vector<uint64_t> records;  // records worth seeding with
};

const NtfsBase& ntfs_base() {
  static const NtfsBase base = [] {
    NtfsBase b;
    test::NtfsGeometry g;
    g.total_sectors = 8192;
    g.mft_capacity = 64;
    test::NtfsImageBuilder builder(g);
    const uint64_t dir = builder.add_directory("folder");
    const uint64_t gone = builder.add_directory("gone", dir, true);
    test::FileSpec f;
    f.name = "resident.txt";
    f.deleted = true;
    f.content = std::string(600, 'r');  // crosses the first fix-up position
    b.records.push_back(builder.add_file(f));
    f = {};
    f.name = "fragmented.bin";
    f.parent = gone;
    f.deleted = true;
    f.pattern_size = 5 * builder.cluster_size() + 7;
    f.fragments = 3;
    f.backwards = true;
    f.dos_name = "FRAGME~1.BIN";
    f.dos_name_first = true;
    b.target_record = builder.add_file(f);
    b.records.push_back(b.target_record);
    f = {};
    f.name = "sparse.dat";
    f.parent = dir;
    f.deleted = true;
    f.pattern_size = 6 * builder.cluster_size();
    f.holes = {{1, 2}};
    f.streams = {{"Zone.Identifier", "[ZoneTransfer]\r\nZoneId=3\r\n", false}};
    b.records.push_back(builder.add_file(f));
    b.records.push_back(dir);
    b.records.push_back(0);
    b.bytes = builder.build();
    b.record_size = g.mft_record_size;
    b.mft_offset = builder.record_offset(0);
    b.target_offset = builder.record_offset(b.target_record);
    return b;
  }();
  return base;
}

// The base volume as file `name` with each patch written at its offset (every input
// rewrites the same ranges, so nothing of an earlier input is left).
std::string patched_ntfs(const std::string& name,
                         std::initializer_list<std::pair<uint64_t, std::vector<uint8_t>>> patches) {
  const NtfsBase& base = ntfs_base();
  const std::string path = scratch() + "/" + name;
  if (!fs::exists(path)) write_at(path, 0, base.bytes.data(), base.bytes.size(), true);
  for (const auto& [offset, bytes] : patches) write_at(path, offset, bytes.data(), bytes.size(), false);
  return path;
}

std::vector<uint8_t> piece(const uint8_t* data, size_t size, size_t from, size_t length,
                           const std::vector<uint8_t>& fallback, size_t fallback_at) {
  std::vector<uint8_t> out(fallback.begin() + fallback_at, fallback.begin() + fallback_at + length);
  if (size > from) std::memcpy(out.data(), data + from, std::min(length, size - from));
  return out;
}

// Walks every attribute of a record the way the engine does and looks at each.
void walk_record(std::vector<uint8_t>& record) {
  const bool fixed = ntfs::apply_fixups(record);
  const ntfs::Bytes bytes(record);
  const bool sound = ntfs::record_is_sound(bytes);
  ntfs::SearchContext context = ntfs::new_search_context(bytes);
  for (int n = 0; n < 4096; ++n) {
    const auto attribute = ntfs::next_attribute(0, context);
    if (!attribute) break;
    FUZZ_CHECK(attribute->data() >= record.data() &&
               attribute->data() + attribute->size() <= record.data() + record.size());
    FUZZ_CHECK(n < 4095);  // a walk that never ends
    ntfs::attribute_name(*attribute);
    if (ntfs::attribute_non_resident(*attribute)) {
      ntfs::decode_runlist(*attribute);
    } else if (const auto value = ntfs::resident_value(*attribute)) {
      FUZZ_CHECK(value->data() >= attribute->data() &&
                 value->data() + value->size() <= attribute->data() + attribute->size());
    }
  }
  for (uint32_t type : {ntfs::kStandardInformation, ntfs::kFileName, ntfs::kData,
                        ntfs::kIndexRoot, ntfs::kBitmap})
    ntfs::lookup_attribute(type, bytes);
  (void)fixed;
  (void)sound;
}

}  // namespace

int fat_walk(const uint8_t* data, size_t size) {
  if (size < 512 || size > (4u << 20)) return 0;
  QuietWindow window;
  const std::string image = scratch() + "/fat.img";
  if (!write_at(image, 0, data, size, true)) return 0;
  scan_and_recover(image, 3);
  return 0;
}

int runlist(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  // The same bytes as the clusters of one LZNT1 compression unit (and of a short last one):
  // decompression stays inside its buffers.
  for (const size_t unit : {16 * ntfs::kLznt1ChunkBytes, size_t{5000}}) {
    std::vector<uint8_t> out(unit);
    ntfs::lznt1_decompress(std::span(data, size), out);
  }
  if (size < 8) return 0;
  std::vector<uint8_t> a(0x40 + size - 8, 0);
  a[0] = 0x80;
  const uint32_t length = static_cast<uint32_t>(a.size());
  std::memcpy(&a[4], &length, 4);  // little-endian host
  a[8] = 1;
  std::memcpy(&a[0x10], data, 8);
  a[0x20] = 0x40;
  std::memcpy(&a[0x40], data + 8, size - 8);
  const auto rl = ntfs::decode_runlist(ntfs::Bytes(a));
  if (!rl) return 0;
  FUZZ_CHECK(!rl->empty());
  const ntfs::RunElement& closing = rl->back();
  FUZZ_CHECK(closing.length == 0 && closing.lcn == ntfs::kLcnOutside);
  for (size_t i = 0; i + 1 < rl->size(); ++i) {
    const ntfs::RunElement& e = (*rl)[i];
    FUZZ_CHECK(e.length > 0 && e.vcn >= 0);
    FUZZ_CHECK((*rl)[i + 1].vcn - e.vcn == e.length);
    FUZZ_CHECK(e.lcn >= 0 || e.lcn == ntfs::kLcnHole || (i == 0 && e.lcn == ntfs::kLcnNotMapped));
  }
  ntfs::NtfsAttribute attribute;
  attribute.type = ntfs::kData;
  attribute.state = 3;
  attribute.runlist = rl;
  for (size_t i = 0; i + 1 < rl->size(); ++i) {
    const ntfs::RunElement& e = (*rl)[i];
    for (int64_t vcn : {e.vcn, e.vcn + e.length / 2, e.vcn + e.length - 1}) {
      const int64_t lcn = ntfs::vcn_to_lcn(&*rl, vcn);
      FUZZ_CHECK(lcn == (e.lcn >= 0 ? e.lcn + (vcn - e.vcn) : e.lcn));
      if (const auto index = ntfs::find_vcn(&attribute, vcn)) {
        FUZZ_CHECK(*index < rl->size());
        const ntfs::RunElement& found = (*rl)[*index];
        FUZZ_CHECK(found.vcn <= vcn && vcn - found.vcn < std::max<int64_t>(found.length, 1));
      }
    }
  }
  FUZZ_CHECK(ntfs::vcn_to_lcn(&*rl, closing.vcn) == ntfs::kLcnOutside);
  FUZZ_CHECK(ntfs::vcn_to_lcn(&*rl, -1) == ntfs::kLcnNegativeVcn);
  ntfs::find_vcn(&attribute, closing.vcn);
  ntfs::find_vcn(&attribute, INT64_MAX);
  return 0;
}

int ntfs_record(const uint8_t* data, size_t size) {
  const NtfsBase& base = ntfs_base();
  if (size > base.record_size) return 0;
  const std::vector<uint8_t> record =
      piece(data, size, 0, base.record_size, base.bytes, base.target_offset);
  std::vector<uint8_t> copy = record;
  walk_record(copy);
  QuietWindow window;
  const std::string image = patched_ntfs("record.img", {{base.target_offset, record}});
  scan_and_recover(image, 2, static_cast<int64_t>(base.target_record));
  return 0;
}

int ntfs_mount(const uint8_t* data, size_t size) {
  const NtfsBase& base = ntfs_base();
  if (size > 512 + base.record_size) return 0;
  QuietWindow window;
  const std::string image =
      patched_ntfs("mount.img", {{0, piece(data, size, 0, 512, base.bytes, 0)},
                    {base.mft_offset, piece(data, size, 512, base.record_size, base.bytes,
                                            base.mft_offset)}});
  scan_and_recover(image, 3);
  return 0;
}

int exfat_entry_set(const uint8_t* data, size_t size) {
  if (size > 65536) return 0;
  const std::span<const uint8_t> bytes(data, size);
  for (size_t at = 0; at < size; at += exfat::kEntryBytes) {
    const auto set = exfat::parse_entry_set(bytes.subspan(at));
    if (!set) continue;
    const size_t set_bytes = (1 + static_cast<size_t>(set->secondaries)) * exfat::kEntryBytes;
    FUZZ_CHECK(set->secondaries >= exfat::kMinSecondaries &&
               set->secondaries <= exfat::kMaxSecondaries);
    FUZZ_CHECK(at + set_bytes <= size);
    FUZZ_CHECK(!set->name.empty() && set->name.size() <= 255);
    FUZZ_CHECK(set->deleted == ((data[at] & exfat::kInUse) == 0));
    FUZZ_CHECK(set->checksum_ok == (exfat::set_checksum(bytes.subspan(at, set_bytes)) ==
                                    static_cast<uint16_t>(data[at + 2] | data[at + 3] << 8)));
    FUZZ_CHECK(set->checksum_ok || (set->deleted && !set->directory()));
    format_iso_date(exfat::entry_date_time(set->modify_timestamp, set->modify_10ms,
                                           set->modify_utc_offset));
    format_list_date(exfat::entry_date_time(set->create_timestamp, set->create_10ms,
                                            set->create_utc_offset));
    FUZZ_CHECK(cut_characters(WideToAnsi(set->name), 255).size() <= 255 * 4);
  }
  return 0;
}

int texts(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  const auto value = [&](size_t at) {
    uint64_t v = 0;
    if (at < size) std::memcpy(&v, data + at, std::min<size_t>(8, size - at));
    return v;
  };
  for (size_t at = 0; at < size || at == 0; at += 8) {
    const uint64_t v = value(at);
    const auto s = static_cast<int64_t>(v);
    FUZZ_CHECK(!size_to_text(s).empty());
    size_to_text(s, static_cast<char>(v >> 56));
    quality_to_text(static_cast<int>(v));
    quality_to_text(static_cast<int8_t>(v));
    double d;
    std::memcpy(&d, &v, sizeof d);
    format_list_date(d);
    format_iso_date(d);
    format_list_date(unix_to_date_time(s));
    format_iso_date(unix_to_local_date_time(s));
    format_iso_date(unix_to_local_date_time(ntfs::ntfs_time_to_unix(s)));
    format_list_date(dos_date_time(static_cast<uint16_t>(v), static_cast<uint16_t>(v >> 16)));
    const auto encoded = try_encode_date_time(
        static_cast<int16_t>(v), static_cast<int8_t>(v >> 16), static_cast<int8_t>(v >> 24),
        static_cast<int8_t>(v >> 32), static_cast<int8_t>(v >> 40), static_cast<int8_t>(v >> 48),
        static_cast<int16_t>(v >> 52));
    if (encoded) {
      const DateTimeParts parts = decode_date_time(*encoded);
      FUZZ_CHECK(parts.month >= 1 && parts.month <= 12 && parts.day >= 1 && parts.day <= 31);
    }
  }
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string safe = safe_file_name(text);
  FUZZ_CHECK(!safe.empty() && safe.size() <= 255 && safe != "." && safe != "..");
  FUZZ_CHECK(safe.find('/') == std::string::npos && safe.find('\0') == std::string::npos);
  FUZZ_CHECK(cut_bytes(text, size % 300).size() <= size % 300);
  cut_characters(text, size % 300);
  std::u16string units(size / 2, u'\0');
  if (!units.empty()) std::memcpy(units.data(), data, units.size() * 2);
  WideToAnsi(units);
  return 0;
}

namespace {

int shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

std::string read_all(const std::string& path, size_t limit) {
  std::string bytes;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return bytes;
  bytes.resize(limit);
  const ssize_t n = ::pread(fd, bytes.data(), limit, 0);
  ::close(fd);
  bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return bytes;
}

// A small FAT volume with live and deleted files, folders and a long name, cut after the
// part of the data area that the files use (the rest of the volume reads as zeros).
std::string fat_seed(int bits, int kib, size_t keep) {
  const std::string image = scratch() + "/seed.img";
  const std::string file = scratch() + "/seed.txt";
  const std::string tools = "MTOOLS_SKIP_CHECK=1 ";
  std::error_code ec;
  fs::remove(image, ec);
  if (shell("mkfs.fat -C -F " + std::to_string(bits) + " -s 1 -n SEED " + image + " " +
            std::to_string(kib)) != 0)
    return {};
  write_at(file, 0, reinterpret_cast<const uint8_t*>("seed content\n"), 13, true);
  const std::string in = " -i " + image + " ";
  if (shell(tools + "mmd" + in + "::/DIR ::/DIR/SUB ::/GONE") != 0 ||
      shell(tools + "mcopy" + in + file + " ::/keep.txt") != 0 ||
      shell(tools + "mcopy" + in + file + " '::/a deleted long name.txt'") != 0 ||
      shell(tools + "mcopy" + in + file + " ::/DIR/SUB/photo.jpg") != 0 ||
      shell(tools + "mcopy" + in + file + " ::/GONE/inner.doc") != 0 ||
      shell(tools + "mdel" + in + "'::/a deleted long name.txt' ::/DIR/SUB/photo.jpg") != 0 ||
      shell(tools + "mdeltree" + in + "::/GONE") != 0)
    return {};
  return read_all(image, keep);
}

std::string bytes_of(const std::vector<uint8_t>& bytes, uint64_t at, uint64_t size) {
  return std::string(bytes.begin() + at, bytes.begin() + at + size);
}

}  // namespace

namespace {

// A source whose bytes in one range cannot be read (as a bad sector would be).
class HoleSource final : public filetypes::ByteSource {
 public:
  HoleSource(const uint8_t* data, size_t size, uint64_t hole_start, uint64_t hole_length)
      : data_(data), size_(size), hole_start_(hole_start), hole_end_(hole_start + hole_length) {}
  uint64_t Size() const override { return size_; }
  size_t Read(uint64_t offset, void* dest, size_t count) override {
    if (offset >= size_) return 0;
    count = static_cast<size_t>(std::min<uint64_t>(count, size_ - offset));
    if (offset < hole_end_ && offset + count > hole_start_) {
      count = offset < hole_start_ ? static_cast<size_t>(hole_start_ - offset) : 0;
    }
    std::memcpy(dest, data_ + offset, count);
    return count;
  }

 private:
  const uint8_t* data_;
  uint64_t size_;
  uint64_t hole_start_;
  uint64_t hole_end_;
};

void check_result(const filetypes::Result& r, uint64_t size) {
  FUZZ_CHECK(r.state != filetypes::State::kDamaged || r.damaged_at <= size);
  FUZZ_CHECK(r.state != filetypes::State::kIntact || r.implied_length <= size);
  FUZZ_CHECK(r.date_taken.empty() || r.date_taken.size() == 19);
}

}  // namespace

int filetypes(const uint8_t* data, size_t size) {
  const filetypes::Kind kind = filetypes::identify({data, std::min<size_t>(size, 64)});
  filetypes::MemorySource whole({data, size});
  const filetypes::Result r = filetypes::check(whole, {});
  check_result(r, size);
  FUZZ_CHECK(kind == filetypes::Kind::kUnknown || r.kind == kind);
  if (kind == filetypes::Kind::kUnknown) check_result(filetypes::check(whole, "txt"), size);
  if (kind == filetypes::Kind::kJpeg) {
    check_result(filetypes::check(whole, {}, filetypes::Depth::kDecode), size);
  }
  if (size > 2) {
    HoleSource holed(data, size, size / 2, data[size - 1] * 16u + 1);
    check_result(filetypes::check(holed, "jpg"), size);
  }
  return 0;
}

int sweep(const uint8_t* data, size_t size) {
  // The block is read twice: as the data area of a FAT32 volume with 512-byte clusters that
  // starts at the block (so every sector is a cluster start), and as NTFS records of 1024
  // bytes; each unreadable range the first byte asks for is left out.
  const size_t length = size / 512 * 512;
  const std::span<const uint8_t> block(data, length);
  std::vector<RequestRange> unreadable;
  if (size > length && (data[length] & 1)) unreadable.push_back({512, 512});
  FatLayout layout;
  layout.kind = FatKind::kFat32;
  layout.bytes_per_sector = 512;
  layout.sectors_per_cluster = 1;
  layout.cluster_size = 512;
  layout.first_data_sector = 0;
  layout.root_cluster = 2;
  layout.cluster_count = 1u << 20;
  FatFolderRecogniser folders(layout);
  folders.OnBlock(0, block, unreadable);
  folders.OnEnd(true);
  for (const FatFolderStart& f : folders.found())
    if (f.cluster < 2 || f.cluster - 2 >= length / 512 || f.parent == f.cluster) std::abort();
  // Pairs elsewhere: an earlier geometry inferred from them is sound.
  for (const FatFolderAt& f : folders.elsewhere())
    if (f.offset % 512 != 0 || f.offset + 64 > length || f.cluster < 2) std::abort();
  if (const auto earlier = infer_earlier_fat_layout(folders.elsewhere(), layout, length)) {
    const uint32_t c = earlier->cluster_size;
    if (c < 512 || c > 65536 || (c & (c - 1)) != 0 || earlier->cluster_offset(2) >= length)
      std::abort();
  }
  NtfsRecordRecogniser records(1024, {{2048, 1024}});
  records.OnBlock(0, block, unreadable);
  records.OnEnd(true);
  for (const auto& file : records.files())
    if (file.offset % 1024 != 0 || file.offset + 1024 > length || file.offset == 2048) std::abort();
  for (const auto& [number, folder] : records.folders())
    (void)ntfs_deep_path(records.folders(), number, "C:\\");
  // As an exFAT heap of 512-byte clusters from byte 512 on, handed over in two blocks split at
  // a sector the second byte chooses, so that sets across the split go through the carry.
  exfat::Layout heap;
  heap.bytes_per_sector = 512;
  heap.cluster_size = 512;
  heap.heap_offset = 512;
  heap.cluster_count = 1u << 20;
  ExfatSetRecogniser sets(heap);
  const size_t split = length == 0 ? 0 : std::min<size_t>(length, (data[1 % size] % 8) * 512u);
  sets.OnBlock(0, block.first(split), {});
  sets.OnBlock(split, block.subspan(split), unreadable);
  sets.OnEnd(true);
  for (const ExfatFoundSet& found : sets.found()) {
    const size_t set_bytes = (1 + static_cast<size_t>(found.set.secondaries)) * 32;
    if (found.offset % 32 != 0 || found.offset < 512 || found.offset + set_bytes > length ||
        !exfat::parse_entry_set(block.subspan(found.offset)))
      std::abort();
  }
  // The search of an earlier volume: only sectors that start like a folder's, boot sectors
  // anywhere, and the geometry inferred from what they found.
  ExfatSetRecogniser earlier(exfat_whole_volume_layout(512, length), nullptr, true);
  ExfatBootRecogniser boots;
  earlier.OnBlock(0, block, unreadable);
  boots.OnBlock(0, block, unreadable);
  earlier.OnEnd(true);
  for (const ExfatFoundSet& found : earlier.found())
    if (found.offset % 32 != 0 || found.offset >= length) std::abort();
  if (const auto old =
          infer_earlier_exfat_layout(earlier.found(), 512, length, &heap, boots.found())) {
    if (old->cluster_size == 0 || old->heap_offset >= length) std::abort();
  }
  return 0;
}

int carve(const uint8_t* data, size_t size) {
  filetypes::MemorySource volume({data, size});
  carve::Options options;
  options.cluster_size = 512;
  options.max_gap_clusters = 64;
  options.max_join_tries = 16;
  uint64_t last_start = 0;
  bool first = true;
  std::vector<ByteExtent> earlier;
  carve::Carver carver(volume, options, [&](const carve::CarvedFile& f) {
    FUZZ_CHECK(f.extents.size() == 1 || f.extents.size() == 2);
    uint64_t sum = 0;
    for (const ByteExtent& e : f.extents) {
      FUZZ_CHECK(e.length > 0 && e.offset <= size && e.length <= size - e.offset);
      sum += e.length;
    }
    FUZZ_CHECK(sum == f.length);
    const uint64_t start = f.extents.front().offset;
    FUZZ_CHECK(start % 512 == 0);
    if (f.extents.size() == 2) FUZZ_CHECK(f.extents[1].offset >= start + f.extents[0].length);
    FUZZ_CHECK(first || start > last_start);
    for (const ByteExtent& e : earlier)
      FUZZ_CHECK(start < e.offset || start >= e.offset + e.length);
    first = false;
    last_start = start;
    earlier.insert(earlier.end(), f.extents.begin(), f.extents.end());
    FUZZ_CHECK(!carve::carved_name(f).empty());
  });
  carver.search(0, size, 4096);
  return 0;
}

std::vector<std::string> seeds(const std::string& target) {
  std::vector<std::string> out;
  const auto add = [&](std::string seed) {
    if (!seed.empty()) out.push_back(std::move(seed));
  };
  if (target == "fat_walk") {
    add(fat_seed(12, 128, 64 * 1024));
    add(fat_seed(16, 2200, 64 * 1024));
    add(fat_seed(32, 1024, 64 * 1024));
  } else if (target == "ntfs_record" || target == "ntfs_mount") {
    const NtfsBase& base = ntfs_base();
    if (target == "ntfs_mount") {
      add(bytes_of(base.bytes, 0, 512) + bytes_of(base.bytes, base.mft_offset, base.record_size));
    } else {
      for (uint64_t r : base.records)
        add(bytes_of(base.bytes, base.mft_offset + r * base.record_size, base.record_size));
    }
  } else if (target == "sweep") {
    // A folder start ("." naming cluster 2, ".." the root) and MFT records.
    std::string fat(1024, '\0');
    fat.replace(0, 11, ".          ");
    fat[11] = 0x10;
    fat[26] = 2;
    fat.replace(32, 11, "..         ");
    fat[43] = 0x10;
    const NtfsBase& base = ntfs_base();
    add(fat + bytes_of(base.bytes, base.mft_offset, 4 * base.record_size));
    // An exFAT entry set (file entry, stream extension, one name entry) across the split at
    // byte 1024 that the second byte asks for.
    std::string heap(2048, '\0');
    heap[1] = 2;
    std::string set(96, '\0');
    set[0] = static_cast<char>(0x85);
    set[1] = 2;
    set[32] = static_cast<char>(0xC0);
    set[32 + 3] = 1;
    set[64] = static_cast<char>(0xC1);
    set[64 + 2] = 'a';
    const uint16_t sum =
        exfat::set_checksum({reinterpret_cast<const uint8_t*>(set.data()), set.size()});
    set[2] = static_cast<char>(sum & 0xFF);
    set[3] = static_cast<char>(sum >> 8);
    add(heap.replace(992, 96, set));
  } else if (target == "runlist") {
    const std::string vcn0(8, '\0');
    add(vcn0 + std::string("\x21\x04\x34\x12\x11\x02\xF0\x01\x03\x12\x80\x00\x01\x00", 14));
    add(std::string("\x05\0\0\0\0\0\0\0", 8) + std::string("\x31\x10\x00\x00\x01\x00", 6));
    add(vcn0 + std::string("\x48\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x7F\x01\x02\x03\x04\x00", 14));
  } else if (target == "texts") {
    add(std::string("\x00\x00\x00\x00\x00\x00\x00\x00\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x7F", 16));
    add(std::string("\x40\x42\x0F\x00\x00\x00\x00\x00\x21\x3A\x00\x60\xE3\x07\x03\x0E", 16));
    add(std::string("../report.txt\0/name\xE2\x82\xAC", 22));
  }
  return out;
}

const std::vector<Target>& targets() {
  static const std::vector<Target> all = {
      {"fat_walk", fat_walk},     {"runlist", runlist}, {"ntfs_record", ntfs_record},
      {"ntfs_mount", ntfs_mount}, {"texts", texts},     {"exfat_entry_set", exfat_entry_set},
      {"filetypes", filetypes},   {"sweep", sweep},     {"carve", carve}};
  return all;
}

}  // namespace pyralis::fuzz
