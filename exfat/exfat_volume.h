// SPDX-License-Identifier: GPL-3.0-or-later
// The exFAT volume as the engine sees it for one scan or recovery call: the checked boot
// sector, the cluster heap, the file allocation table and the allocation bitmap, all read
// through sector windows of the component (nothing of the volume is held whole in memory).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <unordered_set>
#include <string>
#include <vector>

#include "core/cluster_buffer.h"
#include "core/memory_stream.h"

namespace pyralis {
class TRawDiskAccessComponent;
}

namespace pyralis::exfat {

// The boot-sector fields the engine uses, in bytes where the volume counts in sectors.
struct Layout {
  uint32_t bytes_per_sector = 0;
  uint32_t cluster_size = 0;
  uint64_t volume_bytes = 0;  // VolumeLength (0x48) in bytes
  uint64_t fat_offset = 0;    // the active table (the second one when VolumeFlags says so)
  uint64_t fat_bytes = 0;
  uint64_t heap_offset = 0;     // ClusterHeapOffset (0x58)
  uint32_t cluster_count = 0;   // ClusterCount (0x5C); clusters are 2 .. count + 1
  uint32_t root_cluster = 0;    // FirstClusterOfRootDirectory (0x60)
  bool second_fat_active = false;

  bool valid_cluster(uint64_t x) const { return x >= 2 && x <= uint64_t{cluster_count} + 1; }
  uint32_t last_cluster() const { return cluster_count + 1; }
  uint64_t cluster_offset(uint32_t x) const {
    return heap_offset + (uint64_t{x} - 2) * cluster_size;
  }
};

// Checks the boot sector and derives the layout. `device_bytes` is the length of what holds
// the volume (0 when unknown). On failure returns none and puts one sentence naming the
// first failed check into *error.
std::optional<Layout> make_layout(std::span<const uint8_t, 512> boot, uint64_t device_bytes,
                                  std::string* error);

// Table values with a meaning of their own.
constexpr uint32_t kBadCluster = 0xFFFFFFF7;
constexpr uint32_t kEndOfChain = 0xFFFFFFFF;
// Largest directory the format allows.
constexpr uint64_t kMaxDirectoryBytes = 256ull << 20;

struct ClusterRun {
  uint32_t first = 0;
  uint32_t count = 0;
};

// Which clusters a file's bytes are taken from, in order, and how many could not be found
// (the volume ended, or no free cluster followed).
struct ClusterPlan {
  std::vector<ClusterRun> runs;
  uint64_t missing = 0;
  bool by_free_clusters = false;  // the chain was no use: first cluster + free clusters after it
};

class Volume {
 public:
  // Reads and checks the boot sector, then finds the allocation bitmap and the up-case table
  // in the root directory. On failure returns nullptr and puts the reason into *error.
  static std::unique_ptr<Volume> Open(TRawDiskAccessComponent& component, std::string* error);

  Volume(TRawDiskAccessComponent& component, const Layout& layout);
  Volume(const Volume&) = delete;
  Volume& operator=(const Volume&) = delete;

  const Layout& layout() const { return layout_; }

  // Appends `count` bytes of clusters x .. x + count - 1 to `dest`. Every read of file and
  // directory content comes through here. False (nothing appended) when the run is not
  // inside the heap.
  bool ReadClusters(uint32_t x, uint32_t count, TMemoryStream& dest);
  // The bytes of the last ReadClusters request that could not be read (zeros in dest).
  const std::vector<RequestRange>& LastUnreadable() const { return data_window_.Unreadable(); }
  // Table entry of cluster x (0 when x lies beyond the table).
  uint32_t FatEntry(uint32_t x);
  // True when the allocation bitmap marks cluster x free (clusters outside the heap are not).
  bool ClusterFree(uint32_t x);
  // First cluster after x that the bitmap marks free; 0 when none is left.
  uint32_t NextFreeCluster(uint32_t x);

  // The clusters holding `clusters` clusters of a file starting at `first`: the contiguous
  // run when `no_fat_chain`; else the table chain when every link is a cluster of the heap,
  // no cluster comes twice and every one is still free; else the first cluster and the free
  // clusters after it.
  ClusterPlan PlanClusters(uint32_t first, uint64_t clusters, bool no_fat_chain);
  // Share (0..100) of the plan's clusters the bitmap marks free, counting missing clusters as
  // lost, 1 when only a few are free; 100 for a file without clusters.
  int EstimateQuality(const ClusterPlan& plan, uint64_t clusters);
  // How many of the plan's clusters the bitmap marks free.
  uint64_t FreeClusters(const ClusterPlan& plan);

  uint64_t ClustersFor(uint64_t bytes) const {
    return bytes / layout_.cluster_size + (bytes % layout_.cluster_size != 0);
  }

  uint32_t upcase_cluster() const { return upcase_cluster_; }
  // Damage found at Open in structures the engine does not need, one sentence each.
  const std::vector<std::string>& notes() const { return notes_; }

 private:
  void Read(uint64_t offset, uint32_t count, TMemoryStream& dest);
  bool FindSystemEntries(std::string* error);
  bool ChainIsWhole(uint32_t first, uint64_t clusters, ClusterPlan& plan);

  TRawDiskAccessComponent& component_;
  Layout layout_;
  TBuffer data_window_{20};
  TBuffer fat_window_{8};
  TBuffer bitmap_window_{8};
  // The bitmap's clusters in order (it is contiguous on every volume seen, but may chain).
  std::vector<uint32_t> bitmap_clusters_;
  uint64_t bitmap_bytes_ = 0;
  uint32_t upcase_cluster_ = 0;
  std::vector<std::string> notes_;
  bool short_read_logged_ = false;
};

// Reads a directory's entries in order, one cluster at a time: a contiguous run when
// `no_fat_chain`, else the table chain while each link is a heap cluster not read before;
// never more than `length` bytes (the format's 256 MiB when 0).
class DirectoryReader {
 public:
  DirectoryReader(Volume& volume, uint32_t first_cluster, uint64_t length, bool no_fat_chain);
  // The bytes of entries from the current one on, at least `entries` whole entries of them
  // when the directory has that many left; fewer at its end.
  std::span<const uint8_t> Peek(size_t entries);
  void Skip(size_t entries);
  // Adds every cluster read from now on to `*read` (none: stops).
  void RecordClusters(std::unordered_set<uint32_t>* read) { read_ = read; }

 private:
  bool ReadNextCluster();

  Volume& volume_;
  bool no_fat_chain_;
  uint32_t next_cluster_;
  uint64_t clusters_left_;
  std::unordered_set<uint32_t> chain_;  // clusters read so far (chained directories)
  std::unordered_set<uint32_t>* read_ = nullptr;
  TMemoryStream piece_;
  std::vector<uint8_t> pending_;
  size_t position_ = 0;
};

}  // namespace pyralis::exfat
