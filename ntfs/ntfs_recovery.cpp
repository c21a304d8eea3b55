// Writing a deleted file: the record is read again and tested, then each $DATA stream is
// copied from its runs (resident data as stored, holes as zeros) into the destination
// folder. The main stream goes under the listed name; a named stream goes beside it as
// "<name>.<stream>.stream". An existing file is never replaced.
#include <algorithm>
#include <cstring>
#include <vector>

#include "core/cluster_buffer.h"
#include "core/engine_window.h"
#include "core/recovered_file.h"
#include "ntfs/ntfs_engine.h"
#include "ntfs/ntfs_internal.h"
#include "rawdisk/raw_disk_access.h"

namespace pyralis::ntfs {

namespace {

constexpr uint32_t kRecordFlags = 0x16;
// Clusters are read in pieces of up to this many bytes (whole clusters, at least one).
constexpr int64_t kReadPiece = 1 << 20;

void log(const std::string& line) {
  Window().LogLine(line);
}

struct StreamResult {
  bool ok = true;
  uint64_t unread = 0;  // bytes that could not be read and were written as zeros
};

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
  // Moves the file into place and logs the success line (and a warning for a short file).
  bool Commit(int64_t expected, uint64_t unread) {
    const uint64_t written = file_.BytesWritten();
    std::string written_name;
    if (!file_.Commit(&written_name, &error_)) return Fail();
    log("Undeleted " + folder_ + written_name + " successfully.");
    if (written < static_cast<uint64_t>(expected) || unread > 0) {
      log("Warning: " + folder_ + written_name + " holds " + std::to_string(written) + " of " +
          std::to_string(expected) + " bytes; " + std::to_string(unread) +
          " bytes could not be read and were written as zeros");
    }
    return true;
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

bool write_resident(const FileRecordInfo& info, const DataStream& s, StreamWriter& out) {
  if (!out.Open()) return false;
  Window().ProcessMessages();
  if (!out.Write(info.record.data() + s.value, static_cast<uint64_t>(s.data_size))) return false;
  return out.Commit(s.data_size, 0);
}

// Copies the runs as they lie on disk: data runs from their clusters, holes and not-mapped
// runs as zeros, until data_size bytes are written (later clusters are not needed).
bool write_runs(NtfsVolume& volume, const DataStream& s, StreamWriter& out) {
  if (!out.Open()) return false;
  TBuffer* buffer = engine_buffer(kRecordBuffer);
  const int64_t cluster = volume.cluster_size;
  // Pieces no larger than the stream: a small file costs no piece-sized buffer to clear.
  const int64_t piece_clusters = std::max<int64_t>(
      1, std::min(kReadPiece / cluster, s.data_size / cluster + 1));
  std::vector<uint8_t> data(static_cast<size_t>(piece_clusters * cluster));
  EngineWindow& window = Window();
  int64_t written = 0;
  uint64_t unread = 0;
  bool outside = false;  // a run left the volume: nothing more of the stream can be read
  for (const RunElement& run : *s.runlist) {
    if (run.length <= 0 || written >= s.data_size || outside) break;
    if (run.lcn < 0) {
      // A hole or a run that is not mapped: zeros, as one gap (a damaged record may give a
      // hole of 2^40 clusters; it is never walked cluster by cluster).
      const int64_t left_bytes = s.data_size - written;
      const int64_t wanted = run.length > left_bytes / cluster ? left_bytes : run.length * cluster;
      window.ProcessMessages();
      if (!out.WriteZeros(static_cast<uint64_t>(wanted))) return false;
      written += wanted;
      continue;
    }
    // Clusters beyond the volume end the stream (the file stays short and the warning gives
    // the byte counts) instead of filling the destination with zeros.
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
      if (!read) {
        std::memset(data.data(), 0, static_cast<size_t>(bytes));
        unread += static_cast<uint64_t>(wanted);
      }
      // One pump per cluster, as before every cluster written.
      for (int64_t c = 0; c < count; ++c) window.ProcessMessages();
      if (!out.Write(data.data(), static_cast<uint64_t>(wanted))) return false;
      written += wanted;
      left -= count;
      next += count;
    }
  }
  return out.Commit(s.data_size, unread);
}

}  // namespace

std::string stream_file_name(const std::string& name, const std::string& stream) {
  return name + "." + stream + ".stream";
}

int undelete_file(NtfsVolume* volume, int64_t number, const std::string& folder) {
  if (volume == nullptr) return 0;
  auto info = read_record(volume, number);
  if (info == nullptr) {
    log("Canot read info from mft record" + std::to_string(number) + " in undelete_file()");
    return 0;
  }
  if (le16(info->record, kRecordFlags) & 1) {
    log("Record is in use by the mft");
    return 0;
  }
  if (calc_percentage(info.get(), volume) == 0) {
    log("File has no recoverable data.");
    return 0;
  }
  int files = 0;
  for (const DataStream& s : info->streams) {
    const std::string name =
        s.name.empty() ? info->name : stream_file_name(info->name, WideToAnsi(s.name));
    StreamWriter out(folder, name);
    if (s.resident) {
      if (!s.value_in_record) continue;  // reported when the record was read
      if (!write_resident(*info, s, out)) return 0;
    } else {
      if (!s.runlist || s.runlist->empty() || s.runlist->front().length <= 0) continue;
      if (!write_runs(*volume, s, out)) return 0;
    }
    ++files;
  }
  if (files == 0) log("No data stream of record " + std::to_string(number) + " could be written");
  return 1;
}

int handle_undelete(NtfsVolume* volume, int64_t number, const std::string& folder) {
  if (undelete_file(volume, number, folder) == 0) {
    log("ERROR: Failed to undelete inode " + std::to_string(number) + " in handle_undelete()");
  }
  return 0;
}

}  // namespace pyralis::ntfs

namespace pyralis {

int ntfs_undelete(TRawDiskAccessComponent& component, int64_t inode, const std::string& folder) {
  ntfs::ScopedReadBuffers buffers({ntfs::kRecordBuffer, ntfs::kVolumeBitmapBuffer});
  // The estimate below reads the cluster bitmap as it is now, not as an earlier scan saw it
  // (possibly of another volume).
  ntfs::reset_cluster_bitmap_cache();
  auto volume = ntfs::mount_volume(&component, true);
  ntfs::handle_undelete(volume.get(), inode, folder);
  ntfs::umount_volume(volume);
  return 1;
}

}  // namespace pyralis
