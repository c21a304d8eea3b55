// SPDX-License-Identifier: GPL-3.0-or-later
#include "fat/fat_directory.h"

#include <algorithm>
#include <string_view>

#include "fat/fat_names.h"
#include "fat/fat_volume.h"

namespace pyralis {

namespace {

// Bytes of the fixed root region read at a time.
constexpr uint64_t kRegionPiece = 8192;
// Clusters looked at past a chain's end, per directory: one read each.
constexpr size_t kMaxLeadsTried = 65536;

bool valid_time(uint16_t time) {
  return (time >> 11) <= 23 && ((time >> 5) & 63) <= 59 && (time & 31) <= 29;
}

bool valid_date(uint16_t date) {
  return dos_date_time(date, 0) != 0.0;
}

// A byte of an 8.3 name as the format allows it: no lower case, no characters the format
// excludes; blanks only as padding at the end of the name or the extension.
bool valid_short_name(FatEntry e) {
  static constexpr std::string_view kExcluded = "\"*+,./:;<=>?[\\]|";
  const auto part_ok = [&](size_t at, size_t width, bool may_be_empty) {
    bool padding = false;
    for (size_t i = 0; i < width; ++i) {
      uint8_t c = e[at + i];
      if (at + i == 0 && (c == FatDirEntry::kDeleted || c == 0x05)) continue;
      if (c == ' ') {
        if (i == 0 && !may_be_empty) return false;
        padding = true;
        continue;
      }
      if (padding || c < 0x20 || c == 0x7F || (c >= 'a' && c <= 'z') ||
          kExcluded.find(static_cast<char>(c)) != std::string_view::npos)
        return false;
    }
    return true;
  };
  return part_ok(0, 8, false) && part_ok(8, 3, true);
}

bool valid_long_name_piece(FatEntry e) {
  const uint8_t sequence = e[0];
  if (sequence != FatDirEntry::kDeleted &&
      ((sequence & 0xA0) != 0 || (sequence & 0x1F) == 0 || (sequence & 0x1F) > 20))
    return false;
  if (e[12] != 0 || entry16(e, 26) != 0) return false;
  static constexpr size_t kUnits[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  bool ended = false;
  for (size_t i = 0; i < 13; ++i) {
    const uint16_t u = entry16(e, kUnits[i]);
    if (ended) {
      if (u != 0xFFFF) return false;
    } else if (u == 0) {
      if (i == 0) return false;
      ended = true;
    } else if (u < 0x20 || u == 0xFFFF || (u < 0x80 && std::string_view("\"*/:<>?\\|").find(
                                                           static_cast<char>(u)) !=
                                                           std::string_view::npos)) {
      return false;
    }
  }
  return true;
}

bool valid_short_entry(FatEntry e, const FatLayout& l) {
  const uint8_t attributes = e[FatDirEntry::kAttributes];
  // No unused bits, no label (labels live in the root), no "." or ".." entries.
  if ((attributes & 0xC8) != 0 || e[0] == '.' || !valid_short_name(e)) return false;
  if ((e[12] & ~0x18) != 0 || e[13] > 199) return false;
  const uint16_t created = entry16(e, FatDirEntry::kCreateDate);
  const uint16_t accessed = entry16(e, 18);
  if (!valid_time(entry16(e, FatDirEntry::kCreateTime)) || (created != 0 && !valid_date(created)))
    return false;
  if (accessed != 0 && !valid_date(accessed)) return false;
  if (!valid_time(entry16(e, FatDirEntry::kModifyTime)) ||
      !valid_date(entry16(e, FatDirEntry::kModifyDate)))
    return false;
  if (l.kind != FatKind::kFat32 && entry16(e, FatDirEntry::kClusterHigh) != 0) return false;
  const uint32_t cluster = entry_first_cluster(e);
  const uint64_t size = entry32(e, FatDirEntry::kSize);
  if (attributes & FatDirEntry::kDirectory) return size == 0 && l.valid_cluster(cluster);
  if (size == 0) return cluster == 0 || l.valid_cluster(cluster);
  return l.valid_cluster(cluster) && size <= uint64_t{l.cluster_count} * l.cluster_size;
}

}  // namespace

bool plausible_directory_cluster(std::span<const uint8_t> bytes, const FatLayout& layout) {
  if (bytes.size() < 32 || bytes[0] == 0) return false;
  for (size_t at = 0; at + 32 <= bytes.size(); at += 32) {
    const FatEntry e(bytes.data() + at, 32);
    if (e[0] == 0) {
      // The end marker: what follows was never written.
      return std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.end(),
                         [](uint8_t b) { return b == 0; });
    }
    const bool ok = e[FatDirEntry::kAttributes] == FatDirEntry::kLongName
                        ? valid_long_name_piece(e)
                        : valid_short_entry(e, layout);
    if (!ok) return false;
  }
  return true;
}

bool ClusterRuns::contains(uint32_t x) const {
  const auto after = runs_.upper_bound(x);
  return after != runs_.begin() && x < std::prev(after)->second;
}

void ClusterRuns::insert(uint32_t x) {
  if (x == UINT32_MAX || contains(x)) return;
  auto after = runs_.upper_bound(x);  // the first run that starts past x
  const bool joins_before = after != runs_.begin() && std::prev(after)->second == x;
  const bool joins_after = after != runs_.end() && after->first == uint64_t{x} + 1;
  if (joins_before && joins_after) {
    std::prev(after)->second = after->second;
    runs_.erase(after);
  } else if (joins_before) {
    std::prev(after)->second = x + 1;
  } else if (joins_after) {
    const uint32_t end = after->second;
    runs_.erase(after);
    runs_.emplace(x, end);
  } else if (runs_.size() < kMaxRuns) {
    runs_.emplace(x, x + 1);
  }
}

DirectoryStream::DirectoryStream(FatVolume& volume, uint32_t first_cluster,
                                 PastChainClusters* past)
    : volume_(volume), past_(past) {
  const FatLayout& l = volume.layout();
  if (first_cluster == 0 && l.kind != FatKind::kFat32) {
    in_region_ = true;
    region_next_ = l.root_region_offset;
    region_end_ = l.root_region_offset + l.root_region_bytes;
    return;
  }
  first_cluster_ = first_cluster == 0 ? l.root_cluster : first_cluster;
  clusters_left_ = std::max<uint64_t>(1, kMaxDirectoryBytes / l.cluster_size);
}

void DirectoryStream::AddLead(const DirectoryLead& lead) {
  if (in_region_ || !volume_.layout().valid_cluster(lead.first)) return;
  if (leads_.size() + lead_ends_.size() < kMaxLeadsTried) leads_.push_back(lead);
  NoteReach(lead);
}

void DirectoryStream::NoteReach(const DirectoryLead& lead) {
  if (lead.first >= reach_.first) reach_ = lead;
}

uint32_t DirectoryStream::LeadEnd(const DirectoryLead& lead) const {
  const FatTable& table = volume_.table();
  uint32_t x = lead.first;
  for (uint64_t n = 1; n < lead.clusters && x != 0; ++n) {
    if (lead.deleted) {
      x = table.next_free_cluster(x);  // as the recovery rebuilds the file
    } else {
      const uint32_t next = table.get_fat_entry(x);
      if (table.ends_chain(next) || next == x) break;
      x = next;
    }
  }
  return x == 0 ? 0 : x + 1;
}

bool DirectoryStream::TryContinuation(uint32_t x) {
  const FatLayout& l = volume_.layout();
  if (!l.valid_cluster(x) || volume_.table().get_fat_entry(x) != 0 || chain_.count(x) != 0 ||
      past_->rejected.contains(x) || past_->taken.count(x) != 0)
    return false;
  piece_.SetSize(0);
  piece_.SetPosition(0);
  if (volume_.ReadClusters(x, 1, piece_) && (unreadable_ = volume_.LastUnreadable(), true) &&
      plausible_directory_cluster(std::span<const uint8_t>(piece_.Memory(), piece_.Size()), l))
    return true;
  past_->rejected.insert(x);  // each free cluster is read once per scan
  piece_.SetSize(0);
  return false;
}

uint32_t DirectoryStream::FindContinuation() {
  if (ended_ || cluster_ == 0 || past_ == nullptr) return 0;
  // Nearest first, and only clusters after the current one (allocation goes forward through
  // the volume): the clusters that follow it, then the ends of the leads beyond them.
  const uint64_t window_end =
      std::min<uint64_t>(uint64_t{cluster_} + kSearchClusters, volume_.layout().last_cluster());
  for (uint64_t x = uint64_t{cluster_} + 1; x <= window_end; ++x) {
    if (TryContinuation(static_cast<uint32_t>(x))) return static_cast<uint32_t>(x);
  }
  // Each lead's end is worked out once, when first needed.
  if (!leads_.empty()) {
    for (const DirectoryLead& lead : leads_) lead_ends_.push_back(LeadEnd(lead));
    leads_.clear();
    std::sort(lead_ends_.begin(), lead_ends_.end());
    lead_ends_.erase(std::unique(lead_ends_.begin(), lead_ends_.end()), lead_ends_.end());
  }
  for (auto it = std::upper_bound(lead_ends_.begin(), lead_ends_.end(), window_end);
       it != lead_ends_.end(); ++it) {
    if (TryContinuation(*it)) return *it;
  }
  return 0;
}

bool DirectoryStream::Refill() {
  piece_.SetSize(0);
  piece_.SetPosition(0);
  position_ = 0;
  if (in_region_) {
    if (region_next_ >= region_end_) return false;
    const uint64_t n = std::min(kRegionPiece, region_end_ - region_next_);
    volume_.Read(region_next_, static_cast<uint32_t>(n), piece_);
    unreadable_ = volume_.LastUnreadable();
    damaged_ = damaged_ || !unreadable_.empty();
    region_next_ += n;
    return true;
  }
  if (clusters_left_ == 0) return false;
  uint32_t next = first_cluster_;
  bool found_past_chain = false;
  if (cluster_ != 0) {
    next = past_chain_ ? 0 : volume_.table().get_fat_entry(cluster_);
    // No table copy gave the entry: where the directory goes on is not known.
    if (!past_chain_ && !volume_.table().entry_known(cluster_)) damaged_ = true;
    if (volume_.table().ends_chain(next)) {
      next = FindContinuation();
      if (next == 0) return false;
      found_past_chain = true;
    }
  }
  // A chain that comes back to a cluster of this directory would list its entries again.
  if (!chain_.insert(next).second) return false;
  --clusters_left_;
  cluster_ = next;
  NoteReach({next, 1, false});
  if (found_past_chain) {
    past_chain_ = true;
    past_->taken.insert(next);  // TryContinuation read it into piece_ and unreadable_
  } else if (!volume_.ReadClusters(cluster_, 1, piece_)) {
    return false;  // a cluster outside the data area reads as nothing and ends the directory
  } else {
    unreadable_ = volume_.LastUnreadable();
    damaged_ = damaged_ || !unreadable_.empty();
  }
  // An end marker in this cluster: nothing of the directory lies past it. Zeros standing
  // for sectors that could not be read are no end marker.
  ended_ = false;
  for (int64_t at = 0; at + 32 <= piece_.Size() && !ended_; at += 32)
    ended_ = piece_.Memory()[at] == 0 && !Unreadable(at);
  return true;
}

bool DirectoryStream::Unreadable(int64_t position) const {
  for (const RequestRange& r : unreadable_)
    if (position < r.offset + r.length && position + 32 > r.offset) return true;
  return false;
}

bool DirectoryStream::Next(std::array<uint8_t, 32>& entry) {
  while (position_ + 32 > piece_.Size() || Unreadable(position_)) {
    if (position_ + 32 <= piece_.Size()) {
      position_ += 32;
      continue;
    }
    if (!Refill()) return false;
  }
  std::copy_n(piece_.Memory() + position_, 32, entry.begin());
  position_ += 32;
  return true;
}

std::string read_long_name(std::array<uint8_t, 32>& entry, DirectoryStream& stream,
                           bool* usable) {
  // Pieces appear last first, so each further entry's units go in front. Sequence numbers
  // and checksums are not looked at: every run of long-name entries belongs to the short
  // entry after it.
  std::u16string units;
  append_long_name_units(entry, units);
  std::array<uint8_t, 32> next;
  while (stream.Next(next)) {
    entry = next;
    if (next[FatDirEntry::kAttributes] != FatDirEntry::kLongName) break;
    std::u16string piece;
    append_long_name_units(next, piece);
    units.insert(0, piece);
  }
  // Half of a surrogate pair makes the name unusable; the short name stands in for it.
  for (size_t i = 0; i < units.size(); ++i) {
    const char16_t u = units[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF && usable) {
      *usable = false;
    }
  }
  return long_name_text(units);
}

}  // namespace pyralis
