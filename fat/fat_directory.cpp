#include "fat/fat_directory.h"

#include <algorithm>

#include "fat/fat_volume.h"

namespace pyralis {

namespace {

// Bytes of the fixed root region read at a time.
constexpr uint64_t kRegionPiece = 8192;

}  // namespace

DirectoryStream::DirectoryStream(FatVolume& volume, uint32_t first_cluster) : volume_(volume) {
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

bool DirectoryStream::Refill() {
  piece_.SetSize(0);
  piece_.SetPosition(0);
  position_ = 0;
  if (in_region_) {
    if (region_next_ >= region_end_) return false;
    const uint64_t n = std::min(kRegionPiece, region_end_ - region_next_);
    volume_.Read(region_next_, static_cast<uint32_t>(n), piece_);
    unreadable_ = volume_.LastUnreadable();
    region_next_ += n;
    return true;
  }
  if (clusters_left_ == 0) return false;
  uint32_t next = first_cluster_;
  if (cluster_ != 0) {
    next = volume_.table().get_fat_entry(cluster_);
    if (volume_.table().ends_chain(next)) return false;
  }
  // A chain that comes back to a cluster of this directory would list its entries again.
  if (!chain_.insert(next).second) return false;
  --clusters_left_;
  cluster_ = next;
  // A cluster outside the data area reads as nothing and ends the directory.
  const bool read = volume_.ReadClusters(cluster_, 1, piece_);
  unreadable_ = read ? volume_.LastUnreadable() : std::vector<RequestRange>{};
  return read;
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

}  // namespace pyralis
