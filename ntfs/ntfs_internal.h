// SPDX-License-Identifier: GPL-3.0-or-later
// The NTFS engine's own structures and routines, shared by its source files and its tests.
// doc/ntfs.md describes the on-disk structures as this engine reads them.
//
//   ntfs_mount.cpp    boot sector, geometry, $MFT and $Bitmap at mount
//   ntfs_records.cpp  MFT records: fix-ups, soundness checks, attribute search, inodes
//   ntfs_runs.cpp     mapping pairs, runlists, reads of attribute values
//   ntfs_scan.cpp     the deleted-file scan, names, paths, NameCache
//   ntfs_quality.cpp  the recovery estimate over the cluster bitmap
//   ntfs_recovery.cpp writing a deleted file's streams
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/recovery_outcome.h"
#include "core/row_facts.h"
#include "ntfs/ntfs_bytes.h"

namespace pyralis {
class TRawDiskAccessComponent;
class TBuffer;
}  // namespace pyralis

namespace pyralis::ntfs {

// Attribute type codes the engine uses.
constexpr uint32_t kStandardInformation = 0x10;
constexpr uint32_t kAttributeList = 0x20;
constexpr uint32_t kFileName = 0x30;
constexpr uint32_t kData = 0x80;
constexpr uint32_t kIndexRoot = 0x90;
constexpr uint32_t kBitmap = 0xB0;

constexpr int64_t kRootDirectory = 5;
constexpr int64_t kVolumeBitmapRecord = 6;

// Attribute flags (attribute header 0x0C) and standard-information file attributes (0x20).
constexpr uint16_t kAttrCompressionMask = 0x00FF;
constexpr uint16_t kAttrCompressed = 0x0001;
constexpr uint16_t kAttrEncrypted = 0x4000;
constexpr uint16_t kAttrSparse = 0x8000;
constexpr uint32_t kFileSparse = 0x0200;
constexpr uint32_t kFileCompressed = 0x0800;
constexpr uint32_t kFileEncrypted = 0x4000;

// NtfsInode::flags
constexpr uint32_t kInodeRestricted = 1;  // encrypted or sparse
constexpr uint32_t kInodeCompressed = 2;

// Special cluster numbers of a runlist element and special results of vcn_to_lcn.
constexpr int64_t kLcnHole = -1;
constexpr int64_t kLcnNotMapped = -2;
constexpr int64_t kLcnOutside = -3;  // also the closing element's lcn
constexpr int64_t kLcnNegativeVcn = -4;

// ---------------------------------------------------------------------------------------
// Engine read buffers: four sector windows over the volume, chosen by a selector.
enum BufferSelector : int {
  kRecordBuffer = 0,        // 128 sectors: MFT records, file clusters
  kPathBuffer = 1,          // 2 sectors: parent directory records
  kVolumeBitmapBuffer = 2,  // 4 sectors: $Bitmap data
  kMftBitmapBuffer = 3,     // 4 sectors: the MFT bitmap
};

// The buffer behind `selector`, or nullptr when that buffer does not exist now.
TBuffer* engine_buffer(int selector);

// Creates the named buffers for the life of an entry call (or a test) and destroys them in
// the reverse order.
class ScopedReadBuffers {
 public:
  explicit ScopedReadBuffers(std::initializer_list<BufferSelector> selectors);
  ScopedReadBuffers();  // all four
  ~ScopedReadBuffers();
  ScopedReadBuffers(const ScopedReadBuffers&) = delete;
  ScopedReadBuffers& operator=(const ScopedReadBuffers&) = delete;

 private:
  std::vector<BufferSelector> created_;
};

// ---------------------------------------------------------------------------------------
// Runlists

struct RunElement {
  int64_t vcn = 0;     // first virtual cluster of the run
  int64_t lcn = 0;     // first volume cluster, or kLcnHole / kLcnNotMapped
  int64_t length = 0;  // clusters; 0 marks the closing element
};
// Elements in VCN order, ending with a closing element {vcn one past the end, lcn
// kLcnOutside, length 0}.
using Runlist = std::vector<RunElement>;

// ---------------------------------------------------------------------------------------
// Volume, inodes, attributes

struct NtfsVolume;

struct NtfsInode {
  int64_t record_number = 0;
  std::vector<uint8_t> record;  // mft_record_size bytes, fix-ups applied
  NtfsVolume* volume = nullptr;
  uint32_t flags = 0;  // kInodeRestricted, kInodeCompressed
};

struct NtfsAttribute {
  std::optional<Runlist> runlist;  // decoded on first use (find_vcn)
  NtfsInode* inode = nullptr;
  uint32_t type = 0;
  uint32_t state = 0;  // bit 0 set up, bit 1 non-resident
  int64_t allocated_size = 0;
  int64_t data_size = 0;
  int64_t initialized_size = 0;
  bool non_resident() const { return state & 2; }
};

struct NtfsVolume {
  TRawDiskAccessComponent* component = nullptr;
  uint16_t flags = 0;  // bit 0 dirty; starts clear (the engine only reads)
  uint16_t sector_size = 0;
  uint32_t cluster_size = 0;
  uint8_t cluster_size_bits = 0;
  uint32_t mft_record_size = 0;
  uint8_t mft_record_size_bits = 0;
  int64_t total_clusters = 0;  // from the boot sector's sector count
  std::unique_ptr<NtfsInode> volume_bitmap_inode;
  int64_t mft_lcn = 0;
  int64_t mft_mirror_lcn = 0;  // $MFTMirr: copies of the MFT's first records
  std::unique_ptr<NtfsInode> mft_inode;
  std::unique_ptr<NtfsAttribute> mft_data;
  std::unique_ptr<NtfsAttribute> mft_bitmap;
};

// Geometry taken from a boot sector that passed every check.
struct BootGeometry {
  uint16_t sector_size = 0;
  uint32_t cluster_size = 0;
  uint32_t mft_record_size = 0;
  int64_t total_sectors = 0;
  int64_t mft_lcn = 0;
  int64_t mft_mirror_lcn = 0;  // mft_lcn when the boot sector's value lies outside the volume
};

// Checks the boot sector fields the engine relies on; none (and the reason in *problem)
// when one of them is out of range.
std::optional<BootGeometry> parse_boot_sector(Bytes sector, std::string* problem);
// 0-based position of the lowest set bit (its base-2 logarithm for a power of two).
uint8_t lowest_bit(uint64_t value);

std::unique_ptr<NtfsVolume> mount_volume(TRawDiskAccessComponent* component, bool abort_if_dirty);
void umount_volume(std::unique_ptr<NtfsVolume>& volume);

// ---------------------------------------------------------------------------------------
// Records and attribute search

// Applies the update-sequence fix-ups of an MFT record in place. False when the header's
// update sequence does not fit the record or a stretch does not end with the sequence
// number (a torn or damaged record).
bool apply_fixups(std::span<uint8_t> record);
// Checks the header and every attribute header of a record (fix-ups applied): the walk
// stays inside min(bytes allocated, record size), each attribute is at least 0x18 bytes
// long, a multiple of 8 and inside the walk, and its name, value and mapping pairs lie
// inside it. A resident $DATA value is left to get_data_streams, which reports it.
bool record_is_sound(Bytes record);
// Upper bound of an attribute walk: min(bytes allocated, record size).
uint32_t walk_limit(Bytes record);

struct SearchContext {
  Bytes record;
  uint32_t attribute = 0;  // offset of the attribute the cursor is on
  bool is_first = true;
  NtfsInode* inode = nullptr;
};

SearchContext new_search_context(Bytes record);
SearchContext new_search_context(NtfsInode& inode);
// 0 found (the context is on it), -1 not found. Successive calls visit successive
// attributes of the type; type 0 matches any attribute.
int find_attribute(uint32_t type, SearchContext& context);
// The attribute record (its full length) found by find_attribute, or none.
std::optional<Bytes> next_attribute(uint32_t type, SearchContext& context);
std::optional<Bytes> lookup_attribute(uint32_t type, Bytes record);

// Views of one attribute record.
inline bool attribute_non_resident(Bytes attribute) {
  return le8(attribute, 0x08) != 0;
}
inline uint16_t attribute_flags(Bytes attribute) {
  return le16(attribute, 0x0C);
}
// The resident value, or none when its range leaves the attribute.
std::optional<Bytes> resident_value(Bytes attribute);
// The attribute's name (UTF-16), empty when unnamed or out of range.
std::u16string attribute_name(Bytes attribute);

std::unique_ptr<NtfsInode> open_inode(NtfsVolume* volume, int64_t number);
std::unique_ptr<NtfsAttribute> open_attribute(NtfsInode* inode, uint32_t type);

// ---------------------------------------------------------------------------------------
// Data runs and attribute reads

std::optional<Runlist> decode_runlist(Bytes attribute);
int64_t vcn_to_lcn(const Runlist* runlist, int64_t vcn);
int map_runlist(NtfsAttribute& attribute, int64_t vcn);
// Index into attribute->runlist of the element holding `vcn`, or none.
std::optional<size_t> find_vcn(NtfsAttribute* attribute, int64_t vcn);
// Reads `count` bytes of the attribute's value from `position` into `dest`. Returns the
// bytes delivered (holes and bytes past the initialized size count and read as zeros),
// 0 for a count of 0 or a position at or past the end, -1 on failure.
int64_t read_attribute(NtfsAttribute* attribute, uint8_t* dest, int selector, int64_t* sector_out,
                       int64_t count, int64_t position);

enum class RecordRead { kOk, kUnreadable, kNoSignature, kDamaged };
// Reads MFT record `number` whole through `$MFT`'s $DATA, checks the "FILE" signature,
// applies the fix-ups and checks the record's attribute headers.
RecordRead read_mft_record(NtfsVolume& volume, int64_t number, std::span<uint8_t> dest,
                           int selector, int64_t* sector_out);
// 0 when record `number` (inside the MFT's initialized size) was read and is sound, else -1.
int read_mft_records(NtfsVolume* volume, int64_t number, std::span<uint8_t> dest);

// ---------------------------------------------------------------------------------------
// Scan

struct DataStream {
  bool resident = false;
  bool compressed = false;
  bool encrypted = false;
  // Compressed non-resident streams: log2 of the clusters in one compression unit (attribute
  // header 0x22); 0 when the stream is not compressed in units.
  uint8_t compression_unit = 0;
  bool value_in_record = true;  // resident: the value range lies inside its attribute
  int64_t data_size = 0;
  std::optional<Runlist> runlist;  // non-resident; none when decoding failed
  int quality = 0;
  size_t value = 0;     // resident: offset of the value in the record
  std::u16string name;  // stream name; empty for the file's main content
};

struct FileRecordInfo {
  int64_t number = 0;
  int64_t creation_time = 0;     // seconds since 1970, standard information 0x00
  int64_t data_change_time = 0;  // 0x08
  int64_t mft_change_time = 0;   // 0x10
  int64_t parent = kRootDirectory;
  std::vector<DataStream> streams;  // one per $DATA attribute, record order, at most 100
  std::string name;
  std::string path;
  bool is_directory = false;
  std::vector<uint8_t> record;
  int64_t size = 0;  // data size of the unnamed $DATA
  int quality = 0;
  int64_t sector = 0;
};

constexpr size_t kMaxStreams = 100;

std::unique_ptr<FileRecordInfo> read_record(NtfsVolume* volume, int64_t number);
// The record at volume byte `offset` (a record the deep scan found outside the MFT), read
// at the volume's record size with the same checks; its number is the one the record
// holds. None when it cannot be read or holds no file.
std::unique_ptr<FileRecordInfo> read_record_at(NtfsVolume& volume, uint64_t offset);
// The number a record (fix-ups applied) holds in its header; -1 when its layout has none.
int64_t record_number(Bytes record);
// Times, names, streams and estimate of the record in `info`; none when it holds no file.
std::unique_ptr<FileRecordInfo> describe_record(std::unique_ptr<FileRecordInfo> info,
                                                NtfsVolume& volume);
int get_filenames(FileRecordInfo& info);
int get_data_streams(FileRecordInfo& info, NtfsVolume& volume);
// The folder path of a file whose parent directory is record `start`, "C:\Dir\Sub\" form.
std::string get_path(NtfsVolume& volume, int64_t start);
// Appends the row of a file the MFT scan found (`volume` names its clusters).
void add_found_file(const FileRecordInfo& info, NtfsVolume& volume);
// The volume bytes of the clusters of a file's unnamed $DATA: the runs of `record`'s own
// $DATA attributes and, with `follow_list`, those of the extension records its
// $ATTRIBUTE_LIST names (read by number through the $MFT; one counts only when its header
// names record `number` as its base). Holes and runs past the volume's end are left out.
// Bounded: at most kMaxListBytes of list, kMaxListRecords extension records.
std::vector<ByteExtent> data_extents(NtfsVolume& volume, Bytes record, int64_t number,
                                     bool follow_list);
constexpr int64_t kMaxListBytes = 256 * 1024;
constexpr size_t kMaxListRecords = 1024;
int64_t ntfs_time_to_unix(int64_t ticks);
int scan_disk(NtfsVolume* volume);

// NameCache: directory names met while building paths (first entry for a record wins).
struct NameCacheEntry {
  int64_t record = 0;
  int64_t parent = 0;
  std::string name;
  bool has_name = true;  // false: the record holds no usable file name (the chain ends)
};
const NameCacheEntry* name_cache_find(int64_t record);
void name_cache_add(NameCacheEntry entry);
size_t name_cache_size();

// ---------------------------------------------------------------------------------------
// Recovery quality

int calc_percentage(FileRecordInfo* info, NtfsVolume* volume);
// A runlist's clusters: in use or past the volume or not mapped (lost), free in $Bitmap,
// and holes. Each count stops at INT64_MAX / 200.
struct RunTally {
  int64_t lost = 0;
  int64_t free = 0;
  int64_t holes = 0;
};
RunTally tally_runs(const Runlist& rl, NtfsVolume& volume);
// Nonzero when allocated, 0 when free, -1 when the bitmap could not be read.
int cluster_in_use(NtfsVolume* volume, int64_t cluster);
// Marks ClusterBitmapCache empty (2048 zero bytes).
void reset_cluster_bitmap_cache();

// ---------------------------------------------------------------------------------------
// Recovery

// The row's outcome: its main stream's, made worse by any other stream's.
// `record_offset` (not 0): the record is read at that volume byte instead of through the MFT.
RecoveryOutcome handle_undelete(NtfsVolume* volume, int64_t number, const std::string& folder,
                                uint64_t record_offset = 0);
// 1 when every stream was written (completely or in part), 0 otherwise; *row receives the
// row's outcome.
int undelete_file(NtfsVolume* volume, int64_t number, const std::string& folder,
                  RecoveryOutcome* row = nullptr, uint64_t record_offset = 0);
// File name under which a named stream is written beside the main file:
// "<name>.<stream>.stream".
std::string stream_file_name(const std::string& name, const std::string& stream);

}  // namespace pyralis::ntfs
