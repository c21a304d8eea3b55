// SPDX-License-Identifier: GPL-3.0-or-later
// The recovery estimate: the share of a deleted file's clusters that $Bitmap still marks
// free, read through a 2048-byte window of the bitmap (ClusterBitmapCache).
#include <algorithm>
#include <vector>

#include "core/engine_window.h"
#include "ntfs/ntfs_internal.h"

namespace pyralis::ntfs {

namespace {

constexpr size_t kWindowBytes = 2048;
constexpr int64_t kWindowClusters = kWindowBytes * 8;  // 16,384

// ClusterBitmapCache: the allocation bits of 16,384 clusters from `first` on; first < 0
// marks it empty.
struct ClusterBitmapCache {
  std::vector<uint8_t> window = std::vector<uint8_t>(kWindowBytes, 0);
  int64_t first = -1;
};
thread_local ClusterBitmapCache g_cache;  // per thread, as the mount's buffers

void log(const std::string& line) {
  Window().LogLine(line);
}

// Fills the window with the block of `first`. Bytes that cannot be read stay 0xFF, so
// their clusters count as allocated; a failed block is kept too, so the failure is logged
// once per block rather than once per cluster.
int load_window(NtfsVolume& volume, int64_t first) {
  std::fill(g_cache.window.begin(), g_cache.window.end(), 0xFF);
  g_cache.first = first;
  auto bitmap = open_attribute(volume.volume_bitmap_inode.get(), kData);
  if (bitmap == nullptr) {
    log("Couldnot open $Bitmap");
    return -1;
  }
  if (read_attribute(bitmap.get(), g_cache.window.data(), kVolumeBitmapBuffer, nullptr,
                     kWindowBytes, first / 8) < 0) {
    log("Couldnot open $Bitmap 2");
    return -1;
  }
  return 0;
}

}  // namespace

void reset_cluster_bitmap_cache() {
  g_cache.window.assign(kWindowBytes, 0);
  g_cache.first = -1;
}

int cluster_in_use(NtfsVolume* volume, int64_t cluster) {
  if (volume == nullptr) return -1;
  if (cluster < 0 || cluster >= volume->total_clusters) return 1;
  if (g_cache.first < 0 || cluster < g_cache.first || cluster >= g_cache.first + kWindowClusters) {
    if (load_window(*volume, cluster & ~(kWindowClusters - 1)) < 0) return -1;
  }
  const int64_t bit = cluster - g_cache.first;
  return g_cache.window[static_cast<size_t>(bit / 8)] & (1u << (bit % 8));
}

RunTally tally_runs(const Runlist& rl, NtfsVolume& volume) {
  RunTally t;
  size_t i = 0;
  if (!rl.empty() && rl[0].lcn == kLcnNotMapped) {
    t.lost += rl[0].length;
    i = 1;
  }
  EngineWindow& window = Window();
  for (; i < rl.size() && rl[i].length > 0; ++i) {
    const RunElement& run = rl[i];
    if (run.lcn == kLcnNotMapped) {
      t.lost = std::min(t.lost + run.length, INT64_MAX / 200);
    } else if (run.lcn == kLcnHole) {
      t.holes = std::min(t.holes + run.length, INT64_MAX / 200);
    } else {
      // Clusters past the end of the volume are lost without looking them up, so a stale
      // run of billions of clusters costs nothing.
      const int64_t end = run.lcn + run.length;  // no overflow: decode_runlist checked it
      const int64_t inside_end = std::min(end, volume.total_clusters);
      if (end > inside_end)
        t.lost = std::min(t.lost + (end - std::max(inside_end, run.lcn)), INT64_MAX / 200);
      for (int64_t cluster = run.lcn; cluster < inside_end; ++cluster) {
        window.ProcessMessages();
        if (cluster_in_use(&volume, cluster) != 0) {
          ++t.lost;
        } else {
          ++t.free;
        }
      }
    }
  }
  return t;
}

int calc_percentage(FileRecordInfo* info, NtfsVolume* volume) {
  if (info == nullptr || volume == nullptr) return -1;
  const std::string number = std::to_string(info->number);
  if (info->is_directory) {
    log("ERROR: Found a directory: not recoverable " + number);
    return 0;
  }
  if (info->streams.empty()) return -1;
  DataStream& s = info->streams.front();
  if (s.encrypted) {
    log("File is encrypted, recovery is impossible " + number);
    return -3;
  }
  if (s.compressed) {
    log("File is compressed; it is written decompressed " + number);
    return -2;
  }
  if (s.resident) {
    if (!s.value_in_record) return -1;
    s.quality = 100;
    return 100;
  }
  if (!s.runlist || s.runlist->empty() || s.runlist->front().length <= 0) return -1;

  const RunTally t = tally_runs(*s.runlist, *volume);
  const int64_t lost = t.lost;
  const int64_t free = std::min(t.free + t.holes, INT64_MAX / 200);  // holes need no clusters
  if (lost + free == 0) {
    log("ERROR: Unexpected error whilst calculating percentage for inode " + number);
    return -1;
  }
  int percentage = static_cast<int>(static_cast<__int128>(free) * 100 / (lost + free));
  // Some free clusters never show as "Overwritten": 0 means nothing is left.
  if (percentage == 0 && free > 0) percentage = 1;
  s.quality = percentage;
  return percentage;
}

}  // namespace pyralis::ntfs
