// SPDX-License-Identifier: GPL-3.0-or-later
#include "fat/fat_first_cluster.h"

#include <algorithm>
#include <limits>

#include "core/memory_stream.h"
#include "fat/fat_layout.h"
#include "fat/fat_names.h"
#include "fat/fat_volume.h"
#include "filetypes/filetypes.h"

namespace pyralis {

namespace {

constexpr uint32_t kHighWordStep = 65536;
// A free run longer than this counts as long enough: the table is not searched further.
constexpr uint64_t kMaxRunChecked = 65536;

// The first sector of cluster x.
TMemoryStream read_head(FatVolume& volume, uint32_t x) {
  TMemoryStream head;
  volume.Read(volume.layout().cluster_offset(x), volume.layout().bytes_per_sector, head);
  return head;
}

// Never written since the volume was made (or wiped): all zeros or all 0xFF.
bool blank(std::span<const uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; }) ||
         std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0xFF; });
}

uint64_t distance_to(uint32_t x, std::span<const uint32_t> near) {
  uint64_t best = std::numeric_limits<uint64_t>::max();
  for (uint32_t n : near) best = std::min<uint64_t>(best, x > n ? x - n : n - x);
  return best;
}

// All `clusters` clusters from x on are free and inside the volume.
bool free_run(const FatVolume& volume, uint32_t x, uint64_t clusters) {
  const FatLayout& l = volume.layout();
  clusters = std::clamp<uint64_t>(clusters, 1, kMaxRunChecked);
  if (!l.valid_cluster(uint64_t{x} + clusters - 1)) return false;
  for (uint64_t i = 0; i < clusters; ++i)
    if (volume.table().get_fat_entry(static_cast<uint32_t>(x + i)) != 0) return false;
  return true;
}

// A file of `size` bytes written in one piece from cluster x ends the way a whole file of
// `kind` ends.
bool ends_at(FatVolume& volume, uint32_t x, uint64_t size, filetypes::Kind kind) {
  const FatLayout& l = volume.layout();
  if (size == 0) return false;
  const uint64_t clusters = (size + l.cluster_size - 1) / l.cluster_size;
  if (!l.valid_cluster(uint64_t{x} + clusters - 1)) return false;
  const uint64_t tail = std::min<uint64_t>(size, filetypes::kTailBytes);
  TMemoryStream bytes;
  volume.Read(l.cluster_offset(x) + size - tail, static_cast<uint32_t>(tail), bytes);
  return static_cast<uint64_t>(bytes.Size()) == tail &&
         filetypes::ends_like(kind, std::span<const uint8_t>(bytes.Memory(), tail));
}

}  // namespace

std::vector<uint32_t> first_cluster_candidates(const FatLayout& layout, uint32_t recorded) {
  std::vector<uint32_t> candidates;
  if (layout.kind != FatKind::kFat32 || layout.cluster_count <= kHighWordStep ||
      recorded >= kHighWordStep)
    return candidates;
  for (uint64_t x = recorded; x <= layout.last_cluster(); x += kHighWordStep)
    if (layout.valid_cluster(x)) candidates.push_back(static_cast<uint32_t>(x));
  return candidates;
}

FirstClusterChoice choose_file_cluster(FatVolume& volume, std::span<const uint32_t> candidates,
                                       uint64_t size, std::string_view extension,
                                       std::span<const uint32_t> near) {
  const filetypes::Kind expected = filetypes::kind_of_extension(extension);
  FirstClusterChoice choice;
  choice.type_has_signature = filetypes::has_signature(expected);
  const uint64_t cluster_size = volume.layout().cluster_size;
  const uint64_t clusters = size / cluster_size + (size % cluster_size != 0);
  int best_score = std::numeric_limits<int>::min();
  uint64_t best_distance = 0;
  for (uint32_t x : candidates) {
    const TMemoryStream head = read_head(volume, x);
    const std::span<const uint8_t> bytes(head.Memory(), static_cast<size_t>(head.Size()));
    const filetypes::Kind found = filetypes::identify(bytes);
    const bool type_seen = choice.type_has_signature && found == expected;
    int score = 0;
    if (type_seen)
      score += 8;
    else if (filetypes::has_signature(found))
      score -= 8;  // the start of a file of another type
    if (volume.table().get_fat_entry(x) == 0) score += 4;
    // A deleted file's bytes were written where it lay: a cluster never written since the
    // format is not its first one, however long the free run after it (a file fragmented
    // around a live one has a short run at its true start).
    if (!blank(bytes)) score += 3;
    if (free_run(volume, x, clusters)) score += 2;
    // A file written in one piece from x ends there the way its type ends a whole file.
    if (type_seen && ends_at(volume, x, size, expected)) score += 3;
    const uint64_t distance = distance_to(x, near);
    if (score > best_score || (score == best_score && distance < best_distance)) {
      best_score = score;
      best_distance = distance;
      choice.cluster = x;
    }
    choice.type_seen = choice.type_seen || type_seen;
  }
  return choice;
}

uint32_t choose_directory_cluster(FatVolume& volume, std::span<const uint32_t> candidates,
                                  std::span<const uint32_t> near) {
  int best_score = -1;
  uint64_t best_distance = 0;
  uint32_t best = 0;
  for (uint32_t x : candidates) {
    const bool free = volume.table().get_fat_entry(x) == 0;
    const TMemoryStream head = read_head(volume, x);
    bool dot = false;
    if (head.Size() >= 32) {
      const FatEntry e(head.Memory(), 32);
      dot = e[0] == '.' && e[1] == ' ' && (e[FatDirEntry::kAttributes] & FatDirEntry::kDirectory) &&
            entry_first_cluster(e) == x;
    }
    if (!dot) continue;
    const int score = free ? 1 : 0;
    const uint64_t distance = distance_to(x, near);
    if (score > best_score || (score == best_score && distance < best_distance)) {
      best_score = score;
      best_distance = distance;
      best = x;
    }
  }
  return best;
}

}  // namespace pyralis
