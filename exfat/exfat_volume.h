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
  uint64_t other_fat_offset = 0;  // the other table when the volume keeps two, else 0
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
// and why.
struct ClusterPlan {
  enum class Short {
    kNone,
    kVolumeEnds,     // the volume holds fewer clusters than the file needs
    kNoFreeCluster,  // by free clusters: none followed
    kChainEnds,      // the chain left in the table ends, loops or leaves the heap early
    kTableUnknown,   // no table copy could be read at `unknown_cluster`
  };
  std::vector<ClusterRun> runs;
  uint64_t missing = 0;
  bool by_free_clusters = false;  // the chain was no use: first cluster + free clusters after it
  Short why_short = Short::kNone;
  uint32_t unknown_cluster = 0;
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
  // Table entry of cluster x (0 when x lies beyond the table or cannot be read).
  uint32_t FatEntry(uint32_t x);
  // Table entry of cluster x from the active table, or from the other one where the active
  // one cannot be read; none when neither can be read.
  std::optional<uint32_t> KnownFatEntry(uint32_t x);
  // True when the allocation bitmap marks cluster x free (clusters outside the heap are not).
  bool ClusterFree(uint32_t x);
  // First cluster after x that the bitmap marks free; 0 when none is left.
  uint32_t NextFreeCluster(uint32_t x);

  // The clusters holding `clusters` clusters of a file starting at `first` (never more than
  // the heap holds): the contiguous run when `no_fat_chain`; else the chain left in the table
  // when its first link leads to a cluster of the heap, followed while its links stay in the
  // heap and do not come back (clusters a live file now holds included: they count as
  // overwritten); else the first cluster and the free clusters after it.
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
  void FollowChain(uint32_t first, uint64_t clusters, ClusterPlan& plan);

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
  bool table_logged_ = false;
};

// Reads a directory's entries in order, one cluster at a time: a contiguous run when
// `no_fat_chain`, else the table chain while each link is a heap cluster not read before;
// never more than `length` bytes (the format's 256 MiB when 0).
class DirectoryReader {
 public:
  // With `skip`, clusters in it are passed over unread (they count toward the length and
  // the chain goes on through them); every cluster read is added to `read` when given.
  DirectoryReader(Volume& volume, uint32_t first_cluster, uint64_t length, bool no_fat_chain,
                  const std::unordered_set<uint32_t>* skip = nullptr,
                  std::unordered_set<uint32_t>* read = nullptr);
  // The bytes of entries from the current one on, at least `entries` whole entries of them
  // when the directory has that many left; fewer at its end.
  std::span<const uint8_t> Peek(size_t entries);
  void Skip(size_t entries);
  // True when part of the directory could not be read: a sector of it, or the table entry
  // that leads on from one of its clusters.
  bool Damaged() const { return damaged_; }
  // Adds every cluster read from now on to `*read` (none: stops).
  void RecordClusters(std::unordered_set<uint32_t>* read) { recorded_ = read; }

 private:
  bool ReadNextCluster();
  // The cluster after x in this directory (0 when the table cannot tell).
  uint32_t LinkAfter(uint32_t x);

  Volume& volume_;
  bool no_fat_chain_;
  uint32_t next_cluster_;
  uint64_t clusters_left_;
  std::unordered_set<uint32_t> chain_;  // clusters read so far (chained directories)
  std::unordered_set<uint32_t>* recorded_ = nullptr;
  TMemoryStream piece_;
  std::vector<uint8_t> pending_;
  size_t position_ = 0;
  const std::unordered_set<uint32_t>* skip_ = nullptr;
  std::unordered_set<uint32_t>* read_ = nullptr;
  bool damaged_ = false;
};

}  // namespace pyralis::exfat
