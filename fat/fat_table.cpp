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

namespace {

void add_table_range(std::vector<RequestRange>& ranges, int64_t offset, int64_t length) {
  if (length <= 0) return;
  if (!ranges.empty() && ranges.back().offset + ranges.back().length >= offset)
    ranges.back().length = std::max(ranges.back().offset + ranges.back().length, offset + length) -
                           ranges.back().offset;
  else
    ranges.push_back({offset, length});
}

// Fills the `missing` byte ranges of `image` from the table copy at volume byte `copy`;
// returns the ranges that copy could not deliver either.
std::vector<RequestRange> fill_from_copy(TRawDiskAccessComponent& component, uint64_t copy,
                                         const std::vector<RequestRange>& missing,
                                         TMemoryStream& image) {
  std::vector<RequestRange> still;
  TBuffer window(20);
  std::vector<uint8_t> piece;
  for (const RequestRange& range : missing) {
    for (int64_t done = 0; done < range.length;) {
      const int64_t at = range.offset + done;
      const auto n = static_cast<uint32_t>(std::min<int64_t>(kLoadPiece, range.length - done));
      piece.assign(n, 0);
      window.ReadBytes(component, static_cast<int64_t>(copy) + at, n, piece.data());
      int64_t good_from = 0;
      for (const RequestRange& bad : window.Unreadable()) {
        std::memcpy(image.Memory() + at + good_from, piece.data() + good_from,
                    static_cast<size_t>(bad.offset - good_from));
        add_table_range(still, at + bad.offset, bad.length);
        good_from = bad.offset + bad.length;
      }
      std::memcpy(image.Memory() + at + good_from, piece.data() + good_from,
                  static_cast<size_t>(n - good_from));
      done += n;
    }
  }
  return still;
}

}  // namespace

void FatTable::load_fat(TRawDiskAccessComponent& component) {
  auto loaded = std::make_shared<TMemoryStream>();
  TMemoryStream& image = *loaded;
  const uint64_t total = layout_.table_bytes();
  const uint64_t active = layout_.fat_copy_offset(layout_.active_fat);
  TBuffer table_window(20);
  std::vector<RequestRange> missing;  // bytes of the table the active copy did not deliver
  for (uint64_t done = 0; done < total;) {
    const uint64_t piece = std::min(kLoadPiece, total - done);
    const int64_t before = image.Size();
    table_window.ReadToStream(component, static_cast<int64_t>(active + done),
                              static_cast<uint32_t>(piece), image);
    for (const RequestRange& r : table_window.Unreadable())
      add_table_range(missing, static_cast<int64_t>(done) + r.offset, r.length);
    if (image.Size() < before + static_cast<int64_t>(piece)) {
      add_table_range(missing, image.Size() - before + static_cast<int64_t>(done),
                      before + static_cast<int64_t>(piece) - image.Size());
      image.SetSize(before + static_cast<int64_t>(piece));
      image.SetPosition(image.Size());
    }
    done += piece;
  }
  image.SetSize(static_cast<int64_t>(total));
  // Unreadable entries are zeros, which would read as free clusters: they come from the
  // other copies while those mirror the active one, else they stay unknown.
  if (!missing.empty()) {
    const std::string head = "Could not read all of the file allocation table of " +
                             std::string(1, component.LogicalDrive()) + ": (from byte " +
                             std::to_string(active + missing.front().offset) + " on); ";
    uint32_t used_copy = 0;
    std::vector<RequestRange> left = missing;
    for (uint32_t n = 0; layout_.mirrored && n < layout_.fat_copies && !left.empty(); ++n) {
      if (n == layout_.active_fat) continue;
      left = fill_from_copy(component, layout_.fat_copy_offset(n), left, image);
      used_copy = n + 1;
    }
    if (left.empty())
      Window().LogLine(head + "the entries there come from table copy " +
                       std::to_string(used_copy) + ".");
    else
      Window().LogLine(head + "no other table copy holds them, so they are unknown.");
    unknown_ = std::make_shared<const std::vector<RequestRange>>(std::move(left));
  } else {
    unknown_ = std::make_shared<const std::vector<RequestRange>>();
  }
  image_ = std::move(loaded);
}

void FatTable::load_fat_bytes(const uint8_t* data, size_t size) {
  auto loaded = std::make_shared<TMemoryStream>();
  loaded->Write(data, static_cast<int64_t>(size));
  image_ = std::move(loaded);
  unknown_ = std::make_shared<const std::vector<RequestRange>>();
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

bool FatTable::entry_known(uint32_t x) const {
  if (unknown_->empty()) return true;
  int64_t at = 0, bytes = 4;
  switch (layout_.kind) {
    case FatKind::kFat12:
      at = int64_t{x} + x / 2, bytes = 2;
      break;
    case FatKind::kFat16:
      at = int64_t{x} * 2, bytes = 2;
      break;
    case FatKind::kFat32:
      at = int64_t{x} * 4;
      break;
  }
  // The last range starting before the entry's end is the only one that can overlap it.
  auto it = std::upper_bound(unknown_->begin(), unknown_->end(), at + bytes - 1,
                             [](int64_t v, const RequestRange& r) { return v < r.offset; });
  if (it == unknown_->begin()) return true;
  --it;
  return it->offset + it->length <= at;
}

uint32_t FatTable::next_free_cluster(uint32_t x, uint32_t* unknown_at) const {
  if (unknown_at) *unknown_at = 0;
  const uint32_t last = layout_.last_cluster();
  for (uint64_t c = uint64_t{x} + 1; c <= last; ++c) {
    const auto cluster = static_cast<uint32_t>(c);
    if (!entry_known(cluster)) {
      if (unknown_at) {
        *unknown_at = cluster;
        return 0;
      }
      continue;
    }
    if (get_fat_entry(cluster) == 0) return cluster;
  }
  return 0;
}

}  // namespace pyralis
