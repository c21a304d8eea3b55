// SPDX-License-Identifier: GPL-3.0-or-later
// The JPEG pictures a raw points to from its directories: the EXIF-style thumbnail, an
// old-style JPEG strip (CR2) and a reduced-resolution baseline JPEG strip (DNG), but not a
// full-resolution one (lossless raw data); found from the first bytes alone.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "filetypes/filetypes.h"

namespace pyralis::filetypes {
namespace {

void put16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  put16(b, at, v & 0xFFFF);
  put16(b, at + 2, v >> 16);
}

struct Raw {
  uint32_t compression;
  uint32_t subfile_type;
  bool strip_is_picture;
};

class RawPictures : public ::testing::TestWithParam<Raw> {};

// A little-endian TIFF of 1 MiB: IFD0 with one strip at 600 KiB of the given compression
// and subfile type, then IFD1 with a 5,000-byte thumbnail at 300.
TEST_P(RawPictures, FoundFromTheHead) {
  const Raw raw = GetParam();
  std::vector<uint8_t> head(256, 0);
  head[0] = head[1] = 'I';
  put16(head, 2, 42);
  put32(head, 4, 8);
  const uint32_t ifd1 = 8 + 2 + 4 * 12 + 4;
  put16(head, 8, 4);
  const uint32_t entries[4][4] = {{0x00FE, 4, 1, raw.subfile_type},
                                  {0x0103, 3, 1, raw.compression},
                                  {0x0111, 4, 1, 600 << 10},
                                  {0x0117, 4, 1, 100000}};
  for (size_t i = 0; i < 4; ++i) {
    put16(head, 10 + i * 12, entries[i][0]);
    put16(head, 12 + i * 12, entries[i][1]);
    put32(head, 14 + i * 12, entries[i][2]);
    put32(head, 18 + i * 12, entries[i][3]);
  }
  put32(head, 58, ifd1);
  put16(head, ifd1, 2);
  const uint32_t thumb[2][4] = {{0x0201, 4, 1, 300}, {0x0202, 4, 1, 5000}};
  for (size_t i = 0; i < 2; ++i) {
    put16(head, ifd1 + 2 + i * 12, thumb[i][0]);
    put16(head, ifd1 + 4 + i * 12, thumb[i][1]);
    put32(head, ifd1 + 6 + i * 12, thumb[i][2]);
    put32(head, ifd1 + 10 + i * 12, thumb[i][3]);
  }
  MemorySource source(head);
  const std::vector<EmbeddedPicture> pictures = embedded_pictures(source, 1 << 20);
  std::vector<std::pair<uint64_t, uint64_t>> found;
  for (const EmbeddedPicture& p : pictures) found.emplace_back(p.offset, p.length);
  std::vector<std::pair<uint64_t, uint64_t>> expected;
  if (raw.strip_is_picture) expected.emplace_back(600 << 10, 100000);
  expected.emplace_back(300, 5000);
  EXPECT_EQ(found, expected);
  // A file too short for the strip: its directories point outside it, nothing is listed
  // past its end.
  MemorySource cut(head);
  for (const EmbeddedPicture& p : embedded_pictures(cut, 4000))
    EXPECT_LE(p.offset + p.length, 4000u);
}

INSTANTIATE_TEST_SUITE_P(Compressions, RawPictures,
                         ::testing::Values(Raw{6, 0, true}, Raw{7, 1, true}, Raw{7, 0, false},
                                           Raw{1, 0, false}));

TEST(RawPictures, OtherKindsHaveNone) {
  const uint8_t png[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13};
  MemorySource source(png);
  EXPECT_TRUE(embedded_pictures(source, sizeof png).empty());
}

}  // namespace
}  // namespace pyralis::filetypes
