// SPDX-License-Identifier: GPL-3.0-or-later
// A directory's entries, read one cluster (or, for the FAT12/16 root, one piece of the fixed
// region) at a time, so that each level of the walk holds little memory.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/cluster_buffer.h"
#include "core/memory_stream.h"

namespace pyralis {

class FatVolume;
struct FatLayout;

// Where a directory may go on past the end of its chain: right after the clusters a file
// or a subdirectory took (`clusters` of them from `first`; a deleted file's clusters are
// rebuilt as the recovery does, a live one's follow the table). Folders grow while files are
// written into them, so a folder's next cluster usually follows the data written just before.
struct DirectoryLead {
  uint32_t first = 0;
  uint64_t clusters = 1;
  bool deleted = false;
};

// A set of clusters kept as ordered runs [first, end): clusters noted one after another
// (as the continuation search reads them) merge into one run. At most kMaxRuns runs are kept;
// a cluster that would need another is not noted, so that the memory stays bounded whatever
// the volume's size (it may then be read again).
class ClusterRuns {
 public:
  static constexpr size_t kMaxRuns = size_t{1} << 16;
  bool contains(uint32_t x) const;
  void insert(uint32_t x);
  size_t runs() const { return runs_.size(); }

 private:
  std::map<uint32_t, uint32_t> runs_;  // first -> end
};

// What the walk knows, over all its directories, of the clusters past the chains' ends.
struct PastChainClusters {
  std::unordered_set<uint32_t> taken;  // read as a directory's start or continuation
  ClusterRuns rejected;                // free clusters that hold no directory entries
};

class DirectoryStream {
 public:
  // First cluster 0 is the root directory. A directory follows its chain in the table, for
  // at most the 65536 entries a FAT directory can hold, so that a looping chain ends. Where
  // the chain ends (a deleted directory's chain is gone after its first cluster) and the last
  // cluster read holds no end marker, the directory goes on into the nearest free cluster
  // that holds plausible directory entries: among the kSearchClusters clusters that follow
  // the last one, or right after a lead. Without `past`, nothing past the chain is read.
  DirectoryStream(FatVolume& volume, uint32_t first_cluster, PastChainClusters* past = nullptr);

  // Reads the next 32-byte entry; false when no whole entry remains. Entries in sectors
  // that could not be read are left out (their zeros would end the directory).
  bool Next(std::array<uint8_t, 32>& entry);

  // True when part of the directory could not be read: a sector of it, or the table entry
  // that leads on from one of its clusters.
  bool Damaged() const { return damaged_; }

  // A place where this directory may go on (see DirectoryLead).
  void AddLead(const DirectoryLead& lead);
  // The lead that reaches furthest: the highest of this directory's clusters and its leads
  // (handed on to the parent, which a subdirectory's content went before).
  DirectoryLead Reach() const { return reach_; }
  // The clusters of the directory read so far (its chain and what was found past it).
  std::vector<uint32_t> Clusters() const { return {chain_.begin(), chain_.end()}; }

  static constexpr uint64_t kMaxDirectoryBytes = 65536 * 32;
  static constexpr uint32_t kSearchClusters = 16384;

 private:
  bool Refill();
  uint32_t FindContinuation();
  bool TryContinuation(uint32_t x);  // reads x into piece_ when it may continue the directory
  uint32_t LeadEnd(const DirectoryLead& lead) const;
  void NoteReach(const DirectoryLead& lead);
  bool Unreadable(int64_t position) const;  // the entry at `position` lies in a bad sector

  FatVolume& volume_;
  TMemoryStream piece_;
  std::vector<RequestRange> unreadable_;  // bytes of piece_ the volume could not deliver
  int64_t position_ = 0;
  bool in_region_ = false;    // FAT12/16 root: a fixed byte range
  uint64_t region_next_ = 0;  // next byte of the region to read
  uint64_t region_end_ = 0;
  uint32_t cluster_ = 0;  // cluster held in piece_ (chain mode); 0 before the first
  uint32_t first_cluster_ = 0;
  uint64_t clusters_left_ = 0;          // bound on the clusters still to read
  std::unordered_set<uint32_t> chain_;  // clusters read so far: a chain that comes back ends
  PastChainClusters* past_ = nullptr;
  std::vector<DirectoryLead> leads_;  // not yet looked at
  std::vector<uint32_t> lead_ends_;   // clusters right after the leads looked at
  DirectoryLead reach_;
  bool past_chain_ = false;  // the clusters now come from past the chain's end
  bool ended_ = false;  // the last cluster read holds an end marker
  bool damaged_ = false;
};

// The long name that starts with long-name entry `entry`: reads the stream on to the first
// entry that is not a long-name piece and leaves that entry in `entry`.
std::string read_long_name(std::array<uint8_t, 32>& entry, DirectoryStream& stream,
                           bool* usable = nullptr);

// True when a cluster that no chain holds looks like the continuation of a directory: every
// entry a long-name piece or a short entry with a valid name, attributes, dates, times and
// first cluster, no "." or ".." entry, and after an end marker nothing but zeros. A cluster
// that starts with the end marker yields nothing and does not count.
bool plausible_directory_cluster(std::span<const uint8_t> bytes, const FatLayout& layout);

}  // namespace pyralis
