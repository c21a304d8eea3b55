// SPDX-License-Identifier: GPL-3.0-or-later
// Placement half of the builder: geometry, the system files' clusters, files and their
// streams, cluster allocation and the answers about what was placed.
#include "tests/ntfsimg/ntfs_image_builder.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>

#include "tests/ntfsimg/builder_state.h"

namespace pyralis::test {

using namespace ntfs;

namespace {

constexpr uint64_t kBootBytes = 8192;
constexpr uint64_t kLogFileBytes = 64 * 1024;
constexpr uint32_t kCompressionUnitLog2 = 4;  // 16 clusters

uint64_t ceil_div(uint64_t a, uint64_t b) {
  return (a + b - 1) / b;
}

void check_power_of_two(uint64_t v, uint64_t lo, uint64_t hi, const char* what) {
  if (v < lo || v > hi || !std::has_single_bit(v)) {
    throw std::invalid_argument(std::string(what) + " must be a power of two from " +
                                std::to_string(lo) + " to " + std::to_string(hi) + ", not " +
                                std::to_string(v));
  }
}

uint64_t mix64(uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

}  // namespace

uint8_t NtfsImageBuilder::pattern_byte(uint32_t seed, uint64_t offset) {
  const uint64_t word = mix64((offset >> 3) ^ (static_cast<uint64_t>(seed) << 40) ^ seed);
  return static_cast<uint8_t>(word >> (8 * (offset & 7)));
}

void Stream::read(uint64_t offset, uint8_t* out, size_t n) const {
  const uint64_t limit = std::min(size, initialized);
  for (size_t i = 0; i < n; ++i) {
    const uint64_t pos = offset + i;
    if (pos >= limit) {
      out[i] = 0;
    } else if (pattern_size) {
      out[i] = NtfsImageBuilder::pattern_byte(pattern_seed, pos);
    } else {
      out[i] = static_cast<uint8_t>(content[pos]);
    }
  }
}

uint64_t Stream::stored_bytes(uint64_t cluster_size) const {
  uint64_t clusters = 0;
  for (const ClusterRun& r : runs) clusters += r.lcn ? r.length : 0;
  return clusters * cluster_size;
}

// ---- allocation ----

uint64_t detail::BuilderState::take_contiguous(uint64_t count, bool from_top) {
  if (count == 0) return 0;
  auto free_at = [&](uint64_t lcn) {
    for (uint64_t k = 0; k < count; ++k) {
      if (taken[lcn + k]) return k + 1;  // how far to skip
    }
    return uint64_t{0};
  };
  if (count <= clusters) {
    if (from_top) {
      for (uint64_t lcn = clusters - count + 1; lcn-- > 0;) {
        if (free_at(lcn) == 0) return lcn;
      }
    } else {
      for (int pass = 0; pass < 2; ++pass) {
        const uint64_t start = pass == 0 ? cursor : 0;
        for (uint64_t lcn = start; lcn + count <= clusters;) {
          const uint64_t skip = free_at(lcn);
          if (skip == 0) {
            cursor = lcn + count;
            return lcn;
          }
          lcn += skip;
        }
      }
    }
  }
  throw std::invalid_argument("volume full: no " + std::to_string(count) +
                              " free contiguous clusters");
}

void detail::BuilderState::mark(uint64_t lcn, uint64_t count, bool is_allocated) {
  if (lcn > clusters || count > clusters - lcn) {
    throw std::invalid_argument("run of " + std::to_string(count) + " clusters at " +
                                std::to_string(lcn) + " leaves the volume");
  }
  for (uint64_t k = lcn; k < lcn + count; ++k) {
    taken[k] = true;
    if (is_allocated) allocated[k] = true;
  }
}

void detail::BuilderState::release(uint64_t lcn, uint64_t count) {
  for (uint64_t k = lcn; k < lcn + count; ++k) taken[k] = allocated[k] = false;
}

void detail::BuilderState::set_extent(uint64_t lcn, uint64_t count, const Extent& e) {
  const uint64_t end = lcn + count;
  // Cut any extent reaching into [lcn, end).
  auto it = extents.lower_bound(lcn);
  if (it != extents.begin()) {
    auto prev = std::prev(it);
    if (prev->second.end > lcn) {
      Extent tail = prev->second;
      const uint64_t prev_start = prev->first;
      prev->second.end = lcn;
      if (tail.end > end) {
        if (!tail.overwrite) tail.vcn += end - prev_start;
        extents[end] = tail;
      }
    }
  }
  it = extents.lower_bound(lcn);
  while (it != extents.end() && it->first < end) {
    if (it->second.end > end) {
      Extent tail = it->second;
      if (!tail.overwrite) tail.vcn += end - it->first;
      extents.erase(it);
      extents[end] = tail;
      break;
    }
    it = extents.erase(it);
  }
  Extent fresh = e;
  fresh.end = end;
  extents[lcn] = fresh;
}

uint64_t detail::BuilderState::record_count() const {
  return ceil_div(entries.size(), records_per_step) * records_per_step;
}

uint64_t detail::BuilderState::record_offset_in_volume(uint64_t record) const {
  uint64_t byte = record * g.mft_record_size;
  for (const ClusterRun& run : mft_runs) {
    const uint64_t run_bytes = run.length * cluster_size;
    if (byte < run_bytes) return *run.lcn * cluster_size + byte;
    byte -= run_bytes;
  }
  throw std::out_of_range("record " + std::to_string(record) + " beyond the MFT");
}

uint64_t detail::BuilderState::parent_reference(uint64_t record) const {
  return file_reference(record, entries.at(record).info.sequence);
}

// ---- construction: geometry and system files ----

namespace {

Stream non_resident_stream(std::vector<ClusterRun> runs, uint64_t size, uint64_t cluster_size,
                           bool write_clusters) {
  Stream s;
  s.resident = false;
  s.runs = std::move(runs);
  s.size = s.initialized = size;
  for (const ClusterRun& r : s.runs) s.allocated += r.length * cluster_size;
  s.write_clusters = write_clusters;
  return s;
}

}  // namespace

NtfsImageBuilder::NtfsImageBuilder(NtfsGeometry geometry)
    : geometry_(std::move(geometry)), state_(std::make_unique<detail::BuilderState>()) {
  NtfsGeometry& g = geometry_;
  check_power_of_two(g.sector_size, 512, 4096, "sector size");
  check_power_of_two(g.sectors_per_cluster, 1, 65536, "sectors per cluster");
  check_power_of_two(g.mft_record_size, 512, 65536, "MFT record size");
  check_power_of_two(g.index_record_size, 512, 65536, "index record size");
  detail::BuilderState& s = *state_;
  s.cluster_size = uint64_t{g.sector_size} * g.sectors_per_cluster;
  if (s.cluster_size > 2 * 1024 * 1024) throw std::invalid_argument("clusters above 2 MiB");
  g.index_record_size =
      static_cast<uint32_t>(std::max<uint64_t>(g.index_record_size, s.cluster_size));
  if (g.total_sectors < 2) throw std::invalid_argument("volume too small");
  // The last sector holds the backup boot sector and is not part of the cluster space.
  s.clusters = (g.total_sectors - 1) / g.sectors_per_cluster;
  s.g = g;
  const uint64_t cs = s.cluster_size;
  const uint64_t rs = g.mft_record_size;
  s.records_per_step = std::max<uint64_t>(8, cs / rs);
  g.mft_capacity = std::max<uint64_t>(
      ceil_div(std::max<uint64_t>(g.mft_capacity, 32), s.records_per_step) * s.records_per_step,
      32);
  s.g = g;
  s.taken.assign(s.clusters, false);
  s.allocated.assign(s.clusters, false);

  const uint64_t boot_clusters = ceil_div(kBootBytes, cs);
  if (boot_clusters + 64 > s.clusters) throw std::invalid_argument("volume too small");
  s.mark(0, boot_clusters, true);
  s.cursor = boot_clusters;

  // MFT zone, in whole records per extent, a small gap between extents.
  const uint64_t clusters_per_record = std::max<uint64_t>(1, rs / cs);
  const uint64_t zone_clusters = ceil_div(g.mft_capacity * rs, cs);
  const uint32_t parts = std::max<uint32_t>(1, g.mft_fragments);
  uint64_t left = zone_clusters;
  for (uint32_t p = 0; p < parts && left > 0; ++p) {
    uint64_t part =
        p + 1 == parts ? left
                       : ceil_div(zone_clusters / parts, clusters_per_record) * clusters_per_record;
    part = std::min(std::max(part, clusters_per_record), left);
    const uint64_t lcn = s.take_contiguous(part);
    s.mark(lcn, part, true);
    s.mft_runs.push_back({part, lcn});
    left -= part;
    s.cursor += 2 * clusters_per_record;  // gap
  }
  const uint64_t mft_bitmap_bytes = align8(ceil_div(g.mft_capacity, 8));
  const uint64_t mft_bitmap_clusters = ceil_div(mft_bitmap_bytes, cs);
  const uint64_t mft_bitmap_lcn = s.take_contiguous(mft_bitmap_clusters);
  s.mark(mft_bitmap_lcn, mft_bitmap_clusters, true);
  s.mft_bitmap_runs = {{mft_bitmap_clusters, mft_bitmap_lcn}};

  auto place = [&](uint64_t bytes) {
    const uint64_t n = std::max<uint64_t>(1, ceil_div(bytes, cs));
    const uint64_t lcn = s.take_contiguous(n);
    s.mark(lcn, n, true);
    return std::vector<ClusterRun>{{n, lcn}};
  };
  const Bytes attrdef = attrdef_table();
  const auto& upcase = upcase_table();
  std::string upcase_bytes(upcase.size() * 2, '\0');
  for (size_t i = 0; i < upcase.size(); ++i) {
    put16(reinterpret_cast<uint8_t*>(&upcase_bytes[2 * i]), upcase[i]);
  }
  const uint64_t bitmap_bytes = align8(ceil_div(s.clusters, 8));

  s.entries.resize(kFirstUserRecord);
  const ntfs::Times system_times{unix_to_filetime(1262304000), unix_to_filetime(1262304000),
                                 unix_to_filetime(1262304000), unix_to_filetime(1262304000)};
  static const char* const kNames[] = {"$MFT",     "$MFTMirr", "$LogFile", "$Volume",
                                       "$AttrDef", ".",        "$Bitmap",  "$Boot",
                                       "$BadClus", "$Secure",  "$UpCase",  "$Extend"};
  for (uint64_t r = 0; r < kFirstUserRecord; ++r) {
    Entry& e = s.entries[r];
    e.used = true;
    e.in_mft_bitmap = true;
    e.info.record = r;
    e.info.sequence = static_cast<uint16_t>(r == 0 ? 1 : r);
    e.info.parent = kRootRecord;
    e.times = system_times;
    e.file_attributes = kFileHidden | kFileSystem;
    if (r < std::size(kNames)) {
      e.info.name = kNames[r];
      e.names.push_back({utf16_name(kNames[r]), NameSpace::kWin32AndDos});
    }
  }
  Entry* sys = s.entries.data();
  sys[kMftRecord].streams.push_back(non_resident_stream(s.mft_runs, 0, cs, false));
  {
    ExtraAttribute bitmap;
    bitmap.type = kAttrBitmap;
    NonResidentAttribute nr;
    nr.type = kAttrBitmap;
    nr.runs = s.mft_bitmap_runs;
    nr.allocated_size = mft_bitmap_clusters * cs;
    bitmap.non_resident = nr;
    sys[kMftRecord].extra.push_back(bitmap);
  }
  const uint64_t mirror_bytes = 4 * rs;
  const uint64_t mirror_clusters = ceil_div(mirror_bytes, cs);
  s.mft_mirror_lcn = s.take_contiguous(mirror_clusters);
  s.mark(s.mft_mirror_lcn, mirror_clusters, true);
  sys[kMftMirrRecord].streams.push_back(
      non_resident_stream({{mirror_clusters, s.mft_mirror_lcn}}, mirror_bytes, cs, false));
  sys[kLogFileRecord].streams.push_back(
      non_resident_stream(place(kLogFileBytes), std::max(kLogFileBytes, cs), cs, false));
  {
    Entry& v = sys[kVolumeRecord];
    v.extra.push_back({kAttrVolumeName, {}, utf16_bytes(utf16_name(g.label, 128)), {}});
    Bytes info(12, 0);
    info[8] = 3;  // major version
    info[9] = 1;  // minor version
    v.extra.push_back({kAttrVolumeInformation, {}, info, {}});
    v.streams.emplace_back();
  }
  Stream attrdef_stream = non_resident_stream(place(attrdef.size()), attrdef.size(), cs, true);
  attrdef_stream.content.assign(attrdef.begin(), attrdef.end());
  sys[kAttrDefRecord].streams.push_back(attrdef_stream);
  sys[kRootRecord].info.directory = true;
  sys[kRootRecord].info.name = "";
  sys[kBitmapRecord].streams.push_back(
      non_resident_stream(place(bitmap_bytes), bitmap_bytes, cs, false));
  sys[kBootRecord].streams.push_back(
      non_resident_stream({{boot_clusters, 0}}, kBootBytes, cs, false));
  {
    Entry& b = sys[kBadClusRecord];
    b.streams.emplace_back();
    Stream bad = non_resident_stream({{s.clusters, std::nullopt}}, s.clusters * cs, cs, false);
    bad.name = u"$Bad";
    b.streams.push_back(bad);
  }
  {
    Entry& sec = sys[kSecureRecord];
    Stream sds;
    sds.name = u"$SDS";
    sec.streams.push_back(sds);
    sec.extra.push_back({kAttrIndexRoot,
                         u"$SDH",
                         empty_index_root(0, 0x12, g.index_record_size, static_cast<uint32_t>(cs)),
                         {}});
    sec.extra.push_back({kAttrIndexRoot,
                         u"$SII",
                         empty_index_root(0, 0x10, g.index_record_size, static_cast<uint32_t>(cs)),
                         {}});
  }
  Stream upcase_stream =
      non_resident_stream(place(upcase_bytes.size()), upcase_bytes.size(), cs, true);
  upcase_stream.content = std::move(upcase_bytes);
  sys[kUpCaseRecord].streams.push_back(std::move(upcase_stream));
  sys[kExtendRecord].info.directory = true;
  for (uint64_t r : {kAttrDefRecord, kUpCaseRecord}) {
    const Stream& st = sys[r].streams[0];
    s.set_extent(*st.runs[0].lcn, st.runs[0].length, Extent{0, r, 0, 0, false, 0});
  }
  for (uint64_t r = 0; r < kFirstUserRecord; ++r) {
    Entry& e = sys[r];
    if (!e.streams.empty()) {
      e.info.resident = e.streams[0].resident;
      e.info.size = e.streams[0].size;
      e.info.allocated_size = e.streams[0].allocated;
      e.info.initialized_size = e.streams[0].initialized;
      e.info.runs = e.streams[0].runs;
    }
    if (r <= kExtendRecord && r != kRootRecord) sys[kRootRecord].children.push_back(r);
  }
  sys[kRootRecord].children.push_back(kRootRecord);  // "." lists the root itself
}

NtfsImageBuilder::~NtfsImageBuilder() = default;

// ---- files ----

namespace {

uint32_t file_attributes_of(const FileSpec& spec) {
  uint32_t a = spec.directory ? 0 : kFileArchive;
  if (spec.read_only) a |= kFileReadOnly;
  if (spec.hidden) a |= kFileHidden;
  if (spec.compressed) a |= kFileCompressed;
  if (spec.encrypted) a |= kFileEncrypted;
  return a;
}

// VCN ranges of [0, total) that hold clusters, holes cut out.
std::vector<std::pair<uint64_t, uint64_t>> data_segments(uint64_t total, std::vector<Hole> holes) {
  std::sort(holes.begin(), holes.end(),
            [](const Hole& a, const Hole& b) { return a.first_vcn < b.first_vcn; });
  std::vector<std::pair<uint64_t, uint64_t>> out;
  uint64_t vcn = 0;
  for (const Hole& h : holes) {
    const uint64_t start = std::min(h.first_vcn, total);
    if (start > vcn) out.push_back({vcn, start - vcn});
    vcn = std::max(vcn, std::min(total, h.first_vcn + h.count));
  }
  if (vcn < total) out.push_back({vcn, total - vcn});
  return out;
}

// Gives a non-resident stream its clusters: explicit runs as given, otherwise placed by the
// allocator in `fragments` pieces (in reverse volume order when `backwards`), holes left out.
void place_stream(detail::BuilderState& s, Stream& st, const FileSpec& spec, bool deleted) {
  const uint64_t cs = s.cluster_size;
  uint64_t needed = (st.size + cs - 1) / cs + spec.slack_clusters;
  if (spec.compressed) {
    st.compression_unit = kCompressionUnitLog2;
    st.attr_flags |= kAttrFlagCompressed;
    const uint64_t unit = uint64_t{1} << kCompressionUnitLog2;
    needed = (needed + unit - 1) / unit * unit;
  }
  if (!spec.runs.empty()) {
    st.runs = spec.runs;
    uint64_t total = 0;
    for (const ClusterRun& r : st.runs) {
      total += r.length;
      if (r.lcn) s.mark(*r.lcn, r.length, !deleted);
    }
    if (total * cs < st.size) {
      throw std::invalid_argument("runs of " + spec.name + " cover less than its size");
    }
  } else {
    const auto segments = data_segments(needed, spec.holes);
    const uint32_t pieces = segments.size() == 1 ? std::max<uint32_t>(1, spec.fragments) : 1;
    uint64_t vcn = 0;
    for (const auto& [start, length] : segments) {
      if (start > vcn) st.runs.push_back({start - vcn, std::nullopt});
      const uint64_t n = std::min<uint64_t>(pieces, length);
      std::vector<ClusterRun> parts;
      for (uint64_t p = 0; p < n; ++p) {
        const uint64_t part = length / n + (p < length % n ? 1 : 0);
        const uint64_t lcn = s.take_contiguous(part);
        s.mark(lcn, part, !deleted);
        parts.push_back({part, lcn});
        if (n > 1) ++s.cursor;  // keep the pieces apart
      }
      // Backwards: the pieces keep their lengths and clusters but the file visits them from
      // the highest LCN down, so every later run has a negative offset.
      if (spec.backwards) std::reverse(parts.begin(), parts.end());
      st.runs.insert(st.runs.end(), parts.begin(), parts.end());
      vcn = start + length;
    }
    if (vcn < needed) st.runs.push_back({needed - vcn, std::nullopt});
  }
  uint64_t total = 0;
  bool holes = false;
  for (const ClusterRun& r : st.runs) {
    total += r.length;
    holes |= !r.lcn;
  }
  st.allocated = total * cs;
  if (holes && !spec.compressed) st.attr_flags |= kAttrFlagSparse;
}

}  // namespace

uint64_t NtfsImageBuilder::add_directory(const std::string& name, uint64_t parent, bool deleted) {
  FileSpec spec;
  spec.name = name;
  spec.parent = parent;
  spec.directory = true;
  spec.deleted = deleted;
  return add_file(spec);
}

uint64_t NtfsImageBuilder::add_file(const FileSpec& spec) {
  detail::BuilderState& s = *state_;
  if (spec.name.empty()) throw std::invalid_argument("empty file name");
  if (spec.parent >= s.entries.size() || !s.entries[spec.parent].info.directory) {
    throw std::invalid_argument("parent " + std::to_string(spec.parent) + " of " + spec.name +
                                " is not a directory of this volume");
  }
  const uint64_t record = s.entries.size();
  if (record >= geometry_.mft_capacity) {
    throw std::invalid_argument("MFT full: raise NtfsGeometry::mft_capacity above " +
                                std::to_string(geometry_.mft_capacity));
  }
  Entry e;
  e.used = true;
  e.in_mft_bitmap = !spec.deleted;
  e.info.record = record;
  e.info.sequence = spec.sequence;
  e.info.sequence_bumped = spec.deleted && spec.sequence_bumped;
  e.info.parent = spec.parent;
  e.info.name = spec.name;
  e.info.dos_name = spec.dos_name;
  e.info.directory = spec.directory;
  e.info.deleted = spec.deleted;
  e.times = {spec.created, spec.modified, spec.mft_changed, spec.accessed};
  e.file_attributes = file_attributes_of(spec);
  if (spec.dos_name.empty()) {
    e.names.push_back({utf16_name(spec.name), spec.name_space});
  } else {
    const Name long_name{utf16_name(spec.name), NameSpace::kWin32};
    const Name alias{utf16_name(spec.dos_name, 12), NameSpace::kDos};
    e.names = spec.dos_name_first ? std::vector<Name>{alias, long_name}
                                  : std::vector<Name>{long_name, alias};
  }

  if (!spec.directory) {
    // Room for resident values: what the header, $STANDARD_INFORMATION and the names leave.
    const size_t rs = geometry_.mft_record_size;
    size_t room = rs - RecordWriter::first_attribute_offset(rs) - 8;
    auto use = [&room](size_t n) { room -= std::min(room, n); };
    use(RecordWriter::resident_size(0, 0x48));
    for (const Name& n : e.names) use(RecordWriter::resident_size(0, 0x42 + 2 * n.text.size()));
    for (const NamedStream& ns : spec.streams) {
      use(RecordWriter::nonresident_size(utf16_name(ns.name).size(), 24, true));
    }
    Stream main;
    main.content = spec.content;
    if (spec.content.empty() && spec.pattern_size) {
      main.pattern_size = spec.pattern_size;
      main.pattern_seed = spec.pattern_seed;
    }
    main.size = main.pattern_size ? main.pattern_size : main.content.size();
    main.initialized = std::min(main.size, spec.initialized_size.value_or(main.size));
    main.write_clusters = spec.write_clusters;
    if (spec.encrypted) main.attr_flags |= kAttrFlagEncrypted;
    main.resident = spec.residency == Residency::kResident ||
                    (spec.residency == Residency::kAuto && !spec.compressed && spec.runs.empty() &&
                     spec.holes.empty() && RecordWriter::resident_size(0, main.size) <= room);
    if (main.resident) {
      if (main.pattern_size) {
        main.content.resize(main.size);
        main.read(0, reinterpret_cast<uint8_t*>(main.content.data()), main.size);
        main.pattern_size = 0;
      }
      main.initialized = main.size;
      main.allocated = align8(main.size);
    } else {
      place_stream(s, main, spec, spec.deleted);
    }
    e.streams.push_back(std::move(main));
    for (const NamedStream& ns : spec.streams) {
      Stream named;
      named.name = utf16_name(ns.name);
      named.content = ns.content;
      named.size = named.initialized = ns.content.size();
      named.resident = !ns.non_resident;
      named.allocated = align8(named.size);
      if (!named.resident) {
        FileSpec plain;
        plain.name = spec.name;
        place_stream(s, named, plain, spec.deleted);
      }
      e.streams.push_back(std::move(named));
    }
    if (std::any_of(e.streams.begin(), e.streams.end(),
                    [](const Stream& st) { return st.attr_flags & kAttrFlagSparse; })) {
      e.file_attributes |= kFileSparse;
    }
    const Stream& m = e.streams[0];
    e.info.resident = m.resident;
    e.info.size = m.size;
    e.info.allocated_size = m.allocated;
    e.info.initialized_size = m.initialized;
    e.info.runs = m.runs;
  }

  s.entries.push_back(std::move(e));
  try {
    (void)s.build_record(record);  // throws when the attributes do not fit
  } catch (...) {
    s.entries.pop_back();
    throw;
  }
  Entry& placed = s.entries.back();
  for (uint32_t i = 0; i < placed.streams.size(); ++i) {
    const Stream& st = placed.streams[i];
    if (st.resident || !st.write_clusters) continue;
    uint64_t vcn = 0;
    for (const ClusterRun& r : st.runs) {
      if (r.lcn) s.set_extent(*r.lcn, r.length, Extent{0, record, i, vcn, false, 0});
      vcn += r.length;
    }
  }
  for (const Reuse& reuse : spec.reuse) {
    const Stream& st = placed.streams.empty() ? Stream{} : placed.streams[0];
    uint64_t vcn = 0;
    for (const ClusterRun& r : st.runs) {
      const uint64_t lo = std::max(vcn, reuse.first_vcn);
      const uint64_t hi = std::min(vcn + r.length, reuse.first_vcn + reuse.count);
      if (r.lcn && lo < hi) {
        const uint64_t lcn = *r.lcn + (lo - vcn);
        s.mark(lcn, hi - lo, true);
        if (reuse.overwrite) {
          const auto seed = static_cast<uint32_t>(mix64(record * 1000003 + lo));
          s.set_extent(lcn, hi - lo, Extent{0, record, 0, 0, true, seed});
        }
      }
      vcn += r.length;
    }
  }
  s.entries[spec.parent].children.push_back(record);
  return record;
}

// ---- answers ----

uint64_t NtfsImageBuilder::cluster_size() const {
  return state_->cluster_size;
}
uint64_t NtfsImageBuilder::total_clusters() const {
  return state_->clusters;
}
uint64_t NtfsImageBuilder::mft_lcn() const {
  return *state_->mft_runs.front().lcn;
}
uint64_t NtfsImageBuilder::mft_mirror_lcn() const {
  return state_->mft_mirror_lcn;
}
uint64_t NtfsImageBuilder::volume_offset() const {
  return geometry_.partition_offset_sectors * geometry_.sector_size;
}
uint64_t NtfsImageBuilder::image_size() const {
  return (geometry_.partition_offset_sectors + geometry_.total_sectors) * geometry_.sector_size;
}
uint64_t NtfsImageBuilder::record_offset(uint64_t record) const {
  return volume_offset() + state_->record_offset_in_volume(record);
}
uint64_t NtfsImageBuilder::cluster_offset(uint64_t lcn) const {
  return volume_offset() + lcn * state_->cluster_size;
}
uint64_t NtfsImageBuilder::record_count() const {
  return state_->record_count();
}

const BuiltFile& NtfsImageBuilder::file(uint64_t record) const {
  return state_->entries.at(record).info;
}

namespace {

const Stream& stream_of(const detail::BuilderState& s, uint64_t record,
                        const std::u16string& name) {
  for (const Stream& st : s.entries.at(record).streams) {
    if (st.name == name) return st;
  }
  throw std::out_of_range("record " + std::to_string(record) + " has no such stream");
}

// The stream's logical content: runs in VCN order, holes and bytes past the initialized size
// as zeros.
std::string logical_content(const Stream& st) {
  std::string out(st.size, '\0');
  st.read(0, reinterpret_cast<uint8_t*>(out.data()), out.size());
  return out;
}

}  // namespace

std::string NtfsImageBuilder::expected_content(uint64_t record) const {
  const Stream& st = stream_of(*state_, record, u"");
  std::string out = logical_content(st);
  if (st.resident) return out;
  const uint64_t cs = state_->cluster_size;
  uint64_t vcn = 0;
  for (const ClusterRun& r : st.runs) {
    if (!r.lcn && vcn * cs < out.size()) {
      const uint64_t end = std::min<uint64_t>(out.size(), (vcn + r.length) * cs);
      std::fill(out.begin() + vcn * cs, out.begin() + end, '\0');
    }
    vcn += r.length;
  }
  return out;
}

std::string NtfsImageBuilder::on_disk_content(uint64_t record) const {
  const detail::BuilderState& s = *state_;
  const Stream& st = stream_of(s, record, u"");
  if (st.resident) return logical_content(st);
  const uint64_t cs = s.cluster_size;
  std::string out(st.size, '\0');
  auto* bytes = reinterpret_cast<uint8_t*>(out.data());
  uint64_t vcn = 0;
  for (const ClusterRun& r : st.runs) {
    for (uint64_t k = 0; r.lcn && k < r.length && (vcn + k) * cs < out.size(); ++k) {
      const uint64_t lcn = *r.lcn + k;
      uint8_t* dest = bytes + (vcn + k) * cs;
      const size_t n = std::min<uint64_t>(cs, out.size() - (vcn + k) * cs);
      auto it = s.extents.upper_bound(lcn);
      if (it == s.extents.begin()) continue;
      --it;
      const Extent& x = it->second;
      if (lcn >= x.end) continue;
      if (x.overwrite) {
        for (size_t i = 0; i < n; ++i) dest[i] = pattern_byte(x.seed, (lcn - it->first) * cs + i);
      } else {
        const Stream& owner = s.entries[x.record].streams[x.stream];
        owner.read((x.vcn + lcn - it->first) * cs, dest, n);
      }
    }
    vcn += r.length;
  }
  return out;
}

std::string NtfsImageBuilder::stream_content(uint64_t record, const std::string& name) const {
  return logical_content(stream_of(*state_, record, ntfs::utf16_name(name)));
}

uint64_t NtfsImageBuilder::free_clusters(uint64_t record) const {
  uint64_t n = 0;
  for (const ClusterRun& r : file(record).runs) {
    for (uint64_t k = 0; r.lcn && k < r.length; ++k) n += state_->allocated[*r.lcn + k] ? 0 : 1;
  }
  return n;
}

uint64_t NtfsImageBuilder::data_clusters(uint64_t record) const {
  uint64_t n = 0;
  for (const ClusterRun& r : file(record).runs) n += r.lcn ? r.length : 0;
  return n;
}

bool NtfsImageBuilder::cluster_allocated(uint64_t lcn) const {
  return lcn < state_->clusters && state_->allocated[lcn];
}

}  // namespace pyralis::test
