// SPDX-License-Identifier: GPL-3.0-or-later
// What a file's bytes say of it: its type by signature, and a walk over its structure that
// tells whether the file is whole. Used by the content check of found files, the FAT32
// first-cluster choice, carving and the preview. Standard C++ only.
//
// A walk reads only what it needs, through a ByteSource, never more than the source holds,
// never allocates in proportion to a length field it read, and ends on every input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pyralis::filetypes {

enum class Kind : uint8_t {
  kUnknown,
  kJpeg,
  kPng,
  kGif,
  kBmp,
  kWebp,
  kTiff,     // kTiff includes the TIFF-based raws
  kIsoBmff,  // MP4, MOV, M4A, 3GP, HEIC, AVIF, CR3
  kRiff,     // AVI, WAV
  kMatroska,
  kMp3,
  kFlac,
  kOgg,
  kPdf,
  kZip,
  kOle2,
  kRtf,
  kSevenZip,
  kRar,
  kGzip,
  kSqlite,
  kText,
};

// Where a carved or listed file of this kind belongs for a person looking for it.
enum class Category : uint8_t { kPictures, kVideos, kAudio, kDocuments, kArchives, kOther };

// Random access to a file's bytes (a recovered file in memory, a run of a volume).
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Bytes the source holds; a walk never reads at or past it.
  virtual uint64_t Size() const = 0;
  // Copies up to `count` bytes at `offset` into `dest`; returns how many it copied (fewer
  // only at the end of the source, or where the bytes could not be read).
  virtual size_t Read(uint64_t offset, void* dest, size_t count) = 0;
  // The bytes at `offset` where the source already holds them in memory (up to `count`,
  // valid while the source lives unchanged), so that a walk reads them in place instead of
  // copying them; empty when it does not.
  virtual std::span<const uint8_t> Held(uint64_t offset, size_t count) {
    (void)offset;
    (void)count;
    return {};
  }
};

// A source over bytes in memory.
class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  uint64_t Size() const override { return bytes_.size(); }
  size_t Read(uint64_t offset, void* dest, size_t count) override;
  std::span<const uint8_t> Held(uint64_t offset, size_t count) override;

 private:
  std::span<const uint8_t> bytes_;
};

enum class State : uint8_t {
  kUnknown,  // no walker for this type, or the structure cannot be judged
  kIntact,   // the structure is complete and agrees with the file's length
  kDamaged,  // the structure breaks at `damaged_at`
};

struct Result {
  Kind kind = Kind::kUnknown;
  State state = State::kUnknown;
  uint64_t damaged_at = 0;      // first byte where the structure breaks (kDamaged)
  uint64_t implied_length = 0;  // where the structure says the file ends; 0 when unknown
  // Pictures and videos, when the file says: date taken as "YYYY-MM-DD HH:MM:SS" (empty when
  // unknown), and dimensions (0 when unknown).
  std::string date_taken;
  uint32_t width = 0;
  uint32_t height = 0;
  std::string reason;  // what broke, for a person ("entropy data runs into foreign bytes")
  // Intact only: the walk checked the bytes inside the structure as well (CRCs over the
  // data, compressed streams inflated, entropy-coded data decoded), so that a replaced byte
  // would have shown. False where only the framing could be checked and the payload is raw
  // pixels, samples, pages or text that any bytes of the same shape would pass.
  bool payload_verified = false;
};

// The kind whose signature the first bytes of a file carry (kUnknown when none does).
// Cheap: looks at no more than the bytes given, at most the first 64.
Kind identify(std::span<const uint8_t> head);

// Walks the structure of the file in `source` (which holds the file from its first byte).
// `extension` (without dot, any case) helps with types that carry no signature (text) and
// is ignored where the bytes say otherwise. For a file of a known length the source holds
// exactly the file; for carving it may hold more, and `implied_length` says where the file
// ends.
Result check(ByteSource& source, std::string_view extension = {});

// How far a check goes: the structure alone (markers, boxes, chunks, CRCs — what check()
// above does), or also a decoding of the data where a library does it cheaply: JPEG's
// Huffman-coded scans by libjpeg-turbo, which finds foreign bytes that contain no marker.
enum class Depth : uint8_t { kStructure, kDecode };
Result check(ByteSource& source, std::string_view extension, Depth depth);

// A JPEG picture a file carries besides its main image: the EXIF thumbnail of a JPEG or a
// TIFF, the previews of a raw.
struct EmbeddedPicture {
  uint64_t offset = 0;  // file byte where the picture's SOI is said to be
  uint64_t length = 0;
};
// The embedded pictures that the first bytes of a file (`head`, from its first byte) point
// to, for a JPEG (its EXIF block) or a TIFF-based file (its directories) of `file_size`
// bytes; pictures may lie past the head. At most 16, in the order the file lists them; none
// for other kinds. Reads no more than the head holds.
std::vector<EmbeddedPicture> embedded_pictures(ByteSource& head, uint64_t file_size);
// The same, and the date the picture was taken as those directories give it ("YYYY-MM-DD
// HH:MM:SS", DateTimeOriginal before DateTime; empty when they do not say).
struct HeadFacts {
  std::vector<EmbeddedPicture> pictures;
  std::string date_taken;
};
HeadFacts head_facts(ByteSource& head, uint64_t file_size);

// Names and places of a kind.
std::string_view kind_name(Kind kind);       // "JPEG"
std::string_view kind_extension(Kind kind);  // "jpg"
Category kind_category(Kind kind);
// Whether every file of the kind starts with a signature identify() knows: false for text,
// for MP3 (a stream may start on padding or a bare frame) and for kUnknown.
bool has_signature(Kind kind);
// Whether `tail`, the last bytes of a file (up to its last kTailBytes), ends the way a whole
// file of `kind` ends: a JPEG's EOI marker, PNG's IEND chunk, GIF's trailer, a PDF's "%%EOF"
// line, a ZIP's end of central directory with no comment. False for kinds without such an end
// (and for files that carry bytes after it), so it can only ever add weight to a guess.
bool ends_like(Kind kind, std::span<const uint8_t> tail);
constexpr size_t kTailBytes = 64;
// The kind a file name's extension promises ("photo.JPG" → kJpeg); kUnknown when none.
Kind kind_of_extension(std::string_view extension);

}  // namespace pyralis::filetypes
