// SPDX-License-Identifier: GPL-3.0-or-later
// Builds a directory's $I30 file-name index: a small index lives wholly in $INDEX_ROOT; a
// larger one becomes a B-tree of INDX blocks (for $INDEX_ALLOCATION) under the root, loaded
// bottom-up from the sorted names.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/ntfsimg/ntfs_format.h"

namespace pyralis::test::ntfs {

struct IndexKey {
  std::u16string name;  // for ordering
  uint64_t file_reference = 0;
  Bytes file_name;  // the $FILE_NAME value, which is the entry's key
};

struct IndexLayout {
  Bytes root_value;           // value of $INDEX_ROOT "$I30"
  std::vector<Bytes> blocks;  // INDX blocks with fix-ups; block i starts at VCN i * vcns_per_block
  Bytes bitmap;               // value of $BITMAP "$I30" (empty when there are no blocks)
};

// Clusters per index block as the boot sector and $INDEX_ROOT store it (or 512-byte units
// when the block is smaller than a cluster).
uint32_t vcns_per_index_block(uint32_t index_record_size, uint32_t cluster_size);

// `root_space`: the most bytes the $INDEX_ROOT value may take in its record.
IndexLayout build_file_name_index(std::vector<IndexKey> keys, size_t root_space,
                                  uint32_t index_record_size, uint32_t cluster_size);

// $INDEX_ROOT value of an empty index of another kind (view indexes of $Secure):
// `indexed_type` 0 and the given collation rule.
Bytes empty_index_root(uint32_t indexed_type, uint32_t collation, uint32_t index_record_size,
                       uint32_t cluster_size);

}  // namespace pyralis::test::ntfs
