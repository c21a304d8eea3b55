// SPDX-License-Identifier: GPL-3.0-or-later
// Synthetic NTFS volumes for tests and benchmarks.
//
// NtfsImageBuilder lays out a small but complete NTFS 3.1 volume: boot sector (and its backup
// in the last sector), $MFT with the sixteen system records, $MFTMirr, $LogFile, $Volume,
// $AttrDef, the root directory with a real $I30 index, $Bitmap, $Boot, $BadClus, $Secure,
// $UpCase and $Extend, then user files and directories from record 16 on. Every MFT and index
// record carries update-sequence fix-ups. Files can be live or deleted the way NTFS deletes
// (in-use flag cleared, MFT bitmap bit cleared, clusters freed in $Bitmap, index entry
// removed from the parent), resident or non-resident, fragmented (with backward runs, i.e.
// negative LCN offsets in the mapping pairs), sparse, partly reused after deletion, with
// named streams, compressed/encrypted flags and DOS 8.3 aliases in either order.
//
// Usage:
//   NtfsImageBuilder b({.total_sectors = 65536});
//   uint64_t dir = b.add_directory("docs");
//   FileSpec f;
//   f.name = "report.txt"; f.parent = dir; f.deleted = true; f.content = "hello";
//   uint64_t rec = b.add_file(f);
//   b.write(tmp.file("ntfs.img"));          // sparse image file
//   b.file(rec).runs, b.expected_content(rec), b.on_disk_content(rec) ...
//
// Clusters are handed out by add_file()/add_directory() at once, so runs and offsets are
// known before write(); only the INDX blocks of large directories are placed by write()
// (from the end of the volume). Bad specifications (unknown parent, name too long, volume or MFT
// full, runs outside the volume) throw std::invalid_argument; write() throws
// std::runtime_error when the image cannot be written.
//
// All sizes are in bytes, cluster numbers (LCN) count from the start of the volume (the NTFS
// boot sector), record numbers are MFT record numbers.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pyralis::test {

namespace detail {
struct BuilderState;  // layout and placement, private to the builder's sources
}

// Record numbers of the system files.
inline constexpr uint64_t kMftRecord = 0;
inline constexpr uint64_t kMftMirrRecord = 1;
inline constexpr uint64_t kLogFileRecord = 2;
inline constexpr uint64_t kVolumeRecord = 3;
inline constexpr uint64_t kAttrDefRecord = 4;
inline constexpr uint64_t kRootRecord = 5;
inline constexpr uint64_t kBitmapRecord = 6;
inline constexpr uint64_t kBootRecord = 7;
inline constexpr uint64_t kBadClusRecord = 8;
inline constexpr uint64_t kSecureRecord = 9;
inline constexpr uint64_t kUpCaseRecord = 10;
inline constexpr uint64_t kExtendRecord = 11;
inline constexpr uint64_t kFirstUserRecord = 16;

// NTFS times: 100-nanosecond intervals since 1601-01-01 00:00 UTC.
inline constexpr uint64_t kFiletimeUnixEpoch = 116444736000000000ULL;
inline constexpr uint64_t unix_to_filetime(int64_t unix_seconds) {
  return kFiletimeUnixEpoch + static_cast<uint64_t>(unix_seconds) * 10000000ULL;
}

struct NtfsGeometry {
  uint32_t sector_size = 512;         // bytes per sector: 512, 1024, 2048 or 4096
  uint32_t sectors_per_cluster = 8;   // power of two
  uint32_t mft_record_size = 1024;    // 1024 or 4096 (any power of two 256..65536)
  uint32_t index_record_size = 4096;  // size of INDX blocks of $INDEX_ALLOCATION
  uint64_t total_sectors = 32768;     // sectors of the volume, backup boot sector included
  // 0: the image is the bare volume. >0: the image starts with an MBR holding one NTFS
  // partition (type 0x07) at this sector; the volume follows it.
  uint64_t partition_offset_sectors = 0;
  // MFT records reserved at construction (the $MFT data covers the records in use, rounded
  // up to whole clusters and to a multiple of 8 records). add_file fails beyond this.
  uint64_t mft_capacity = 1024;
  // The MFT zone is split into this many extents with gaps between them, so that $MFT's own
  // $DATA has several runs (tests of record lookup through the MFT runlist).
  uint32_t mft_fragments = 1;
  uint64_t serial = 0x1234abcd5678ef90ULL;
  std::string label = "PYRALIS";  // $VOLUME_NAME, UTF-8
};

// Namespace byte of a $FILE_NAME attribute.
enum class NameSpace : uint8_t { kPosix = 0, kWin32 = 1, kDos = 2, kWin32AndDos = 3 };

enum class Residency { kAuto, kResident, kNonResident };

// A run of a non-resident stream: `length` clusters at `lcn`, or a sparse hole (no LCN).
struct ClusterRun {
  uint64_t length = 0;
  std::optional<uint64_t> lcn;
  bool operator==(const ClusterRun&) const = default;
};

// A named $DATA stream ("Zone.Identifier", ...). Resident unless too large for the record
// or `non_resident` is set; non-resident streams get one contiguous run.
struct NamedStream {
  std::string name;  // UTF-8
  std::string content;
  bool non_resident = false;
};

// Clusters of a deleted file's unnamed stream handed out again after the deletion:
// VCN range [first_vcn, first_vcn + count) is marked allocated in $Bitmap; with `overwrite`
// the clusters are filled with other bytes (see on_disk_content).
struct Reuse {
  uint64_t first_vcn = 0;
  uint64_t count = 0;
  bool overwrite = true;
};

// A sparse hole in an automatically placed stream: VCN range without clusters.
struct Hole {
  uint64_t first_vcn = 0;
  uint64_t count = 0;
};

struct FileSpec {
  std::string name;               // UTF-8, 1..255 UTF-16 units
  uint64_t parent = kRootRecord;  // record number of a directory made by this builder
  bool directory = false;         // a directory (no $DATA, $INDEX_ROOT for its children)
  bool deleted = false;
  uint16_t sequence = 1;  // sequence number of the record (parent references use it)
  // Deleted records only: the record header holds sequence + 1, as Windows leaves a freed
  // record, while references to it (children's parents, index entries) keep `sequence`.
  bool sequence_bumped = false;
  NameSpace name_space = NameSpace::kWin32;  // of the only name (ignored with dos_name)

  // Optional DOS 8.3 alias: a second $FILE_NAME in namespace DOS; the long name then uses
  // Win32. dos_name_first puts the alias before the long name in the record.
  std::string dos_name;
  bool dos_name_first = false;

  // Content of the unnamed $DATA stream. When `content` is empty and pattern_size > 0, the
  // content is pattern_size bytes of pattern_byte(pattern_seed, offset) instead (for large
  // files; expected_content materialises it only on request).
  std::string content;
  uint64_t pattern_size = 0;
  uint32_t pattern_seed = 0;
  // false: the file's clusters are not written (they read as zeros in a fresh sparse image);
  // the records and bitmaps are still complete. Benchmarks use this for bulk.
  bool write_clusters = true;
  // Initialized (valid data) size of a non-resident stream; bytes past it read as zeros and
  // are stored as zeros. Default: the whole size.
  std::optional<uint64_t> initialized_size;

  Residency residency = Residency::kAuto;
  // Explicit runs of the unnamed stream (holes allowed). When empty the builder places the
  // clusters itself, split into `fragments` pieces; with `backwards` each later piece lies
  // before the previous one on the volume (negative run offsets).
  std::vector<ClusterRun> runs;
  uint32_t fragments = 1;
  bool backwards = false;
  std::vector<Hole> holes;  // sparse holes for automatic placement
  // Extra clusters allocated to the stream beyond its size (allocated size > data size).
  uint64_t slack_clusters = 0;

  std::vector<NamedStream> streams;  // named $DATA streams
  std::vector<Reuse> reuse;          // deleted files only

  // Attribute flags on $DATA and the matching $STANDARD_INFORMATION file attributes. The
  // data stays raw: compressed streams get a compression unit of 16 clusters and every unit
  // is fully allocated, which NTFS reads as stored-uncompressed units. (A unit with holes
  // would read as compressed data, so leave `holes` empty on compressed files.)
  bool compressed = false;
  bool encrypted = false;
  bool read_only = false;
  bool hidden = false;

  uint64_t created = unix_to_filetime(1262304000);      // 2010-01-01 00:00:00 UTC
  uint64_t modified = unix_to_filetime(1293840000);     // 2011-01-01 00:00:00 UTC
  uint64_t mft_changed = unix_to_filetime(1325376000);  // 2012-01-01 00:00:00 UTC
  uint64_t accessed = unix_to_filetime(1356998400);     // 2013-01-01 00:00:00 UTC
};

// What the builder placed for one record (system files included).
struct BuiltFile {
  uint64_t record = 0;
  uint16_t sequence = 1;  // as referenced; the header holds one more when sequence_bumped
  bool sequence_bumped = false;
  uint64_t parent = kRootRecord;
  std::string name;  // long name, UTF-8 (the alias is FileSpec::dos_name)
  std::string dos_name;
  bool directory = false;
  bool deleted = false;
  bool resident = true;  // the unnamed $DATA is resident
  uint64_t size = 0;     // data size of the unnamed $DATA
  uint64_t allocated_size = 0;
  uint64_t initialized_size = 0;
  std::vector<ClusterRun> runs;  // of the unnamed $DATA (empty when resident)
};

class NtfsImageBuilder {
 public:
  explicit NtfsImageBuilder(NtfsGeometry geometry = {});
  ~NtfsImageBuilder();
  NtfsImageBuilder(const NtfsImageBuilder&) = delete;
  NtfsImageBuilder& operator=(const NtfsImageBuilder&) = delete;

  // Adds a directory; returns its record number.
  uint64_t add_directory(const std::string& name, uint64_t parent = kRootRecord,
                         bool deleted = false);
  // Adds a file (or directory when spec.directory); returns its record number.
  uint64_t add_file(const FileSpec& spec);

  // Writes the image as a sparse file (created or truncated). Only non-zero areas are
  // written, so a large volume costs little disk space.
  void write(const std::string& path) const;
  // The whole image in memory (small volumes only).
  std::vector<uint8_t> build() const;

  const NtfsGeometry& geometry() const { return geometry_; }
  uint64_t cluster_size() const;
  uint64_t total_clusters() const;  // clusters covered by $Bitmap
  uint64_t mft_lcn() const;         // first cluster of the MFT
  uint64_t mft_mirror_lcn() const;
  uint64_t volume_offset() const;  // byte offset of the volume in the image
  uint64_t image_size() const;     // bytes of the image file
  // Byte offset in the image of an MFT record (follows the MFT runs).
  uint64_t record_offset(uint64_t record) const;
  // Byte offset in the image of a cluster.
  uint64_t cluster_offset(uint64_t lcn) const;
  uint64_t record_count() const;  // records in the $MFT data (used records and padding)

  const BuiltFile& file(uint64_t record) const;  // throws std::out_of_range
  // Original content of the unnamed stream (holes and bytes past the initialized size as
  // zeros).
  std::string expected_content(uint64_t record) const;
  // What the unnamed stream's runs hold in the image as written (reused and overwritten
  // clusters included). Equal to expected_content unless parts were overwritten or
  // write_clusters was false.
  std::string on_disk_content(uint64_t record) const;
  // Content of a named stream.
  std::string stream_content(uint64_t record, const std::string& stream_name) const;
  // Clusters of the record's unnamed stream that are free in $Bitmap / all its clusters.
  uint64_t free_clusters(uint64_t record) const;
  uint64_t data_clusters(uint64_t record) const;
  // True when the cluster is allocated in the $Bitmap that write() produces.
  bool cluster_allocated(uint64_t lcn) const;

  // Deterministic filler for pattern files and overwritten clusters.
  static uint8_t pattern_byte(uint32_t seed, uint64_t offset);

 private:
  NtfsGeometry geometry_;
  std::unique_ptr<detail::BuilderState> state_;
};

}  // namespace pyralis::test
