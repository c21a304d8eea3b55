// SPDX-License-Identifier: GPL-3.0-or-later
// Every sample file of tests/fixtures/filetypes, whole, cut, with a block of it replaced, as
// the start of a larger source, and replaced by random bytes under its name.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "filetypes/filetypes.h"
#include "tests/support/test_files.h"

namespace pyralis::filetypes {
namespace {

struct Sample {
  const char* file;
  Kind kind;
  // Whether foreign bytes in the middle of the file break its structure (they do not where
  // the middle is raw pixels or samples that nothing checks).
  bool middle_checked;
  // Whether the walk checks the payload (decoding JPEG): only then is a whole file more than
  // a plausible one.
  bool payload_verified;
  const char* date_taken = "";
  uint32_t width = 0;
  uint32_t height = 0;
};

void PrintTo(const Sample& s, std::ostream* os) {
  *os << s.file;
}

const Sample kSamples[] = {
    {"photo.jpg", Kind::kJpeg, true, true, "2024-07-14 15:32:10", 96, 64},
    {"progressive.jpg", Kind::kJpeg, true, true, "", 96, 64},
    {"restart.jpg", Kind::kJpeg, true, true, "", 96, 64},
    {"multi.jpg", Kind::kJpeg, true, false, "", 96, 64},
    {"picture.png", Kind::kPng, true, true, "", 96, 64},
    {"archive.zip", Kind::kZip, true, true},
    {"streamed.zip", Kind::kZip, true, true},
    {"picture.gif", Kind::kGif, true, false, "", 96, 64},
    {"picture.bmp", Kind::kBmp, false, false, "", 48, 32},
    {"picture.tif", Kind::kTiff, false, false, "", 48, 32},
    {"picture.webp", Kind::kWebp, false, false, "", 96, 64},
    {"numbers.txt.gz", Kind::kGzip, true, true},
    {"archive.7z", Kind::kSevenZip, false, false},
    {"database.sqlite", Kind::kSqlite, false, false},
    {"package.msi", Kind::kOle2, false, false},
    {"document.pdf", Kind::kPdf, true, false},
    {"document.rtf", Kind::kRtf, true, false},
    {"text.txt", Kind::kText, true, false},
    {"utf8.txt", Kind::kText, true, false},
    {"clip.mp4", Kind::kIsoBmff, false, false, "", 32, 24},
    {"clip.mov", Kind::kIsoBmff, true, false, "", 32, 24},
    {"picture.heic", Kind::kIsoBmff, false, false, "", 96, 64},
    {"picture.avif", Kind::kIsoBmff, false, false, "", 96, 64},
    {"clip.avi", Kind::kRiff, true, false},
    {"clip.mkv", Kind::kMatroska, true, false},
    {"tone.wav", Kind::kRiff, false, false},
    {"tone.mp3", Kind::kMp3, true, false},
    {"tone.flac", Kind::kFlac, true, true},
    {"tone.ogg", Kind::kOgg, true, true},
};

std::vector<uint8_t> bytes_of(const Sample& s) {
  const std::string text = test::read_file(test::fixture_path(std::string("filetypes/") + s.file));
  return {text.begin(), text.end()};
}

std::string extension_of(const Sample& s) {
  const std::string name = s.file;
  return name.substr(name.rfind('.') + 1);
}

std::vector<uint8_t> noise(size_t n, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> out(n);
  for (auto& b : out) b = static_cast<uint8_t>(random());
  return out;
}

Result check_bytes(const std::vector<uint8_t>& bytes, const std::string& extension) {
  MemorySource source(bytes);
  return check(source, extension);
}

class SampleFiles : public testing::TestWithParam<Sample> {};

TEST_P(SampleFiles, WholeFileIsIntactAndEndsWhereTheFileDoes) {
  const Sample& s = GetParam();
  const auto bytes = bytes_of(s);
  ASSERT_GT(bytes.size(), 16u);
  // Text has no signature: its extension says what it is.
  EXPECT_EQ(identify({bytes.data(), std::min<size_t>(bytes.size(), 64)}),
            s.kind == Kind::kText ? Kind::kUnknown : s.kind);
  const Result r = check_bytes(bytes, extension_of(s));
  EXPECT_EQ(r.kind, s.kind);
  EXPECT_EQ(r.state, State::kIntact) << r.reason << " at " << r.damaged_at;
  EXPECT_EQ(r.implied_length, bytes.size());
  EXPECT_EQ(r.date_taken, s.date_taken);
  if (s.width != 0) {
    EXPECT_EQ(r.width, s.width);
    EXPECT_EQ(r.height, s.height);
  }
  EXPECT_EQ(kind_of_extension(extension_of(s)), s.kind);
  MemorySource source(bytes);
  EXPECT_EQ(check(source, extension_of(s), Depth::kDecode).payload_verified, s.payload_verified);
  EXPECT_EQ(has_signature(s.kind), s.kind != Kind::kText && s.kind != Kind::kMp3);
  // The kinds with an end mark end with it; seven bytes short they do not (a GIF's one-byte
  // trailer may be anywhere).
  const bool has_end = s.kind == Kind::kJpeg || s.kind == Kind::kPng || s.kind == Kind::kGif ||
                       s.kind == Kind::kPdf || s.kind == Kind::kZip;
  const size_t tail = std::min(bytes.size(), kTailBytes);
  EXPECT_EQ(ends_like(s.kind, {bytes.data() + bytes.size() - tail, tail}), has_end);
  if (s.kind != Kind::kGif)
    EXPECT_FALSE(ends_like(s.kind, {bytes.data() + bytes.size() - tail, tail - 7}));
}

// Bytes of the same shape in place of a block of the payload (other pixels, other samples,
// other text): a walk that checks only the framing still finds the file whole, but must not
// say it checked the payload; one that does check it finds the damage.
TEST_P(SampleFiles, SameShapedBlockIsDamageOrLeavesThePayloadUnverified) {
  const Sample& s = GetParam();
  auto bytes = bytes_of(s);
  const size_t block = std::min<size_t>(256, bytes.size() / 8);
  const size_t at = bytes.size() / 2 - block / 2;
  // Letters for text, else each byte with its lowest bit flipped, where no 0xFF appears or
  // goes and no byte after one changes (JPEG's markers and stuffing stay as they were).
  for (size_t i = at; i < at + block; ++i) {
    uint8_t& b = bytes[i];
    if (s.kind == Kind::kText)
      b = static_cast<uint8_t>('a' + (b + i) % 26);
    else if (b < 0xFE && bytes[i - 1] != 0xFF)
      b = static_cast<uint8_t>(b ^ 1);
  }
  MemorySource source(bytes);
  const Result r = check(source, extension_of(s), Depth::kDecode);
  if (r.state == State::kIntact) {
    EXPECT_FALSE(r.payload_verified);
  }
  if (s.payload_verified) {
    EXPECT_EQ(r.state, State::kDamaged);
  }
}

TEST_P(SampleFiles, InALargerSourceTheStructureGivesTheFilesEnd) {
  const Sample& s = GetParam();
  if (s.kind == Kind::kText) GTEST_SKIP() << "text has no end of its own";
  auto bytes = bytes_of(s);
  const size_t length = bytes.size();
  const auto junk = noise(70000, 3);
  bytes.insert(bytes.end(), junk.begin(), junk.end());
  const Result r = check_bytes(bytes, {});
  EXPECT_EQ(r.kind, s.kind);
  EXPECT_EQ(r.state, State::kIntact) << r.reason << " at " << r.damaged_at;
  EXPECT_EQ(r.implied_length, length);
}

TEST_P(SampleFiles, CutFileIsNotIntact) {
  const Sample& s = GetParam();
  if (s.kind == Kind::kText) GTEST_SKIP() << "text cut short is still text";
  for (const double share : {0.5, 0.9}) {
    auto bytes = bytes_of(s);
    const size_t cut = static_cast<size_t>(bytes.size() * share);
    bytes.resize(cut);
    const Result r = check_bytes(bytes, extension_of(s));
    EXPECT_NE(r.state, State::kIntact) << "cut at " << cut;
    if (r.state == State::kDamaged) {
      EXPECT_LE(r.damaged_at, cut);
    }
  }
}

TEST_P(SampleFiles, ForeignBlockInTheMiddleIsDamage) {
  const Sample& s = GetParam();
  if (!s.middle_checked) GTEST_SKIP() << "nothing checks the middle of " << s.file;
  for (const uint32_t seed : {1u, 2u, 3u}) {
    auto bytes = bytes_of(s);
    const size_t block = std::min<size_t>(512, bytes.size() / 4);
    const size_t at = bytes.size() / 2 - block / 2;
    const auto foreign = noise(block, seed);
    std::copy(foreign.begin(), foreign.end(), bytes.begin() + static_cast<ptrdiff_t>(at));
    const Result r = check_bytes(bytes, extension_of(s));
    EXPECT_EQ(r.state, State::kDamaged) << "seed " << seed;
    EXPECT_LE(r.damaged_at, bytes.size());
  }
}

TEST_P(SampleFiles, RandomBytesUnderItsNameAreNotIntact) {
  const Sample& s = GetParam();
  const size_t size = bytes_of(s).size();
  for (const uint32_t seed : {4u, 5u}) {
    const Result r = check_bytes(noise(size, seed), extension_of(s));
    EXPECT_NE(r.state, State::kIntact) << "seed " << seed;
  }
}

// Foreign bytes without a 0xFF inside a scan leave the markers whole; decoding the Huffman
// data finds them.
TEST(JpegDecoding, FindsForeignBytesThatHoldNoMarker) {
  for (const char* file : {"photo.jpg", "progressive.jpg"}) {
    const Sample s{file, Kind::kJpeg, true, true};
    auto bytes = bytes_of(s);
    MemorySource whole(bytes);
    EXPECT_EQ(check(whole, "jpg", Depth::kDecode).state, State::kIntact) << file;
    // The first scan's data: from past its header to the first marker that is not a
    // restart; the middle half of it is replaced.
    size_t scan = 0;
    while (scan + 1 < bytes.size() && !(bytes[scan] == 0xFF && bytes[scan + 1] == 0xDA)) ++scan;
    size_t scan_end = scan + 2 + (bytes[scan + 2] << 8 | bytes[scan + 3]);
    while (scan_end + 1 < bytes.size() &&
           !(bytes[scan_end] == 0xFF && bytes[scan_end + 1] != 0 &&
             (bytes[scan_end + 1] < 0xD0 || bytes[scan_end + 1] > 0xD7))) {
      ++scan_end;
    }
    const size_t length = (scan_end - scan) / 2;
    auto foreign = noise(length, 9);
    for (auto& b : foreign) b = b == 0xFF ? 0x3C : b;
    std::copy(foreign.begin(), foreign.end(),
              bytes.begin() + static_cast<ptrdiff_t>(scan + length / 2));
    MemorySource changed(bytes);
    EXPECT_EQ(check(changed, "jpg").state, State::kIntact) << file;
    const Result r = check(changed, "jpg", Depth::kDecode);
    EXPECT_EQ(r.state, State::kDamaged) << file;
    EXPECT_LE(r.damaged_at, bytes.size());
    EXPECT_EQ(r.implied_length, bytes.size());
  }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, SampleFiles, testing::ValuesIn(kSamples),
                         [](const testing::TestParamInfo<Sample>& info) {
                           std::string name = info.param.file;
                           for (char& c : name) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

}  // namespace
}  // namespace pyralis::filetypes

namespace pyralis::filetypes {
namespace {

// A source that counts the bytes read from it, and may say that it holds them in memory.
class CountingSource final : public ByteSource {
 public:
  CountingSource(const std::vector<uint8_t>& bytes, bool held) : bytes_(bytes), held_(held) {}
  uint64_t Size() const override { return bytes_.size(); }
  size_t Read(uint64_t offset, void* dest, size_t count) override {
    if (offset >= bytes_.size()) return 0;
    count = std::min<size_t>(count, bytes_.size() - offset);
    std::memcpy(dest, bytes_.data() + offset, count);
    read_ += count;
    return count;
  }
  std::span<const uint8_t> Held(uint64_t offset, size_t count) override {
    if (!held_ || offset >= bytes_.size()) return {};
    return std::span(bytes_).subspan(offset, std::min<size_t>(count, bytes_.size() - offset));
  }
  uint64_t read() const { return read_; }

 private:
  const std::vector<uint8_t>& bytes_;
  bool held_;
  uint64_t read_ = 0;
};

// A small file at the start of a large source (a carver's walk) costs reads of about its
// own size, not of a large window; bytes the source holds are not copied at all.
TEST(Reads, ASmallFileInALargeSourceIsReadAboutItsOwnSize) {
  for (const char* name : {"photo.jpg", "picture.gif", "archive.zip", "document.pdf"}) {
    SCOPED_TRACE(name);
    std::vector<uint8_t> bytes = bytes_of(Sample{name, Kind::kUnknown, true});
    const size_t length = bytes.size();
    const auto junk = noise(1 << 20, 5);
    bytes.insert(bytes.end(), junk.begin(), junk.end());
    for (const bool held : {false, true}) {
      CountingSource source(bytes, held);
      const Result r = check(source);
      EXPECT_EQ(r.state, State::kIntact);
      EXPECT_EQ(r.implied_length, length);
      if (held)
        EXPECT_EQ(source.read(), 0u);
      else
        EXPECT_LE(source.read(), length + 8192);
    }
  }
}

// A source that holds its bytes in spans ending at multiples of `chop`: the walk's windows
// end there, so that a marker or a stuffed 0xFF 0x00 can be put across a window's edge.
class ChoppedSource final : public ByteSource {
 public:
  ChoppedSource(const std::string& bytes, size_t chop) : bytes_(bytes), chop_(chop) {}
  uint64_t Size() const override { return bytes_.size(); }
  size_t Read(uint64_t offset, void* dest, size_t count) override {
    if (offset >= bytes_.size()) return 0;
    count = std::min<size_t>(count, bytes_.size() - offset);
    std::memcpy(dest, bytes_.data() + offset, count);
    return count;
  }
  std::span<const uint8_t> Held(uint64_t offset, size_t count) override {
    if (offset >= bytes_.size()) return {};
    const size_t end = std::min<size_t>(bytes_.size(), (offset / chop_ + 1) * chop_);
    return {reinterpret_cast<const uint8_t*>(bytes_.data()) + offset,
            std::min<size_t>(count, end - offset)};
  }

 private:
  const std::string& bytes_;
  size_t chop_;
};

// The end of a JPEG's entropy-coded data is the first 0xFF not stuffed with 0x00, wherever
// the windows of the walk's reads end.
TEST(JpegEntropyData, EndsAtTheFirstUnstuffedMarkerAcrossWindowEdges) {
  size_t data_at = 0;
  const std::string grown = test::grown_jpeg(
      test::read_file(test::fixture_path("filetypes/photo.jpg")), 200 * 1000, 7, &data_at);
  constexpr size_t kChop = 1000;
  for (size_t edge = (data_at / kChop + 2) * kChop; edge < data_at + 190 * 1000;
       edge += 37 * kChop) {
    for (const int shift : {-2, -1, 0, 1}) {
      const size_t at = edge + static_cast<size_t>(shift);
      SCOPED_TRACE(testing::Message() << "at " << at);
      std::string bytes = grown;
      if (bytes[at - 1] == '\xFF') continue;  // would be a stuffed pair's first byte
      // Stuffing across the edge is data; a foreign marker there ends the data.
      bytes[at] = '\xFF';
      bytes[at + 1] = '\0';
      const std::vector<uint8_t> copy(bytes.begin(), bytes.end());
      CountingSource read(copy, false);
      ChoppedSource chopped(bytes, kChop);
      for (ByteSource* source :
           {static_cast<ByteSource*>(&read), static_cast<ByteSource*>(&chopped)}) {
        const Result r = check(*source);
        EXPECT_EQ(r.state, State::kIntact) << r.reason;
        EXPECT_EQ(r.implied_length, bytes.size());
      }
      bytes[at + 1] = '\x12';
      ChoppedSource broken(bytes, kChop);
      const Result r = check(broken);
      EXPECT_EQ(r.state, State::kDamaged);
      EXPECT_EQ(r.damaged_at, at);
      // Cut right after a 0xFF: the data ends inside the image, not at a marker.
      const std::string cut = bytes.substr(0, at + 1);
      ChoppedSource cut_source(cut, kChop);
      const Result c = check(cut_source);
      EXPECT_EQ(c.state, State::kDamaged);
      EXPECT_EQ(c.damaged_at, cut.size());
    }
  }
}

// The same inside one window: the search passes over 64-byte chunks at a time, so a marker,
// or a stuffed pair, at every position of a chunk and across its edge must be seen.
TEST(JpegEntropyData, EveryPositionOfASearchedChunkCounts) {
  size_t data_at = 0;
  const std::string grown = test::grown_jpeg(
      test::read_file(test::fixture_path("filetypes/photo.jpg")), 20 * 1000, 3, &data_at);
  for (size_t at = data_at + 4000; at < data_at + 4000 + 130; ++at) {
    SCOPED_TRACE(testing::Message() << "at " << at);
    std::string bytes = grown;
    if (bytes[at - 1] == '\xFF') continue;  // would be a stuffed pair's first byte
    bytes[at] = '\xFF';
    bytes[at + 1] = '\0';
    const std::vector<uint8_t> stuffed(bytes.begin(), bytes.end());
    MemorySource whole(stuffed);
    EXPECT_EQ(check(whole).state, State::kIntact);
    bytes[at + 1] = '\x12';
    const std::vector<uint8_t> broken(bytes.begin(), bytes.end());
    MemorySource held(broken);
    const Result r = check(held);
    EXPECT_EQ(r.state, State::kDamaged);
    EXPECT_EQ(r.damaged_at, at);
  }
}

}  // namespace
}  // namespace pyralis::filetypes
