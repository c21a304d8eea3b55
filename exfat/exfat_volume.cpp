// SPDX-License-Identifier: GPL-3.0-or-later
#include "exfat/exfat_volume.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <limits>
#include <map>

#include "core/engine_window.h"
#include "exfat/exfat_entries.h"
#include "platform/byte_loads.h"
#include "platform/read_state.h"
#include "rawdisk/raw_disk_access_component.h"

namespace pyralis::exfat {

using platform::load_u16;
using platform::load_u32;
using platform::load_u64;
using platform::load_u8;

namespace {

std::optional<Layout> fail(std::string* error, const std::string& reason) {
  if (error) *error = reason;
  return std::nullopt;
}

// Largest cluster the format allows: 32 MiB.
constexpr unsigned kMaxClusterShift = 25;
// The table starts after the 24 sectors of the main and backup boot regions.
constexpr uint32_t kBootRegionsSectors = 24;

}  // namespace

std::optional<Layout> make_layout(std::span<const uint8_t, 512> boot, uint64_t device_bytes,
                                  std::string* error) {
  const std::string bad = "the exFAT boot sector gives ";
  if (std::memcmp(boot.data() + 3, "EXFAT   ", 8) != 0)
    return fail(error, "the boot sector does not name exFAT (\"EXFAT   \" at byte 3)");
  const unsigned sector_shift = load_u8(boot, 0x6C);
  const unsigned cluster_shift = load_u8(boot, 0x6D);
  if (sector_shift < 9 || sector_shift > 12)
    return fail(error, bad + "a bytes-per-sector shift of " + std::to_string(sector_shift) +
                           " (9 to 12 is expected)");
  if (sector_shift + cluster_shift > kMaxClusterShift)
    return fail(error, bad + "a sectors-per-cluster shift of " + std::to_string(cluster_shift) +
                           ", making clusters larger than 32 MiB");
  const unsigned fats = load_u8(boot, 0x6E);
  if (fats != 1 && fats != 2)
    return fail(error, bad + std::to_string(fats) + " file allocation tables (1 or 2 is expected)");

  Layout l;
  l.bytes_per_sector = 1u << sector_shift;
  l.cluster_size = 1u << (sector_shift + cluster_shift);
  const uint64_t volume_sectors = load_u64(boot, 0x48);
  const uint64_t fat_sector = load_u32(boot, 0x50), fat_sectors = load_u32(boot, 0x54);
  const uint64_t heap_sector = load_u32(boot, 0x58);
  l.cluster_count = load_u32(boot, 0x5C);
  l.root_cluster = load_u32(boot, 0x60);
  l.second_fat_active = fats == 2 && (load_u16(boot, 0x6A) & 1) != 0;
  if (volume_sectors == 0 || volume_sectors > (std::numeric_limits<uint64_t>::max() >> 12))
    return fail(error, bad + "a volume length of " + std::to_string(volume_sectors) + " sectors");
  l.volume_bytes = volume_sectors << sector_shift;
  // All of these are 32-bit sector counts, so their sums below fit in 64 bits.
  if (fat_sector < kBootRegionsSectors || fat_sectors == 0 ||
      fat_sector + fat_sectors * fats > volume_sectors)
    return fail(error, bad + "a file allocation table at sector " + std::to_string(fat_sector) +
                           " of " + std::to_string(fat_sectors) +
                           " sectors, outside the volume's " + std::to_string(volume_sectors) +
                           " sectors");
  if (heap_sector < fat_sector + fat_sectors * fats || heap_sector >= volume_sectors)
    return fail(error, bad + "a cluster heap at sector " + std::to_string(heap_sector) +
                           ", overlapping the tables or outside the volume's " +
                           std::to_string(volume_sectors) + " sectors");
  if (l.cluster_count == 0 || l.cluster_count > 0xFFFFFFF5u ||
      heap_sector + (uint64_t{l.cluster_count} << cluster_shift) > volume_sectors)
    return fail(error, bad + std::to_string(l.cluster_count) + " clusters, more than the " +
                           std::to_string(volume_sectors - heap_sector) +
                           " sectors after the heap's start hold");
  if ((fat_sectors << sector_shift) < (uint64_t{l.cluster_count} + 2) * 4)
    return fail(error, bad + "a file allocation table of " + std::to_string(fat_sectors) +
                           " sectors, too small for its " + std::to_string(l.cluster_count) +
                           " clusters");
  l.fat_offset = (fat_sector + (l.second_fat_active ? fat_sectors : 0)) << sector_shift;
  l.fat_bytes = fat_sectors << sector_shift;
  if (fats == 2)
    l.other_fat_offset = (fat_sector + (l.second_fat_active ? 0 : fat_sectors)) << sector_shift;
  l.heap_offset = heap_sector << sector_shift;
  if (device_bytes != 0 && l.heap_offset >= device_bytes)
    return fail(error, bad + "a cluster heap starting at byte " + std::to_string(l.heap_offset) +
                           ", beyond the end of the volume (" + std::to_string(device_bytes) +
                           " bytes)");
  if (!l.valid_cluster(l.root_cluster))
    return fail(error, bad + "root directory cluster " + std::to_string(l.root_cluster) +
                           ", outside the volume's clusters 2 to " +
                           std::to_string(l.last_cluster()));
  return l;
}

std::unique_ptr<Volume> Volume::Open(TRawDiskAccessComponent& component, std::string* error) {
  // The sector windows count in 512-byte sectors, and so must the component; the layout
  // itself works in bytes from the boot sector's own sector size.
  if (component.SectorSize() > 0 && component.SectorSize() != 512) {
    if (error)
      *error = "its transfer sectors hold " + std::to_string(component.SectorSize()) +
               " bytes, and only 512-byte transfer sectors can be read";
    return nullptr;
  }
  std::array<uint8_t, 512> boot{};
  TBuffer boot_window(1);
  // Sector 0, or the backup boot region's first sector when the volume is read by it.
  const int64_t boot_at = component.BootSector() * 512;
  if (boot_window.ReadBytes(component, boot_at, boot.size(), boot.data()) != boot.size()) {
    if (error)
      *error = "its boot sector (sector " + std::to_string(component.BootSector()) +
               ") could not be read";
    return nullptr;
  }
  uint64_t device_bytes = 0;
  if (component.VolumeSectors() > 0)
    device_bytes = static_cast<uint64_t>(component.VolumeSectors()) * 512;
  const auto layout = make_layout(boot, device_bytes, error);
  if (!layout) return nullptr;
  auto volume = std::make_unique<Volume>(component, *layout);
  if (!volume->FindSystemEntries(error)) return nullptr;
  return volume;
}

Volume::Volume(TRawDiskAccessComponent& component, const Layout& layout)
    : component_(component), layout_(layout) {}

bool Volume::FindSystemEntries(std::string* error) {
  DirectoryReader root(*this, layout_.root_cluster, 0, false);
  const uint8_t wanted_bitmap = layout_.second_fat_active ? 1 : 0;
  uint32_t bitmap_first = 0;
  // The first bitmap entry of the other flag, used when none has the wanted one (a flags
  // byte with bit 0 set on a volume of one table names no second bitmap).
  uint32_t other_first = 0;
  uint64_t other_bytes = 0;
  for (;;) {
    const auto entry = root.Peek(1);
    if (entry.size() < kEntryBytes || entry[0] == kEndOfDirectory) break;
    if (entry[0] == kAllocationBitmap && (entry[1] & 1) == wanted_bitmap && bitmap_first == 0) {
      bitmap_first = load_u32(entry, 20);
      bitmap_bytes_ = load_u64(entry, 24);
    } else if (entry[0] == kAllocationBitmap && other_first == 0) {
      other_first = load_u32(entry, 20);
      other_bytes = load_u64(entry, 24);
    } else if (entry[0] == kUpcaseTable && upcase_cluster_ == 0) {
      upcase_cluster_ = load_u32(entry, 20);
    }
    if (bitmap_first != 0 && upcase_cluster_ != 0) break;
    root.Skip(1);
  }
  if (bitmap_first == 0 && other_first != 0) {
    notes_.push_back("the allocation bitmap entry is marked as the second table's (flags bit 0 " +
                     std::string(wanted_bitmap ? "clear" : "set") + "); it is used anyway");
    bitmap_first = other_first;
    bitmap_bytes_ = other_bytes;
  }
  const uint64_t needed = (uint64_t{layout_.cluster_count} + 7) / 8;
  const std::string bad = "the root directory gives ";
  if (bitmap_first == 0) {
    if (error) *error = "the root directory holds no allocation bitmap entry";
    return false;
  }
  if (!layout_.valid_cluster(bitmap_first) || bitmap_bytes_ < needed) {
    if (error)
      *error = bad + "an allocation bitmap at cluster " + std::to_string(bitmap_first) + " of " +
               std::to_string(bitmap_bytes_) + " bytes (clusters 2 to " +
               std::to_string(layout_.last_cluster()) + " and at least " +
               std::to_string(needed) + " bytes are expected)";
    return false;
  }
  // Names are compared by their bytes, never through the up-case table: a bad pointer to it
  // costs nothing.
  if (upcase_cluster_ != 0 && !layout_.valid_cluster(upcase_cluster_)) {
    notes_.push_back("the root directory gives an up-case table at cluster " +
                     std::to_string(upcase_cluster_) + ", outside the volume's clusters 2 to " +
                     std::to_string(layout_.last_cluster()) + "; it is not needed and is ignored");
    upcase_cluster_ = 0;
  }
  bitmap_bytes_ = needed;
  // The bitmap's clusters: its chain while that holds, else on from its last good cluster.
  const uint64_t clusters = ClustersFor(needed);
  uint32_t x = bitmap_first;
  for (uint64_t i = 0; i < clusters; ++i) {
    if (!layout_.valid_cluster(x)) {
      if (error) *error = "the allocation bitmap runs past the volume's last cluster";
      return false;
    }
    bitmap_clusters_.push_back(x);
    const uint32_t next = FatEntry(x);
    x = layout_.valid_cluster(next) && next != x ? next : x + 1;
  }
  return true;
}

void Volume::Read(uint64_t offset, uint32_t count, TMemoryStream& dest) {
  read_to_stream_or_zeros(data_window_, component_, offset, count, dest, &short_read_logged_);
}

bool Volume::ReadClusters(uint32_t x, uint32_t count, TMemoryStream& dest) {
  if (count == 0 || !layout_.valid_cluster(x) || !layout_.valid_cluster(uint64_t{x} + count - 1))
    return false;
  const uint64_t bytes = uint64_t{count} * layout_.cluster_size;
  if (bytes > std::numeric_limits<uint32_t>::max()) return false;
  Read(layout_.cluster_offset(x), static_cast<uint32_t>(bytes), dest);
  return true;
}

uint32_t Volume::FatEntry(uint32_t x) {
  return KnownFatEntry(x).value_or(0);
}

std::optional<uint32_t> Volume::KnownFatEntry(uint32_t x) {
  const uint64_t at = uint64_t{x} * 4;
  if (at + 4 > layout_.fat_bytes) return 0;
  std::array<uint8_t, 4> bytes{};
  if (fat_window_.ReadBytes(component_, static_cast<int64_t>(layout_.fat_offset + at), 4,
                            bytes.data()) == 4)
    return load_u32(bytes, 0);
  // Zeros would read as "no link": the other table gives the entry, else it is unknown.
  const bool other =
      layout_.other_fat_offset != 0 &&
      fat_window_.ReadBytes(component_, static_cast<int64_t>(layout_.other_fat_offset + at), 4,
                            bytes.data()) == 4;
  // Said once per volume, and once per command when one is running (each row opens the
  // volume again).
  platform::ReadState* const state = platform::ReadState::Current();
  const bool first_in_command =
      state == nullptr ||
      state->FirstNotice(std::string("exFAT table of ") + component_.LogicalDrive());
  if (!table_logged_ && first_in_command)
    Window().LogLine("Could not read all of the file allocation table of " +
                     std::string(1, component_.LogicalDrive()) + ": (from byte " +
                     std::to_string(layout_.fat_offset + at) + " on); " +
                     (other ? "the entries there come from the second table."
                            : "no other table holds them, so they are unknown."));
  table_logged_ = true;
  if (other) return load_u32(bytes, 0);
  return std::nullopt;
}

bool Volume::ClusterFree(uint32_t x) {
  if (!layout_.valid_cluster(x)) return false;
  const uint64_t bit = uint64_t{x} - 2;
  const uint64_t byte = bit / 8;
  const uint64_t piece = byte / layout_.cluster_size;
  if (piece >= bitmap_clusters_.size()) return false;
  uint8_t value = 0xFF;  // what cannot be read counts as in use
  bitmap_window_.ReadBytes(component_,
                           static_cast<int64_t>(layout_.cluster_offset(bitmap_clusters_[piece]) +
                                                byte % layout_.cluster_size),
                           1, &value);
  return (value & (1u << (bit % 8))) == 0;
}

uint32_t Volume::NextFreeCluster(uint32_t x) {
  for (uint64_t y = uint64_t{x} + 1; y <= layout_.last_cluster(); ++y) {
    // Whole bytes of used clusters are passed over at once.
    if ((y - 2) % 8 == 0 && y + 7 <= layout_.last_cluster()) {
      bool any_free = false;
      for (uint64_t k = 0; k < 8 && !any_free; ++k) any_free = ClusterFree(static_cast<uint32_t>(y + k));
      if (!any_free) {
        y += 7;
        continue;
      }
    }
    if (ClusterFree(static_cast<uint32_t>(y))) return static_cast<uint32_t>(y);
  }
  return 0;
}

namespace {

void add_cluster(std::vector<ClusterRun>& runs, uint32_t x) {
  if (!runs.empty() && uint64_t{runs.back().first} + runs.back().count == x)
    ++runs.back().count;
  else
    runs.push_back({x, 1});
}

}  // namespace

void Volume::FollowChain(uint32_t first, uint64_t clusters, ClusterPlan& plan) {
  // A chain that comes back to a cluster it holds ends there: the runs taken so far are
  // kept by first cluster to see that.
  std::map<uint32_t, uint32_t> taken;  // first cluster -> count
  const auto holds = [&taken](uint32_t x) {
    auto it = taken.upper_bound(x);
    return it != taken.begin() && x - std::prev(it)->first < std::prev(it)->second;
  };
  uint32_t x = first;
  for (uint64_t i = 0; i < clusters; ++i) {
    if (!layout_.valid_cluster(x) || holds(x)) {
      plan.missing += clusters - i;
      plan.why_short = ClusterPlan::Short::kChainEnds;
      return;
    }
    add_cluster(plan.runs, x);
    taken[plan.runs.back().first] = plan.runs.back().count;
    if (i + 1 == clusters) break;
    const std::optional<uint32_t> next = KnownFatEntry(x);
    if (!next) {
      plan.missing += clusters - i - 1;
      plan.why_short = ClusterPlan::Short::kTableUnknown;
      plan.unknown_cluster = x;
      return;
    }
    x = *next;
  }
}

ClusterPlan Volume::PlanClusters(uint32_t first, uint64_t clusters, bool no_fat_chain) {
  ClusterPlan plan;
  if (clusters == 0) return plan;
  if (!layout_.valid_cluster(first)) {
    plan.missing = clusters;
    plan.why_short = ClusterPlan::Short::kVolumeEnds;
    return plan;
  }
  // No file holds more clusters than the heap.
  if (clusters > layout_.cluster_count) {
    plan.missing = clusters - layout_.cluster_count;
    plan.why_short = ClusterPlan::Short::kVolumeEnds;
    clusters = layout_.cluster_count;
  }
  if (no_fat_chain) {
    const uint64_t inside = std::min<uint64_t>(clusters, uint64_t{layout_.last_cluster()} - first + 1);
    plan.runs.push_back({first, static_cast<uint32_t>(inside)});
    plan.missing += clusters - inside;
    if (clusters > inside) plan.why_short = ClusterPlan::Short::kVolumeEnds;
    return plan;
  }
  // The chain left in the table is the file's own list of clusters whenever its first link
  // leads into the heap; only a chain that is gone (cleared, or never written) leaves the
  // free clusters after the first one as the best guess.
  const std::optional<uint32_t> link = clusters > 1 ? KnownFatEntry(first) : first;
  if (link && (clusters == 1 || layout_.valid_cluster(*link))) {
    FollowChain(first, clusters, plan);
    return plan;
  }
  add_cluster(plan.runs, first);
  if (!link) {
    plan.missing += clusters - 1;
    plan.why_short = ClusterPlan::Short::kTableUnknown;
    plan.unknown_cluster = first;
    return plan;
  }
  plan.by_free_clusters = true;
  uint32_t x = first;
  for (uint64_t i = 1; i < clusters; ++i) {
    x = NextFreeCluster(x);
    if (x == 0) {
      plan.missing += clusters - i;
      plan.why_short = ClusterPlan::Short::kNoFreeCluster;
      break;
    }
    add_cluster(plan.runs, x);
  }
  return plan;
}

uint64_t Volume::FreeClusters(const ClusterPlan& plan) {
  uint64_t free = 0;
  for (const ClusterRun& run : plan.runs)
    for (uint64_t k = 0; k < run.count; ++k) free += ClusterFree(static_cast<uint32_t>(run.first + k));
  return free;
}

int Volume::EstimateQuality(const ClusterPlan& plan, uint64_t clusters) {
  if (clusters == 0) return 100;
  const uint64_t free = FreeClusters(plan);
  int percentage = static_cast<int>(static_cast<unsigned __int128>(free) * 100 / clusters);
  if (percentage == 0 && free > 0) percentage = 1;
  return percentage;
}

DirectoryReader::DirectoryReader(Volume& volume, uint32_t first_cluster, uint64_t length,
                                 bool no_fat_chain, const std::unordered_set<uint32_t>* skip,
                                 std::unordered_set<uint32_t>* read)
    : volume_(volume),
      no_fat_chain_(no_fat_chain),
      next_cluster_(first_cluster),
      skip_(skip),
      read_(read) {
  const uint64_t bytes = length == 0 ? kMaxDirectoryBytes : std::min(length, kMaxDirectoryBytes);
  clusters_left_ = volume.ClustersFor(bytes);
}

uint32_t DirectoryReader::LinkAfter(uint32_t x) {
  if (no_fat_chain_) return x + 1;
  const std::optional<uint32_t> next = volume_.KnownFatEntry(x);
  if (!next) damaged_ = true;  // where the directory goes on is not known
  return next.value_or(0);
}

bool DirectoryReader::ReadNextCluster() {
  uint32_t x = next_cluster_;
  for (;;) {
    if (clusters_left_ == 0 || !volume_.layout().valid_cluster(x)) return false;
    if (!no_fat_chain_ && !chain_.insert(x).second) return false;  // the chain came back
    --clusters_left_;
    if (skip_ == nullptr || skip_->count(x) == 0) break;
    x = LinkAfter(x);  // a cluster another directory holds now: not this one's entries
  }
  if (read_) read_->insert(x);
  if (recorded_) recorded_->insert(x);
  piece_.SetSize(0);
  piece_.SetPosition(0);
  volume_.ReadClusters(x, 1, piece_);
  damaged_ = damaged_ || !volume_.LastUnreadable().empty();
  // Entries of sectors that could not be read are zeros in piece_, which would read as the
  // end of the directory: they become unused entries instead, so the walk goes on past them.
  uint8_t* bytes = piece_.Memory();
  const auto size = static_cast<int64_t>(piece_.Size());
  for (const RequestRange& r : volume_.LastUnreadable()) {
    for (int64_t at = r.offset / kEntryBytes * kEntryBytes; at < r.offset + r.length && at < size;
         at += kEntryBytes)
      bytes[at] = kUnreadableEntry;
  }
  // Entries already used go; the ones still pending move to the front.
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(position_));
  position_ = 0;
  pending_.insert(pending_.end(), bytes, bytes + size);
  next_cluster_ = clusters_left_ > 0 ? LinkAfter(x) : 0;
  return true;
}

std::span<const uint8_t> DirectoryReader::Peek(size_t entries) {
  while (pending_.size() - position_ < entries * kEntryBytes && ReadNextCluster()) {
  }
  const size_t whole = (pending_.size() - position_) / kEntryBytes * kEntryBytes;
  return std::span<const uint8_t>(pending_.data() + position_,
                                  std::min(whole, entries * kEntryBytes));
}

void DirectoryReader::Skip(size_t entries) {
  position_ = std::min(pending_.size(), position_ + entries * kEntryBytes);
}

}  // namespace pyralis::exfat
