// SPDX-License-Identifier: GPL-3.0-or-later
// A file deleted by hand in a copy of a Windows-made volume, the way NTFS deletes: the
// record's in-use flag, its bit in the MFT bitmap and its clusters' bits in $Bitmap are
// cleared. The scan must list it under its name and folder, and the recovery must give its
// content back.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "core/found_files.h"
#include "tests/ntfs/ntfs_test_drive.h"
#include "tests/support/recording_window.h"
#include "tests/support/test_files.h"

namespace pyralis::test {
namespace {

// Byte access to an image file.
class ImageFile {
 public:
  explicit ImageFile(const std::string& path)
      : file_(path, std::ios::in | std::ios::out | std::ios::binary) {}
  std::vector<uint8_t> Read(uint64_t at, size_t n) {
    std::vector<uint8_t> b(n);
    file_.seekg(static_cast<std::streamoff>(at));
    file_.read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(n));
    return b;
  }
  void Write(uint64_t at, const std::vector<uint8_t>& b) {
    file_.seekp(static_cast<std::streamoff>(at));
    file_.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  }
  void ClearBit(uint64_t byte_at, unsigned bit) {
    auto b = Read(byte_at, 1);
    b[0] = static_cast<uint8_t>(b[0] & ~(1u << bit));
    Write(byte_at, b);
  }

 private:
  std::fstream file_;
};

uint64_t le(const std::vector<uint8_t>& b, size_t at, size_t n) {
  uint64_t v = 0;
  for (size_t i = n; i-- > 0;) v = (v << 8) | b.at(at + i);
  return v;
}

// Layout read straight from the boot sector (MFT assumed contiguous, as on a fresh volume).
struct Layout {
  uint64_t volume = 0;  // byte offset of the volume in the image
  uint64_t cluster = 0;
  uint64_t record_size = 0;
  uint64_t mft = 0;  // byte offset of record 0 in the image
};

Layout read_layout(ImageFile& image, uint64_t volume) {
  const auto boot = image.Read(volume, 512);
  Layout l;
  l.volume = volume;
  l.cluster = le(boot, 0x0B, 2) * boot[0x0D];
  const int8_t per_record = static_cast<int8_t>(boot[0x40]);
  l.record_size = per_record < 0 ? uint64_t{1} << -per_record : per_record * l.cluster;
  l.mft = volume + le(boot, 0x30, 8) * l.cluster;
  return l;
}

// A record with its update sequence undone (only for reading attribute headers).
std::vector<uint8_t> fixed_record(ImageFile& image, const Layout& l, uint64_t number) {
  auto r = image.Read(l.mft + number * l.record_size, l.record_size);
  const size_t usa = le(r, 4, 2), count = le(r, 6, 2);
  for (size_t i = 1; i < count; ++i) {
    r.at(i * 512 - 2) = r.at(usa + 2 * i);
    r.at(i * 512 - 1) = r.at(usa + 2 * i + 1);
  }
  return r;
}

// First run {lcn, clusters} of the first non-resident attribute of `type`.
std::pair<uint64_t, uint64_t> first_run(const std::vector<uint8_t>& r, uint32_t type) {
  for (size_t at = le(r, 0x14, 2); at + 8 < r.size() && le(r, at, 4) != 0xFFFFFFFF;
       at += le(r, at + 4, 4)) {
    if (le(r, at, 4) != type || r.at(at + 8) == 0) continue;
    const size_t p = at + le(r, at + 0x20, 2);
    const unsigned lw = r.at(p) & 15, ow = r.at(p) >> 4;
    return {le(r, p + 1 + lw, ow), le(r, p + 1, lw)};
  }
  return {0, 0};
}

void delete_record(const std::string& path, uint64_t volume, uint64_t number) {
  ImageFile image(path);
  const Layout l = read_layout(image, volume);
  const uint64_t at = l.mft + number * l.record_size;
  auto flags = image.Read(at + 0x16, 2);
  ASSERT_EQ(flags[0] & 1, 1) << "record " << number << " is not in use";
  flags[0] &= 0xFE;
  image.Write(at + 0x16, flags);  // 0x16 is never under an update-sequence slot

  const auto [mft_bitmap, mft_bitmap_length] = first_run(fixed_record(image, l, 0), 0xB0);
  ASSERT_GT(mft_bitmap_length * l.cluster * 8, number);
  image.ClearBit(volume + mft_bitmap * l.cluster + number / 8, number % 8);

  const auto [bitmap, bitmap_length] = first_run(fixed_record(image, l, 6), 0x80);
  const auto [data, data_length] = first_run(fixed_record(image, l, number), 0x80);
  for (uint64_t c = data; c < data + data_length; ++c) {
    ASSERT_LT(c / 8, bitmap_length * l.cluster);
    image.ClearBit(volume + bitmap * l.cluster + c / 8, c % 8);
  }
}

struct Deletion {
  const char* sample;
  uint64_t volume;  // byte offset of the NTFS volume in the image
  uint64_t record;
  const char* name;
  const char* path;
  int64_t size;
  const char* starts_with;
};

class NtfsWindowsDeleteTest : public ::testing::TestWithParam<Deletion> {};

TEST_P(NtfsWindowsDeleteTest, DeletedFileIsListedAndRecovered) {
  const Deletion& d = GetParam();
  TempDir dir;
  const std::string image = gunzip_fixture(d.sample, dir);
  delete_record(image, d.volume, d.record);
  if (HasFatalFailure()) return;

  RecordingWindow window;
  ScanActive = true;
  scan_image(image);
  ASSERT_EQ(FoundFiles.Count(), 1) << window.LogText();
  const FoundFileRecord& row = FoundFiles[0];
  EXPECT_EQ(row.Inode, static_cast<int64_t>(d.record));
  EXPECT_EQ(row.Name, d.name);
  EXPECT_EQ(row.Path, d.path);
  EXPECT_EQ(row.Size, d.size);
  EXPECT_EQ(row.RecoveryQuality, 100);
  EXPECT_GT(row.Created, 40000.0);  // a date of this century
  EXPECT_GE(row.Modified, row.Created - 1);

  const std::string out = dir.path() + "/out/";
  std::filesystem::create_directory(out);
  undelete_found_file('c', 0, out);
  EXPECT_TRUE(window.Logged("Undeleted " + out + d.name + " successfully.")) << window.LogText();
  const std::string content = read_file(out + d.name);
  EXPECT_EQ(static_cast<int64_t>(content.size()), d.size);
  EXPECT_EQ(content.rfind(d.starts_with, 0), 0u) << content.substr(0, 40);
  if (have_program("icat")) {
    std::string expected;
    ASSERT_EQ(run_command("icat -o " + std::to_string(d.volume / 512) + " " + shell_quote(image) +
                              " " + std::to_string(d.record),
                          &expected),
              0);
    EXPECT_EQ(content, expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Samples, NtfsWindowsDeleteTest,
    ::testing::Values(Deletion{"cc0-ntfs-samples/ntfs-lastaccess.raw.gz", 128 * 512, 43, "1.txt",
                               "C:\\test\\", 143, "test test 123 456"},
                      Deletion{"gpl3-samples/ntfs3.raw.gz", 0, 28, "1.txt", "C:\\test\\", 286671,
                               ""}),
    [](const auto& info) { return std::string(info.param.volume ? "resident" : "nonresident"); });

}  // namespace
}  // namespace pyralis::test
