// SPDX-License-Identifier: GPL-3.0-or-later
#include "sweep/ntfs_deep.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "core/date_time.h"
#include "core/engine_window.h"
#include "core/found_files.h"
#include "ntfs/ntfs_internal.h"
#include "rawdisk/raw_disk_access_component.h"
#include "sweep/listed_rows.h"

namespace pyralis {

namespace {

// Records 0 to 15 are the system files of whichever volume wrote them.
constexpr int64_t kFirstFileRecord = 16;
constexpr int kMaxPathSteps = 255;

bool unreadable_at(std::span<const RequestRange> unreadable, int64_t at, int64_t length) {
  for (const RequestRange& r : unreadable)
    if (at < r.offset + r.length && at + length > r.offset) return true;
  return false;
}

}  // namespace

NtfsRecordRecogniser::NtfsRecordRecogniser(uint32_t record_size, std::vector<ByteExtent> skip)
    : record_size_(record_size), skip_(std::move(skip)), scratch_(record_size) {
  std::sort(skip_.begin(), skip_.end(),
            [](const ByteExtent& a, const ByteExtent& b) { return a.offset < b.offset; });
}

bool NtfsRecordRecogniser::Skipped(uint64_t offset) const {
  auto it = std::upper_bound(skip_.begin(), skip_.end(), offset,
                             [](uint64_t o, const ByteExtent& e) { return o < e.offset; });
  if (it == skip_.begin()) return false;
  --it;
  return offset - it->offset < it->length;
}

void NtfsRecordRecogniser::OnBlock(uint64_t volume_offset, std::span<const uint8_t> bytes,
                                   std::span<const RequestRange> unreadable) {
  if (record_size_ < 512) return;
  const uint64_t first = (volume_offset + record_size_ - 1) / record_size_ * record_size_;
  for (uint64_t at = first - volume_offset; at + record_size_ <= bytes.size(); at += record_size_) {
    // The cheap test first: most positions do not start with the signature.
    if (std::memcmp(bytes.data() + at, "FILE", 4) != 0) continue;
    if (Skipped(volume_offset + at) ||
        unreadable_at(unreadable, static_cast<int64_t>(at), record_size_))
      continue;
    std::memcpy(scratch_.data(), bytes.data() + at, record_size_);
    if (!ntfs::apply_fixups(scratch_) || !ntfs::record_is_sound(scratch_)) continue;
    const int64_t number = ntfs::record_number(scratch_);
    if (number < kFirstFileRecord) continue;
    const ntfs::Bytes record(scratch_);
    if (!ntfs::lookup_attribute(ntfs::kFileName, record)) continue;
    if (ntfs::lookup_attribute(ntfs::kIndexRoot, record)) {
      ntfs::FileRecordInfo info;
      info.number = number;
      info.record = scratch_;
      if (ntfs::get_filenames(info) > 0 && !info.name.empty())
        folders_.try_emplace(number, Folder{info.name, info.parent});
      continue;
    }
    files_.push_back({volume_offset + at, number});
  }
}

std::string ntfs_deep_path(const std::unordered_map<int64_t, NtfsRecordRecogniser::Folder>& folders,
                           int64_t parent, const std::string& root) {
  std::string acc;
  std::unordered_set<int64_t> visited;
  int64_t current = parent;
  for (int step = 0; step < kMaxPathSteps; ++step) {
    if (current == ntfs::kRootDirectory) return root + acc;
    const auto folder = folders.find(current);
    if (folder == folders.end() || !visited.insert(current).second) break;
    acc = folder->second.name + "\\" + acc;
    current = folder->second.parent;
  }
  return root + "?\\" + acc;
}

int64_t ntfs_deep_scan(TRawDiskAccessComponent& component, std::span<Recogniser* const> extra) {
  ntfs::ScopedReadBuffers buffers;
  ntfs::reset_cluster_bitmap_cache();
  auto volume = ntfs::mount_volume(&component, true);
  if (!volume) return 0;  // the mount logged why
  // The records of the current $MFT (up to its initialized size, as far as the MFT scan
  // reads) are the tree walk's.
  std::vector<ByteExtent> mft;
  if (volume->mft_data && ntfs::find_vcn(volume->mft_data.get(), 0) && volume->mft_data->runlist) {
    const uint8_t bits = volume->cluster_size_bits;
    const auto initialized =
        static_cast<uint64_t>(std::max<int64_t>(volume->mft_data->initialized_size, 0));
    for (const ntfs::RunElement& run : *volume->mft_data->runlist) {
      if (run.lcn < 0 || run.length <= 0 || run.vcn < 0) continue;
      const uint64_t start = static_cast<uint64_t>(run.vcn) << bits;
      if (start >= initialized) break;
      const uint64_t length =
          std::min(static_cast<uint64_t>(run.length) << bits, initialized - start);
      mft.push_back({static_cast<uint64_t>(run.lcn) << bits, length});
    }
  }
  NtfsRecordRecogniser records(volume->mft_record_size, std::move(mft));
  Sweep sweep(component);
  sweep.Add(records);
  for (Recogniser* r : extra) sweep.Add(*r);
  sweep.Run();

  const std::string root = std::string(1, component.LogicalDrive()) + ":\\";
  // Rows the tree walk listed already (by first cluster, size and name) are left out.
  ListedRows listed;
  int64_t added = 0;
  for (const NtfsRecordRecogniser::FileAt& file : records.files()) {
    Window().ProcessMessages();
    auto info = ntfs::read_record_at(*volume, file.offset);
    if (!info || info->is_directory || info->name.empty()) continue;
    if (!listed.Add(info->number, info->size, info->name)) continue;
    FoundFileRecord row;
    row.Inode = info->number;
    row.Sector = info->sector;
    row.Size = info->size;
    row.RecoveryQuality = static_cast<int8_t>(std::clamp(info->quality, -3, 100));
    row.Created = unix_to_local_date_time(info->creation_time);
    row.Modified = unix_to_local_date_time(info->data_change_time);
    row.Name = info->name;
    row.Path = cut_characters(ntfs_deep_path(records.folders(), info->parent, root), 255);
    RowFacts facts;
    facts.origin = RowOrigin::kDeepScan;
    facts.record_offset = file.offset;
    // Extension records of a record outside the $MFT lie at places no number leads to:
    // only the record's own runs are known.
    facts.data_runs = ntfs::data_extents(*volume, info->record, info->number, false);
    facts.data_runs_known = true;
    FoundFiles.append(std::move(row), std::move(facts));
    ++added;
  }
  ntfs::umount_volume(volume);
  return added;
}

}  // namespace pyralis
