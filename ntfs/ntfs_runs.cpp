// SPDX-License-Identifier: GPL-3.0-or-later
// Mapping pairs and runlists, and reads of attribute values through the engine's sector
// windows.
#include <algorithm>
#include <cstring>

#include "core/cluster_buffer.h"
#include "core/engine_window.h"
#include "ntfs/ntfs_internal.h"

namespace pyralis::ntfs {

namespace {

// Largest piece handed to one TBuffer read (a window that large is grown once).
constexpr int64_t kMaxPiece = 1 << 20;

// clusters << bits, saturating at INT64_MAX instead of wrapping.
int64_t cluster_bytes(int64_t clusters, uint8_t bits) {
  return clusters > (INT64_MAX >> bits) ? INT64_MAX : clusters << bits;
}

}  // namespace

std::optional<Runlist> decode_runlist(Bytes a) {
  if (a.size() < 0x40 || !attribute_non_resident(a)) return std::nullopt;
  const int64_t lowest_vcn = le64s(a, 0x10);
  if (lowest_vcn < 0) return std::nullopt;
  const size_t end = std::min<size_t>(le32(a, 0x04), a.size());
  size_t p = le16(a, 0x20);
  if (p >= end) return std::nullopt;

  Runlist runlist;
  runlist.reserve(16);
  int64_t vcn = lowest_vcn;
  int64_t lcn = 0;
  if (lowest_vcn > 0) runlist.push_back({0, kLcnNotMapped, lowest_vcn});
  while (p < end && a[p] != 0) {
    const unsigned length_width = a[p] & 0x0F;
    const unsigned offset_width = a[p] >> 4;
    if (length_width == 0 || length_width > 8 || offset_width > 8) return std::nullopt;
    if (!fits(end, p + 1, length_width + offset_width)) return std::nullopt;
    const int64_t length = load_signed(&a[p + 1], length_width);
    if (length <= 0) return std::nullopt;
    RunElement element{vcn, kLcnHole, length};
    if (__builtin_add_overflow(vcn, length, &vcn)) return std::nullopt;
    if (offset_width != 0) {
      const int64_t delta = load_signed(&a[p + 1 + length_width], offset_width);
      int64_t last = 0;
      if (__builtin_add_overflow(lcn, delta, &lcn) || lcn < 0 ||
          __builtin_add_overflow(lcn, length, &last)) {
        return std::nullopt;
      }
      element.lcn = lcn;
    }
    runlist.push_back(element);
    p += 1 + length_width + offset_width;
  }
  if (p >= end) return std::nullopt;  // no terminating 0 byte inside the attribute
  runlist.push_back({vcn, kLcnOutside, 0});
  runlist.shrink_to_fit();
  return runlist;
}

int64_t vcn_to_lcn(const Runlist* runlist, int64_t vcn) {
  if (vcn < 0) return kLcnNegativeVcn;
  if (runlist == nullptr || runlist->empty()) return kLcnNotMapped;
  const Runlist& rl = *runlist;
  if (vcn < rl.front().vcn) return kLcnOutside;
  for (size_t i = 0; i + 1 < rl.size() && rl[i].length > 0; ++i) {
    if (vcn < rl[i + 1].vcn) return rl[i].lcn >= 0 ? rl[i].lcn + (vcn - rl[i].vcn) : rl[i].lcn;
  }
  return rl.back().lcn < 0 ? rl.back().lcn : kLcnOutside;
}

int map_runlist(NtfsAttribute& attribute, int64_t vcn) {
  const int64_t r = vcn_to_lcn(attribute.runlist ? &*attribute.runlist : nullptr, vcn);
  if (r >= 0 || r == kLcnHole || r == kLcnOutside) return 0;
  if (attribute.inode == nullptr) return -1;
  SearchContext context = new_search_context(*attribute.inode);
  const auto found = next_attribute(attribute.type, context);
  if (!found) return -1;
  auto runlist = decode_runlist(*found);
  if (!runlist) return -1;
  attribute.runlist = std::move(runlist);
  return 0;
}

std::optional<size_t> find_vcn(NtfsAttribute* attribute, int64_t vcn) {
  if (attribute == nullptr || !attribute->non_resident() || vcn < 0) return std::nullopt;
  for (int pass = 1; pass <= 2; ++pass) {
    if (attribute->runlist && !attribute->runlist->empty() &&
        vcn >= attribute->runlist->front().vcn) {
      const Runlist& rl = *attribute->runlist;
      // Elements are in VCN order: the one holding vcn is the last whose vcn <= vcn.
      const auto after = std::upper_bound(rl.begin(), rl.end(), vcn,
                                          [](int64_t v, const RunElement& e) { return v < e.vcn; });
      size_t i = static_cast<size_t>(after - rl.begin()) - 1;
      // The walk ends at the first element of length 0 (the closing element).
      const auto closing =
          std::find_if(rl.begin(), rl.end(), [](const RunElement& e) { return e.length <= 0; });
      const size_t stop = static_cast<size_t>(closing - rl.begin());
      if (i >= stop) i = std::min(stop, rl.size() - 1);
      if (i < stop && rl[i].lcn >= kLcnHole) return i;
      if (rl[i].lcn != kLcnNotMapped) return std::nullopt;
    }
    if (pass == 2 || map_runlist(*attribute, vcn) != 0) return std::nullopt;
  }
  return std::nullopt;
}

int64_t read_attribute(NtfsAttribute* attribute, uint8_t* dest, int selector, int64_t* sector_out,
                       int64_t count, int64_t position) {
  if (attribute == nullptr || attribute->inode == nullptr || attribute->inode->volume == nullptr ||
      dest == nullptr || count < 0 || position < 0) {
    return -1;
  }
  NtfsInode& inode = *attribute->inode;
  NtfsVolume& volume = *inode.volume;
  if (attribute->non_resident() && (inode.flags & kInodeCompressed)) {
    Window().LogLine("Compressed files are not supported");
    return -1;
  }
  if (attribute->non_resident() && (inode.flags & kInodeRestricted)) {
    Window().LogLine("Access denied");
    return -1;
  }
  if (count == 0) return 0;
  const int64_t data_size = std::max<int64_t>(attribute->data_size, 0);
  if (position >= data_size) return 0;
  count = std::min(count, data_size - position);

  if (!attribute->non_resident()) {
    SearchContext context = new_search_context(inode);
    const auto found = next_attribute(attribute->type, context);
    if (!found) return -1;
    const auto value = resident_value(*found);
    if (!value || !fits(value->size(), position, count)) return -1;
    std::memcpy(dest, value->data() + position, count);
    return count;
  }

  // Bytes past the initialized size read as zeros.
  const int64_t initialized = std::max<int64_t>(attribute->initialized_size, 0);
  int64_t beyond = 0;
  if (position + count > initialized) {
    if (position >= initialized) {
      std::memset(dest, 0, count);
      return count;
    }
    beyond = position + count - initialized;
    count -= beyond;
    std::memset(dest + count, 0, beyond);
  }
  const uint8_t bits = volume.cluster_size_bits;
  const auto index = find_vcn(attribute, position >> bits);
  if (!index) return -1;
  TBuffer* buffer = engine_buffer(selector);
  const Runlist& rl = *attribute->runlist;
  size_t i = *index;
  int64_t offset = position - (rl[i].vcn << bits);
  int64_t total = 0;
  bool early = false;
  while (count > 0) {
    const RunElement& run = rl[i];
    if (run.length <= 0 || run.lcn < kLcnHole) {
      early = true;
      break;
    }
    const int64_t n = std::min(count, cluster_bytes(run.length, bits) - offset);
    if (run.lcn == kLcnHole) {
      std::memset(dest + total, 0, n);
      total += n;
      count -= n;
    } else {
      int64_t done = 0;
      while (done < n) {
        const int64_t piece = std::min(n - done, kMaxPiece);
        const int64_t start = cluster_bytes(run.lcn, bits);
        if (start > INT64_MAX - offset - done) break;
        const int64_t byte = start + offset + done;
        if (sector_out && volume.sector_size)
          *sector_out = static_cast<int64_t>(static_cast<uint64_t>(byte) / volume.sector_size);
        if (buffer == nullptr || volume.component == nullptr ||
            buffer->ReadBytes(*volume.component, byte, static_cast<uint32_t>(piece),
                              dest + total + done) <= 0) {
          break;
        }
        done += piece;
      }
      total += done;
      count -= done;
      if (done < n) {
        early = true;
        break;
      }
    }
    ++i;
    offset = 0;
    if (i >= rl.size()) {
      early = count > 0;
      break;
    }
  }
  if (early) return total > 0 ? total : -1;
  return total + beyond;
}

RecordRead read_mft_record(NtfsVolume& volume, int64_t number, std::span<uint8_t> dest,
                           int selector, int64_t* sector_out) {
  const int64_t size = volume.mft_record_size;
  if (volume.mft_data == nullptr || static_cast<int64_t>(dest.size()) < size || number < 0 ||
      number > (INT64_MAX >> volume.mft_record_size_bits)) {
    return RecordRead::kUnreadable;
  }
  std::span<uint8_t> record = dest.first(size);
  std::fill(record.begin(), record.end(), 0);
  const int64_t got = read_attribute(volume.mft_data.get(), record.data(), selector, sector_out,
                                     size, number << volume.mft_record_size_bits);
  if (got != size) return RecordRead::kUnreadable;
  if (std::memcmp(record.data(), "FILE", 4) != 0) return RecordRead::kNoSignature;
  if (!apply_fixups(record) || !record_is_sound(record)) return RecordRead::kDamaged;
  return RecordRead::kOk;
}

int read_mft_records(NtfsVolume* volume, int64_t number, std::span<uint8_t> dest) {
  if (volume == nullptr || volume->mft_data == nullptr || number < 0) return -1;
  const int64_t records = volume->mft_data->initialized_size >> volume->mft_record_size_bits;
  if (number + 1 > records) return -1;
  return read_mft_record(*volume, number, dest, kRecordBuffer, nullptr) == RecordRead::kOk ? 0 : -1;
}

}  // namespace pyralis::ntfs
