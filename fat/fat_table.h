// SPDX-License-Identifier: GPL-3.0-or-later
// The file allocation table in memory (`FatImage`): loaded once per engine call (or once per
// recovery command, which shares it between its rows), then every entry lookup is a read
// from memory.
#pragma once

#include <cstdint>
#include <memory>

#include "core/memory_stream.h"
#include "fat/fat_layout.h"

namespace pyralis {

class TRawDiskAccessComponent;

class FatTable {
 public:
  explicit FatTable(const FatLayout& layout) : layout_(layout) {}

  // Reads the first table copy (the entries of clusters 0 .. last cluster) through a
  // TBuffer of its own, in pieces, so that no other window grows to the table's size.
  void load_fat(TRawDiskAccessComponent& component);
  // Loads the table from memory (tests, in-memory volumes).
  void load_fat_bytes(const uint8_t* data, size_t size);
  // The loaded table, to be shared with a later FatTable of the same volume (adopt).
  std::shared_ptr<const TMemoryStream> shared_image() const { return image_; }
  void adopt(std::shared_ptr<const TMemoryStream> image) { image_ = std::move(image); }

  // Entry of cluster x: packed 12-bit entries on FAT12, 16-bit at 2x on FAT16, 32-bit at 4x
  // on FAT32 (all 32 bits, not masked). Entries beyond the loaded table read as 0.
  uint32_t get_fat_entry(uint32_t x) const;
  bool ends_chain(uint32_t value) const { return value < 2 || value >= layout_.end_of_chain(); }
  // First cluster after x whose entry is 0, no further than the volume's last cluster;
  // 0 when there is none.
  uint32_t next_free_cluster(uint32_t x) const;

  const TMemoryStream& FatImage() const { return *image_; }

 private:
  const FatLayout& layout_;
  std::shared_ptr<const TMemoryStream> image_ = std::make_shared<const TMemoryStream>();
};

}  // namespace pyralis
