// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/ntfs_bitmap.h"

#include <bit>
#include <vector>

#include "platform/byte_loads.h"

namespace pyralis::platform {
namespace {

constexpr uint64_t kBitmapRecord = 6;
constexpr uint32_t kDataAttribute = 0x80;
constexpr uint32_t kEndOfAttributes = 0xFFFFFFFF;
constexpr int kMaxRuns = 4096;
constexpr int kMaxAttributes = 64;

struct Run {
  uint64_t first_cluster;
  uint64_t clusters;
};

// Puts the real bytes back at the end of every 512-byte stride; false when a stride does
// not end with the update sequence number (a torn or damaged record).
bool apply_fixups(std::vector<uint8_t>& record) {
  const uint16_t offset = load_u16(record, 0x04), count = load_u16(record, 0x06);
  if (count < 2 || !span_has(record, offset, size_t{count} * 2) ||
      size_t{count - 1u} * 512 > record.size()) {
    return false;
  }
  const uint16_t usn = load_u16(record, offset);
  for (size_t i = 1; i < count; ++i) {
    const size_t end = i * 512 - 2;
    if (load_u16(record, end) != usn) return false;
    record[end] = record[offset + 2 * i];
    record[end + 1] = record[offset + 2 * i + 1];
  }
  return true;
}

// The runs of the unnamed non-resident $DATA attribute of `record`.
std::optional<std::vector<Run>> data_runs(std::span<const uint8_t> record) {
  size_t at = load_u16(record, 0x14);
  for (int i = 0; i < kMaxAttributes && span_has(record, at, 16); ++i) {
    const uint32_t type = load_u32(record, at), length = load_u32(record, at + 4);
    if (type == kEndOfAttributes || length < 16 || !span_has(record, at, length)) break;
    if (type == kDataAttribute && load_u8(record, at + 9) == 0 && load_u8(record, at + 8) == 1) {
      const std::span<const uint8_t> attribute = record.subspan(at, length);
      std::vector<Run> runs;
      uint64_t cluster = 0;
      size_t pos = load_u16(attribute, 0x20);
      while (runs.size() < kMaxRuns && span_has(attribute, pos, 1)) {
        const uint8_t header = attribute[pos];
        if (header == 0) return runs;
        const size_t length_bytes = header & 0x0F, delta_bytes = header >> 4;
        if (length_bytes == 0 || length_bytes > 8 || delta_bytes == 0 || delta_bytes > 8 ||
            !span_has(attribute, pos + 1, length_bytes + delta_bytes)) {
          return std::nullopt;  // sparse runs or a cut list: not a cluster bitmap
        }
        const uint64_t count = load_le(attribute, pos + 1, length_bytes);
        uint64_t delta = load_le(attribute, pos + 1 + length_bytes, delta_bytes);
        if (delta_bytes < 8 && (delta >> (8 * delta_bytes - 1)) != 0) {
          delta |= ~uint64_t{0} << (8 * delta_bytes);  // sign-extend
        }
        cluster += delta;
        runs.push_back({cluster, count});
        pos += 1 + length_bytes + delta_bytes;
      }
      return std::nullopt;
    }
    at += length;
  }
  return std::nullopt;
}

}  // namespace

std::optional<uint64_t> count_ntfs_free_clusters(const ReadAt& read, std::span<const uint8_t> boot,
                                                 const BootSectorInfo& info) {
  const uint64_t cluster_bytes = uint64_t{info.bytes_per_sector} * info.sectors_per_cluster;
  if (info.kind != VolumeKind::kNtfs || cluster_bytes == 0 || info.total_clusters == 0) {
    return std::nullopt;
  }
  const int8_t record_size_code = static_cast<int8_t>(load_u8(boot, 0x40));
  const uint64_t record_bytes =
      record_size_code > 0
          ? uint64_t(record_size_code) * cluster_bytes
          : (record_size_code > -31 && record_size_code < 0 ? uint64_t{1} << -record_size_code : 0);
  const uint64_t mft_cluster = load_u64(boot, 0x30);
  if (record_bytes < 512 || record_bytes > 65536 || mft_cluster >= info.total_clusters) {
    return std::nullopt;
  }
  std::vector<uint8_t> record(static_cast<size_t>(record_bytes));
  if (!read(mft_cluster * cluster_bytes + kBitmapRecord * record_bytes, record.data(),
            record.size()) ||
      load_u32(record, 0) != 0x454C4946 /* "FILE" */ || !apply_fixups(record)) {
    return std::nullopt;
  }
  const auto runs = data_runs(record);
  if (!runs) return std::nullopt;

  const uint64_t bitmap_bytes = (info.total_clusters + 7) / 8;
  uint64_t seen_bits = 0, used = 0;
  std::vector<uint8_t> chunk;
  for (const Run& run : *runs) {
    for (uint64_t done = 0; done < run.clusters && seen_bits < info.total_clusters;) {
      const uint64_t clusters =
          std::min<uint64_t>(run.clusters - done, (1u << 20) / cluster_bytes + 1);
      const uint64_t want = std::min(clusters * cluster_bytes, bitmap_bytes - seen_bits / 8);
      if (run.first_cluster + done >= info.total_clusters) return std::nullopt;
      chunk.resize(static_cast<size_t>(want));
      if (!read((run.first_cluster + done) * cluster_bytes, chunk.data(), chunk.size())) {
        return std::nullopt;
      }
      for (uint8_t byte : chunk) {
        const uint64_t bits = std::min<uint64_t>(8, info.total_clusters - seen_bits);
        used += std::popcount(static_cast<uint8_t>(byte & ((1u << bits) - 1)));
        seen_bits += bits;
      }
      done += clusters;
    }
  }
  if (seen_bits < info.total_clusters) return std::nullopt;  // the bitmap is too short
  return info.total_clusters - used;
}

}  // namespace pyralis::platform
