// SPDX-License-Identifier: GPL-3.0-or-later
// NTFS compressed files come back as the file system reads them: LZNT1 units decompressed,
// sparse units as zeros, units stored whole as they are. A unit that does not decompress
// makes the file partial with that unit's bytes. The units are packed here by a small LZNT1
// compressor of the test's own.
#include <gtest/gtest.h>

#include <random>

#include "core/found_files.h"
#include "ntfs/ntfs_lznt1.h"
#include "tests/damage/damage_support.h"
#include "tests/ntfsimg/ntfs_image_builder.h"

namespace pyralis::test {
namespace {

constexpr size_t kChunk = 4096;

// One chunk of at most 4096 bytes as LZNT1 chunk data (no header): literals only, or greedy
// back-references of at least 3 bytes where `references`.
std::string pack_chunk(const std::string& plain, bool references) {
  std::string out;
  size_t pos = 0;
  while (pos < plain.size()) {
    const size_t flags_at = out.size();
    out.push_back('\0');
    uint8_t flags = 0;
    for (int bit = 0; bit < 8 && pos < plain.size(); ++bit) {
      unsigned offset_bits = 4;
      for (size_t n = pos - 1; pos > 0 && n >= 16; n >>= 1) ++offset_bits;
      const size_t max_length = (size_t{1} << (16 - offset_bits)) - 1 + 3;
      const size_t max_offset = std::min(pos, size_t{1} << offset_bits);
      size_t best = 0, best_offset = 0;
      for (size_t offset = 1; references && offset <= max_offset; ++offset) {
        size_t n = 0;
        while (n < max_length && pos + n < plain.size() &&
               plain[pos + n] == plain[pos + n - offset])
          ++n;
        if (n > best) best = n, best_offset = offset;
      }
      if (best >= 3) {
        const uint16_t token =
            static_cast<uint16_t>(((best_offset - 1) << (16 - offset_bits)) | (best - 3));
        out.push_back(static_cast<char>(token & 0xFF));
        out.push_back(static_cast<char>(token >> 8));
        flags |= static_cast<uint8_t>(1u << bit);
        pos += best;
      } else {
        out.push_back(plain[pos++]);
      }
    }
    out[flags_at] = static_cast<char>(flags);
  }
  return out;
}

// A unit's content as chunks with headers. With back-references, a chunk that does not
// shrink is stored as it is; literal-only chunks are always kept packed (so they must be
// short enough to fit a chunk's 4096 bytes: at most 3640 bytes of content).
std::string pack_unit(const std::string& plain, bool references) {
  std::string out;
  for (size_t at = 0; at < plain.size(); at += kChunk) {
    const std::string part = plain.substr(at, kChunk);
    std::string data = pack_chunk(part, references);
    uint16_t header = 0x3000;
    if (!references || data.size() < part.size()) {
      header |= 0x8000;
    } else {
      data = part;
    }
    header |= static_cast<uint16_t>(data.size() + 2 - 3);
    out.push_back(static_cast<char>(header & 0xFF));
    out.push_back(static_cast<char>(header >> 8));
    out += data;
  }
  return out;
}

std::string text(size_t size, int seed) {
  std::string s;
  for (int i = 0; s.size() < size; ++i)
    s += "line " + std::to_string(seed * 1000 + i % 97) + " of a compressible text\n";
  return s.substr(0, size);
}

std::string noise(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>(random());
  return s;
}

TEST(Lznt1, RoundTripsAndRefusesBrokenChunks) {
  const std::string mixed = text(3 * kChunk, 1) + noise(kChunk, 2) + std::string(5000, 'z');
  for (const bool references : {true, false}) {
    const std::string plain = references ? mixed : text(3000, 7);
    const std::string packed = pack_unit(plain, references);
    std::vector<uint8_t> out(16 * kChunk, 0xEE);
    ASSERT_TRUE(ntfs::lznt1_decompress(
        std::span(reinterpret_cast<const uint8_t*>(packed.data()), packed.size()), out));
    EXPECT_TRUE(std::string(out.begin(), out.begin() + plain.size()) == plain) << references;
    EXPECT_EQ(std::count(out.begin() + plain.size(), out.end(), 0), out.size() - plain.size());
  }
  struct Broken {
    const char* what;
    std::string bytes;
  };
  const Broken broken[] = {
      {"reference before any byte", std::string("\x02\xB0\x01\x00\x00", 5)},
      {"chunk past the input", std::string("\x10\xB0\x00"
                                           "abc",
                                           6)},
      {"reference before the chunk's start", std::string("\x04\xB0\x02"
                                                         "a\x10\x00",
                                                         6)},
  };
  for (const Broken& b : broken) {
    std::vector<uint8_t> out(kChunk);
    EXPECT_FALSE(ntfs::lznt1_decompress(
        std::span(reinterpret_cast<const uint8_t*>(b.bytes.data()), b.bytes.size()), out))
        << b.what;
  }
}

// A deleted compressed file of four units of 16 clusters: LZNT1 with back-references (one
// of its chunks stored as it is), a sparse unit, a unit stored whole (noise), and a short
// last unit packed with literals only (one cluster, the rest of the unit a hole).
struct CompressedVolume {
  std::string image;
  std::string plain;
  uint64_t unit0_offset = 0;  // image offset of the first unit's clusters
  uint64_t record = 0;
};

void make_compressed_volume(CompressedVolume& v) {
  NtfsGeometry g;
  g.total_sectors = 16384;
  g.mft_capacity = 64;
  NtfsImageBuilder b(g);
  const uint64_t cs = b.cluster_size();
  const uint64_t unit = 16 * cs;
  const std::string units[] = {text(unit - kChunk, 3) + noise(kChunk, 4), std::string(unit, '\0'),
                               noise(unit, 5), text(3000, 6)};
  // The runs, and the bytes each unit's clusters get once the image is built.
  std::vector<ClusterRun> runs;
  std::vector<std::pair<uint64_t, std::string>> patches;
  uint64_t lcn = b.total_clusters() / 2;
  const auto add_run = [&](uint64_t length, std::optional<uint64_t> at) {
    if (!at && !runs.empty() && !runs.back().lcn)
      runs.back().length += length;
    else
      runs.push_back({length, at});
  };
  for (size_t u = 0; u < 4; ++u) {
    v.plain += units[u];
    if (u == 1) {
      add_run(16, std::nullopt);
      continue;
    }
    const std::string packed = u == 2 ? units[u] : pack_unit(units[u], u == 0);
    const uint64_t clusters = (packed.size() + cs - 1) / cs;
    ASSERT_LT(u == 2 ? 0 : clusters, 16u);
    patches.push_back({lcn, packed});
    add_run(clusters, lcn);
    if (clusters < 16) add_run(16 - clusters, std::nullopt);
    lcn += clusters + 3;
  }
  FileSpec f;
  f.name = "packed.txt";
  f.deleted = true;
  f.compressed = true;
  f.content = std::string(v.plain.size(), '\0');
  f.runs = runs;
  v.record = b.add_file(f);
  const std::vector<uint8_t> bytes = b.build();
  v.image.assign(bytes.begin(), bytes.end());
  for (const auto& [at, packed] : patches)
    v.image.replace(b.cluster_offset(at), packed.size(), packed);
  v.unit0_offset = b.cluster_offset(patches.front().first);
}

TEST(NtfsCompressed, FilesAreWrittenDecompressedAndABrokenUnitMakesThemPartial) {
  CompressedVolume v;
  make_compressed_volume(v);
  ASSERT_FALSE(v.image.empty());
  TempDir dir;
  RunResult r = scan_and_recover(dir, "ntfs.img", v.image);
  ASSERT_EQ(r.rows, 1);
  EXPECT_EQ(count_lines(r.recover_log, "packed.txt successfully."), 1u)
      << ::testing::PrintToString(r.recover_log);
  EXPECT_TRUE(read_file(dir.file("out/packed.txt")) == v.plain);
  // The Sleuth Kit, an independent reader, decompresses the test's units the same way.
  if (have_program("icat")) {
    write_file(dir.file("tsk.img"), v.image);
    std::string tsk;
    EXPECT_EQ(run_command("icat " + dir.file("tsk.img") + " " + std::to_string(v.record), &tsk), 0);
    EXPECT_TRUE(tsk == v.plain) << tsk.size();
  }

  // The first unit's first chunk starts with a back-reference: nothing to refer to.
  std::string broken = v.image;
  put8(broken, v.unit0_offset + 2, 0x01);
  r = scan_and_recover(dir, "ntfs.img", broken);
  const std::string written = read_file(dir.file("out/packed.txt"));
  const size_t unit = 16 * 4096;
  EXPECT_EQ(count_lines(r.recover_log, "with 65,536 of "), 1u)
      << ::testing::PrintToString(r.recover_log);
  EXPECT_EQ(count_lines(r.recover_log, "Could not decompress 1 compression unit(s) of packed.txt"),
            1u);
  ASSERT_EQ(written.size(), v.plain.size());
  EXPECT_TRUE(written.substr(0, unit) == std::string(unit, '\0'));
  EXPECT_TRUE(written.substr(unit) == v.plain.substr(unit));
}

}  // namespace
}  // namespace pyralis::test
