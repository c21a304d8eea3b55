// SPDX-License-Identifier: GPL-3.0-or-later
// Writing a deleted file: the record is read again and tested, then each $DATA stream is
// copied from its runs (resident data as stored, holes as zeros, compressed streams
// decompressed, encrypted ones as stored) into the destination
// folder. The main stream goes under the listed name; a named stream goes beside it as
// "<name>.<stream>.stream". An existing file is never replaced.
#include <algorithm>
#include <cstring>
#include <vector>

#include "core/cluster_buffer.h"
#include "core/engine_window.h"
#include "core/process_state.h"
#include "core/recovered_file.h"
#include "ntfs/ntfs_engine.h"
#include "ntfs/ntfs_internal.h"
#include "ntfs/ntfs_lznt1.h"
#include "rawdisk/raw_disk_access.h"

namespace pyralis::ntfs {

namespace {

constexpr uint32_t kRecordFlags = 0x16;
// Clusters are read in pieces of up to this many bytes (whole clusters, at least one).
constexpr int64_t kReadPiece = 1 << 20;
// While a digest is computed, holes are skipped in gaps of up to this many bytes.
constexpr int64_t kHolePiece = int64_t{64} << 20;

void log(const std::string& line) {
  Window().LogLine(line);
}

RecoveryOutcome with_result(RecoveryResult result) {
  RecoveryOutcome outcome;
  outcome.result = result;
  return outcome;
}

class StreamWriter {
 public:
  StreamWriter(const std::string& folder, std::string name)
      : folder_(folder), name_(std::move(name)) {}

  bool Open() {
    if (file_.Open(folder_, name_, &error_)) return true;
    return Fail();
  }
  bool Write(const uint8_t* data, uint64_t size) {
    return file_.Write(data, size, &error_) || Fail();
  }
  bool WriteZeros(uint64_t size) { return file_.WriteZeros(size, &error_) || Fail(); }
  RecoveredFile& file() { return file_; }
  // Moves the file into place and logs its line: successfully, or which part of the
  // `expected` bytes could not be read or is missing.
  RecoveryOutcome Commit(int64_t expected) {
    std::string written_name;
    if (!file_.Commit(&written_name, &error_)) {
      Fail();
      return with_result(RecoveryResult::kFailed);
    }
    RecoveryOutcome outcome = file_.Outcome(static_cast<uint64_t>(std::max<int64_t>(expected, 0)));
    log(undeleted_line(outcome));
    return outcome;
  }

 private:
  bool Fail() {
    log("Cannot write to " + folder_ + safe_file_name(name_) + ": " + error_);
    file_.Discard();
    return false;
  }
  std::string folder_;
  std::string name_;
  std::string error_;
  RecoveredFile file_;
};

RecoveryOutcome write_resident(const FileRecordInfo& info, const DataStream& s, StreamWriter& out) {
  if (!out.Open()) return with_result(RecoveryResult::kFailed);
  Window().ProcessMessages();
  if (!out.Write(info.record.data() + s.value, static_cast<uint64_t>(s.data_size)))
    return with_result(RecoveryResult::kFailed);
  return out.Commit(s.data_size);
}

// Copies the runs as they lie on disk: data runs from their clusters, holes and not-mapped
// runs as zeros, until data_size bytes are written (later clusters are not needed). A piece
// that cannot be read whole keeps every sector that could be read; the others are zeros
// and make the file partial. Bytes from clusters a live file holds now are written and
// reported as overwritten (partial too). Stop ends the stream between clusters (nothing is kept).
RecoveryOutcome write_runs(NtfsVolume& volume, const DataStream& s, StreamWriter& out) {
  if (!out.Open()) return with_result(RecoveryResult::kFailed);
  TBuffer* buffer = engine_buffer(kRecordBuffer);
  const int64_t cluster = volume.cluster_size;
  // Pieces no larger than the stream: a small file costs no piece-sized buffer to clear.
  const int64_t piece_clusters = std::max<int64_t>(
      1, std::min(kReadPiece / cluster, s.data_size / cluster + 1));
  std::vector<uint8_t> data(static_cast<size_t>(piece_clusters * cluster));
  EngineWindow& window = Window();
  int64_t written = 0;
  bool outside = false;  // a run left the volume: nothing more of the stream can be read
  for (const RunElement& run : *s.runlist) {
    if (run.length <= 0 || written >= s.data_size || outside) break;
    if (run.lcn < 0) {
      // A hole or a run that is not mapped: zeros, as one gap (a damaged record may give a
      // hole of 2^40 clusters; it is never walked cluster by cluster). While a digest is
      // computed, which costs time for every byte, Stop is looked at every kHolePiece bytes.
      const int64_t left_bytes = s.data_size - written;
      int64_t wanted = run.length > left_bytes / cluster ? left_bytes : run.length * cluster;
      while (wanted > 0) {
        window.ProcessMessages();
        if (!RecoveryActive) return with_result(RecoveryResult::kStopped);
        const int64_t gap = out.file().Digesting() ? std::min(wanted, kHolePiece) : wanted;
        if (!out.WriteZeros(static_cast<uint64_t>(gap))) return with_result(RecoveryResult::kFailed);
        written += gap;
        wanted -= gap;
      }
      continue;
    }
    // Clusters beyond the volume end the stream (the file stays short and its line gives
    // the missing bytes) instead of filling the destination with zeros.
    const int64_t inside =
        std::max<int64_t>(0, std::min(run.length, volume.total_clusters - run.lcn));
    outside = inside < run.length;
    int64_t next = run.lcn;
    for (int64_t left = inside; left > 0 && written < s.data_size;) {
      const int64_t count = std::min(left, piece_clusters);
      const int64_t bytes = count * cluster;
      const int64_t wanted = std::min(bytes, s.data_size - written);
      const bool read =
          buffer != nullptr && buffer->ReadBytes(*volume.component, next * cluster,
                                                 static_cast<uint32_t>(bytes), data.data()) > 0;
      if (!read && buffer == nullptr) out.file().NoteUnreadable(written, wanted);
      if (!read && buffer != nullptr)
        out.file().NoteUnreadable(written, buffer->Unreadable(), wanted);
      // Clusters $Bitmap gives to a live file now hold that file's bytes.
      for (int64_t c = 0; c < count && c * cluster < wanted; ++c)
        if (cluster_in_use(&volume, next + c) > 0)
          out.file().NoteOverwritten(
              static_cast<uint64_t>(written + c * cluster),
              static_cast<uint64_t>(std::min(cluster, wanted - c * cluster)));
      // One pump per cluster, as before every cluster written; Stop ends the file there.
      for (int64_t c = 0; c < count; ++c) {
        window.ProcessMessages();
        if (!RecoveryActive) return with_result(RecoveryResult::kStopped);
      }
      if (!out.Write(data.data(), static_cast<uint64_t>(wanted)))
        return with_result(RecoveryResult::kFailed);
      written += wanted;
      left -= count;
      next += count;
    }
  }
  return out.Commit(s.data_size);
}

// Walks a runlist in VCN order for the units of a compressed stream.
class RunCursor {
 public:
  explicit RunCursor(const Runlist& runlist) : runlist_(runlist) {}
  // The volume cluster at `vcn` (or kLcnHole, or kLcnNotMapped between runs) and how many
  // clusters from `vcn` on share that state; none past the last run. `vcn` never decreases
  // from one call to the next.
  std::optional<std::pair<int64_t, int64_t>> At(int64_t vcn) {
    while (index_ < runlist_.size() && runlist_[index_].length > 0 &&
           runlist_[index_].vcn + runlist_[index_].length <= vcn)
      ++index_;
    if (index_ >= runlist_.size() || runlist_[index_].length <= 0) return std::nullopt;
    const RunElement& e = runlist_[index_];
    if (vcn < e.vcn) return std::make_pair(kLcnNotMapped, e.vcn - vcn);
    const int64_t into = vcn - e.vcn;
    return std::make_pair(e.lcn >= 0 ? e.lcn + into : e.lcn, e.length - into);
  }

 private:
  const Runlist& runlist_;
  size_t index_ = 0;
};

// Largest compression unit decompressed: NTFS itself uses 16 clusters of at most 4 KiB.
constexpr int64_t kMaxUnitBytes = 2 << 20;

// Writes a compressed stream as the file system reads it, one compression unit (2^cu
// clusters) at a time: a unit without clusters is zeros, a unit whose clusters are all
// allocated is stored as it is, a unit with clusters and holes holds LZNT1 chunks in its
// clusters. A unit that cannot be read or decompressed is written as zeros and noted as
// unreadable. Holes spanning many units are written as one gap.
RecoveryOutcome write_compressed(NtfsVolume& volume, const DataStream& s, StreamWriter& out,
                                 const std::string& name) {
  const int64_t cluster = volume.cluster_size;
  const int64_t unit_clusters = int64_t{1} << std::min<uint8_t>(s.compression_unit, 30);
  const int64_t unit_bytes = unit_clusters * cluster;
  if (s.compression_unit > 16 || unit_bytes > kMaxUnitBytes) {
    log("Cannot decompress " + name + ": compression units of " + std::to_string(unit_clusters) +
        " clusters are not supported");
    return with_result(RecoveryResult::kFailed);
  }
  if (!out.Open()) return with_result(RecoveryResult::kFailed);
  TBuffer* buffer = engine_buffer(kRecordBuffer);
  std::vector<uint8_t> packed(static_cast<size_t>(unit_bytes)), plain(packed.size());
  EngineWindow& window = Window();
  RunCursor cursor(*s.runlist);
  int64_t written = 0, failed_units = 0;
  for (int64_t vcn = 0; written < s.data_size;) {
    window.ProcessMessages();
    if (!RecoveryActive) return with_result(RecoveryResult::kStopped);
    const int64_t wanted = std::min(unit_bytes, s.data_size - written);
    const auto first = cursor.At(vcn);
    if (!first) break;  // past the last run: the rest is missing
    if (first->first == kLcnHole && first->second >= unit_clusters) {
      // Whole units of a hole: zeros, as one gap (Stop looked at while digesting).
      const int64_t units = first->second / unit_clusters;
      int64_t gap =
          units > (s.data_size - written) / unit_bytes ? s.data_size - written : units * unit_bytes;
      vcn += units * unit_clusters;
      while (gap > 0) {
        const int64_t piece = out.file().Digesting() ? std::min(gap, kHolePiece) : gap;
        if (!out.WriteZeros(static_cast<uint64_t>(piece)))
          return with_result(RecoveryResult::kFailed);
        written += piece;
        gap -= piece;
        window.ProcessMessages();
        if (!RecoveryActive) return with_result(RecoveryResult::kStopped);
      }
      continue;
    }
    // The unit's clusters in order: allocated ones are read into `packed` one after another.
    // What could not be read is zeros there, noted by its place in the unit for a unit that
    // turns out to be stored as it is.
    struct Gap {
      int64_t at = 0;
      std::vector<RequestRange> ranges;
      int64_t used = 0;
    };
    std::vector<Gap> gaps;
    int64_t allocated = 0;
    bool lost = false;  // a cluster no run maps, outside the volume, or unreadable
    for (int64_t v = vcn; v < vcn + unit_clusters;) {
      const auto at = cursor.At(v);
      if (!at) {
        lost = true;
        break;
      }
      const int64_t count = std::min(at->second, vcn + unit_clusters - v);
      if (at->first >= 0) {
        const int64_t into = allocated * cluster, bytes = count * cluster;
        const bool inside = at->first <= volume.total_clusters - count && buffer != nullptr;
        if (!inside || buffer->ReadBytes(*volume.component, at->first * cluster,
                                         static_cast<uint32_t>(bytes), packed.data() + into) == 0) {
          lost = true;
          if (!inside) std::fill_n(packed.begin() + into, bytes, uint8_t{0});
          gaps.push_back(
              {into, inside ? buffer->Unreadable() : std::vector<RequestRange>{{0, bytes}}, bytes});
        }
        allocated += count;
      } else if (at->first != kLcnHole) {
        lost = true;
      }
      v += count;
    }
    const uint8_t* bytes = packed.data();
    if (allocated == unit_clusters) {
      // Stored as it is: only what could not be read is lost.
      for (const Gap& g : gaps) {
        if (g.at < wanted)
          out.file().NoteUnreadable(static_cast<uint64_t>(written + g.at), g.ranges,
                                    static_cast<uint64_t>(std::min(g.used, wanted - g.at)));
      }
    } else if (!lost && (allocated == 0 ||
                         lznt1_decompress(std::span(packed.data(), allocated * cluster), plain))) {
      if (allocated == 0) std::fill(plain.begin(), plain.end(), uint8_t{0});
      bytes = plain.data();
    } else {
      std::fill(plain.begin(), plain.end(), uint8_t{0});
      bytes = plain.data();
      out.file().NoteUnreadable(static_cast<uint64_t>(written), static_cast<uint64_t>(wanted));
      ++failed_units;
    }
    if (!out.Write(bytes, static_cast<uint64_t>(wanted)))
      return with_result(RecoveryResult::kFailed);
    written += wanted;
    vcn += unit_clusters;
  }
  if (failed_units > 0)
    log("Could not decompress " + std::to_string(failed_units) + " compression unit(s) of " + name +
        "; their bytes are written as zeros.");
  return out.Commit(s.data_size);
}

// The worse of two outcomes of one row's streams: stopped, failed, partial, complete.
int severity(RecoveryResult r) {
  switch (r) {
    case RecoveryResult::kComplete:
      return 0;
    case RecoveryResult::kPartial:
      return 1;
    case RecoveryResult::kFailed:
      return 2;
    case RecoveryResult::kStopped:
      return 3;
  }
  return 2;
}

}  // namespace

std::string stream_file_name(const std::string& name, const std::string& stream) {
  return name + "." + stream + ".stream";
}

int undelete_file(NtfsVolume* volume, int64_t number, const std::string& folder,
                  RecoveryOutcome* row, uint64_t record_offset) {
  RecoveryOutcome ignored;
  if (row == nullptr) row = &ignored;
  *row = with_result(RecoveryResult::kFailed);
  if (volume == nullptr) return 0;
  auto info =
      record_offset != 0 ? read_record_at(*volume, record_offset) : read_record(volume, number);
  if (info == nullptr) {
    log("Canot read info from mft record" + std::to_string(number) + " in undelete_file()");
    return 0;
  }
  // A record found outside the MFT is lost whatever its in-use flag says.
  if (record_offset == 0 && (le16(info->record, kRecordFlags) & 1)) {
    log("Record is in use by the mft");
    return 0;
  }
  if (calc_percentage(info.get(), volume) == 0) {
    log("File has no recoverable data.");
    return 0;
  }
  int files = 0;
  bool first = true;
  for (const DataStream& s : info->streams) {
    const std::string name =
        s.name.empty() ? info->name : stream_file_name(info->name, WideToAnsi(s.name));
    StreamWriter out(folder, name);
    RecoveryOutcome outcome;
    if (s.resident) {
      if (!s.value_in_record) continue;  // reported when the record was read
      outcome = write_resident(*info, s, out);
    } else {
      if (!s.runlist || s.runlist->empty() || s.runlist->front().length <= 0) continue;
      if (s.encrypted) log(name + " is encrypted (EFS); it is written as stored, still encrypted.");
      if (s.compressed && s.compression_unit != 0)
        outcome = write_compressed(*volume, s, out, name);
      else
        outcome = write_runs(*volume, s, out);
    }
    // The row's outcome is its main stream's (the first written), made worse by any other.
    if (first) {
      *row = outcome;
    } else if (severity(outcome.result) > severity(row->result)) {
      row->result = outcome.result;
    }
    first = false;
    if (outcome.result == RecoveryResult::kStopped || outcome.result == RecoveryResult::kFailed)
      return 0;
    ++files;
  }
  if (files == 0) log("No data stream of record " + std::to_string(number) + " could be written");
  return 1;
}

RecoveryOutcome handle_undelete(NtfsVolume* volume, int64_t number, const std::string& folder,
                                uint64_t record_offset) {
  RecoveryOutcome outcome;
  if (undelete_file(volume, number, folder, &outcome, record_offset) == 0 &&
      outcome.result != RecoveryResult::kStopped) {
    log("ERROR: Failed to undelete inode " + std::to_string(number) + " in handle_undelete()");
  }
  return outcome;
}

}  // namespace pyralis::ntfs

namespace pyralis {

RecoveryOutcome ntfs_undelete(TRawDiskAccessComponent& component, int64_t inode,
                              const std::string& folder, uint64_t record_offset) {
  // After Stop the remaining rows end here, before the volume is mounted.
  if (!RecoveryActive) return ntfs::with_result(RecoveryResult::kStopped);
  ntfs::ScopedReadBuffers buffers({ntfs::kRecordBuffer, ntfs::kVolumeBitmapBuffer});
  // The estimate below reads the cluster bitmap as it is now, not as an earlier scan saw it
  // (possibly of another volume).
  ntfs::reset_cluster_bitmap_cache();
  auto volume = ntfs::mount_volume(&component, true);
  RecoveryOutcome outcome = ntfs::handle_undelete(volume.get(), inode, folder, record_offset);
  ntfs::umount_volume(volume);
  return outcome;
}

std::optional<ClusterTally> ntfs_count_clusters(TRawDiskAccessComponent& component, int64_t inode,
                                                uint64_t record_offset) {
  ntfs::ScopedReadBuffers buffers({ntfs::kRecordBuffer, ntfs::kVolumeBitmapBuffer});
  ntfs::reset_cluster_bitmap_cache();
  auto volume = ntfs::mount_volume(&component, true);
  std::optional<ClusterTally> tally;
  if (volume != nullptr) {
    const auto info = record_offset != 0 ? ntfs::read_record_at(*volume, record_offset)
                                         : ntfs::read_record(volume.get(), inode);
    if (info != nullptr && !info->streams.empty() && !info->streams.front().resident &&
        info->streams.front().runlist) {
      const ntfs::RunTally t = ntfs::tally_runs(*info->streams.front().runlist, *volume);
      tally = ClusterTally{static_cast<uint64_t>(t.lost + t.free), static_cast<uint64_t>(t.free)};
    }
  }
  ntfs::umount_volume(volume);
  return tally;
}

}  // namespace pyralis
