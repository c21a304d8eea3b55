// SPDX-License-Identifier: GPL-3.0-or-later
// exfat_undelete: writes one found file into the destination folder from the clusters its
// plan names, bytes past the valid data length as zeros.
#include <algorithm>

#include "core/engine_window.h"
#include "core/found_files.h"
#include "core/process_state.h"
#include "core/recovered_file.h"
#include "exfat/exfat_engine.h"
#include "exfat/exfat_files.h"
#include "exfat/exfat_volume.h"

namespace pyralis {

namespace {

// Contiguous clusters are read together, up to this many bytes per read.
constexpr uint64_t kMaxReadBytes = 1 << 20;

enum class Copy { kComplete, kStopped, kWriteFailed };

// Writes `bytes` bytes of the plan's clusters, in order; `left` counts down what is still to
// write. Stops early when the plan runs out (the caller sees `left` > 0).
Copy copy_clusters(exfat::Volume& volume, const exfat::ClusterPlan& plan, uint64_t& left,
                   RecoveredFile& out, std::string* error) {
  const uint32_t cluster_size = volume.layout().cluster_size;
  const uint32_t per_read = static_cast<uint32_t>(std::max<uint64_t>(1, kMaxReadBytes / cluster_size));
  TMemoryStream piece;
  for (const exfat::ClusterRun& run : plan.runs) {
    for (uint32_t done = 0; done < run.count && left > 0;) {
      Window().ProcessMessages();
      if (!RecoveryActive) return Copy::kStopped;
      const uint32_t count = std::min<uint32_t>(per_read, run.count - done);
      piece.SetSize(0);
      piece.SetPosition(0);
      volume.ReadClusters(run.first + done, count, piece);
      const uint64_t n = std::min<uint64_t>(left, static_cast<uint64_t>(piece.Size()));
      // Sectors the volume could not deliver are zeros in `piece`: the file keeps their place.
      out.NoteUnreadable(out.BytesWritten(), volume.LastUnreadable(), n);
      // Clusters the bitmap gives to a live file now hold that file's bytes.
      for (uint64_t k = 0; k < count && k * cluster_size < n; ++k)
        if (!volume.ClusterFree(static_cast<uint32_t>(run.first + done + k)))
          out.NoteOverwritten(out.BytesWritten() + k * cluster_size,
                              std::min<uint64_t>(cluster_size, n - k * cluster_size));
      if (!out.Write(piece.Memory(), n, error)) return Copy::kWriteFailed;
      left -= n;
      done += count;
    }
  }
  return Copy::kComplete;
}

}  // namespace

RecoveryOutcome exfat_undelete(TRawDiskAccessComponent& component, int32_t index,
                               const std::string& folder) {
  RecoveryOutcome outcome;
  if (index < 0 || index >= FoundFiles.Count()) {
    Window().LogLine("There is no found file number " + std::to_string(index) + ".");
    return outcome;
  }
  return exfat_undelete(component, FoundFiles[index], FoundFiles.Facts(index), folder);
}

RecoveryOutcome exfat_undelete(TRawDiskAccessComponent& component, const FoundFileRecord& row,
                               const RowFacts& row_facts, const std::string& folder) {
  RecoveryOutcome outcome;
  const FoundFileRecord record = row;  // the catalogue may be re-ordered meanwhile
  const uint64_t size = record.Size > 0 ? static_cast<uint64_t>(record.Size) : 0;
  outcome.size = size;
  if (!RecoveryActive) {
    outcome.result = RecoveryResult::kStopped;
    return outcome;
  }
  const std::string target = folder + record.Name;
  std::string error;
  auto volume = exfat::Volume::Open(component, &error);
  if (!volume) {
    Window().LogLine("Could not undelete " + target + ": " + error + ".");
    return outcome;
  }
  const auto first = static_cast<uint64_t>(record.Inode);
  if (size > 0 && !volume->layout().valid_cluster(first)) {
    Window().LogLine("Could not undelete " + target + ": its first cluster " +
                     std::to_string(record.Inode) + " lies outside the volume's clusters 2 to " +
                     std::to_string(volume->layout().last_cluster()) + ".");
    return outcome;
  }
  // Rows the scan did not list itself are taken as chained and fully written.
  const exfat::FileFacts facts = exfat::file_facts(row_facts, size);
  const uint64_t valid = std::min(facts.valid_data_length, size);
  const exfat::ClusterPlan plan = volume->PlanClusters(
      static_cast<uint32_t>(first), volume->ClustersFor(size), facts.no_fat_chain);

  RecoveredFile out;
  if (!out.Open(folder, record.Name, &error)) {
    Window().LogLine("Could not write " + target + ": " + error + ".");
    return outcome;
  }
  // Only the valid bytes come from the clusters; past them the file reads as zeros.
  uint64_t left = valid;
  Copy copied = copy_clusters(*volume, plan, left, out, &error);
  if (copied == Copy::kStopped) {
    outcome.result = RecoveryResult::kStopped;
    return outcome;  // `out` removes the partial file
  }
  const bool short_of_clusters = left > 0;
  // Past the valid data the file reads as zeros, but only as far as its clusters reach: no
  // file is longer than what the volume holds for it.
  uint64_t reach = 0;
  for (const exfat::ClusterRun& run : plan.runs) reach += uint64_t{run.count};
  reach *= volume->layout().cluster_size;
  const uint64_t zeros_end = std::min(size, std::max(reach, valid));
  if (copied == Copy::kComplete && !short_of_clusters && !out.WriteZeros(zeros_end - valid, &error))
    copied = Copy::kWriteFailed;
  std::string written;
  if (copied == Copy::kWriteFailed || !out.Commit(&written, &error)) {
    Window().LogLine("Could not write " + target + ": " + error + ".");
    return outcome;
  }
  if (out.BytesWritten() < size) {
    using Short = exfat::ClusterPlan::Short;
    std::string why = "The volume ends before the file does: ";
    if (plan.why_short == Short::kNoFreeCluster) why = "No free cluster follows on the volume: ";
    if (plan.why_short == Short::kChainEnds)
      why = "The file's cluster chain ends before the file does: ";
    if (plan.why_short == Short::kTableUnknown)
      why = "The file allocation table could not be read at cluster " +
            std::to_string(plan.unknown_cluster) + ", so the clusters after it are unknown: ";
    Window().LogLine(why + folder + written + " holds " + std::to_string(out.BytesWritten()) +
                     " of " + std::to_string(size) + " bytes.");
  }
  outcome = out.Outcome(size);
  Window().LogLine(undeleted_line(outcome));
  return outcome;
}

std::optional<ClusterTally> exfat_count_clusters(TRawDiskAccessComponent& component,
                                                 int32_t index) {
  if (index < 0 || index >= FoundFiles.Count()) return std::nullopt;
  const FoundFileRecord& record = FoundFiles[index];
  const uint64_t size = record.Size > 0 ? static_cast<uint64_t>(record.Size) : 0;
  std::string error;
  auto volume = exfat::Volume::Open(component, &error);
  if (!volume) return std::nullopt;
  ClusterTally tally;
  tally.clusters = volume->ClustersFor(size);
  const auto first = static_cast<uint64_t>(record.Inode);
  if (tally.clusters == 0 || !volume->layout().valid_cluster(first)) return tally;
  const exfat::FileFacts facts = exfat::file_facts(index, size);
  tally.free = volume->FreeClusters(
      volume->PlanClusters(static_cast<uint32_t>(first), tally.clusters, facts.no_fat_chain));
  return tally;
}

}  // namespace pyralis
