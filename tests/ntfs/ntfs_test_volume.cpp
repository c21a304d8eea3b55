// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/ntfs/ntfs_test_volume.h"

namespace pyralis::test {

std::string test_content(size_t size, int seed) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) {
    s[i] = static_cast<char>((i * 31 + seed * 7 + i / 4096) & 0xFF);
  }
  return s;
}

CaseVolume::CaseVolume(const NtfsGeometry& geometry)
    : builder(std::make_unique<NtfsImageBuilder>(geometry)) {
  NtfsImageBuilder& b = *builder;
  const uint64_t cluster = b.cluster_size();
  docs = b.add_directory("Docs");
  // Files of whole clusters stay non-resident also in large records with small clusters.
  auto add = [&](const std::string& key, FileSpec spec) {
    if (spec.content.size() >= cluster && spec.residency == Residency::kAuto) {
      spec.residency = Residency::kNonResident;
    }
    rec[key] = b.add_file(spec);
  };

  FileSpec f;
  f.deleted = true;
  f.name = "small.txt";
  f.parent = kRootRecord;
  f.content = test_content(600, 1);  // crosses offset 510 of the record
  f.residency = Residency::kResident;
  add("small", f);

  f = {};
  f.deleted = true;
  f.parent = docs;
  f.name = "onerun.bin";
  f.content = test_content(3 * cluster + 100, 2);
  add("onerun", f);

  f.name = "fragmented.bin";
  f.content = test_content(6 * cluster + 7, 3);
  f.fragments = 3;
  f.backwards = true;
  add("fragmented", f);

  f = {};
  f.deleted = true;
  f.parent = docs;
  f.name = "sparse.bin";
  f.content = test_content(8 * cluster, 4);
  f.holes = {{2, 3}};
  add("sparse", f);

  f = {};
  f.deleted = true;
  f.parent = docs;
  f.name = "partly.bin";
  f.content = test_content(4 * cluster, 5);
  f.reuse = {{2, 2, true}};
  add("partly", f);

  f.name = "reused.bin";
  f.content = test_content(2 * cluster, 6);
  f.reuse = {{0, 2, true}};
  add("reused", f);

  f = {};
  f.deleted = true;
  f.parent = docs;
  f.name = "download.zip";
  f.content = test_content(2 * cluster, 7);
  f.streams = {{"Zone.Identifier", "[ZoneTransfer]\r\nZoneId=3\r\n", false}};
  add("streams", f);

  f = {};
  f.deleted = true;
  f.parent = docs;
  f.name = "packed.dat";
  f.content = test_content(32 * cluster, 8);
  f.compressed = true;
  add("compressed", f);

  f = {};
  f.deleted = true;
  f.parent = docs;
  f.name = "secret.dat";
  f.content = test_content(2 * cluster, 9);
  f.encrypted = true;
  add("encrypted", f);

  f = {};
  f.deleted = true;
  f.parent = docs;
  f.name = "Quarterly Report.doc";
  f.dos_name = "QUARTE~1.DOC";
  f.dos_name_first = true;
  f.content = "first";
  add("dosfirst", f);

  f.name = "Annual Report.doc";
  f.dos_name = "ANNUAL~1.DOC";
  f.dos_name_first = false;
  f.content = "last";
  add("doslast", f);

  f = {};
  f.deleted = true;
  f.parent = docs;
  f.name = "Ünïcödé файл 日本.txt";
  f.content = "unicode";
  add("unicode", f);

  uint64_t parent = kRootRecord;
  for (int level = 1; level <= 25; ++level) {
    parent = b.add_directory("d" + std::to_string(level), parent);
  }
  f = {};
  f.deleted = true;
  f.parent = parent;
  f.name = "deep.txt";
  f.content = "deep";
  add("deep", f);

  f = {};
  f.parent = docs;
  f.name = "live.txt";
  f.content = "still here";
  add("live", f);

  rec["deldir"] = b.add_directory("gone", docs, true);

  f = {};
  f.deleted = true;
  f.parent = docs;
  f.name = "empty.txt";
  add("empty", f);
}

std::string CaseVolume::Write(const TempDir& dir, const std::string& name) const {
  const std::string path = dir.file(name);
  builder->write(path);
  return path;
}

}  // namespace pyralis::test
