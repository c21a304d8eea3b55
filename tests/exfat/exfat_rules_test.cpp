// SPDX-License-Identifier: GPL-3.0-or-later
// Boot-sector checks, the estimate and the recovery rules (contiguous files, whole chains,
// the free-cluster rule, Stop), and a file of more than 4 GiB.
#include <gtest/gtest.h>

#include <array>
#include <fstream>

#include "drivers/drivers.h"
#include "core/found_files.h"
#include "core/process_state.h"
#include "core/recovery_command.h"
#include "exfat/exfat_volume.h"
#include "platform/byte_loads.h"
#include "platform/unreadable_areas.h"
#include "tests/exfat/exfat_test_volume.h"
#include "tests/support/recording_window.h"

namespace pyralis::test {
namespace {

void patch(const std::string& image, uint64_t offset, const std::string& bytes) {
  std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(static_cast<std::streamoff>(offset));
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string le32(uint32_t v) {
  return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
          static_cast<char>(v >> 24)};
}

TEST(ExfatBootSector, EachCheckNamesTheFirstBadValue) {
  TempDir dir;
  ExfatTestVolume v(dir, 16, "4K");
  const std::string boot = read_file(v.image()).substr(0, 512);
  const auto layout_error = [&](size_t at, const std::string& bytes) {
    std::array<uint8_t, 512> sector{};
    std::copy(boot.begin(), boot.end(), sector.begin());
    std::copy(bytes.begin(), bytes.end(), sector.begin() + static_cast<ptrdiff_t>(at));
    std::string error;
    EXPECT_FALSE(exfat::make_layout(sector, 16 << 20, &error).has_value()) << at;
    return error;
  };
  EXPECT_EQ(layout_error(3, "EXFAT  X"), "the boot sector does not name exFAT (\"EXFAT   \" at byte 3)");
  EXPECT_EQ(layout_error(0x6C, "\x0E"),
            "the exFAT boot sector gives a bytes-per-sector shift of 14 (9 to 12 is expected)");
  EXPECT_EQ(layout_error(0x6D, "\x11"), "the exFAT boot sector gives a sectors-per-cluster "
                                        "shift of 17, making clusters larger than 32 MiB");
  EXPECT_EQ(layout_error(0x6E, "\x03"),
            "the exFAT boot sector gives 3 file allocation tables (1 or 2 is expected)");
  EXPECT_NE(layout_error(0x50, le32(0xFFFFFFF0)).find("a file allocation table at sector"),
            std::string::npos);
  EXPECT_NE(layout_error(0x58, le32(0xFFFFFFF0)).find("a cluster heap at sector"),
            std::string::npos);
  EXPECT_NE(layout_error(0x5C, le32(0xFFFFFFF0)).find("4294967280 clusters, more than"),
            std::string::npos);
  EXPECT_NE(layout_error(0x48, std::string(8, '\xFF')).find("a volume length of"),
            std::string::npos);

  // Through the drivers: one line, and no rows.
  RecordingWindow window;
  patch(v.image(), 0x60, le32(999999));
  scan_exfat_image(v.image());
  EXPECT_EQ(FoundFiles.Count(), 0);
  EXPECT_TRUE(window.Logged("C: was not scanned: the exFAT boot sector gives root directory "
                            "cluster 999999, outside the volume's clusters 2 to " +
                            std::to_string(platform::load_u32(
                                std::span(reinterpret_cast<const uint8_t*>(boot.data()), 512),
                                0x5C) + 1) + "."))
      << window.LogText();
}

TEST(ExfatBootSector, RootWithoutAllocationBitmap) {
  TempDir dir;
  RecordingWindow window;
  ExfatTestVolume v(dir, 16, "4K");
  const std::string image = read_file(v.image());
  const auto b = std::span(reinterpret_cast<const uint8_t*>(image.data()), 512);
  const uint64_t root = platform::load_u32(b, 0x58) * 512ull +
                        (platform::load_u32(b, 0x60) - 2ull) * 4096;
  for (uint64_t at = root; at < root + 4096; at += 32)
    if (static_cast<uint8_t>(image[at]) == 0x81) patch(v.image(), at, "\x01");
  scan_exfat_image(v.image());
  EXPECT_TRUE(window.Logged("C: was not scanned: the root directory holds no allocation bitmap "
                            "entry."))
      << window.LogText();
}

class ExfatRulesTest : public ::testing::Test {
 protected:
  TempDir dir, out, saved;
  RecordingWindow window;

  std::string Saved(const std::string& name) { return read_file(saved.file(name)); }
  std::string Recover(const std::string& name) {
    RecoveryActive = true;
    undelete_found_file('c', row_of(name), out.path() + "/");
    return read_file(out.file(name));
  }
};

TEST_F(ExfatRulesTest, ContiguousChainedAndFreeClusterRules) {
  if (!have_program("mkfs.exfat")) GTEST_SKIP();
  ExfatTestVolume v(dir, 16, "4K");
  const std::string s = "\tsave=" + saved.path() + "/";
  v.Write("put\t/a.bin\t16384\t1" + s + "a\nput\t/c.bin\t12288\t3\tfrag" + s +
          "c\nput\t/d.bin\t12288\t4\tfrag" + s + "d\nput\t/live.txt\t100\t5\n");
  // b.bin takes the first two of a.bin's four clusters.
  v.Write("delete\t/c.bin\ndelete\t/d.bin\tclearfat\ndelete\t/a.bin\nput\t/b.bin\t8192\t2" + s +
          "b\n");
  scan_exfat_image(v.image());
  ASSERT_EQ(FoundFiles.Count(), 3) << window.LogText();
  EXPECT_EQ(FoundFiles[row_of("a.bin")].RecoveryQuality, 50);
  EXPECT_EQ(FoundFiles[row_of("c.bin")].RecoveryQuality, 100);
  EXPECT_EQ(FoundFiles[row_of("d.bin")].RecoveryQuality, 100);

  // Contiguous: its own four clusters, whoever holds them now; the two b.bin took are
  // reported as overwritten.
  EXPECT_TRUE(Recover("a.bin") == Saved("b") + Saved("a").substr(8192));
  EXPECT_TRUE(window.Logged("Undeleted " + out.path() +
                            "/a.bin with 8,192 of 16,384 bytes "
                            "overwritten by other files."))
      << window.LogText();
  // Whole chain, all free: the file as written.
  EXPECT_TRUE(Recover("c.bin") == Saved("c"));
  // Chain gone from the table: the first cluster and the free (never written) clusters
  // after it, which lie in the gaps between its own.
  const std::string d = Recover("d.bin");
  EXPECT_EQ(d.size(), 12288u);
  EXPECT_TRUE(d.substr(0, 4096) == Saved("d").substr(0, 4096));
  EXPECT_EQ(d.substr(4096, 4096), std::string(4096, '\0'));

  // Stop: nothing is written and no line says otherwise.
  RecoveryActive = false;
  undelete_found_file('c', row_of("c.bin"), out.path() + "/");
  EXPECT_FALSE(std::ifstream(out.file("c (2).bin")).good());
  EXPECT_EQ(window.LinesWith("successfully.").size(), 2u);
}

// The chain left in the table is the file's list of clusters, also where a live file has
// taken one of them: that cluster's bytes are written and reported as overwritten, never
// replaced by other free clusters. A length beyond the volume ends at the volume.
TEST_F(ExfatRulesTest, KnownClustersAreFollowedAndLengthsBoundedByTheVolume) {
  if (!have_program("mkfs.exfat")) GTEST_SKIP();
  ExfatTestVolume v(dir, 16, "4K");
  const std::string s = "\tsave=" + saved.path() + "/";
  // c.bin: clusters c1 c2 c3 with a free one after c1 and c2; p.bin takes the one after c1;
  // once c.bin is gone, n.bin takes c2 and the free one after it.
  v.Write("put\t/c.bin\t12288\t3\tfrag" + s + "c\nput\t/big.bin\t8192\t6\tvalid=4096" + s +
          "big\n");
  v.Write("put\t/p.bin\t4096\t4\n");
  v.Write("delete\t/c.bin\ndelete\t/big.bin\nput\t/n.bin\t8192\t5" + s + "n\n");
  // big.bin's stream entry claims 10 GiB (its set checksum made right again).
  std::string bytes = read_file(v.image());
  const std::u16string units = u"big.bin";
  const size_t name = bytes.find(std::string(reinterpret_cast<const char*>(units.data()), 14));
  ASSERT_NE(name, std::string::npos);
  const size_t file = name - 2 - 64;
  ASSERT_EQ(static_cast<uint8_t>(bytes[file]), 0x05);
  bytes.replace(file + 32 + 24, 8, std::string("\0\0\0\x80\x02\0\0\0", 8));  // 10 GiB
  const size_t set_bytes = 32 * (1 + static_cast<uint8_t>(bytes[file + 1]));
  uint16_t sum = 0;
  for (size_t i = 0; i < set_bytes; ++i)  // over the set as it was in use
    if (i != 2 && i != 3)
      sum = static_cast<uint16_t>(((sum & 1) ? 0x8000 : 0) + (sum >> 1) +
                                  (static_cast<uint8_t>(bytes[file + i]) | (i % 32 ? 0 : 0x80)));
  bytes[file + 2] = static_cast<char>(sum & 0xFF);
  bytes[file + 3] = static_cast<char>(sum >> 8);
  patch(v.image(), 0, bytes);

  scan_exfat_image(v.image());
  ASSERT_EQ(FoundFiles.Count(), 2) << window.LogText();
  EXPECT_EQ(FoundFiles[row_of("c.bin")].RecoveryQuality, 66);
  EXPECT_TRUE(Recover("c.bin") ==
              Saved("c").substr(0, 4096) + Saved("n").substr(0, 4096) + Saved("c").substr(8192));
  EXPECT_TRUE(window.Logged("Undeleted " + out.path() +
                            "/c.bin with 4,096 of 12,288 bytes "
                            "overwritten by other files."))
      << window.LogText();

  const int32_t big = row_of("big.bin");
  ASSERT_GE(big, 0);
  EXPECT_EQ(FoundFiles[big].Size, int64_t{10} << 30);
  RecoveryActive = true;
  const RecoveryOutcome outcome = undelete_found_file('c', big, out.path() + "/");
  EXPECT_EQ(outcome.result, RecoveryResult::kPartial);
  EXPECT_LE(outcome.bytes_written, uint64_t{16} << 20);
  EXPECT_EQ(outcome.bytes_written + outcome.unreadable_bytes(), uint64_t{10} << 30);
  EXPECT_TRUE(read_file(out.file("big.bin")).substr(0, 4096) == Saved("big").substr(0, 4096));
  EXPECT_TRUE(window.LinesWith("The volume ends before the file does: ").size() == 1u)
      << window.LogText();

  // A flipped bit in the file entry costs the set's checksum: still listed, as "Bad".
  bytes[file + 8] = static_cast<char>(bytes[file + 8] ^ 0x10);
  patch(v.image(), 0, bytes);
  scan_exfat_image(v.image());
  ASSERT_GE(row_of("big.bin"), 0) << window.LogText();
  EXPECT_GE(FoundFiles[row_of("big.bin")].RecoveryQuality, 1);
  EXPECT_LE(FoundFiles[row_of("big.bin")].RecoveryQuality, 33);
  EXPECT_TRUE(
      window.Logged("1 deleted file is listed as \"Bad\": the checksum of its directory "
                    "entries fails."))
      << window.LogText();
}

// A table sector that cannot be read on a volume with one table: chains through it are
// unknown, so the files are partial (never filled up with other clusters), and the line that
// says so comes once per command, not once per file.
TEST_F(ExfatRulesTest, UnreadableTableSectorMakesChainsUnknownAndIsSaidOncePerCommand) {
  if (!have_program("mkfs.exfat")) GTEST_SKIP();
  ExfatTestVolume v(dir, 16, "4K");
  v.Write("put\t/a.bin\t12288\t3\tfrag\nput\t/b.bin\t12288\t4\tfrag\n");
  v.Write("delete\t/a.bin\ndelete\t/b.bin\n");
  const std::string bytes = read_file(v.image());
  const std::span<const uint8_t> b(reinterpret_cast<const uint8_t*>(bytes.data()), 512);
  const uint64_t fat = uint64_t{platform::load_u32(b, 0x50)} << b[0x6C];
  platform::set_unreadable_areas(v.image(), {{fat, 512}});
  scan_exfat_image(v.image());
  const size_t said_by_scan = window.LinesWith("Could not read all of the file allocation").size();
  {
    const RecoveryCommand command;
    for (const char* name : {"a.bin", "b.bin"}) {
      ASSERT_GE(row_of(name), 0) << window.LogText();
      RecoveryActive = true;
      const RecoveryOutcome outcome = undelete_found_file('c', row_of(name), out.path() + "/");
      EXPECT_EQ(outcome.result, RecoveryResult::kPartial) << name << "\n" << window.LogText();
      EXPECT_EQ(outcome.bytes_written, 4096u) << name;
    }
  }
  platform::clear_unreadable_areas();
  EXPECT_EQ(window.LinesWith("Could not read all of the file allocation").size(),
            said_by_scan + 1)
      << window.LogText();
}

TEST_F(ExfatRulesTest, UnreadableFolderSectorCostsOnlyTheEntriesItHolds) {
  if (!have_program("mkfs.exfat")) GTEST_SKIP();
  ExfatTestVolume v(dir, 16, "4K");
  // Thirty files of three entries each: about five to a 512-byte sector of the folder.
  std::string script = "mkdir\t/box\n", deletes;
  for (int i = 0; i < 30; ++i) {
    const std::string name = "/box/f" + std::to_string(10 + i) + ".dat";
    script += "put\t" + name + "\t100\t" + std::to_string(i + 1) + "\n";
    deletes += "delete\t" + name + "\n";
  }
  v.Write(script);
  v.Write(deletes);
  const std::string bytes = read_file(v.image());
  const std::u16string units = u"f20.dat";
  const size_t at = bytes.find(std::string(reinterpret_cast<const char*>(units.data()), 14));
  ASSERT_NE(at, std::string::npos);
  platform::set_unreadable_areas(v.image(), {{at / 512 * 512, 512}});
  scan_exfat_image(v.image());
  platform::clear_unreadable_areas();
  // The zeros read for that sector are no end of the folder: the files after it are listed.
  EXPECT_GE(row_of("box/f39.dat"), 0) << window.LogText();
  EXPECT_LT(row_of("box/f20.dat"), 0);
  EXPECT_GE(FoundFiles.Count(), 30 - 7);
  EXPECT_LT(FoundFiles.Count(), 30);
}

TEST_F(ExfatRulesTest, FileOverFourGibInASparseImage) {
  if (!have_program("mkfs.exfat")) GTEST_SKIP();
  ExfatTestVolume v(dir, 5 * 1024, "128K");
  const uint64_t size = (4ull << 30) + 123457;
  v.Write("put\t/huge.mov\t" + std::to_string(size) + "\t7\tsparse\n");
  v.Write("delete\t/huge.mov\n");
  scan_exfat_image(v.image());
  ASSERT_EQ(FoundFiles.Count(), 1);
  EXPECT_EQ(FoundFiles[0].Size, static_cast<int64_t>(size));
  EXPECT_EQ(FoundFiles[0].RecoveryQuality, 100);
  // Recovering it writes 4 GiB, and fls takes half a minute over it: bench/exfat recovers it
  // and compares it with icat.
}

}  // namespace
}  // namespace pyralis::test
