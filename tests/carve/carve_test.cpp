// SPDX-License-Identifier: GPL-3.0-or-later
// Carving a raw image that holds the sample files with no file system at all: whole files,
// files in two pieces with other data between them, files with a cluster overwritten, and
// random filler, text and zeros between them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

// After <cstdio>: libjpeg's header uses FILE and size_t.
#include <jpeglib.h>

#include "carve/carve.h"
#include "tests/support/test_files.h"

namespace pyralis::carve {
namespace {

constexpr uint64_t kCluster = 512;

std::string sample(const std::string& name) {
  return test::read_file(test::fixture_path("filetypes/" + name));
}

// Lays files out on cluster boundaries, with filler between them, and remembers where each
// one's bytes went.
class Image {
 public:
  explicit Image(uint32_t seed) : random_(seed) {}

  void random_filler(uint64_t clusters) {
    for (uint64_t i = 0; i < clusters * kCluster; ++i)
      bytes_.push_back(static_cast<char>(random_()));
  }
  void text_filler(uint64_t clusters) {
    const std::string line = "int main(void) { return printf(\"%d\\n\", 42); } // PK GIF BM\n";
    for (uint64_t i = 0; i < clusters * kCluster; ++i) bytes_.push_back(line[i % line.size()]);
  }
  // Puts `content` at the next cluster boundary; filler up to the next one after it.
  uint64_t put(const std::string& content) {
    const uint64_t at = bytes_.size();
    bytes_ += content;
    pad();
    return at;
  }
  void pad() {
    while (bytes_.size() % kCluster) bytes_.push_back(static_cast<char>(random_()));
  }
  std::string& bytes() { return bytes_; }

 private:
  std::mt19937 random_;
  std::string bytes_;
};

struct Found {
  CarvedFile file;
  std::string content;  // the file's bytes, read from its extents
};

std::vector<Found> carve_all(const std::string& image, Options options = {}) {
  filetypes::MemorySource volume(
      std::span(reinterpret_cast<const uint8_t*>(image.data()), image.size()));
  options.cluster_size = kCluster;
  std::vector<Found> found;
  Carver carver(volume, options, [&](const CarvedFile& f) {
    Found item{f, {}};
    for (const ByteExtent& e : f.extents) item.content += image.substr(e.offset, e.length);
    found.push_back(item);
  });
  carver.search(0, image.size(), 64 * 1024);
  return found;
}

const Found* found_at(const std::vector<Found>& found, uint64_t offset) {
  for (const Found& f : found)
    if (f.file.extents.front().offset == offset) return &f;
  return nullptr;
}

const char* const kWhole[] = {
    "photo.jpg",    "progressive.jpg", "restart.jpg",     "picture.png",  "archive.zip",
    "streamed.zip", "picture.gif",     "picture.bmp",     "picture.tif",  "picture.webp",
    "clip.mp4",     "clip.mov",        "clip.avi",        "clip.mkv",     "tone.wav",
    "tone.flac",    "tone.ogg",        "tone.mp3",        "document.pdf", "document.rtf",
    "archive.7z",   "numbers.txt.gz",  "database.sqlite",
};

TEST(Carving, FindsEveryWholeFileByteExactAndNothingInTheFiller) {
  Image image(1);
  image.random_filler(3);
  std::map<uint64_t, std::string> placed;
  for (const char* name : kWhole) {
    placed[image.put(sample(name))] = name;
    image.random_filler(1);
    image.text_filler(1);
    image.bytes().append(kCluster, '\0');
  }
  const auto found = carve_all(image.bytes());
  for (const auto& [offset, name] : placed) {
    SCOPED_TRACE(name);
    const Found* f = found_at(found, offset);
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(f->file.intact) << f->file.reason;
    EXPECT_TRUE(f->content == sample(name));
  }
  EXPECT_EQ(found.size(), placed.size());  // no row from filler, none from embedded parts
}

TEST(Carving, JoinsTwoPieceFilesAndFlagsOverwrittenOnes) {
  Image image(2);
  image.random_filler(2);
  struct Piece {
    const char* name;
    uint64_t split;    // bytes in the first piece (a cluster multiple)
    uint64_t gap;      // clusters of other data between the pieces
    bool overwritten;  // the gap replaces a cluster of the file instead
  };
  const Piece pieces[] = {
      {"photo.jpg", 1024, 3, false},       {"archive.zip", 2048, 5, false},
      {"restart.jpg", 1024, 2, false},     {"picture.png", 8 * kCluster, 1, true},
      {"clip.avi", 8 * kCluster, 1, true}, {"tone.ogg", 2 * kCluster, 1, true},
  };
  std::map<uint64_t, const Piece*> placed;
  for (const Piece& p : pieces) {
    const std::string whole = sample(p.name);
    const uint64_t at = image.put(whole.substr(0, p.split));
    image.random_filler(p.gap);
    image.put(whole.substr(p.split + (p.overwritten ? p.gap * kCluster : 0)));
    image.random_filler(2);
    placed[at] = &p;
  }
  const auto found = carve_all(image.bytes());
  for (const auto& [offset, p] : placed) {
    SCOPED_TRACE(p->name);
    const Found* f = found_at(found, offset);
    ASSERT_NE(f, nullptr);
    const std::string whole = sample(p->name);
    if (!p->overwritten) {
      EXPECT_TRUE(f->file.intact);
      ASSERT_EQ(f->file.extents.size(), 2u);
      EXPECT_TRUE(f->content == whole);
    } else {
      EXPECT_FALSE(f->file.intact);
      // Kept up to where the structure breaks: the file's own bytes before the overwritten
      // cluster, never more than the file.
      ASSERT_LE(f->content.size(), whole.size());
      const size_t own = std::min<size_t>(f->content.size(), p->split);
      EXPECT_TRUE(f->content.substr(0, own) == whole.substr(0, own));
    }
  }
  EXPECT_EQ(found.size(), placed.size());
}

// Files longer than the block searched and the one read ahead: the search resumes after
// them without reading them again, and finds what starts right after each one.
TEST(Carving, LongFilesAndTheFilesRightAfterThemAreFound) {
  Image image(9);
  image.random_filler(2);
  std::map<uint64_t, std::string> placed;  // offset → the file's bytes
  const auto put = [&](const std::string& content) { placed[image.put(content)] = content; };
  const std::string photo = sample("photo.jpg");
  uint32_t seed = 1;
  for (const size_t extra : {70u << 10, 130u << 10, 300u << 10, 129u << 10}) {
    put(test::grown_jpeg(photo, extra, seed++));
    put(sample("picture.gif"));
    image.random_filler(1);
  }
  put(test::grown_jpeg(photo, 200u << 10, seed));
  const auto found = carve_all(image.bytes());
  for (const auto& [offset, content] : placed) {
    SCOPED_TRACE(offset);
    const Found* f = found_at(found, offset);
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(f->file.intact) << f->file.reason;
    EXPECT_TRUE(f->content == content);
  }
  EXPECT_EQ(found.size(), placed.size());
}

TEST(Carving, RandomTextAndZerosGiveNoRows) {
  Image image(3);
  image.random_filler(4096);
  image.text_filler(64);
  image.bytes().append(64 * kCluster, '\0');
  EXPECT_TRUE(carve_all(image.bytes()).empty());
}

TEST(Carving, NamesFromTheDateTakenElseTheTypeAndOffset) {
  CarvedFile file;
  file.kind = filetypes::Kind::kJpeg;
  file.extents = {{1048576, 10}};
  EXPECT_EQ(carved_name(file), "JPEG 1048576.jpg");
  file.date_taken = "2024-07-14 15:32:10";
  EXPECT_EQ(carved_name(file), "2024-07-14 15.32.10.jpg");
  EXPECT_EQ(carved_name(file, 2), "2024-07-14 15.32.10 2.jpg");
  EXPECT_EQ(category_folder(filetypes::Kind::kZip), "Archives");
  EXPECT_GT(date_value(file.date_taken), 45000.0);
}

}  // namespace
}  // namespace pyralis::carve

namespace pyralis::carve {
namespace {

// A source with one sector that cannot be read: reads deliver the bytes before it.
class BadSectorSource final : public filetypes::ByteSource {
 public:
  BadSectorSource(const std::string& bytes, uint64_t bad) : bytes_(bytes), bad_(bad) {}
  uint64_t Size() const override { return bytes_.size(); }
  size_t Read(uint64_t offset, void* dest, size_t count) override {
    if (offset >= bytes_.size()) return 0;
    count = std::min<size_t>(count, bytes_.size() - offset);
    if (offset < bad_ + 512 && offset + count > bad_) count = offset < bad_ ? bad_ - offset : 0;
    std::memcpy(dest, bytes_.data() + offset, count);
    return count;
  }

 private:
  const std::string& bytes_;
  uint64_t bad_;
};

// A JPEG of noise, `side` pixels square, so that its entropy-coded data runs over many
// clusters.
std::string noise_jpeg(unsigned side, uint32_t seed) {
  jpeg_compress_struct c{};
  jpeg_error_mgr error{};
  c.err = jpeg_std_error(&error);
  jpeg_create_compress(&c);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &out, &size);
  c.image_width = side;
  c.image_height = side;
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, 90, TRUE);
  jpeg_start_compress(&c, TRUE);
  std::mt19937 random(seed);
  std::vector<uint8_t> row(side * 3);
  while (c.next_scanline < c.image_height) {
    for (uint8_t& b : row) b = static_cast<uint8_t>(random());
    JSAMPROW rows[] = {row.data()};
    jpeg_write_scanlines(&c, rows, 1);
  }
  jpeg_finish_compress(&c);
  std::string jpeg(reinterpret_cast<const char*>(out), size);
  jpeg_destroy_compress(&c);
  std::free(out);
  return jpeg;
}

// A camera fills a hole with a photo's first piece and writes the rest after the photo that
// follows the hole: the second piece lies past a whole other picture, whose entropy-coded
// clusters are passed over rather than tried one by one.
TEST(Carving, ASecondPiecePastAWholeOtherPictureIsJoined) {
  const std::string a = noise_jpeg(160, 1), b = noise_jpeg(176, 2);
  ASSERT_GT(b.size(), 40 * kCluster);
  Image image(6);
  image.random_filler(2);
  const uint64_t a_at = image.put(a.substr(0, 16 * kCluster));
  const uint64_t b_at = image.put(b);
  image.put(a.substr(16 * kCluster));
  image.random_filler(2);
  const auto found = carve_all(image.bytes());
  ASSERT_EQ(found.size(), 2u);
  const Found* first = found_at(found, a_at);
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(first->file.intact);
  EXPECT_EQ(first->file.extents.size(), 2u);
  EXPECT_TRUE(first->content == a);
  const Found* other = found_at(found, b_at);
  ASSERT_NE(other, nullptr);
  EXPECT_TRUE(other->file.intact);
  EXPECT_TRUE(other->content == b);
}

// A photo cut short (the rest of its clusters overwritten) keeps the date its EXIF gives,
// and is named by it like a whole one.
TEST(Carving, APhotoCutShortIsNamedByItsDate) {
  Image image(5);
  image.random_filler(2);
  const uint64_t at = image.put(sample("photo.jpg").substr(0, 2 * kCluster));
  image.random_filler(6);
  const auto found = carve_all(image.bytes());
  const Found* f = found_at(found, at);
  ASSERT_NE(f, nullptr);
  EXPECT_FALSE(f->file.intact);
  EXPECT_EQ(f->file.date_taken, "2024-07-14 15:32:10");
  EXPECT_EQ(carved_name(f->file), "2024-07-14 15.32.10.jpg");
}

TEST(Carving, AnUnreadableSectorCutsTheFileAndTheSearchGoesOn) {
  Image image(4);
  image.random_filler(2);
  const uint64_t png = image.put(sample("picture.png"));
  const uint64_t zip = image.put(sample("archive.zip"));
  BadSectorSource volume(image.bytes(), png + 16 * kCluster);
  Options options;
  options.cluster_size = kCluster;
  std::vector<CarvedFile> found;
  Carver carver(volume, options, [&](const CarvedFile& f) { found.push_back(f); });
  carver.search(0, image.bytes().size(), 64 * 1024);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].extents.front().offset, png);
  EXPECT_FALSE(found[0].intact);
  EXPECT_LE(found[0].length, 16 * kCluster);
  EXPECT_EQ(found[1].extents.front().offset, zip);
  EXPECT_TRUE(found[1].intact);
}

}  // namespace
}  // namespace pyralis::carve

namespace pyralis::carve {
namespace {

// Two pictures cut in two and interleaved: A's first piece, B's first piece, A's second,
// B's second. Joined to B's entropy-coded data, A's markers still add up (a wrong join the
// structure cannot tell apart); only the decoding can. Each picture must be joined to its own
// second piece, and neither may reach into the other's.
TEST(Carving, InterleavedJpegsAreEachJoinedToTheirOwnSecondPiece) {
  const std::string a = sample("photo.jpg"), b = sample("multi.jpg");
  constexpr uint64_t kSplit = 2 * kCluster;
  Image image(5);
  image.random_filler(2);
  const uint64_t a_at = image.put(a.substr(0, kSplit));
  const uint64_t b_at = image.put(b.substr(0, kSplit));
  image.put(a.substr(kSplit));
  image.put(b.substr(kSplit));
  image.random_filler(2);

  // The wrong join is whole by its markers.
  const std::string wrong = a.substr(0, kSplit) + b.substr(kCluster, kCluster) + a.substr(kSplit);
  filetypes::MemorySource wrong_source(
      std::span(reinterpret_cast<const uint8_t*>(wrong.data()), wrong.size()));
  ASSERT_EQ(filetypes::check(wrong_source).state, filetypes::State::kIntact);

  const auto found = carve_all(image.bytes());
  ASSERT_EQ(found.size(), 2u);
  for (const auto& [at, whole] : {std::pair{a_at, &a}, std::pair{b_at, &b}}) {
    const Found* f = found_at(found, at);
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(f->file.intact) << f->file.reason;
    EXPECT_EQ(f->file.extents.size(), 2u);
    EXPECT_TRUE(f->content == *whole);
  }
}

}  // namespace
}  // namespace pyralis::carve

namespace pyralis::carve {
namespace {

// A file ends where its structure says, not after the zeros or the line ends of free space
// that follow it (a PDF's "%%EOF" line, an RTF's last brace, a ZIP's end record).
TEST(Carving, EveryFileEndsAtItsLastByteBeforeZerosOrLineEnds) {
  for (const std::string& tail :
       {std::string(kCluster, '\0'), std::string("\r\n\r\n") + std::string(kCluster, '\0')}) {
    Image image(6);
    std::map<uint64_t, std::string> placed;
    for (const char* name : kWhole) {
      const uint64_t at = image.bytes().size();
      image.bytes() += sample(name) + tail;
      image.bytes().resize((image.bytes().size() + kCluster - 1) / kCluster * kCluster, '\0');
      image.random_filler(1);
      placed[at] = name;
    }
    const auto found = carve_all(image.bytes());
    for (const auto& [offset, name] : placed) {
      SCOPED_TRACE(name + (tail.size() > kCluster ? std::string(" before line ends") : ""));
      const Found* f = found_at(found, offset);
      ASSERT_NE(f, nullptr);
      EXPECT_EQ(f->file.length, sample(name).size());
    }
  }
}

}  // namespace
}  // namespace pyralis::carve

namespace pyralis::carve {
namespace {

// A ZIP cut inside its first entry (the rest of the card overwritten): kept from its local
// header up to the last byte its entry's data vouches for, and flagged damaged.
TEST(Carving, AZipCutInsideItsFirstEntryIsKeptDamaged) {
  const std::string zip = sample("archive.zip");
  for (const uint64_t cut : {2 * kCluster, 4 * kCluster}) {
    for (const bool zeros : {false, true}) {
      SCOPED_TRACE(std::to_string(cut) + (zeros ? " then zeros" : " then random bytes"));
      Image image(7);
      image.random_filler(2);
      const uint64_t at = image.put(zip.substr(0, cut));
      if (zeros)
        image.bytes().append(8 * kCluster, '\0');
      else
        image.random_filler(8);
      const auto found = carve_all(image.bytes());
      ASSERT_EQ(found.size(), 1u);
      const Found& f = found[0];
      EXPECT_EQ(f.file.extents.front().offset, at);
      EXPECT_FALSE(f.file.intact);
      EXPECT_GT(f.file.length, 0u);
      EXPECT_LE(f.file.length, cut);
      EXPECT_TRUE(f.content == zip.substr(0, f.file.length));
    }
  }
}

}  // namespace
}  // namespace pyralis::carve
