// SPDX-License-Identifier: GPL-3.0-or-later
#include "carve/carve.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>

#include "core/date_time.h"

namespace pyralis::carve {

using filetypes::Kind;
using filetypes::State;

namespace {

// A walk whose structure breaks before this many bytes has not shown a header that holds
// together: no row (random bytes that happen to begin with a signature end here).
constexpr uint64_t kMinGoodBytes = 512;

// A PNG's header chunk and an Ogg page carry their own CRC: a file broken after the first
// one (a later chunk's or page's CRC) has shown a good header, however soon.
uint64_t min_good_bytes(Kind kind) {
  return kind == Kind::kPng ? 33 : kind == Kind::kOgg ? 28 : kMinGoodBytes;
}

// What the first two bytes of a sector say: nothing, a signature's start, or a start that
// only an ISO-BMFF "ftyp" box at byte 4 confirms (its first bytes are a size, mostly zero).
enum : uint8_t { kNoStart = 0, kStart = 1, kFtypAt4 = 2 };

struct StartTable {
  std::array<uint8_t, 65536> entry{};
  StartTable() {
    const auto set = [&](uint8_t a, uint8_t b, uint8_t value = kStart) {
      entry[size_t{a} << 8 | b] |= value;
    };
    set(0xFF, 0xD8);  // JPEG
    set(0x89, 'P');   // PNG
    set('G', 'I');    // GIF
    set('B', 'M');    // BMP
    set('R', 'I');    // RIFF: WebP, AVI, WAV
    set('I', 'I');    // TIFF little-endian and its raws
    set('M', 'M');    // TIFF big-endian
    set(0x1A, 0x45);  // Matroska
    set('f', 'L');    // FLAC
    set('O', 'g');    // Ogg
    set('%', 'P');    // PDF
    set('P', 'K');    // ZIP
    set(0xD0, 0xCF);  // OLE2
    set('{', '\\');   // RTF
    set('7', 'z');    // 7z
    set('R', 'a');    // RAR
    set(0x1F, 0x8B);  // gzip
    set('S', 'Q');    // SQLite
    set('I', 'D');    // MP3 with an ID3 tag
    for (int b = 0xE0; b <= 0xFF; ++b) set(0xFF, static_cast<uint8_t>(b));  // MPEG audio frame
    // ISO-BMFF: a box size below 65,536 × 65,536 (or 1, a 64-bit size) then "ftyp".
    for (int b = 0; b < 256; ++b) set(0, static_cast<uint8_t>(b), kFtypAt4);
  }
};

const StartTable& start_table() {
  static const StartTable table;
  return table;
}

// The kinds whose continuation after a break is searched: their walks check the content
// to the end (entropy-coded data to its end marker, CRCs, box sizes).
bool joinable(Kind kind) {
  return kind == Kind::kJpeg || kind == Kind::kZip || kind == Kind::kIsoBmff;
}

// The kinds whose walk finds a break inside compressed or entropy-coded data, some bytes
// after the first foreign one.
bool breaks_late(Kind kind) {
  return kind == Kind::kJpeg || kind == Kind::kZip || kind == Kind::kGzip;
}

// Whether a file of `kind` may be listed: kinds with a signature, not text.
bool carvable(Kind kind) {
  return kind != Kind::kUnknown && kind != Kind::kText;
}

// A window of the volume that the walk reads, from `start` to `end`. It notes the first
// byte a read could not deliver (an unreadable sector): the file cannot be vouched for past it.
class RangeSource final : public filetypes::ByteSource {
 public:
  RangeSource(filetypes::ByteSource& volume, uint64_t start, uint64_t end)
      : volume_(volume), start_(start), size_(end > start ? end - start : 0), short_at_(size_) {}
  uint64_t Size() const override { return size_; }
  size_t Read(uint64_t offset, void* dest, size_t count) override {
    if (offset >= size_) return 0;
    count = static_cast<size_t>(std::min<uint64_t>(count, size_ - offset));
    const size_t got = volume_.Read(start_ + offset, dest, count);
    if (got < count) short_at_ = std::min(short_at_, offset + got);
    return got;
  }
  std::span<const uint8_t> Held(uint64_t offset, size_t count) override {
    if (offset >= size_) return {};
    return volume_.Held(start_ + offset,
                        static_cast<size_t>(std::min<uint64_t>(count, size_ - offset)));
  }
  uint64_t short_at() const { return short_at_; }

 private:
  filetypes::ByteSource& volume_;
  uint64_t start_;
  uint64_t size_;
  uint64_t short_at_;
};

}  // namespace

bool may_start_file(std::span<const uint8_t> head) {
  if (head.size() < 8) return false;
  const uint8_t e = start_table().entry[size_t{head[0]} << 8 | head[1]];
  if (e & kStart) return true;
  return (e & kFtypAt4) && std::memcmp(head.data() + 4, "ftyp", 4) == 0;
}

ExtentSource::ExtentSource(filetypes::ByteSource& volume, std::vector<ByteExtent> extents)
    : volume_(volume), extents_(std::move(extents)) {
  for (const ByteExtent& e : extents_) size_ += e.length;
}

size_t ExtentSource::Read(uint64_t offset, void* dest, size_t count) {
  auto* out = static_cast<uint8_t*>(dest);
  size_t done = 0;
  uint64_t base = 0;
  for (const ByteExtent& e : extents_) {
    if (done == count) break;
    const uint64_t at = offset + done;
    if (at < base + e.length) {
      const uint64_t within = at - base;
      const size_t n = static_cast<size_t>(std::min<uint64_t>(count - done, e.length - within));
      const size_t got = volume_.Read(e.offset + within, out + done, n);
      done += got;
      if (got < n) break;
    }
    base += e.length;
  }
  return done;
}

std::span<const uint8_t> ExtentSource::Held(uint64_t offset, size_t count) {
  uint64_t base = 0;
  for (const ByteExtent& e : extents_) {
    if (offset < base + e.length) {
      const uint64_t within = offset - base;
      return volume_.Held(e.offset + within,
                          static_cast<size_t>(std::min<uint64_t>(count, e.length - within)));
    }
    base += e.length;
  }
  return {};
}

std::span<const uint8_t> BlockCache::Held(uint64_t offset, size_t count) {
  for (const auto& [start, bytes] :
       {std::pair{offset_, block_}, std::pair{ahead_offset_, ahead_}}) {
    if (offset >= start && offset - start < bytes.size()) {
      const size_t at = static_cast<size_t>(offset - start);
      return bytes.subspan(at, std::min(count, bytes.size() - at));
    }
  }
  return volume_.Held(offset, count);
}

size_t BlockCache::Read(uint64_t offset, void* dest, size_t count) {
  auto* out = static_cast<uint8_t*>(dest);
  size_t done = 0;
  // From memory as far as it reaches (a request may run from one held block into the
  // next), the rest from the volume.
  while (done < count) {
    const std::span<const uint8_t> held = Held(offset + done, count - done);
    if (held.empty()) break;
    std::memcpy(out + done, held.data(), held.size());
    done += held.size();
  }
  if (done == count) return done;
  return done + volume_.Read(offset + done, out + done, count - done);
}

Carver::Carver(filetypes::ByteSource& volume, const Options& options,
               std::function<void(const CarvedFile&)> found,
               std::function<bool(uint64_t)> may_start)
    : volume_(volume),
      options_(options),
      found_(std::move(found)),
      may_start_(std::move(may_start)) {
  if (options_.sector_size == 0) options_.sector_size = 512;
  if (options_.cluster_size < options_.sector_size) options_.cluster_size = options_.sector_size;
}

uint64_t Carver::cluster_floor(uint64_t at) const {
  if (at < options_.cluster_origin) return at - at % options_.sector_size;
  return at - (at - options_.cluster_origin) % options_.cluster_size;
}

bool Carver::claimed(uint64_t at) {
  // Claims wholly behind the search are dropped; they never matter again.
  while (!claims_.empty() && claims_.begin()->second <= at) claims_.erase(claims_.begin());
  for (const auto& [begin, end] : claims_) {
    if (begin > at) break;
    if (at < end) return true;
  }
  return false;
}

uint64_t Carver::claimed_through(uint64_t at) const {
  // Claims do not overlap: the one that starts last at or before `at` is the one that may
  // hold it.
  auto next = claims_.upper_bound(at);
  if (next == claims_.begin()) return at;
  --next;
  return next->second > at ? next->second : at;
}

uint64_t Carver::claimed_after(uint64_t at, uint64_t area_end) const {
  const auto next = claims_.upper_bound(at);
  return next == claims_.end() ? area_end : std::min(next->first, area_end);
}

void Carver::claim(uint64_t begin, uint64_t end) {
  if (end > begin) claims_[begin] = std::max(claims_[begin], end);
}

void Carver::feed(uint64_t offset, std::span<const uint8_t> block, uint64_t area_end,
                  size_t readable) {
  const uint32_t step = options_.sector_size;
  const auto& table = start_table().entry;
  volume_.Hold(offset, block.first(std::min(readable, block.size())));
  for (size_t i = 0; i + 8 <= block.size(); i += step) {
    const uint8_t e = table[size_t{block[i]} << 8 | block[i + 1]];
    if (e == kNoStart) continue;
    if (!(e & kStart) && std::memcmp(block.data() + i + 4, "ftyp", 4) != 0) continue;
    const uint64_t at = offset + i;
    if (at >= area_end || claimed(at)) continue;
    if (may_start_ && !may_start_(at)) continue;
    carve_at(at, area_end);
  }
  volume_.Hold(0, {});  // the block is the caller's only during the call
}

void Carver::search(uint64_t begin, uint64_t end, size_t block_size,
                    const std::function<bool(uint64_t)>& keep_going) {
  const uint32_t step = options_.sector_size;
  begin = (begin + step - 1) / step * step;
  block_size = std::max<size_t>(block_size / step * step, step);
  // After a sector that cannot be read, smaller blocks until reads come through again, so
  // that a bad area costs a failed read per sector, not per large block.
  const size_t careful_size = std::min<size_t>(block_size, 64 * 1024);
  size_t size = block_size;
  // The block being searched and the one after it, read ahead so that walks running past
  // the block's end read it in place too. Not zeroed: every byte used was read first.
  const auto buffers = std::make_unique_for_overwrite<uint8_t[]>(2 * block_size);
  uint8_t* current = buffers.get();
  uint8_t* ahead = buffers.get() + block_size;
  uint64_t at = begin;
  if (at >= end) return;
  size_t n = static_cast<size_t>(std::min<uint64_t>(size, end - at));
  size_t got = volume_.Read(at, current, n);
  for (;;) {
    uint64_t next_at = at + n;
    if (got < n) {
      // The sector at the first byte not delivered starts no file; the search goes on after it.
      next_at = at + got / step * step + step;
      size = careful_size;
    } else {
      size = block_size;
    }
    size_t next_n = 0, next_got = 0;
    if (next_at < end && got == n) {
      next_n = static_cast<size_t>(std::min<uint64_t>(size, end - next_at));
      next_got = volume_.Read(next_at, ahead, next_n);
      volume_.HoldAhead(next_at, std::span<const uint8_t>(ahead, next_got));
    }
    feed(at, std::span<const uint8_t>(current, got), end);
    volume_.HoldAhead(0, {});
    // Files carved from this block that cover the block read ahead and run past it were
    // read by their walks already, and their bytes start no further file: the search
    // resumes after them instead of reading them again.
    if (next_n != 0) {
      uint64_t carved_to = next_at;
      for (uint64_t c = claimed_through(carved_to); c > carved_to; c = claimed_through(c))
        carved_to = c;
      carved_to = carved_to / step * step;
      if (carved_to > next_at + next_n) {
        next_at = std::min(carved_to, end);
        next_n = 0;
      }
    }
    if (keep_going && !keep_going(std::min(next_at, end) - begin)) return;
    if (next_at >= end) return;
    if (next_n == 0) {
      next_n = static_cast<size_t>(std::min<uint64_t>(size, end - next_at));
      next_got = volume_.Read(next_at, ahead, next_n);
    }
    std::swap(current, ahead);
    at = next_at;
    n = next_n;
    got = next_got;
  }
}

filetypes::Result Carver::walk(uint64_t start, uint64_t area_end, filetypes::Depth depth) {
  RangeSource source(volume_, start, area_end);
  filetypes::Result r = filetypes::check(source, {}, depth);
  // A walk that met an unreadable sector saw the source end there: the file is cut at it.
  const uint64_t cut = source.short_at();
  if ((r.state == State::kDamaged && r.damaged_at > cut) ||
      (r.state == State::kIntact && r.implied_length > cut)) {
    r.state = State::kDamaged;
    r.damaged_at = cut;
    r.reason = "a sector of the file cannot be read";
  }
  return r;
}

bool Carver::carve_at(uint64_t start, uint64_t area_end) {
  uint8_t head[64] = {};
  const size_t got = volume_.Read(start, head, sizeof head);
  const Kind kind = filetypes::identify(std::span<const uint8_t>(head, got));
  if (!carvable(kind)) return false;
  // Bytes an earlier file holds (the second piece of a joined file) are foreign to this one:
  // its walk ends where they begin.
  const filetypes::Result r = walk(start, claimed_after(start, area_end));
  if (r.kind != kind) return false;
  CarvedFile file;
  file.kind = kind;
  file.date_taken = r.date_taken;
  const uint64_t room = area_end - start;
  if (r.state == State::kIntact && r.implied_length > 0) {
    file.intact = true;
    file.payload_verified = r.payload_verified;
    file.length = std::min(r.implied_length, room);
    file.extents.push_back({start, file.length});
  } else if (r.state == State::kDamaged &&
             (r.damaged_at >= min_good_bytes(kind) || (kind == Kind::kZip && r.damaged_at > 0))) {
    const bool joined = joinable(kind) && join(start, start + r.damaged_at, area_end, kind, file);
    // A ZIP broken in its first entry's data is kept from its local header when the header
    // holds together.
    const uint64_t first_entry =
        !joined && kind == Kind::kZip && r.damaged_at < min_good_bytes(kind)
            ? zip_first_entry_kept(start, area_end)
            : 0;
    if (!joined && first_entry == 0 && r.damaged_at < min_good_bytes(kind)) return false;
    if (!joined) {
      file.reason = r.reason;
      uint64_t keep = first_entry != 0 ? first_entry : std::min(r.damaged_at, room);
      // Compressed and entropy-coded data breaks a little after the foreign bytes begin;
      // foreign bytes begin at a sector.
      if (breaks_late(kind) && keep > min_good_bytes(kind)) {
        const uint64_t sector_start = start + keep - (start + keep) % options_.sector_size;
        if (sector_start > start) keep = sector_start - start;
      }
      // The foreign bytes may be the start of the next file: a start inside the kept bytes
      // whose own file runs past the break cuts this one there (an embedded thumbnail, which
      // ends before the break, does not).
      keep = first_start_after_break(start, keep, area_end);
      file.length = keep;
      file.extents.push_back({start, keep});
    }
  } else {
    return false;
  }
  for (const ByteExtent& e : file.extents) claim(e.offset, e.offset + e.length);
  ++found_count_;
  if (found_) found_(file);
  return true;
}

uint64_t Carver::first_start_after_break(uint64_t start, uint64_t keep, uint64_t area_end) {
  const uint32_t step = options_.sector_size;
  std::vector<uint8_t> block(64 * 1024);
  for (uint64_t from = start + step; from < start + keep;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(block.size(), start + keep - from));
    const size_t got = volume_.Read(from, block.data(), n);
    for (size_t i = 0; i + 8 <= got; i += step) {
      const std::span<const uint8_t> head(block.data() + i, std::min<size_t>(64, got - i));
      if (!may_start_file(head) || !carvable(filetypes::identify(head))) continue;
      const uint64_t at = from + i;
      const filetypes::Result next = walk(at, area_end);
      const uint64_t next_end =
          next.state == State::kIntact ? at + next.implied_length
          : next.state == State::kDamaged && next.damaged_at >= min_good_bytes(next.kind)
              ? at + next.damaged_at
              : 0;
      if (next_end > start + keep) return at - start;
    }
    if (got < n) break;  // nothing is kept past an unreadable sector anyway
    from += n;
  }
  return keep;
}

bool Carver::in_gap_file(uint64_t at, const GapFiles& files) const {
  const auto next = files.upper_bound(at);
  return next != files.begin() && std::prev(next)->second > at;
}

void Carver::note_gap_file(uint64_t at, Kind kind, uint64_t area_end, GapFiles& files) {
  // Each start is walked once; one that is no whole file is kept as an empty range.
  if (!carvable(kind) || files.count(at) != 0 || files.size() >= options_.max_gap_files) return;
  // Only a file that is whole is passed over. A JPEG's markers add up over the entropy-coded
  // data of another picture (the first piece's own second piece may follow it), so it is
  // decoded to be sure.
  const filetypes::Result r =
      walk(at, claimed_after(at, area_end),
           kind == Kind::kJpeg ? filetypes::Depth::kDecode : filetypes::Depth::kStructure);
  const bool whole = r.kind == kind && r.state == State::kIntact && r.implied_length > 0;
  files[at] = whole ? at + r.implied_length : at;
}

bool Carver::may_continue(uint64_t at, Kind kind, uint64_t area_end, GapFiles& gap_files) {
  uint8_t sector[512];
  const size_t n = volume_.Read(at, sector, std::min<size_t>(sizeof sector, options_.sector_size));
  if (n < 8) return false;
  const std::span<const uint8_t> head(sector, n);
  // A sector that starts a file of another kind continues nothing; one of the same kind may
  // only where the kind nests (a ZIP's next local header).
  const Kind starts = may_start_file(head) ? filetypes::identify(head) : Kind::kUnknown;
  if (starts != Kind::kUnknown && !(starts == kind && kind == Kind::kZip)) {
    note_gap_file(at, starts, area_end, gap_files);
    return false;
  }
  if (std::all_of(sector, sector + n, [&](uint8_t b) { return b == sector[0]; })) return false;
  if (kind == Kind::kJpeg) {
    // Entropy-coded data: 0xFF only before 0x00 (stuffing), a restart marker, or the end.
    for (size_t i = 0; i + 1 < n; ++i) {
      if (sector[i] != 0xFF) continue;
      const uint8_t next = sector[i + 1];
      if (next == 0xD9) return true;
      if (next != 0x00 && !(next >= 0xD0 && next <= 0xD7) && next != 0xFF) return false;
    }
  }
  return true;
}

namespace {

uint32_t load_le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
uint16_t load_le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

// Bounds the walk over a ZIP's local headers that finds the entry a break lies in.
constexpr int kMaxZipEntries = 4096;

// The ZIP entry whose header or data holds file byte `broken`: its data's first byte and one
// past its last; false when the headers before it do not lead there (or the entry's length
// is known only from a data descriptor).
bool zip_entry_around(filetypes::ByteSource& file, uint64_t broken, uint64_t* data,
                      uint64_t* data_end) {
  uint64_t p = 0;
  for (int i = 0; i < kMaxZipEntries && p <= broken; ++i) {
    uint8_t h[30];
    if (file.Read(p, h, sizeof h) != sizeof h || load_le32(h) != 0x04034B50) return false;
    if (load_le16(h + 6) & 8) return false;
    const uint64_t begin = p + 30 + load_le16(h + 26) + load_le16(h + 28);
    const uint64_t end = begin + load_le32(h + 18);
    if (broken < end || (broken == end && i == 0)) {
      *data = begin;
      *data_end = end;
      return true;
    }
    p = end;
  }
  return false;
}

// Whether the bytes at `at` begin what follows an entry's data in a ZIP (the next local
// header, the central directory or an end record), or a box of ISO-BMFF (a size and a
// type of four letters or digits).
bool header_at(filetypes::ByteSource& volume, uint64_t at, Kind kind) {
  uint8_t h[8];
  if (volume.Read(at, h, sizeof h) != sizeof h) return false;
  if (kind == Kind::kZip) {
    return h[0] == 'P' && h[1] == 'K' &&
           ((h[2] == 3 && h[3] == 4) || (h[2] == 1 && h[3] == 2) || (h[2] == 5 && h[3] == 6) ||
            (h[2] == 6 && h[3] == 6));
  }
  const uint32_t size = uint32_t{h[0]} << 24 | uint32_t{h[1]} << 16 | uint32_t{h[2]} << 8 | h[3];
  if (size != 1 && size < 8) return false;
  return std::all_of(h + 4, h + 8, [](uint8_t c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ';
  });
}

}  // namespace

uint64_t Carver::zip_first_entry_kept(uint64_t start, uint64_t area_end) {
  RangeSource file(volume_, start, area_end);
  uint8_t h[30];
  if (file.Read(0, h, sizeof h) != sizeof h) return 0;
  const uint16_t method = load_le16(h + 8);
  const uint16_t name_length = load_le16(h + 26);
  uint64_t data = 0, data_end = 0;
  if ((method != 0 && method != 8) || name_length == 0 || name_length > 1024 ||
      load_le32(h + 18) == 0 || !zip_entry_around(file, 0, &data, &data_end))
    return 0;
  // Up to the first sector of one repeated byte (zeros of free space, a wiped area), else
  // to the end of the entry's data; never less than a byte of the data.
  const uint32_t step = options_.sector_size;
  const uint64_t end = start + std::min(data_end, file.Size());
  std::vector<uint8_t> chunk(std::max<size_t>(64 * 1024 / step, 1) * step);
  for (uint64_t at = (start + data) / step * step + step; at < end;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), end - at));
    const size_t got = volume_.Read(at, chunk.data(), n);
    for (size_t i = 0; i < n; i += step) {
      const size_t length = std::min<size_t>(step, n - i);
      const auto first = chunk.begin() + static_cast<std::ptrdiff_t>(i);
      const auto last = first + static_cast<std::ptrdiff_t>(length);
      if (i + length > got || std::all_of(first, last, [&](uint8_t b) { return b == *first; }))
        return at + i - start > data ? at + i - start : 0;
    }
    at += n;
  }
  return end - start > data ? end - start : 0;
}

bool Carver::join(uint64_t start, uint64_t broken, uint64_t area_end, Kind kind, CarvedFile& file) {
  const uint64_t cluster = options_.cluster_size;
  // Where the first piece may end, nearest to the break first, and where the structure
  // expects its next header (ZIP: after the broken entry's data; ISO-BMFF: at the break):
  // with a second piece `k` clusters further on, that header lies `k` clusters further too.
  uint64_t last_cut = std::min(broken, area_end);
  uint64_t first_allowed = start + 1;
  uint64_t anchor = 0;
  if (kind == Kind::kZip) {
    RangeSource whole(volume_, start, area_end);
    uint64_t data = 0, data_end = 0;
    if (!zip_entry_around(whole, broken - start, &data, &data_end)) return false;
    anchor = start + data_end;
    first_allowed = start + data + 1;
    // A broken deflate stream breaks after the foreign bytes begin; a wrong CRC says only
    // that they lie somewhere in the entry.
    last_cut = broken > start + data ? std::min(broken, anchor) : anchor;
  } else if (kind == Kind::kIsoBmff) {
    anchor = broken;
  }
  std::vector<uint64_t> cuts;
  for (uint64_t cut = cluster_floor(last_cut);
       cut >= first_allowed && cuts.size() < options_.break_candidates; cut -= cluster) {
    cuts.push_back(cut);
    if (cut < cluster) break;
  }
  if (cuts.empty()) return false;
  uint32_t tries = 0;
  // Whole files that start in the gap are passed over, not tried as the second piece: a
  // camera fills a hole with the first piece and writes the rest after the files that
  // follow the hole (whose entropy-coded data would otherwise use up the tries).
  GapFiles gap_files;
  for (uint32_t k = 1; k <= options_.max_gap_clusters && tries < options_.max_join_tries; ++k) {
    const uint64_t gap = uint64_t{k} * cluster;
    if (cuts.front() + gap >= area_end) break;
    if (anchor != 0 && !header_at(volume_, anchor + gap, kind)) continue;
    for (const uint64_t cut : cuts) {
      const uint64_t resume = cut + gap;
      if (claimed(resume)) continue;
      if (anchor == 0 && (in_gap_file(resume, gap_files) ||
                          !may_continue(resume, kind, area_end, gap_files)))
        continue;
      if (tries++ >= options_.max_join_tries) break;
      ExtentSource joined(
          volume_, {{start, cut - start}, {resume, claimed_after(resume, area_end) - resume}});
      // A JPEG's markers may add up over a wrong second piece (entropy-coded data of another
      // picture): its join is decoded too.
      const filetypes::Result r = filetypes::check(
          joined, {},
          kind == Kind::kJpeg ? filetypes::Depth::kDecode : filetypes::Depth::kStructure);
      const uint64_t first = cut - start;
      if (r.kind != kind || r.state != State::kIntact || r.implied_length <= first) continue;
      const uint64_t second = std::min(r.implied_length - first, area_end - resume);
      file.intact = true;
      file.payload_verified = r.payload_verified;
      file.date_taken = r.date_taken;
      file.extents = {{start, first}, {resume, second}};
      file.length = first + second;
      return true;
    }
  }
  return false;
}

std::string category_folder(Kind kind) {
  switch (filetypes::kind_category(kind)) {
    case filetypes::Category::kPictures:
      return "Pictures";
    case filetypes::Category::kVideos:
      return "Videos";
    case filetypes::Category::kAudio:
      return "Audio";
    case filetypes::Category::kDocuments:
      return "Documents";
    case filetypes::Category::kArchives:
      return "Archives";
    case filetypes::Category::kOther:
      break;
  }
  return "Other";
}

double date_value(const std::string& date_taken) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  if (date_taken.size() < 19 ||
      std::sscanf(date_taken.c_str(), "%4d-%2d-%2d %2d:%2d:%2d", &y, &mo, &d, &h, &mi, &s) != 6)
    return 0.0;
  return try_encode_date_time(y, mo, d, h, mi, s).value_or(0.0);
}

std::string carved_name(const CarvedFile& file, unsigned repeat) {
  const std::string extension(filetypes::kind_extension(file.kind));
  const uint64_t first = file.extents.empty() ? 0 : file.extents.front().offset;
  std::string stem;
  if (date_value(file.date_taken) != 0.0) {
    stem = file.date_taken.substr(0, 19);
    std::replace(stem.begin() + 10, stem.end(), ':', '.');
    if (repeat > 1) stem += " " + std::to_string(repeat);
  } else {
    stem = std::string(filetypes::kind_name(file.kind)) + " " + std::to_string(first);
  }
  return extension.empty() ? stem : stem + "." + extension;
}

}  // namespace pyralis::carve
