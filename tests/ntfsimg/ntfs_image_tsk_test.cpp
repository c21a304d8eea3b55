// SPDX-License-Identifier: GPL-3.0-or-later
// The builder's volumes read by an independent reader, The Sleuth Kit: fsstat accepts them,
// fls lists the deleted files under the expected names and folders, icat gives the expected
// bytes, istat shows the expected runs. Skipped when sleuthkit is not installed.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "tests/ntfsimg/ntfs_image_builder.h"
#include "tests/support/test_files.h"

namespace pyralis::test {
namespace {

// One line of `fls -r -p`: the entry's address and its path.
struct Listed {
  uint64_t inode = 0;
  std::string address;  // inode-type-id
  std::string path;
  bool deleted = false;
};

std::vector<Listed> parse_fls(const std::string& text) {
  static const std::regex line(R"(^\S+ (\* )?(\d+)(-\d+-\d+)?(\(realloc\))?:\t(.*)$)");
  std::vector<Listed> out;
  std::istringstream in(text);
  std::string l;
  while (std::getline(in, l)) {
    std::smatch m;
    if (std::regex_match(l, m, line)) {
      out.push_back({std::stoull(m[2]), m[2].str() + m[3].str(), m[5], m[1].matched});
    }
  }
  return out;
}

class TskVolume {
 public:
  explicit TskVolume(const NtfsImageBuilder& b) : builder_(b), path_(dir_.file("ntfs.img")) {
    b.write(path_);
    offset_ = b.geometry().partition_offset_sectors
                  ? " -o " + std::to_string(b.geometry().partition_offset_sectors)
                  : "";
  }
  // Output of a Sleuth Kit tool on the image; fails the test when it exits non-zero.
  std::string run(const std::string& tool, const std::string& args = "") const {
    std::string out;
    const int status = run_command(tool + offset_ + " " + shell_quote(path_) + " " + args, &out);
    EXPECT_EQ(status, 0) << tool << " " << args << ":\n" << out;
    return out;
  }
  // icat of an address into a file (binary content kept apart from messages).
  std::string icat(const std::string& address) const {
    const std::string target = dir_.file("icat.out");
    std::string messages;
    const int status = run_command(
        "icat" + offset_ + " " + shell_quote(path_) + " " + address + " > " + shell_quote(target),
        &messages);
    EXPECT_EQ(status, 0) << "icat " << address << ": " << messages;
    return read_file(target);
  }
  const std::string& path() const { return path_; }

 private:
  const NtfsImageBuilder& builder_;
  TempDir dir_;
  std::string path_;
  std::string offset_;
};

// Byte strings compared without printing them whole.
::testing::AssertionResult same_bytes(const std::string& got, const std::string& want) {
  if (got == want) return ::testing::AssertionSuccess();
  size_t at = 0;
  while (at < got.size() && at < want.size() && got[at] == want[at]) ++at;
  return ::testing::AssertionFailure()
         << got.size() << " bytes vs " << want.size() << " expected, first difference at " << at;
}

// Folder path of a record as fls -p prints it ("a/b/name").
std::string expected_path(const NtfsImageBuilder& b, uint64_t record) {
  std::string path = b.file(record).name;
  for (uint64_t r = b.file(record).parent; r != kRootRecord; r = b.file(r).parent) {
    path = b.file(r).name + "/" + path;
  }
  return path;
}

std::string text_of(uint32_t seed, size_t size) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) {
    s[i] = static_cast<char>('a' + NtfsImageBuilder::pattern_byte(seed, i) % 26);
  }
  return s;
}

// A volume with every kind of file the engine has to handle.
struct Sample {
  std::vector<uint64_t> deleted;  // deleted files whose content icat must return
  uint64_t fixup_crossing = 0, fragmented = 0, sparse = 0, streams = 0, reused = 0;
  uint64_t dos_first = 0, dos_second = 0, deep = 0, compressed = 0, encrypted = 0;
  uint64_t many = 0, report = 0;
  size_t many_live = 0;
};

Sample populate(NtfsImageBuilder& b) {
  Sample s;
  const uint64_t cs = b.cluster_size();
  auto add = [&](FileSpec f) { return b.add_file(f); };
  FileSpec f;
  f.name = "readme.txt";
  f.content = "live file in the root\n";
  add(f);

  f = {};
  f.name = "crossing.txt";
  f.deleted = true;
  f.content = text_of(1, 700);  // a resident value over bytes 510/511 of the record
  f.residency = Residency::kResident;
  s.fixup_crossing = add(f);

  const uint64_t docs = b.add_directory("docs");
  f = {};
  f.name = "report.doc";
  f.parent = docs;
  f.deleted = true;
  f.content = text_of(2, 5 * cs + 123);
  f.residency = Residency::kNonResident;
  f.created = unix_to_filetime(1420070400);   // 2015-01-01 00:00:00
  f.modified = unix_to_filetime(1436400000);  // 2015-07-09 00:00:00
  s.report = add(f);
  s.deleted.push_back(s.report);

  f = {};
  f.name = "half valid.bin";
  f.parent = docs;
  f.deleted = true;
  f.pattern_size = 4 * cs;
  f.initialized_size = cs + 100;  // the rest reads as zeros
  s.deleted.push_back(add(f));

  f = {};
  f.name = "frag.bin";
  f.parent = docs;
  f.deleted = true;
  f.pattern_size = 10 * cs + 77;
  f.pattern_seed = 3;
  f.fragments = 4;
  f.backwards = true;
  s.fragmented = add(f);

  f = {};
  f.name = "sparse.dat";
  f.parent = docs;
  f.deleted = true;
  f.pattern_size = 12 * cs;
  f.pattern_seed = 4;
  f.holes = {{2, 3}, {9, 2}};
  s.sparse = add(f);

  f = {};
  f.name = "streams.txt";
  f.parent = docs;
  f.deleted = true;
  f.content = text_of(5, 3 * cs);
  f.residency = Residency::kNonResident;
  f.streams = {{"Zone.Identifier", "[ZoneTransfer]\r\nZoneId=3\r\n", false},
               {"big", text_of(6, 2 * cs + 5), true}};
  s.streams = add(f);

  f = {};
  f.name = "packed.bin";
  f.parent = docs;
  f.deleted = true;
  f.compressed = true;
  f.pattern_size = 20 * cs;
  f.pattern_seed = 7;
  s.compressed = add(f);

  f = {};
  f.name = "secret.bin";
  f.parent = docs;
  f.deleted = true;
  f.encrypted = true;
  f.content = text_of(8, cs);
  s.encrypted = add(f);

  f = {};
  f.name = "Long file name one.txt";
  f.dos_name = "LONGFI~1.TXT";
  f.dos_name_first = true;
  f.parent = docs;
  f.deleted = true;
  f.content = "alias first";
  s.dos_first = add(f);
  f.name = "Long file name two.txt";
  f.dos_name = "LONGFI~2.TXT";
  f.dos_name_first = false;
  f.content = "alias second";
  s.dos_second = add(f);

  f = {};
  f.name = "reused.bin";
  f.parent = docs;
  f.deleted = true;
  f.pattern_size = 6 * cs;
  f.pattern_seed = 9;
  f.residency = Residency::kNonResident;
  f.reuse = {{1, 2, true}};
  s.reused = add(f);

  const uint64_t papka = b.add_directory("\xD0\x9F\xD0\xB0\xD0\xBF\xD0\xBA\xD0\xB0");  // Папка
  f = {};
  f.name = "\xD0\x94\xD0\xBE\xD0\xBA.txt";  // Док.txt
  f.parent = papka;
  f.deleted = true;
  f.content = text_of(10, 2 * cs);
  s.deleted.push_back(add(f));
  f = {};
  f.name = "Fotograf\xC3\xAD\x61 \xE6\x97\xA5\xE6\x9C\xAC.jpg";  // Fotografía 日本.jpg
  f.deleted = true;
  f.content = text_of(11, 100);
  s.deleted.push_back(add(f));

  uint64_t parent = kRootRecord;
  for (int level = 0; level < 22; ++level) {
    parent = b.add_directory("level" + std::to_string(level), parent);
  }
  f = {};
  f.name = "deep.txt";
  f.parent = parent;
  f.deleted = true;
  f.content = text_of(12, 3 * cs);
  s.deep = add(f);

  // A folder too big for its $INDEX_ROOT: the names go to INDX blocks.
  s.many = b.add_directory("many");
  for (int i = 0; i < 300; ++i) {
    f = {};
    f.name = "entry with a longish name " + std::to_string(i) + ".txt";
    f.parent = s.many;
    f.deleted = i % 30 == 0;
    f.content = std::to_string(i);
    const uint64_t r = add(f);
    if (f.deleted) s.deleted.push_back(r);
    s.many_live += f.deleted ? 0 : 1;
  }
  for (uint64_t r : {s.fixup_crossing, s.fragmented, s.sparse, s.streams, s.compressed, s.encrypted,
                     s.dos_first, s.dos_second, s.deep}) {
    s.deleted.push_back(r);
  }
  return s;
}

bool have_sleuthkit() {
  return have_program("fls") && have_program("icat") && have_program("fsstat") &&
         have_program("istat");
}

struct TskAgreement : ::testing::TestWithParam<NtfsGeometry> {};

std::string describe(const NtfsGeometry& g) {
  return "Record" + std::to_string(g.mft_record_size) + "Cluster" +
         std::to_string(g.sectors_per_cluster * g.sector_size) +
         (g.partition_offset_sectors ? "Partitioned" : "");
}

}  // namespace

// Test names and messages show the layout instead of the struct's bytes.
void PrintTo(const NtfsGeometry& g, std::ostream* os) {
  *os << describe(g);
}

namespace {

TEST_P(TskAgreement, ListsNamesPathsContentAndRunsOfDeletedFiles) {
  if (!have_sleuthkit()) GTEST_SKIP() << "sleuthkit not installed";
  NtfsImageBuilder b(GetParam());
  const Sample s = populate(b);
  const TskVolume volume(b);

  const std::string fsstat = volume.run("fsstat");
  EXPECT_NE(fsstat.find("File System Type: NTFS"), std::string::npos) << fsstat;
  EXPECT_NE(fsstat.find("Cluster Size: " + std::to_string(b.cluster_size())), std::string::npos);
  EXPECT_NE(fsstat.find("Size of MFT Entries: " + std::to_string(b.geometry().mft_record_size)),
            std::string::npos);

  // Every deleted file is listed under its parent chain; nothing live shows up with -d.
  std::map<uint64_t, std::set<std::string>> deleted_paths;
  std::map<std::string, std::string> stream_address;
  for (const Listed& l : parse_fls(volume.run("fls", "-r -d -p"))) {
    EXPECT_TRUE(l.deleted) << l.path;
    deleted_paths[l.inode].insert(l.path);
    stream_address[l.path] = l.address;
  }
  for (uint64_t r : s.deleted) {
    EXPECT_TRUE(deleted_paths[r].count(expected_path(b, r))) << expected_path(b, r);
  }
  EXPECT_TRUE(deleted_paths[s.streams].count("docs/streams.txt:Zone.Identifier"));
  EXPECT_NE(expected_path(b, s.deep).find("level21/deep.txt"), std::string::npos);
  size_t live_in_many = 0;
  for (const Listed& l : parse_fls(volume.run("fls", "-p " + std::to_string(s.many)))) {
    live_in_many += l.deleted ? 0 : 1;
  }
  EXPECT_EQ(live_in_many, s.many_live) << "index blocks of a large folder";

  // The partitioned layout differs only in where the volume starts: a few reads suffice.
  const bool partitioned = b.geometry().partition_offset_sectors != 0;
  const size_t icat_count = partitioned ? 3 : s.deleted.size();
  for (size_t i = 0; i < icat_count; ++i) {
    const uint64_t r = s.deleted[s.deleted.size() - 1 - i];
    ASSERT_EQ(b.free_clusters(r), b.data_clusters(r)) << r;
    EXPECT_TRUE(same_bytes(volume.icat(std::to_string(r)), b.expected_content(r)))
        << expected_path(b, r);
  }
  if (partitioned) return;
  // Partly reused: icat reads what lies in the clusters now.
  EXPECT_LT(b.free_clusters(s.reused), b.data_clusters(s.reused));
  EXPECT_TRUE(same_bytes(volume.icat(std::to_string(s.reused)), b.on_disk_content(s.reused)));
  EXPECT_FALSE(b.on_disk_content(s.reused) == b.expected_content(s.reused));
  EXPECT_TRUE(same_bytes(volume.icat(stream_address["docs/streams.txt:Zone.Identifier"]),
                         b.stream_content(s.streams, "Zone.Identifier")));
  EXPECT_TRUE(same_bytes(volume.icat(stream_address["docs/streams.txt:big"]),
                         b.stream_content(s.streams, "big")));

  // istat lists the clusters of the fragmented file in file order (backward jumps included)
  // and zeros for the holes of the sparse one.
  for (uint64_t r : {s.fragmented, s.sparse}) {
    std::string expected;
    for (const ClusterRun& run : b.file(r).runs) {
      for (uint64_t k = 0; k < run.length; ++k) {
        expected += std::to_string(run.lcn ? *run.lcn + k : 0) + " ";
      }
    }
    std::string listed;
    const std::string istat = volume.run("istat", std::to_string(r));
    std::istringstream in(istat.substr(istat.find("Type: $DATA")));
    std::string l;
    std::getline(in, l);
    while (std::getline(in, l) && !l.empty() && std::isdigit(static_cast<unsigned char>(l[0]))) {
      listed += l;
    }
    EXPECT_EQ(listed, expected) << istat;
  }
  const std::string packed = volume.run("istat", std::to_string(s.compressed));
  EXPECT_NE(packed.find("Compressed"), std::string::npos) << packed;
  const std::string report = volume.run("istat", std::to_string(s.report));
  EXPECT_NE(report.find("Created:\t2015-01-01 00:00:00"), std::string::npos) << report;
  EXPECT_NE(report.find("File Modified:\t2015-07-09 00:00:00"), std::string::npos) << report;
  const std::string secret = volume.run("istat", std::to_string(s.encrypted));
  EXPECT_NE(secret.find("Encrypted"), std::string::npos) << secret;
}

NtfsGeometry geometry(uint32_t record_size, uint32_t sectors_per_cluster, uint64_t offset) {
  NtfsGeometry g;
  g.mft_record_size = record_size;
  g.sectors_per_cluster = sectors_per_cluster;
  g.total_sectors = 24000;
  g.partition_offset_sectors = offset;
  return g;
}

INSTANTIATE_TEST_SUITE_P(Layouts, TskAgreement,
                         ::testing::Values(geometry(1024, 8, 0), geometry(4096, 1, 0),
                                           geometry(1024, 8, 128)),
                         [](const ::testing::TestParamInfo<NtfsGeometry>& info) {
                           return describe(info.param);
                         });

TEST(TskAgreement, MmlsSeesTheNtfsPartition) {
  if (!have_program("mmls")) GTEST_SKIP() << "sleuthkit not installed";
  NtfsImageBuilder b(geometry(1024, 8, 128));
  const TempDir dir;
  b.write(dir.file("disk.img"));
  std::string out;
  ASSERT_EQ(run_command("mmls " + shell_quote(dir.file("disk.img")), &out), 0) << out;
  EXPECT_TRUE(std::regex_search(out, std::regex("0000000128 +0000024127 +0000024000 +NTFS")))
      << out;
}

}  // namespace
}  // namespace pyralis::test

namespace pyralis::test {
namespace {

TEST(TskAgreement, DeepIndexTreesListEveryName) {
  if (!have_sleuthkit()) GTEST_SKIP() << "sleuthkit not installed";
  // 600 names of about 195 characters: 8 per INDX block and one moved up per leaf, so 67
  // leaves, 8 inner blocks, one block above those, and a root holding only its end entry.
  NtfsImageBuilder b({.total_sectors = 32768, .mft_capacity = 1024});
  const uint64_t folder = b.add_directory("wide");
  std::set<std::string> names;
  for (int i = 0; i < 600; ++i) {
    FileSpec f;
    f.name = std::to_string((i * 7919) % 600) + std::string(190, 'n') + ".txt";
    f.parent = folder;
    f.content = "x";
    b.add_file(f);
    names.insert("wide/" + f.name);
  }
  const TskVolume volume(b);
  std::set<std::string> listed;
  for (const Listed& l : parse_fls(volume.run("fls", "-r -p"))) {
    if (l.path.rfind("wide/", 0) == 0) listed.insert(l.path);
  }
  EXPECT_EQ(listed, names);
  const std::string istat = volume.run("istat", std::to_string(folder));
  std::smatch m;
  ASSERT_TRUE(std::regex_search(istat, m, std::regex(R"(\$INDEX_ALLOCATION.*size: (\d+))")))
      << istat;
  EXPECT_EQ(std::stoull(m[1]), 76u * 4096) << "67 leaves, 8 inner blocks, 1 block above them";
}

TEST(MakeNtfsImage, ManifestMatchesTheDeletedFilesFlsLists) {
  if (!have_sleuthkit()) GTEST_SKIP() << "sleuthkit not installed";
  const TempDir dir;
  std::string out;
  ASSERT_EQ(
      run_command(shell_quote(PYRALIS_MAKE_NTFS_IMAGE) + " " + shell_quote(dir.file("bench.img")) +
                      " --records 400 --deleted 100 --long-every 10 --long-clusters 40"
                      " --files-per-dir 30 --manifest " +
                      shell_quote(dir.file("bench.tsv")),
                  &out),
      0)
      << out;
  std::multiset<std::string> manifest;
  std::istringstream lines(read_file(dir.file("bench.tsv")));
  std::string line;
  while (std::getline(lines, line)) {
    const size_t tab = line.find('\t');
    manifest.insert(line.substr(0, tab) + " " +
                    line.substr(tab + 1, line.find('\t', tab + 1) - tab - 1));
  }
  EXPECT_EQ(manifest.size(), 100u);
  ASSERT_EQ(run_command("fls -r -d -p " + shell_quote(dir.file("bench.img")), &out), 0) << out;
  std::multiset<std::string> listed;
  for (const Listed& l : parse_fls(out)) listed.insert(std::to_string(l.inode) + " " + l.path);
  EXPECT_EQ(listed, manifest);
}

}  // namespace
}  // namespace pyralis::test
