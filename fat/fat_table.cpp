// SPDX-License-Identifier: GPL-3.0-or-later
#include "fat/fat_table.h"

#include <algorithm>
#include <cstring>

#include "core/cluster_buffer.h"
#include "core/engine_window.h"
#include "rawdisk/raw_disk_access_component.h"

namespace pyralis {

namespace {

// Pieces in which the table is read: large enough for few transfers, small enough that the
// component's buffer never holds a second copy of a large table.
constexpr uint64_t kLoadPiece = 1 << 20;

}  // namespace

void FatTable::load_fat(TRawDiskAccessComponent& component) {
  auto loaded = std::make_shared<TMemoryStream>();
  TMemoryStream& image = *loaded;
  const uint64_t total = layout_.table_bytes();
  TBuffer table_window(20);
  bool incomplete = false;
  for (uint64_t done = 0; done < total;) {
    const uint64_t piece = std::min(kLoadPiece, total - done);
    const int64_t before = image.Size();
    table_window.ReadToStream(component, static_cast<int64_t>(layout_.fat_offset + done),
                              static_cast<uint32_t>(piece), image);
    // A piece the volume could not deliver reads as zeros (free clusters).
    if (image.Size() < before + static_cast<int64_t>(piece)) {
      if (!incomplete)
        Window().LogLine("Could not read all of the file allocation table of " +
                         std::string(1, component.LogicalDrive()) + ": (from byte " +
                         std::to_string(layout_.fat_offset + done + (image.Size() - before)) +
                         " on); the missing entries count as free.");
      incomplete = true;
      image.SetSize(before + static_cast<int64_t>(piece));
      image.SetPosition(image.Size());
    }
    done += piece;
  }
  image.SetSize(static_cast<int64_t>(total));
  image_ = std::move(loaded);
}

void FatTable::load_fat_bytes(const uint8_t* data, size_t size) {
  auto loaded = std::make_shared<TMemoryStream>();
  loaded->Write(data, static_cast<int64_t>(size));
  image_ = std::move(loaded);
}

uint32_t FatTable::get_fat_entry(uint32_t x) const {
  const uint8_t* m = image_->Memory();
  const uint64_t size = static_cast<uint64_t>(image_->Size());
  switch (layout_.kind) {
    case FatKind::kFat12: {
      const uint64_t p = uint64_t{x} + x / 2;
      if (p + 2 > size) return 0;
      const uint32_t pair = m[p] | m[p + 1] << 8;
      return (x & 1) ? pair >> 4 : pair & 0xFFF;
    }
    case FatKind::kFat16: {
      const uint64_t p = uint64_t{x} * 2;
      if (p + 2 > size) return 0;
      return m[p] | m[p + 1] << 8;
    }
    case FatKind::kFat32:
      break;
  }
  const uint64_t p = uint64_t{x} * 4;
  if (p + 4 > size) return 0;
  return static_cast<uint32_t>(m[p]) | static_cast<uint32_t>(m[p + 1]) << 8 |
         static_cast<uint32_t>(m[p + 2]) << 16 | static_cast<uint32_t>(m[p + 3]) << 24;
}

uint32_t FatTable::next_free_cluster(uint32_t x) const {
  const uint32_t last = layout_.last_cluster();
  for (uint64_t c = uint64_t{x} + 1; c <= last; ++c)
    if (get_fat_entry(static_cast<uint32_t>(c)) == 0) return static_cast<uint32_t>(c);
  return 0;
}

}  // namespace pyralis
