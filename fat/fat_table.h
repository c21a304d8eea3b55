// SPDX-License-Identifier: GPL-3.0-or-later
// The file allocation table in memory (`FatImage`): loaded once per engine call (or once per
// recovery command, which shares it between its rows), then every entry lookup is a read
// from memory.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/cluster_buffer.h"
#include "core/memory_stream.h"
#include "fat/fat_layout.h"

namespace pyralis {

class TRawDiskAccessComponent;

class FatTable {
 public:
  explicit FatTable(const FatLayout& layout) : layout_(layout) {}

  // Reads the active table copy (the entries of clusters 0 .. last cluster) through a
  // TBuffer of its own, in pieces, so that no other window grows to the table's size. Bytes
  // of it that cannot be read come from the next mirrored copy that delivers them; entries
  // that no copy delivers are unknown (entry_known).
  void load_fat(TRawDiskAccessComponent& component);
  // Loads the table from memory (tests, in-memory volumes).
  void load_fat_bytes(const uint8_t* data, size_t size);
  // The loaded table, to be shared with a later FatTable of the same volume (adopt).
  std::shared_ptr<const TMemoryStream> shared_image() const { return image_; }
  std::shared_ptr<const std::vector<RequestRange>> shared_unknown() const { return unknown_; }
  void adopt(std::shared_ptr<const TMemoryStream> image,
             std::shared_ptr<const std::vector<RequestRange>> unknown) {
    image_ = std::move(image);
    unknown_ = std::move(unknown);
  }

  // Entry of cluster x: packed 12-bit entries on FAT12, 16-bit at 2x on FAT16, 32-bit at 4x
  // on FAT32 (all 32 bits, not masked). Entries beyond the loaded table read as 0.
  uint32_t get_fat_entry(uint32_t x) const;
  bool ends_chain(uint32_t value) const { return value < 2 || value >= layout_.end_of_chain(); }
  // False when no table copy could deliver the entry of cluster x (get_fat_entry then
  // gives 0, which says nothing).
  bool entry_known(uint32_t x) const;
  // First cluster after x whose entry is 0, no further than the volume's last cluster;
  // 0 when there is none. Unknown entries count as taken; with `unknown_at` the search
  // instead ends at the first unknown entry before a free one (0 returned, *unknown_at set
  // to that cluster; else *unknown_at is 0).
  uint32_t next_free_cluster(uint32_t x, uint32_t* unknown_at = nullptr) const;
  // Whether any entry of the table is unknown.
  bool has_unknown_entries() const { return !unknown_->empty(); }

  const TMemoryStream& FatImage() const { return *image_; }

 private:
  const FatLayout& layout_;
  std::shared_ptr<const TMemoryStream> image_ = std::make_shared<const TMemoryStream>();
  // Byte ranges of the table that no copy delivered, ordered.
  std::shared_ptr<const std::vector<RequestRange>> unknown_ =
      std::make_shared<const std::vector<RequestRange>>();
};

}  // namespace pyralis
