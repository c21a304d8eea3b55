// SPDX-License-Identifier: GPL-3.0-or-later
// Signatures, the table of kinds, and the reader the walks share.
#include "filetypes/filetypes.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "filetypes/walk.h"

namespace pyralis::filetypes {

size_t MemorySource::Read(uint64_t offset, void* dest, size_t count) {
  if (offset >= bytes_.size()) return 0;
  const size_t n = static_cast<size_t>(std::min<uint64_t>(count, bytes_.size() - offset));
  std::memcpy(dest, bytes_.data() + offset, n);
  return n;
}

std::span<const uint8_t> MemorySource::Held(uint64_t offset, size_t count) {
  if (offset >= bytes_.size()) return {};
  return bytes_.subspan(static_cast<size_t>(offset),
                        static_cast<size_t>(std::min<uint64_t>(count, bytes_.size() - offset)));
}

namespace detail {

Reader::Reader(ByteSource& source) : source_(source), size_(source.Size()) {}

bool Reader::fill(uint64_t offset, size_t need) {
  if (offset >= size_) return false;
  const size_t most = static_cast<size_t>(std::min<uint64_t>(kWindow, size_ - offset));
  need = std::min(need, most);
  window_start_ = offset;
  const std::span<const uint8_t> held = source_.Held(offset, most);
  if (held.size() >= need && !held.empty()) {
    window_ = held.data();
    window_length_ = held.size();
    return true;
  }
  const size_t want = std::min(most, std::max(need, next_read_));
  next_read_ = std::min(kWindow, next_read_ * 2);
  if (buffer_.size() < want) buffer_.resize(std::min(kWindow, std::max(want, buffer_.size() * 2)));
  window_ = buffer_.data();
  window_length_ = source_.Read(offset, buffer_.data(), want);
  return window_length_ > 0;
}

std::span<const uint8_t> Reader::view(uint64_t offset, size_t count) {
  count = std::min(count, kWindow);
  if (offset >= size_) return {};
  const uint64_t available = std::min<uint64_t>(count, size_ - offset);
  if (offset < window_start_ || offset + available > window_start_ + window_length_) {
    if (!fill(offset, static_cast<size_t>(available))) return {};
  }
  const size_t at = static_cast<size_t>(offset - window_start_);
  const size_t n = static_cast<size_t>(std::min<uint64_t>(available, window_length_ - at));
  return {window_ + at, n};
}

bool Reader::read(uint64_t offset, void* dest, size_t count) {
  if (offset > size_ || count > size_ - offset) return false;
  if (count > kWindow) return source_.Read(offset, dest, count) == count;
  const auto bytes = view(offset, count);
  if (bytes.size() != count) return false;
  if (count > 0) std::memcpy(dest, bytes.data(), count);
  return true;
}

int Reader::byte_at(uint64_t offset) {
  if (offset >= window_start_ && offset < window_start_ + window_length_) {
    return window_[static_cast<size_t>(offset - window_start_)];
  }
  const auto bytes = view(offset, 1);
  return bytes.empty() ? -1 : bytes[0];
}

uint64_t Reader::find_byte(uint64_t from, uint64_t limit, uint8_t value) {
  limit = std::min(limit, size_);
  while (from < limit) {
    if (from < window_start_ || from >= window_start_ + window_length_) {
      if (!fill(from, 1)) return limit;
    }
    const size_t at = static_cast<size_t>(from - window_start_);
    const size_t n = static_cast<size_t>(std::min<uint64_t>(window_length_ - at, limit - from));
    const void* hit = std::memchr(window_ + at, value, n);
    if (hit != nullptr) {
      return from + static_cast<size_t>(static_cast<const uint8_t*>(hit) - (window_ + at));
    }
    from += n;
  }
  return limit;
}

namespace {

// The start of the first 64-byte chunk of w[0, n) that may hold "FF xx" with xx not 0 (a
// marker rather than a stuffed FF), looking one byte past each chunk; chunks are only taken
// while that byte lies inside n. Every chunk before the answer holds no marker.
size_t skip_markerless_chunks_portable(const uint8_t* w, size_t n) {
  size_t i = 0;
  for (; i + 65 <= n; i += 64) {
    uint8_t any = 0;
    for (size_t k = 0; k < 64; ++k)
      any |= static_cast<uint8_t>((w[i + k] == 0xFF) & (w[i + k + 1] != 0));
    if (any) break;
  }
  return i;
}

#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("avx2"))) size_t skip_markerless_chunks_avx2(const uint8_t* w, size_t n) {
  const __m256i ff = _mm256_set1_epi8(static_cast<char>(0xFF));
  const __m256i zero = _mm256_setzero_si256();
  size_t i = 0;
  for (; i + 65 <= n; i += 64) {
    const auto* p = reinterpret_cast<const __m256i*>(w + i);
    const auto* next = reinterpret_cast<const __m256i*>(w + i + 1);
    // FF here and not 0 after it: an FF that the 0 after it does not stuff.
    const __m256i first = _mm256_andnot_si256(_mm256_cmpeq_epi8(_mm256_loadu_si256(next), zero),
                                              _mm256_cmpeq_epi8(_mm256_loadu_si256(p), ff));
    const __m256i second =
        _mm256_andnot_si256(_mm256_cmpeq_epi8(_mm256_loadu_si256(next + 1), zero),
                            _mm256_cmpeq_epi8(_mm256_loadu_si256(p + 1), ff));
    const __m256i both = _mm256_or_si256(first, second);
    if (!_mm256_testz_si256(both, both)) break;
  }
  return i;
}
#endif

size_t skip_markerless_chunks(const uint8_t* w, size_t n) {
#if defined(__x86_64__) && defined(__GNUC__)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) return skip_markerless_chunks_avx2(w, n);
#endif
  return skip_markerless_chunks_portable(w, n);
}

}  // namespace

uint64_t Reader::find_marker(uint64_t from, uint64_t limit) {
  limit = std::min(limit, size_);
  while (from < limit) {
    if (from < window_start_ || from >= window_start_ + window_length_) {
      if (!fill(from, 2)) return limit;
    }
    const uint8_t* w = window_ + (from - window_start_);
    const size_t n = static_cast<size_t>(
        std::min<uint64_t>(window_length_ - (from - window_start_), limit - from));
    // Most 64-byte chunks of entropy-coded data hold no marker: they are passed over with
    // vector compares, and the chunk that holds one is searched byte by byte.
    size_t i = skip_markerless_chunks(w, n);
    for (; i + 1 < n; ++i) {
      if (w[i] == 0xFF && w[i + 1] != 0) return from + i;
    }
    // The last byte of the span: its follower lies outside the window.
    if (n > 0 && w[n - 1] == 0xFF && byte_at(from + n) != 0) return from + n - 1;
    from += n;
  }
  return limit;
}

Result ends_at(Kind kind, Reader& reader, uint64_t end) {
  if (end > reader.size()) {
    return damaged(kind, reader.size(), "the file ends before its structure does", end);
  }
  return intact(kind, end);
}

}  // namespace detail

namespace {

struct KindInfo {
  Kind kind;
  std::string_view name;
  std::string_view extension;
  Category category;
  // Further extensions a file of this kind is given (space-separated).
  std::string_view aliases;
  // Every file of the kind starts with its signature.
  bool signature = true;
  // The walk checks every byte of the payload (a CRC over it, or inflating it) at kStructure;
  // JPEG's entropy data is checked only at kDecode.
  bool verifies = false;
};

constexpr KindInfo kKinds[] = {
    {Kind::kJpeg, "JPEG", "jpg", Category::kPictures, "jpeg jpe jfif", true, false},
    {Kind::kPng, "PNG", "png", Category::kPictures, "", true, true},
    {Kind::kGif, "GIF", "gif", Category::kPictures, "", true, false},
    {Kind::kBmp, "BMP", "bmp", Category::kPictures, "dib", true, false},
    {Kind::kWebp, "WebP", "webp", Category::kPictures, "", true, false},
    {Kind::kTiff, "TIFF", "tif", Category::kPictures,
     "tiff cr2 nef nrw arw srf sr2 dng orf rw2 pef raf 3fr erf kdc mos", true, false},
    {Kind::kIsoBmff, "MP4", "mp4", Category::kVideos,
     "mov m4a m4v m4b 3gp 3g2 heic heif avif cr3 qt f4v", true, false},
    {Kind::kRiff, "RIFF", "avi", Category::kVideos, "wav", true, false},
    {Kind::kMatroska, "Matroska", "mkv", Category::kVideos, "webm mka mk3d", true, false},
    {Kind::kMp3, "MP3", "mp3", Category::kAudio, "", false, false},
    {Kind::kFlac, "FLAC", "flac", Category::kAudio, "", true, true},
    {Kind::kOgg, "Ogg", "ogg", Category::kAudio, "oga ogv opus spx", true, true},
    {Kind::kPdf, "PDF", "pdf", Category::kDocuments, "", true, false},
    {Kind::kZip, "ZIP", "zip", Category::kArchives,
     "docx xlsx pptx docm xlsm pptm odt ods odp odg epub jar apk xpi kmz cbz", true, true},
    {Kind::kOle2, "OLE2", "doc", Category::kDocuments, "xls ppt msg pps pot xlt dot msi", true,
     false},
    {Kind::kRtf, "RTF", "rtf", Category::kDocuments, "", true, false},
    {Kind::kSevenZip, "7z", "7z", Category::kArchives, "", true, false},
    {Kind::kRar, "RAR", "rar", Category::kArchives, "", true, false},
    {Kind::kGzip, "gzip", "gz", Category::kArchives, "tgz", true, true},
    {Kind::kSqlite, "SQLite", "sqlite", Category::kOther, "db sqlite3 db3", true, false},
    {Kind::kText, "Text", "txt", Category::kDocuments,
     "csv tsv html htm xml json md log ini cfg conf yaml yml c h cc cpp hpp py js ts css "
     "sh java rs go svg srt tex",
     false, false},
};

const KindInfo* info(Kind kind) {
  for (const auto& k : kKinds) {
    if (k.kind == kind) return &k;
  }
  return nullptr;
}

bool starts(std::span<const uint8_t> head, std::string_view magic, size_t at = 0) {
  return head.size() >= at + magic.size() &&
         std::memcmp(head.data() + at, magic.data(), magic.size()) == 0;
}

bool bmp_header(std::span<const uint8_t> h) {
  if (!starts(h, "BM") || h.size() < 26) return false;
  const uint32_t file_size = detail::le32(&h[2]);
  const uint32_t data_offset = detail::le32(&h[10]);
  const uint32_t header_size = detail::le32(&h[14]);
  const bool known_header = header_size == 12 || header_size == 40 || header_size == 52 ||
                            header_size == 56 || header_size == 64 || header_size == 108 ||
                            header_size == 124;
  return detail::le32(&h[6]) == 0 && known_header && data_offset >= 14 + header_size &&
         file_size >= data_offset;
}

bool ftyp_box(std::span<const uint8_t> h) {
  if (!starts(h, "ftyp", 4) || h.size() < 12) return false;
  const uint32_t size = detail::be32(&h[0]);
  if (size < 12 || size > 4096) return false;
  for (size_t i = 8; i < 12; ++i) {
    if (h[i] < 0x20 || h[i] > 0x7E) return false;
  }
  return true;
}

}  // namespace

bool mp3_frame_header(std::span<const uint8_t> h);  // mp3 walker

Kind identify(std::span<const uint8_t> head) {
  if (head.size() > 64) head = head.first(64);
  if (head.size() >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF) return Kind::kJpeg;
  if (starts(head, "\x89PNG\r\n\x1a\n")) return Kind::kPng;
  if (starts(head, "GIF87a") || starts(head, "GIF89a")) return Kind::kGif;
  if (starts(head, "RIFF") && head.size() >= 12) {
    if (starts(head, "WEBP", 8)) return Kind::kWebp;
    if (starts(head, "AVI ", 8) || starts(head, "WAVE", 8)) return Kind::kRiff;
  }
  if (starts(head, std::string_view("II*\0", 4)) || starts(head, std::string_view("MM\0*", 4)) ||
      starts(head, "IIRO") || starts(head, "IIRS") || starts(head, std::string_view("IIU\0", 4))) {
    return Kind::kTiff;
  }
  if (ftyp_box(head)) return Kind::kIsoBmff;
  if (starts(head, "\x1a\x45\xdf\xa3")) return Kind::kMatroska;
  if (starts(head, "fLaC")) return Kind::kFlac;
  if (starts(head, std::string_view("OggS\0", 5))) return Kind::kOgg;
  if (starts(head, "%PDF-")) return Kind::kPdf;
  if (starts(head, "PK\x03\x04")) return Kind::kZip;
  if (starts(head, "\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1")) return Kind::kOle2;
  if (starts(head, "{\\rtf")) return Kind::kRtf;
  if (starts(head, "7z\xbc\xaf\x27\x1c")) return Kind::kSevenZip;
  if (starts(head, std::string_view("Rar!\x1a\x07\x00", 7)) || starts(head, "Rar!\x1a\x07\x01")) {
    return Kind::kRar;
  }
  if (starts(head, "\x1f\x8b\x08")) return Kind::kGzip;
  if (starts(head, std::string_view("SQLite format 3\0", 16))) return Kind::kSqlite;
  if (bmp_header(head)) return Kind::kBmp;
  if (head.size() >= 10 && starts(head, "ID3") && head[3] >= 2 && head[3] <= 4 && head[4] != 0xFF &&
      (head[6] | head[7] | head[8] | head[9]) < 0x80) {
    return Kind::kMp3;
  }
  if (mp3_frame_header(head)) return Kind::kMp3;
  return Kind::kUnknown;
}

namespace {

Result walk(detail::Reader& reader, Kind kind) {
  using namespace detail;
  switch (kind) {
    case Kind::kJpeg:
      return check_jpeg(reader);
    case Kind::kPng:
      return check_png(reader);
    case Kind::kGif:
      return check_gif(reader);
    case Kind::kBmp:
      return check_bmp(reader);
    case Kind::kWebp:
      return check_riff(reader, Kind::kWebp);
    case Kind::kRiff:
      return check_riff(reader, Kind::kRiff);
    case Kind::kTiff:
      return check_tiff(reader);
    case Kind::kIsoBmff:
      return check_isobmff(reader);
    case Kind::kMatroska:
      return check_matroska(reader);
    case Kind::kMp3:
      return check_mp3(reader);
    case Kind::kFlac:
      return check_flac(reader);
    case Kind::kOgg:
      return check_ogg(reader);
    case Kind::kPdf:
      return check_pdf(reader);
    case Kind::kZip:
      return check_zip(reader);
    case Kind::kOle2:
      return check_ole2(reader);
    case Kind::kRtf:
      return check_rtf(reader);
    case Kind::kSevenZip:
      return check_7z(reader);
    case Kind::kRar:
      return check_rar(reader);
    case Kind::kGzip:
      return check_gzip(reader);
    case Kind::kSqlite:
      return check_sqlite(reader);
    case Kind::kText:
      return check_text(reader);
    case Kind::kUnknown:
      break;
  }
  return detail::unknown(kind);
}

}  // namespace

Result check(ByteSource& source, std::string_view extension) {
  return check(source, extension, Depth::kStructure);
}

namespace {

Result walk_any(ByteSource& source, std::string_view extension, Depth depth) {
  detail::Reader reader(source);
  const auto head = reader.view(0, 64);
  const Kind found = identify(head);
  if (found == Kind::kJpeg && depth == Depth::kDecode) {
    return detail::decode_jpeg(reader, detail::check_jpeg(reader));
  }
  if (found != Kind::kUnknown) return walk(reader, found);
  const Kind promised = kind_of_extension(extension);
  switch (promised) {
    case Kind::kUnknown:
      return detail::unknown(Kind::kUnknown);
    case Kind::kText:
      return detail::check_text(reader);
    // QuickTime files older than the "ftyp" box, and MP3 streams that start on padding,
    // carry no signature at their first byte: their walks judge them.
    case Kind::kIsoBmff:
      return detail::check_isobmff(reader);
    case Kind::kMp3:
      return detail::check_mp3(reader);
    default:
      break;
  }
  if (reader.size() == 0) return detail::damaged(promised, 0, "the file is empty");
  std::string reason = "the file does not start like a ";
  reason += kind_name(promised);
  reason += " file";
  return detail::damaged(promised, 0, std::move(reason));
}

}  // namespace

Result check(ByteSource& source, std::string_view extension, Depth depth) {
  Result r = walk_any(source, extension, depth);
  // The JPEG decoding says itself how far it went.
  if (r.kind != Kind::kJpeg) {
    const KindInfo* k = info(r.kind);
    r.payload_verified = r.state == State::kIntact && k != nullptr && k->verifies;
  }
  return r;
}

std::string_view kind_name(Kind kind) {
  const KindInfo* k = info(kind);
  return k ? k->name : "";
}
std::string_view kind_extension(Kind kind) {
  const KindInfo* k = info(kind);
  return k ? k->extension : "";
}
Category kind_category(Kind kind) {
  const KindInfo* k = info(kind);
  return k ? k->category : Category::kOther;
}
bool has_signature(Kind kind) {
  const KindInfo* k = info(kind);
  return k != nullptr && k->signature;
}
bool ends_like(Kind kind, std::span<const uint8_t> tail) {
  const auto ends_with = [&](std::initializer_list<uint8_t> bytes) {
    return tail.size() >= bytes.size() &&
           std::equal(bytes.begin(), bytes.end(), tail.end() - static_cast<long>(bytes.size()));
  };
  switch (kind) {
    case Kind::kJpeg:
      return ends_with({0xFF, 0xD9});
    case Kind::kPng:
      return ends_with({0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82});
    case Kind::kGif:
      return ends_with({0x3B});
    case Kind::kZip:
      return tail.size() >= 22 && detail::le32(&tail[tail.size() - 22]) == 0x06054b50 &&
             detail::le16(&tail[tail.size() - 2]) == 0;
    case Kind::kPdf: {
      // "%%EOF" and at most a line end or two after it.
      size_t end = tail.size();
      while (end > 0 && end + 2 > tail.size() && (tail[end - 1] == '\r' || tail[end - 1] == '\n'))
        --end;
      static constexpr std::string_view kEof = "%%EOF";
      return end >= kEof.size() && std::equal(kEof.begin(), kEof.end(),
                                              tail.begin() + static_cast<long>(end - kEof.size()));
    }
    default:
      return false;
  }
}

Kind kind_of_extension(std::string_view extension) {
  if (!extension.empty() && extension.front() == '.') extension.remove_prefix(1);
  if (extension.empty() || extension.size() > 8) return Kind::kUnknown;
  std::string e(extension);
  for (char& c : e) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const auto& k : kKinds) {
    if (e == k.extension) return k.kind;
    std::string_view rest = k.aliases;
    while (!rest.empty()) {
      const size_t space = rest.find(' ');
      const std::string_view word = rest.substr(0, space);
      if (word == e) return k.kind;
      if (space == std::string_view::npos) break;
      rest.remove_prefix(space + 1);
    }
  }
  return Kind::kUnknown;
}

}  // namespace pyralis::filetypes
