// SPDX-License-Identifier: GPL-3.0-or-later
// Internal state of NtfsImageBuilder, shared by its placement half (ntfs_image_builder.cpp)
// and its writing half (ntfs_image_writer.cpp).
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/ntfsimg/mft_record.h"
#include "tests/ntfsimg/ntfs_format.h"
#include "tests/ntfsimg/ntfs_image_builder.h"
#include "tests/ntfsimg/ntfs_index.h"

namespace pyralis::test {

using ntfs::Bytes;

// One $DATA stream (or a system file's data): where it lies and what it holds.
struct Stream {
  std::u16string name;  // empty: the unnamed stream
  std::string content;
  uint64_t pattern_size = 0;
  uint32_t pattern_seed = 0;
  uint64_t size = 0;
  uint64_t initialized = 0;
  bool resident = true;
  std::vector<ClusterRun> runs;
  uint64_t allocated = 0;
  uint16_t attr_flags = 0;
  uint16_t compression_unit = 0;
  bool write_clusters = true;

  // Bytes [offset, offset + n) of the stream's logical content: zeros past the initialized
  // size.
  void read(uint64_t offset, uint8_t* out, size_t n) const;
  uint64_t stored_bytes(uint64_t cluster_size) const;  // bytes in non-hole runs
};

// A name of a record as written in its $FILE_NAME attributes (and its parent's index).
struct Name {
  std::u16string text;
  NameSpace name_space = NameSpace::kWin32;
};

// An attribute of a system record beyond $STANDARD_INFORMATION, $FILE_NAME and $DATA.
struct ExtraAttribute {
  uint32_t type = 0;
  std::u16string name;
  Bytes value;  // resident value
  std::optional<ntfs::NonResidentAttribute> non_resident;
};

struct Entry {
  BuiltFile info;
  bool used = false;           // a record the builder made (system or user)
  bool in_mft_bitmap = false;  // bit set in the $MFT bitmap
  std::vector<Name> names;     // in record order
  ntfs::Times times;
  uint32_t file_attributes = 0;
  std::vector<Stream> streams;  // unnamed first (files); data of system files
  std::vector<ExtraAttribute> extra;
  std::vector<uint64_t> children;  // directories: records whose parent this is

  // Directory index, laid out by finalize().
  ntfs::IndexLayout index;
  std::vector<ClusterRun> index_runs;
};

// Who wrote a cluster range last: a stream's content (starting at `vcn`) or an overwrite
// pattern of a reused range.
struct Extent {
  uint64_t end = 0;  // one past the last cluster
  uint64_t record = 0;
  uint32_t stream = 0;
  uint64_t vcn = 0;
  bool overwrite = false;
  uint32_t seed = 0;
};

struct detail::BuilderState {
  NtfsGeometry g;
  uint64_t cluster_size = 0;
  uint64_t clusters = 0;
  uint64_t records_per_step = 8;  // MFT data grows in steps of whole clusters and 8 records
  std::vector<bool> taken;        // handed out by the builder (deleted files included)
  std::vector<bool> allocated;    // set in $Bitmap
  uint64_t cursor = 0;            // next-fit start
  std::vector<ClusterRun> mft_runs;
  std::vector<ClusterRun> mft_bitmap_runs;
  uint64_t mft_mirror_lcn = 0;
  std::vector<Entry> entries;                     // by record number
  std::map<uint64_t, Extent> extents;             // first cluster -> extent
  std::vector<uint64_t> index_clusters_from_top;  // LCNs handed to directory indexes

  // Allocation.
  uint64_t take_contiguous(uint64_t count, bool from_top = false);
  void mark(uint64_t lcn, uint64_t count, bool is_allocated);
  void release(uint64_t lcn, uint64_t count);
  // Records the last writer of clusters [lcn, lcn + count).
  void set_extent(uint64_t lcn, uint64_t count, const Extent& e);

  uint64_t record_count() const;
  uint64_t record_offset_in_volume(uint64_t record) const;
  uint64_t parent_reference(uint64_t record) const;

  // Writing half.
  Bytes file_name_value(const Entry& e, const Name& n) const;
  Bytes build_record(uint64_t record) const;
  void finalize();
};

}  // namespace pyralis::test
