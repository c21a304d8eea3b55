// SPDX-License-Identifier: GPL-3.0-or-later
// The pictures a file carries beside its main image. A JPEG keeps its EXIF block (a TIFF
// structure) in an APP1 segment before the image data; the block's second directory may
// point to a small JPEG thumbnail. TIFF files and the raws built on TIFF point to theirs from
// their directories. The same directories say when the picture was taken.
#include <cstring>
#include <utility>

#include "filetypes/walk.h"

namespace pyralis::filetypes {

namespace {

constexpr int kMaxSegments = 64;  // segments looked at before the EXIF block is given up

detail::TiffFacts jpeg_exif(detail::Reader& reader) {
  uint64_t p = 2;  // past SOI
  for (int segment = 0; segment < kMaxSegments; ++segment) {
    uint8_t marker[4];
    if (!reader.read(p, marker, 4) || marker[0] != 0xFF) return {};
    const uint8_t m = marker[1];
    // The image data starts (SOS), the picture ends, or what follows is no segment.
    if (m == 0xDA || m == 0xD9 || m < 0xC0) return {};
    const uint16_t length = detail::be16(marker + 2);
    if (length < 2) return {};
    if (m == 0xE1 && length >= 16) {
      uint8_t id[6];
      if (reader.read(p + 4, id, 6) && std::memcmp(id, "Exif\0\0", 6) == 0)
        return detail::walk_tiff(reader, p + 10, length - 8u);
    }
    p += 2u + length;
  }
  return {};
}

}  // namespace

HeadFacts head_facts(ByteSource& head, uint64_t file_size) {
  detail::Reader reader(head);
  uint8_t first[64] = {};
  const size_t got = head.Read(0, first, sizeof first);
  detail::TiffFacts tiff;
  switch (identify(std::span<const uint8_t>(first, got))) {
    case Kind::kJpeg:
      tiff = jpeg_exif(reader);
      break;
    case Kind::kTiff:
      tiff = detail::walk_tiff(reader, 0, file_size);
      break;
    default:
      return {};
  }
  return {std::move(tiff.pictures), std::move(tiff.date_taken)};
}

std::vector<EmbeddedPicture> embedded_pictures(ByteSource& head, uint64_t file_size) {
  return head_facts(head, file_size).pictures;
}

}  // namespace pyralis::filetypes
