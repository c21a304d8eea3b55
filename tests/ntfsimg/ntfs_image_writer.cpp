// SPDX-License-Identifier: GPL-3.0-or-later
// Writing half of the builder: MFT records, directory indexes, boot sector, MBR, bitmaps
// and file content, streamed into a sparse image file or a memory buffer.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "tests/ntfsimg/builder_state.h"

namespace pyralis::test {

using namespace ntfs;

namespace {

uint64_t ceil_div(uint64_t a, uint64_t b) {
  return (a + b - 1) / b;
}

// Size field of the boot sector: clusters when the unit is at least a cluster, otherwise
// the negative log2 of the byte size.
uint8_t boot_size_field(uint64_t bytes, uint64_t cluster_size) {
  if (bytes >= cluster_size) return static_cast<uint8_t>(bytes / cluster_size);
  return static_cast<uint8_t>(-std::countr_zero(bytes));
}

class Sink {
 public:
  virtual ~Sink() = default;
  virtual void write(uint64_t offset, const uint8_t* data, size_t n) = 0;
  void write(uint64_t offset, const Bytes& b) { write(offset, b.data(), b.size()); }
};

class FileSink : public Sink {
 public:
  FileSink(const std::string& path, uint64_t size) : path_(path) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) fail("cannot create");
    if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) fail("cannot size");
  }
  ~FileSink() override {
    if (fd_ >= 0) ::close(fd_);
  }
  void write(uint64_t offset, const uint8_t* data, size_t n) override {
    while (n > 0) {
      const ssize_t done = ::pwrite(fd_, data, n, static_cast<off_t>(offset));
      if (done < 0 && errno == EINTR) continue;
      if (done <= 0) fail("cannot write");
      data += done;
      offset += static_cast<uint64_t>(done);
      n -= static_cast<size_t>(done);
    }
  }
  void close() {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) fail("cannot close");
  }

 private:
  [[noreturn]] void fail(const char* what) {
    throw std::runtime_error(std::string(what) + " " + path_ + ": " + std::strerror(errno));
  }
  std::string path_;
  int fd_ = -1;
};

class MemorySink : public Sink {
 public:
  explicit MemorySink(std::vector<uint8_t>& out) : out_(out) {}
  void write(uint64_t offset, const uint8_t* data, size_t n) override {
    if (offset + n > out_.size()) throw std::logic_error("image write past its end");
    std::memcpy(out_.data() + offset, data, n);
  }

 private:
  std::vector<uint8_t>& out_;
};

struct TailAttribute {
  uint32_t type;
  std::u16string name;
  const Bytes* value = nullptr;    // resident
  const Stream* stream = nullptr;  // $DATA
  const NonResidentAttribute* non_resident = nullptr;
};

}  // namespace

Bytes detail::BuilderState::file_name_value(const Entry& e, const Name& n) const {
  const uint64_t allocated = e.streams.empty() ? 0 : e.streams[0].allocated;
  const uint64_t size = e.streams.empty() ? 0 : e.streams[0].size;
  const uint32_t attributes = e.file_attributes | (e.info.directory ? kFileNameIndexPresent : 0);
  return ntfs::file_name_value(parent_reference(e.info.parent), e.times, allocated, size,
                               attributes, n.text, n.name_space);
}

Bytes detail::BuilderState::build_record(uint64_t record) const {
  const size_t rs = g.mft_record_size;
  if (record >= entries.size() || !entries[record].used) {
    return RecordWriter(rs, record, 0, 0, 0).finish();
  }
  const Entry& e = entries[record];
  uint16_t flags = e.info.deleted ? 0 : kRecordInUse;
  if (e.info.directory) flags |= kRecordDirectory;
  uint16_t links = 0;
  for (const Name& n : e.names) links += n.name_space == NameSpace::kDos ? 0 : 1;
  const auto header_sequence =
      static_cast<uint16_t>(e.info.sequence + (e.info.sequence_bumped ? 1 : 0));
  RecordWriter w(rs, record, header_sequence, flags, std::max<uint16_t>(links, 1));
  w.add_resident(kAttrStandardInformation, {}, standard_information(e.times, e.file_attributes));
  for (const Name& n : e.names) w.add_resident(kAttrFileName, {}, file_name_value(e, n), 0, true);

  std::vector<TailAttribute> tail;
  std::vector<NonResidentAttribute> non_resident;  // storage for the streams' headers
  non_resident.reserve(e.streams.size() + 1);
  for (const Stream& st : e.streams) {
    TailAttribute t{kAttrData, st.name};
    if (st.resident) {
      t.stream = &st;
    } else {
      NonResidentAttribute nr;
      nr.name = st.name;
      nr.runs = st.runs;
      nr.allocated_size = st.allocated;
      nr.data_size = st.size;
      nr.initialized_size = st.initialized;
      nr.flags = st.attr_flags;
      nr.compression_unit = st.compression_unit;
      nr.stored_size = st.stored_bytes(cluster_size);
      non_resident.push_back(nr);
      t.non_resident = &non_resident.back();
    }
    tail.push_back(t);
  }
  for (const ExtraAttribute& x : e.extra) {
    tail.push_back(
        {x.type, x.name, &x.value, nullptr, x.non_resident ? &*x.non_resident : nullptr});
  }
  Bytes empty_root;
  NonResidentAttribute allocation;
  if (e.info.directory) {
    if (e.index.root_value.empty()) {
      empty_root =
          build_file_name_index({}, rs, g.index_record_size, static_cast<uint32_t>(cluster_size))
              .root_value;
    }
    const Bytes& root = e.index.root_value.empty() ? empty_root : e.index.root_value;
    tail.push_back({kAttrIndexRoot, u"$I30", &root});
    if (!e.index.blocks.empty()) {
      allocation.type = kAttrIndexAllocation;
      allocation.name = u"$I30";
      allocation.runs = e.index_runs;
      allocation.allocated_size = allocation.data_size = allocation.initialized_size =
          e.index.blocks.size() * g.index_record_size;
      tail.push_back({kAttrIndexAllocation, u"$I30", nullptr, nullptr, &allocation});
      tail.push_back({kAttrBitmap, u"$I30", &e.index.bitmap});
    }
  }
  std::stable_sort(tail.begin(), tail.end(), [](const TailAttribute& a, const TailAttribute& b) {
    return a.type != b.type ? a.type < b.type : collate_file_names(a.name, b.name) < 0;
  });
  for (const TailAttribute& t : tail) {
    if (t.non_resident) {
      w.add_nonresident(*t.non_resident);
    } else if (t.stream) {
      Bytes value(t.stream->size);
      t.stream->read(0, value.data(), value.size());
      w.add_resident(t.type, t.name, value, t.stream->attr_flags);
    } else {
      w.add_resident(t.type, t.name, *t.value);
    }
  }
  return w.finish();
}

void detail::BuilderState::finalize() {
  const uint64_t rs = g.mft_record_size;
  const uint64_t rc = record_count();
  Entry& mft = entries[kMftRecord];
  mft.streams[0].size = mft.streams[0].initialized = rc * rs;
  mft.info.size = mft.info.initialized_size = rc * rs;
  NonResidentAttribute& mft_bitmap = *mft.extra[0].non_resident;
  mft_bitmap.data_size = mft_bitmap.initialized_size = align8(ceil_div(rc, 8));

  for (Entry& e : entries) {
    for (const ClusterRun& r : e.index_runs) release(*r.lcn, r.length);
    e.index_runs.clear();
    e.index = {};
  }
  const auto cs = static_cast<uint32_t>(cluster_size);
  for (uint64_t record = 0; record < entries.size(); ++record) {
    Entry& dir = entries[record];
    if (!dir.used || !dir.info.directory) continue;
    std::vector<IndexKey> keys;
    for (uint64_t child : dir.children) {
      const Entry& c = entries[child];
      if (c.info.deleted) continue;
      for (const Name& n : c.names) {
        keys.push_back({n.text, file_reference(child, c.info.sequence), file_name_value(c, n)});
      }
    }
    size_t fixed = RecordWriter::first_attribute_offset(rs) + 8 +
                   RecordWriter::resident_size(0, 0x48) + RecordWriter::resident_size(4, 0);
    for (const Name& n : dir.names)
      fixed += RecordWriter::resident_size(0, 0x42 + 2 * n.text.size());
    dir.index = build_file_name_index(keys, rs - fixed, g.index_record_size, cs);
    // A large index also needs $INDEX_ALLOCATION (one run) and $BITMAP beside the root.
    size_t bitmap_bytes = 8;
    for (int attempt = 0; attempt < 4 && !dir.index.blocks.empty(); ++attempt) {
      const size_t large = RecordWriter::nonresident_size(4, 24, false) +
                           RecordWriter::resident_size(4, bitmap_bytes);
      if (fixed + large + 0x38 > rs) throw std::invalid_argument("directory record too full");
      dir.index = build_file_name_index(keys, rs - fixed - large, g.index_record_size, cs);
      if (dir.index.bitmap.size() <= bitmap_bytes) break;
      bitmap_bytes = dir.index.bitmap.size();
    }
    if (!dir.index.blocks.empty()) {
      const uint64_t n = dir.index.blocks.size() * g.index_record_size / cluster_size;
      const uint64_t lcn = take_contiguous(n, true);
      mark(lcn, n, !dir.info.deleted);
      dir.index_runs = {{n, lcn}};
    }
  }
}

namespace {

Bytes boot_sector(const NtfsGeometry& g, uint64_t cluster_size, uint64_t mft_lcn,
                  uint64_t mirror_lcn) {
  Bytes b(g.sector_size, 0);
  b[0] = 0xEB, b[1] = 0x52, b[2] = 0x90;                  // 0x00 jump
  std::memcpy(&b[0x03], "NTFS    ", 8);                   // 0x03 OEM id
  put16(&b[0x0B], static_cast<uint16_t>(g.sector_size));  // 0x0B bytes per sector
  // 0x0D sectors per cluster; above 128 stored as 256 - log2.
  b[0x0D] = g.sectors_per_cluster <= 128
                ? static_cast<uint8_t>(g.sectors_per_cluster)
                : static_cast<uint8_t>(256 - std::countr_zero(g.sectors_per_cluster));
  b[0x15] = 0xF8;                                                      // 0x15 media descriptor
  put16(&b[0x18], 63);                                                 // 0x18 sectors per track
  put16(&b[0x1A], 255);                                                // 0x1A heads
  put32(&b[0x1C], static_cast<uint32_t>(g.partition_offset_sectors));  // 0x1C hidden sectors
  b[0x24] = 0x80;                                                      // 0x24 drive number
  b[0x26] = 0x80;                                                // 0x26 extended boot signature
  put64(&b[0x28], g.total_sectors - 1);                          // 0x28 sectors (backup excluded)
  put64(&b[0x30], mft_lcn);                                      // 0x30 $MFT cluster
  put64(&b[0x38], mirror_lcn);                                   // 0x38 $MFTMirr cluster
  b[0x40] = boot_size_field(g.mft_record_size, cluster_size);    // 0x40 record size
  b[0x44] = boot_size_field(g.index_record_size, cluster_size);  // 0x44 index block size
  put64(&b[0x48], g.serial);                                     // 0x48 serial number
  b[0x1FE] = 0x55, b[0x1FF] = 0xAA;
  return b;
}

// One partition entry (type 0x07) covering the volume.
Bytes master_boot_record(const NtfsGeometry& g) {
  Bytes m(g.sector_size, 0);
  put32(&m[0x1B8], static_cast<uint32_t>(g.serial));  // disk signature
  uint8_t* p = &m[0x1BE];
  p[0] = 0x00;
  p[1] = 0xFE, p[2] = 0xFF, p[3] = 0xFF;  // CHS start: beyond CHS range
  p[4] = 0x07;
  p[5] = 0xFE, p[6] = 0xFF, p[7] = 0xFF;
  put32(p + 8, static_cast<uint32_t>(g.partition_offset_sectors));
  put32(p + 12, static_cast<uint32_t>(g.total_sectors));
  m[0x1FE] = 0x55, m[0x1FF] = 0xAA;
  return m;
}

bool all_zero(const uint8_t* p, size_t n) {
  return std::all_of(p, p + n, [](uint8_t v) { return v == 0; });
}

void write_image(const detail::BuilderState& s, Sink& sink, uint64_t base) {
  const NtfsGeometry& g = s.g;
  const uint64_t cs = s.cluster_size;
  if (g.partition_offset_sectors > 0) sink.write(0, master_boot_record(g));
  const Bytes boot = boot_sector(g, cs, *s.mft_runs.front().lcn, s.mft_mirror_lcn);
  sink.write(base, boot);
  sink.write(base + (g.total_sectors - 1) * g.sector_size, boot);

  // MFT records, gathered into large writes while they are contiguous on the volume.
  const uint64_t rc = s.record_count();
  Bytes chunk;
  uint64_t chunk_at = 0;
  auto flush = [&] {
    if (!chunk.empty()) sink.write(base + chunk_at, chunk);
    chunk.clear();
  };
  Bytes mirror;
  for (uint64_t r = 0; r < rc; ++r) {
    const Bytes record = s.build_record(r);
    const uint64_t at = s.record_offset_in_volume(r);
    if (chunk.empty() || chunk_at + chunk.size() != at || chunk.size() >= (4u << 20)) {
      flush();
      chunk_at = at;
    }
    chunk.insert(chunk.end(), record.begin(), record.end());
    if (r < 4) mirror.insert(mirror.end(), record.begin(), record.end());
  }
  flush();
  sink.write(base + s.mft_mirror_lcn * cs, mirror);

  Bytes mft_bitmap(align8(ceil_div(rc, 8)), 0);
  for (uint64_t r = 0; r < s.entries.size(); ++r) {
    if (s.entries[r].in_mft_bitmap) mft_bitmap[r / 8] |= static_cast<uint8_t>(1u << (r % 8));
  }
  sink.write(base + *s.mft_bitmap_runs.front().lcn * cs, mft_bitmap);

  // $Bitmap: one bit per cluster; the padding past the last cluster reads as allocated.
  const Stream& bitmap_stream = s.entries[kBitmapRecord].streams[0];
  Bytes bitmap(bitmap_stream.size, 0);
  for (uint64_t c = 0; c < bitmap.size() * 8; ++c) {
    if (c >= s.clusters || s.allocated[c]) bitmap[c / 8] |= static_cast<uint8_t>(1u << (c % 8));
  }
  sink.write(base + *bitmap_stream.runs.front().lcn * cs, bitmap);

  for (const Entry& e : s.entries) {
    if (e.index.blocks.empty()) continue;
    uint64_t at = base + *e.index_runs.front().lcn * cs;
    for (const Bytes& block : e.index.blocks) {
      sink.write(at, block);
      at += block.size();
    }
  }

  // Cluster content, last writer of each range only; zero stretches stay holes.
  Bytes buffer;
  for (const auto& [first, x] : s.extents) {
    for (uint64_t lcn = first; lcn < x.end;) {
      const uint64_t n = std::min<uint64_t>(x.end - lcn, std::max<uint64_t>(1, (1u << 20) / cs));
      buffer.assign(n * cs, 0);
      if (x.overwrite) {
        for (uint64_t i = 0; i < buffer.size(); ++i) {
          buffer[i] = NtfsImageBuilder::pattern_byte(x.seed, (lcn - first) * cs + i);
        }
      } else {
        s.entries[x.record].streams[x.stream].read((x.vcn + lcn - first) * cs, buffer.data(),
                                                   buffer.size());
      }
      if (!all_zero(buffer.data(), buffer.size())) sink.write(base + lcn * cs, buffer);
      lcn += n;
    }
  }
}

}  // namespace

void NtfsImageBuilder::write(const std::string& path) const {
  state_->finalize();
  FileSink sink(path, image_size());
  write_image(*state_, sink, volume_offset());
  sink.close();
}

std::vector<uint8_t> NtfsImageBuilder::build() const {
  state_->finalize();
  std::vector<uint8_t> image(image_size(), 0);
  MemorySink sink(image);
  write_image(*state_, sink, volume_offset());
  return image;
}

}  // namespace pyralis::test
