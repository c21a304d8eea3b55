// SPDX-License-Identifier: GPL-3.0-or-later
#include "drivers/carving.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "carve/carve.h"
#include "core/engine_window.h"
#include "core/found_files.h"
#include "core/process_state.h"
#include "core/recovered_file.h"
#include "exfat/exfat_volume.h"
#include "fat/fat_volume.h"
#include "ntfs/ntfs_internal.h"
#include "platform/drive_table.h"
#include "platform/volume_access.h"
#include "rawdisk/raw_disk_access.h"
#include "rawdisk/raw_disk_access_component.h"

namespace pyralis {

namespace {

constexpr uint32_t kSector = 512;
// Clusters assumed on a source without a volume: starts are still searched at every sector,
// this is only the step of the search for a file's second piece.
constexpr uint64_t kRawCluster = 4096;
constexpr size_t kBlockBytes = 1 << 20;

// The drive's bytes, read through the platform's volume reads (a kept descriptor while a
// SourceHold lives). A read that fails is read again sector by sector and delivers the bytes
// before the first sector that cannot be read: a walk sees the file cut there, and the
// search goes on after it.
class DriveSource final : public filetypes::ByteSource {
 public:
  DriveSource(char letter, uint64_t size) : letter_(letter), size_(size) {}
  uint64_t Size() const override { return size_; }
  size_t Read(uint64_t offset, void* dest, size_t count) override {
    if (offset >= size_) return 0;
    count = static_cast<size_t>(std::min<uint64_t>(count, size_ - offset));
    if (platform::read_volume(letter_, offset, dest, count)) return count;
    auto* out = static_cast<uint8_t*>(dest);
    size_t done = 0;
    while (done < count) {
      const size_t n = std::min<size_t>(kSector - (offset + done) % kSector, count - done);
      if (!platform::read_volume(letter_, offset + done, out + done, n)) break;
      done += n;
    }
    return done;
  }
  // Bytes the pass the search runs in has read ahead already.
  std::span<const uint8_t> Held(uint64_t offset, size_t count) override {
    return pass_ ? pass_->Ahead(offset, count) : std::span<const uint8_t>{};
  }
  // The pass (of the deep scan) whose blocks the search is handed, while it runs.
  void SetPass(Sweep* pass) { pass_ = pass; }

 private:
  char letter_;
  uint64_t size_;
  Sweep* pass_ = nullptr;
};

// Byte ranges [first, second) of the volume.
using Ranges = std::vector<std::pair<uint64_t, uint64_t>>;

// Something kept alive while the search reads a volume through its engine.
struct ReadsHeld {
  virtual ~ReadsHeld() = default;
};

// Which clusters of the volume hold nothing live, and where they lie; for a source without a
// volume every byte is free.
class FreeSpace {
 public:
  virtual ~FreeSpace() = default;
  virtual uint64_t cluster_size() const { return kRawCluster; }
  virtual uint64_t cluster_origin() const { return 0; }
  // First byte where clusters (and so carved files) may lie.
  virtual uint64_t area_begin() const { return 0; }
  // The cluster holding volume byte `at`, or -1 outside the clusters.
  virtual int64_t cluster_at(uint64_t at) const { return static_cast<int64_t>(at / kSector); }
  virtual bool cluster_free(int64_t cluster) { return true; }
  // Adds the volume bytes listed row `row` holds to `ranges`: its first cluster and, by the
  // contiguous rule, the ones after it up to its size (FAT, exFAT rows name their first
  // cluster as Inode).
  virtual void row_ranges(int32_t row, Ranges& ranges) {
    const int64_t start = row_start(FoundFiles[row].Inode);
    if (start < 0) return;
    const uint64_t size = std::max<int64_t>(FoundFiles[row].Size, 1);
    const uint64_t c = cluster_size();
    ranges.push_back({static_cast<uint64_t>(start), start + (size + c - 1) / c * c});
  }
  // What the volume's reads need while the search looks at it (none but on NTFS).
  virtual std::unique_ptr<ReadsHeld> hold_reads() { return nullptr; }
  // The whole source, no volume's clusters.
  virtual bool whole_source() const { return true; }

 protected:
  // Byte of the first cluster of a listed row whose Inode is `inode` (-1 when rows of this
  // volume do not name clusters).
  virtual int64_t row_start(int64_t inode) const { return -1; }
};

class FatSpace final : public FreeSpace {
 public:
  explicit FatSpace(std::unique_ptr<FatVolume> v) : v_(std::move(v)) {}
  bool whole_source() const override { return false; }
  uint64_t cluster_size() const override { return v_->layout().cluster_size; }
  uint64_t cluster_origin() const override { return v_->layout().cluster_offset(2); }
  uint64_t area_begin() const override { return v_->layout().cluster_offset(2); }
  int64_t cluster_at(uint64_t at) const override {
    if (at < area_begin()) return -1;
    const uint64_t x = 2 + (at - area_begin()) / cluster_size();
    return v_->layout().valid_cluster(x) ? static_cast<int64_t>(x) : -1;
  }
  bool cluster_free(int64_t x) override {
    return v_->table().get_fat_entry(static_cast<uint32_t>(x)) == 0;
  }
  int64_t row_start(int64_t inode) const override {
    return v_->layout().valid_cluster(static_cast<uint64_t>(inode))
               ? static_cast<int64_t>(v_->layout().cluster_offset(static_cast<uint32_t>(inode)))
               : -1;
  }

 private:
  std::unique_ptr<FatVolume> v_;
};

class ExFatSpace final : public FreeSpace {
 public:
  explicit ExFatSpace(std::unique_ptr<exfat::Volume> v) : v_(std::move(v)) {}
  bool whole_source() const override { return false; }
  uint64_t cluster_size() const override { return v_->layout().cluster_size; }
  uint64_t cluster_origin() const override { return v_->layout().heap_offset; }
  uint64_t area_begin() const override { return v_->layout().heap_offset; }
  int64_t cluster_at(uint64_t at) const override {
    if (at < area_begin()) return -1;
    const uint64_t x = 2 + (at - area_begin()) / cluster_size();
    return v_->layout().valid_cluster(x) ? static_cast<int64_t>(x) : -1;
  }
  bool cluster_free(int64_t x) override { return v_->ClusterFree(static_cast<uint32_t>(x)); }
  int64_t row_start(int64_t inode) const override {
    return v_->layout().valid_cluster(static_cast<uint64_t>(inode))
               ? static_cast<int64_t>(v_->layout().cluster_offset(static_cast<uint32_t>(inode)))
               : -1;
  }

 private:
  std::unique_ptr<exfat::Volume> v_;
};

// The NTFS engine reads through read buffers that one scope creates and destroys: the
// search makes them only when no caller's scope (the deep scan's) has them in place.
struct NtfsReadsHeld final : ReadsHeld {
  std::optional<ntfs::ScopedReadBuffers> own;
  NtfsReadsHeld() {
    if (ntfs::engine_buffer(ntfs::kRecordBuffer) == nullptr) own.emplace();
  }
};

class NtfsSpace final : public FreeSpace {
 public:
  explicit NtfsSpace(std::unique_ptr<ntfs::NtfsVolume> v) : v_(std::move(v)) {}
  ~NtfsSpace() override { ntfs::umount_volume(v_); }
  std::unique_ptr<ReadsHeld> hold_reads() override { return std::make_unique<NtfsReadsHeld>(); }
  // An NTFS row names its record, not a cluster: the clusters are the runs of its unnamed
  // $DATA, as the scan that listed it decoded them (an attribute list's extension records
  // included); a row whose scan did not note them has its record read again.
  void row_ranges(int32_t row, Ranges& ranges) override {
    const RowFacts& facts = FoundFiles.Facts(row);
    std::vector<ByteExtent> runs;
    if (facts.data_runs_known) {
      runs = facts.data_runs;
    } else if (facts.record_offset != 0) {
      if (auto info = ntfs::read_record_at(*v_, facts.record_offset))
        runs = ntfs::data_extents(*v_, info->record, info->number, false);
    } else {
      std::vector<uint8_t> record(v_->mft_record_size);
      int64_t sector = 0;
      if (ntfs::read_mft_record(*v_, FoundFiles[row].Inode, record, ntfs::kRecordBuffer, &sector) ==
          ntfs::RecordRead::kOk)
        runs = ntfs::data_extents(*v_, record, FoundFiles[row].Inode, true);
    }
    for (const ByteExtent& e : runs) ranges.push_back({e.offset, e.offset + e.length});
  }
  bool whole_source() const override { return false; }
  uint64_t cluster_size() const override { return v_->cluster_size; }
  int64_t cluster_at(uint64_t at) const override {
    const uint64_t x = at / v_->cluster_size;
    return x < static_cast<uint64_t>(v_->total_clusters) ? static_cast<int64_t>(x) : -1;
  }
  bool cluster_free(int64_t x) override { return ntfs::cluster_in_use(v_.get(), x) == 0; }

 private:
  std::unique_ptr<ntfs::NtfsVolume> v_;
};

// Keeps an engine's log lines out of the log (for the calling thread), while the window's
// messages are still handled.
class QuietWindow final : public EngineWindow {
 public:
  QuietWindow() : outer_(Window()), scope_(*this) {}
  void ProcessMessages() override { outer_.ProcessMessages(); }

 private:
  EngineWindow& outer_;
  ThreadWindowScope scope_;
};

bool contains_no_case(const std::string& text, const std::string& part) {
  return std::search(text.begin(), text.end(), part.begin(), part.end(), [](char a, char b) {
           return std::toupper(static_cast<unsigned char>(a)) ==
                  std::toupper(static_cast<unsigned char>(b));
         }) != text.end();
}

// The free space of the volume on `component`, or the whole source when it holds none
// Pyralis reads, or when the volume is there but cannot be opened (its boot sector names a
// file system whose tables or $MFT are broken): then a line says so, and every byte of
// the drive, live files' too, is searched as on a source without a volume.
std::unique_ptr<FreeSpace> open_free_space(TRawDiskAccessComponent& component, char letter) {
  const std::string fs = component.FileSystem();
  const std::string drive = std::string(1, static_cast<char>(std::toupper(letter))) + ":";
  std::string error;
  if (fs.empty()) return std::make_unique<FreeSpace>();
  if (contains_no_case(fs, "exFAT")) {
    auto v = exfat::Volume::Open(component, &error);
    if (v) return std::make_unique<ExFatSpace>(std::move(v));
  } else if (contains_no_case(fs, "FAT")) {
    auto v = FatVolume::Open(component, &error);
    if (v) return std::make_unique<FatSpace>(std::move(v));
  } else if (contains_no_case(fs, "NTFS")) {
    const NtfsReadsHeld reads;
    ntfs::reset_cluster_bitmap_cache();
    // The scan's own mount has logged what is wrong with the volume; this one says nothing.
    const QuietWindow quiet;
    auto v = ntfs::mount_volume(&component, false);
    if (v) return std::make_unique<NtfsSpace>(std::move(v));
    error = "its NTFS volume could not be mounted";
  } else {
    return std::make_unique<FreeSpace>();
  }
  Window().LogLine(drive + " " + error + "; the whole drive is searched by content instead.");
  return std::make_unique<FreeSpace>();
}

// The volume bytes that listed rows hold, gathered once per row (rows found by the tree walk
// or the deep scan keep their clusters), merged into ranges that do not overlap.
class ListedRanges {
 public:
  // Adds the rows FoundFiles holds that were not looked at yet (carved rows hold nothing).
  void update(FreeSpace& space) {
    const size_t before = ranges_.size();
    for (; next_row_ < FoundFiles.Count(); ++next_row_) {
      if (FoundFiles.Facts(next_row_).origin != RowOrigin::kCarved)
        space.row_ranges(next_row_, ranges_);
    }
    if (ranges_.size() == before) return;
    std::sort(ranges_.begin(), ranges_.end());
    Ranges merged;
    for (const auto& r : ranges_) {
      if (!merged.empty() && r.first <= merged.back().second)
        merged.back().second = std::max(merged.back().second, r.second);
      else
        merged.push_back(r);
    }
    ranges_ = std::move(merged);
  }
  bool holds(uint64_t at) const {
    const auto after = std::upper_bound(ranges_.begin(), ranges_.end(),
                                        std::pair<uint64_t, uint64_t>{at, UINT64_MAX});
    return after != ranges_.begin() && at < std::prev(after)->second;
  }

 private:
  int32_t next_row_ = 0;
  Ranges ranges_;
};

// Whether a carved file may start at a volume byte: in a free cluster that no listed row
// holds, looked up once per cluster.
class StartRule {
 public:
  StartRule(FreeSpace& space, const ListedRanges& listed) : space_(space), listed_(listed) {}
  bool operator()(uint64_t at) {
    const int64_t x = space_.cluster_at(at);
    if (x < 0) return false;
    if (x != last_cluster_) {
      last_cluster_ = x;
      last_free_ = space_.cluster_free(x);
    }
    return last_free_ && !listed_.holds(at);
  }

 private:
  FreeSpace& space_;
  const ListedRanges& listed_;
  int64_t last_cluster_ = -1;
  bool last_free_ = false;
};

// Adds one carved file as a row.
class RowWriter {
 public:
  RowWriter(char letter, FreeSpace& space, bool raw)
      : drive_(std::string(1, static_cast<char>(std::toupper(letter))) + ":"),
        space_(space),
        raw_(raw) {}

  void operator()(const carve::CarvedFile& file) {
    FoundFileRecord record;
    const uint64_t first = file.extents.front().offset;
    unsigned repeat = 1;
    if (carve::date_value(file.date_taken) != 0.0) repeat = ++dates_[file.date_taken];
    record.Name = carve::carved_name(file, repeat);
    record.Path = drive_ + "\\Found by content\\" + carve::category_folder(file.kind);
    record.Size = static_cast<int64_t>(file.length);
    record.Modified = carve::date_value(file.date_taken);
    record.Inode = raw_ ? static_cast<int64_t>(first / kSector)
                        : std::max<int64_t>(space_.cluster_at(first), 0);
    record.Sector = static_cast<int64_t>(first / kSector);
    record.RecoveryQuality = static_cast<int8_t>(file.intact ? 100 : 33);
    RowFacts facts;
    facts.origin = RowOrigin::kCarved;
    facts.extents = file.extents;
    facts.content.type = std::string(filetypes::kind_name(file.kind));
    facts.content.state = !file.intact            ? ContentState::kDamaged
                          : file.payload_verified ? ContentState::kIntact
                                                  : ContentState::kPlausible;
    // A damaged file is kept up to its last good byte: the break is where it now ends.
    facts.content.damaged_at = file.intact ? 0 : file.length;
    FoundFiles.append(std::move(record), std::move(facts));
    ++found_;
    if (!file.intact) ++damaged_;
    Window().SetFilesFoundText(std::to_string(FoundFiles.Count()));
    Window().SetElapsedText(elapsed_text());
  }
  uint64_t found() const { return found_; }
  uint64_t damaged() const { return damaged_; }

 private:
  std::string drive_;
  FreeSpace& space_;
  bool raw_;
  std::map<std::string, unsigned> dates_;
  uint64_t found_ = 0;
  uint64_t damaged_ = 0;
};

// Hands the blocks of another pass to the carver. Walks that run past a block read the
// pass's blocks ahead, so that the pass does not read their bytes a second time.
class CarverRecogniser final : public Recogniser {
 public:
  CarverRecogniser(carve::Carver& carver, DriveSource& source, uint64_t area_end)
      : carver_(carver), source_(source), end_(area_end) {}
  void OnStart(Sweep& sweep) override { source_.SetPass(&sweep); }
  void OnEnd(bool) override { source_.SetPass(nullptr); }
  void OnBlock(uint64_t volume_offset, std::span<const uint8_t> bytes,
               std::span<const RequestRange> unreadable) override {
    // Unreadable bytes are zeros in the block: zeros start no file, and walks read what
    // lies from the first of them on from the volume, which says it cannot be read.
    carver_.feed(volume_offset, bytes, end_,
                 unreadable.empty() ? bytes.size() : static_cast<size_t>(unreadable[0].offset));
  }

 private:
  carve::Carver& carver_;
  DriveSource& source_;
  uint64_t end_;
};

}  // namespace

struct DriveCarving::State {
  char letter = 0;
  platform::SourceHold hold;
  TRawDiskAccessComponent component;
  std::unique_ptr<FreeSpace> space;
  std::unique_ptr<DriveSource> source;
  ListedRanges listed;
  std::unique_ptr<StartRule> may_start;
  std::unique_ptr<carve::Carver> carver;
  std::unique_ptr<CarverRecogniser> recogniser;
  std::vector<carve::CarvedFile> found;
  uint64_t length = 0;
  bool raw = false;
};

DriveCarving::DriveCarving(char letter) : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.letter = letter;
  const platform::Drive* drive = platform::find_drive(letter);
  uint8_t first[kSector];
  if (!drive || drive->source.length < kSector ||
      !platform::read_volume(letter, 0, first, sizeof first)) {
    const std::string problem = DescribeDriveProblem(letter);
    Window().LogLine(!problem.empty() ? problem
                                      : "Drive " + DescribeDriveSource(letter) +
                                            " cannot be searched by content: it cannot be read");
    return;
  }
  s.length = drive->source.length;
  s.component.SetLogicalDrive(letter);
  s.space = open_free_space(s.component, letter);
  if (!s.space) return;
  // Clusters of a volume name carved files; on the whole source, sectors do.
  s.raw = s.space->whole_source();
  s.source = std::make_unique<DriveSource>(letter, s.length);
  carve::Options options;
  options.sector_size = kSector;
  options.cluster_size = std::max<uint64_t>(s.space->cluster_size(), kSector);
  options.cluster_origin = s.space->cluster_origin();
  {
    const auto reads = s.space->hold_reads();
    s.listed.update(*s.space);
  }
  s.may_start = std::make_unique<StartRule>(*s.space, s.listed);
  s.carver = std::make_unique<carve::Carver>(
      *s.source, options,
      [&s](const carve::CarvedFile& f) {
        s.found.push_back(f);
        Window().SetFilesFoundText(std::to_string(FoundFiles.Count() + s.found.size()));
      },
      std::ref(*s.may_start));
  s.recogniser = std::make_unique<CarverRecogniser>(*s.carver, *s.source, s.length);
}

DriveCarving::~DriveCarving() = default;

bool DriveCarving::ok() const {
  return state_->carver != nullptr;
}

Recogniser& DriveCarving::recogniser() {
  return *state_->recogniser;
}

CarveResult DriveCarving::run() {
  State& s = *state_;
  if (!ok()) return CarveResult::kNotSearched;
  const auto reads = s.space->hold_reads();
  const uint64_t begin = std::min(s.space->area_begin(), s.length);
  const uint64_t total_mib = std::max<uint64_t>((s.length - begin) >> 20, 1);
  Window().SetGaugeMaxValue(static_cast<int64_t>(total_mib));
  bool stopped = false;
  const uint64_t total = s.length - begin;
  const auto started = std::chrono::steady_clock::now();
  s.carver->search(begin, s.length, kBlockBytes, [&](uint64_t done) {
    Window().SetGaugeProgress(static_cast<int64_t>(std::min(done >> 20, total_mib)));
    // Bytes read, the rate and the time left at that rate.
    const double seconds = std::max(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(), 1e-3);
    const double rate = static_cast<double>(done) / seconds;
    Window().SetReadProgress(
        done, total, rate,
        rate > 0 ? static_cast<double>(total - std::min(done, total)) / rate : -1.0);
    Window().SetElapsedText(elapsed_text());
    Window().ProcessMessages();
    stopped = !ScanActive || platform::source_gone(s.letter);
    return !stopped;
  });
  return stopped ? CarveResult::kStopped : CarveResult::kSearched;
}

void DriveCarving::finish() {
  State& s = *state_;
  if (!ok()) return;
  // Rows listed while the search ran (the deep scan's) keep their clusters too.
  const auto reads = s.space->hold_reads();
  s.listed.update(*s.space);
  StartRule unclaimed(*s.space, s.listed);
  RowWriter rows(s.letter, *s.space, s.raw);
  FoundFiles.reserve(static_cast<size_t>(FoundFiles.Count()) + s.found.size());
  for (const carve::CarvedFile& f : s.found)
    if (unclaimed(f.extents.front().offset)) rows(f);
  s.found.clear();
  Window().LogLine("Found by content: " + with_thousands(rows.found()) +
                   (rows.found() == 1 ? " file (" : " files (") + with_thousands(rows.damaged()) +
                   " damaged).");
  Window().SetFilesFoundText(std::to_string(FoundFiles.Count()));
  Window().SetStatusFilesText("Files: " + std::to_string(FoundFiles.Count()));
}

CarveResult carve_drive(char letter) {
  DriveCarving carving(letter);
  if (!carving.ok()) return CarveResult::kNotSearched;
  const CarveResult result = carving.run();
  carving.finish();
  return result;
}

RecoveryOutcome undelete_carved_file(char letter, const FoundFileRecord& record,
                                     const RowFacts& facts, const std::string& folder) {
  RecoveryOutcome outcome;
  const std::vector<ByteExtent>& extents = facts.extents;
  uint64_t size = 0;
  for (const ByteExtent& e : extents) size += e.length;
  outcome.size = size;
  if (!RecoveryActive) {
    outcome.result = RecoveryResult::kStopped;
    return outcome;
  }
  const platform::Drive* drive = platform::find_drive(letter);
  const std::string target = folder + record.Name;
  for (const ByteExtent& e : extents) {
    if (!drive || e.offset > drive->source.length || e.length > drive->source.length - e.offset) {
      Window().LogLine("Could not undelete " + target + ": its bytes lie outside the drive.");
      return outcome;
    }
  }
  platform::SourceHold hold;
  RecoveredFile out;
  std::string error;
  if (!out.Open(folder, record.Name, &error)) {
    Window().LogLine("Could not write " + target + ": " + error + ".");
    return outcome;
  }
  std::vector<uint8_t> buffer(1 << 20);
  for (const ByteExtent& e : extents) {
    for (uint64_t done = 0; done < e.length;) {
      Window().ProcessMessages();
      if (!RecoveryActive) {
        outcome.result = RecoveryResult::kStopped;
        return outcome;  // `out` removes the partial file
      }
      const size_t n = static_cast<size_t>(std::min<uint64_t>(buffer.size(), e.length - done));
      const uint64_t at = e.offset + done;
      if (!platform::read_volume(letter, at, buffer.data(), n)) {
        // Sector by sector: what still fails is zeros in the file, noted as unreadable.
        for (size_t s = 0; s < n; s += kSector) {
          const size_t m = std::min<size_t>(kSector, n - s);
          if (!platform::read_volume(letter, at + s, buffer.data() + s, m)) {
            std::fill_n(buffer.data() + s, m, uint8_t{0});
            out.NoteUnreadable(out.BytesWritten() + s, m);
          }
        }
      }
      if (!out.Write(buffer.data(), n, &error)) {
        Window().LogLine("Could not write " + target + ": " + error + ".");
        return outcome;
      }
      done += n;
    }
  }
  std::string written;
  if (!out.Commit(&written, &error)) {
    Window().LogLine("Could not write " + target + ": " + error + ".");
    return outcome;
  }
  outcome = out.Outcome(size);
  Window().LogLine(undeleted_line(outcome));
  return outcome;
}

}  // namespace pyralis
