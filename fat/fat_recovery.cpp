// SPDX-License-Identifier: GPL-3.0-or-later
// fat_undelete: writes one found file into the destination folder.
#include "fat/fat_recovery.h"

#include <algorithm>

#include "core/engine_window.h"
#include "core/found_files.h"
#include "core/process_state.h"
#include "core/recovered_file.h"
#include "fat/fat_engine.h"
#include "fat/fat_volume.h"

namespace pyralis {

namespace {

// Contiguous free clusters are read together, up to this many bytes per read.
constexpr uint64_t kMaxRunBytes = 1 << 20;

}  // namespace

CollectResult read_free_clusters(FatVolume& volume, uint32_t first_cluster, uint64_t size,
                                 RecoveredFile& out, std::string* error,
                                 uint32_t* unknown_cluster) {
  const FatLayout& l = volume.layout();
  const uint64_t run_limit = std::max<uint64_t>(1, kMaxRunBytes / l.cluster_size);
  TMemoryStream run;
  uint64_t left = size;
  uint32_t x = first_cluster;
  while (left > 0) {
    // x, then the clusters right after it while they are free and still needed.
    uint32_t count = 1;
    uint64_t covered = l.cluster_size;
    uint32_t after = 0;
    uint32_t unknown = 0;
    for (;;) {
      Window().ProcessMessages();
      if (!RecoveryActive) return CollectResult::kStopped;
      // An entry no table copy gave may be free or taken: which cluster comes next is not
      // known past it, so the file ends there rather than go on with a guess.
      after = volume.table().next_free_cluster(x + count - 1, &unknown);
      if (covered >= left || count >= run_limit || after != x + count) break;
      ++count;
      covered += l.cluster_size;
    }
    run.SetSize(0);
    run.SetPosition(0);
    volume.ReadClusters(x, count, run);
    const uint64_t n = std::min<uint64_t>(left, static_cast<uint64_t>(run.Size()));
    // Sectors the volume could not deliver are zeros in `run`: the file keeps their place.
    out.NoteUnreadable(out.BytesWritten(), volume.LastUnreadable(), n);
    if (!out.Write(run.Memory(), n, error)) return CollectResult::kWriteFailed;
    left -= n;
    if (left == 0) break;
    if (after == 0 && unknown != 0) {
      if (unknown_cluster) *unknown_cluster = unknown;
      return CollectResult::kTableUnknown;
    }
    if (after == 0) return CollectResult::kOutOfClusters;
    x = after;
  }
  return CollectResult::kComplete;
}

RecoveryOutcome fat_undelete(TRawDiskAccessComponent& component, int32_t index,
                             const std::string& folder) {
  RecoveryOutcome failed;
  if (index < 0 || index >= FoundFiles.Count()) {
    Window().LogLine("There is no found file number " + std::to_string(index) + ".");
    return failed;
  }
  return fat_undelete(component, FoundFiles[index], folder);
}

RecoveryOutcome fat_undelete(TRawDiskAccessComponent& component, const FoundFileRecord& row,
                             const std::string& folder) {
  const FoundFileRecord record = row;  // the catalogue may be re-ordered meanwhile
  RecoveryOutcome failed;
  failed.size = record.Size > 0 ? static_cast<uint64_t>(record.Size) : 0;
  RecoveryOutcome stopped = failed;
  stopped.result = RecoveryResult::kStopped;
  // After Stop the remaining rows end here, before the table is read.
  if (!RecoveryActive) return stopped;
  const std::string target = folder + record.Name;
  std::string error;
  auto volume = FatVolume::Open(component, &error);
  if (!volume) {
    Window().LogLine("Could not undelete " + target + ": " + error + ".");
    return failed;
  }
  const uint64_t size = failed.size;
  const auto first = static_cast<uint64_t>(record.Inode);
  if (size > 0 && !volume->layout().valid_cluster(first)) {
    Window().LogLine("Could not undelete " + target + ": its first cluster " +
                     std::to_string(record.Inode) + " lies outside the volume's clusters 2 to " +
                     std::to_string(volume->layout().last_cluster()) + ".");
    return failed;
  }
  RecoveredFile out;
  if (!out.Open(folder, record.Name, &error)) {
    Window().LogLine("Could not write " + target + ": " + error + ".");
    return failed;
  }
  uint32_t unknown_cluster = 0;
  const CollectResult result = size == 0 ? CollectResult::kComplete
                                         : read_free_clusters(*volume, static_cast<uint32_t>(first),
                                                              size, out, &error, &unknown_cluster);
  if (result == CollectResult::kStopped) return stopped;  // `out` removes the partial file
  if (result == CollectResult::kWriteFailed) {
    Window().LogLine("Could not write " + target + ": " + error + ".");
    return failed;
  }
  std::string written;
  if (!out.Commit(&written, &error)) {
    Window().LogLine("Could not write " + target + ": " + error + ".");
    return failed;
  }
  if (result == CollectResult::kOutOfClusters)
    Window().LogLine("No free cluster follows on the volume: " + folder + written + " holds " +
                     std::to_string(out.BytesWritten()) + " of " + std::to_string(size) +
                     " bytes.");
  if (result == CollectResult::kTableUnknown)
    Window().LogLine("The file allocation table could not be read at cluster " +
                     std::to_string(unknown_cluster) + ", so the clusters after it are unknown: " +
                     folder + written + " holds " + std::to_string(out.BytesWritten()) + " of " +
                     std::to_string(size) + " bytes.");
  RecoveryOutcome outcome = out.Outcome(size);
  Window().LogLine(undeleted_line(outcome));
  return outcome;
}

std::optional<ClusterTally> fat_count_clusters(TRawDiskAccessComponent& component,
                                               int32_t index) {
  if (index < 0 || index >= FoundFiles.Count()) return std::nullopt;
  const FoundFileRecord& record = FoundFiles[index];
  std::string error;
  auto volume = FatVolume::Open(component, &error);
  if (!volume) return std::nullopt;
  const FatLayout& l = volume->layout();
  const uint64_t size = record.Size > 0 ? static_cast<uint64_t>(record.Size) : 0;
  ClusterTally tally;
  tally.clusters = size / l.cluster_size + (size % l.cluster_size != 0);
  const auto first = static_cast<uint64_t>(record.Inode);
  if (!l.valid_cluster(first)) return tally;
  // Clusters past the volume's last one count as taken.
  const uint64_t end = std::min<uint64_t>(first + tally.clusters, uint64_t{l.last_cluster()} + 1);
  for (uint64_t x = first; x < end; ++x)
    tally.free += volume->table().get_fat_entry(static_cast<uint32_t>(x)) == 0 &&
                  volume->table().entry_known(static_cast<uint32_t>(x));
  return tally;
}

}  // namespace pyralis
