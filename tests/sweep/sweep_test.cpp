// SPDX-License-Identifier: GPL-3.0-or-later
// The pass over a volume: every block handed out once and in order, an unreadable sector
// zeroed and listed, and bytes read ahead for a recogniser served from the blocks the pass
// hands out later (bounded, never over an unreadable sector, never behind the pass).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "core/process_state.h"
#include "platform/drive_table.h"
#include "platform/unreadable_areas.h"
#include "rawdisk/raw_disk_access_component.h"
#include "sweep/sweep.h"
#include "tests/support/recording_window.h"
#include "tests/support/test_files.h"

namespace pyralis::test {
namespace {

constexpr uint64_t kMiB = 1 << 20;

// A byte that says where it lies, so that a byte served from the wrong place shows.
uint8_t byte_at(uint64_t offset) {
  return static_cast<uint8_t>((offset * 2654435761u) >> 13);
}

// The volume as the test wrote it.
std::string volume;

bool holds_its_bytes(uint64_t offset, std::span<const uint8_t> bytes) {
  return offset + bytes.size() <= volume.size() &&
         std::equal(bytes.begin(), bytes.end(),
                    reinterpret_cast<const uint8_t*>(volume.data()) + offset);
}

// Asks for bytes ahead while it is handed its first block, and notes every block.
class LookingAhead final : public Recogniser {
 public:
  explicit LookingAhead(std::vector<std::pair<uint64_t, size_t>> asks) : asks_(std::move(asks)) {}
  void OnStart(Sweep& sweep) override { sweep_ = &sweep; }
  void OnBlock(uint64_t offset, std::span<const uint8_t> bytes,
               std::span<const RequestRange> unreadable) override {
    blocks.emplace_back(offset, bytes.size());
    for (const RequestRange& r : unreadable) unreadable_at.push_back(offset + r.offset);
    if (unreadable.empty()) whole_blocks_hold_their_bytes &= holds_its_bytes(offset, bytes);
    if (blocks.size() != 1) return;
    // The bytes served are valid during this call only: they are kept as copies.
    std::vector<std::span<const uint8_t>> served;
    for (const auto& [at, count] : asks_) served.push_back(sweep_->Ahead(at, count));
    for (const auto& span : served) got.emplace_back(span.begin(), span.end());
    // What was served stays in place while more is read ahead.
    (void)sweep_->Ahead(offset + Sweep::kAheadBytes - 1, 1);
    for (size_t i = 0; i < served.size(); ++i)
      stayed &= std::equal(served[i].begin(), served[i].end(), got[i].begin());
    behind = sweep_->Ahead(offset - 512, 512).size();
  }
  void OnEnd(bool) override { after_end = sweep_->Ahead(0, 512).size(); }

  std::vector<std::pair<uint64_t, size_t>> blocks;
  std::vector<uint64_t> unreadable_at;
  std::vector<std::vector<uint8_t>> got;  // what each ask was served
  bool whole_blocks_hold_their_bytes = true;
  bool stayed = true;
  size_t behind = 99;
  size_t after_end = 99;

 private:
  std::vector<std::pair<uint64_t, size_t>> asks_;
  Sweep* sweep_ = nullptr;
};

TEST(SweepTest, BytesReadAheadAreTheBlocksThePassHandsOutLater) {
  TempDir dir;
  RecordingWindow window;
  // 40 MiB and three sectors: more than the pass reads ahead, and a short last block.
  const uint64_t size = 40 * kMiB + 1536;
  std::string image(size, '\0');
  for (uint64_t i = 0; i < size; ++i) image[i] = static_cast<char>(byte_at(i));
  const uint64_t bad = 3 * kMiB + 4096;
  for (uint64_t i = bad; i < bad + 512; ++i) image[i] = '\0';
  const std::string path = dir.file("v.img");
  ASSERT_TRUE(write_file(path, image));
  // A FAT16 volume over it (the pass reads volumes); its data area keeps the bytes.
  ASSERT_EQ(std::system(("mkfs.fat -F 16 " + shell_quote(path) + " >/dev/null").c_str()), 0);
  volume = read_file(path);
  ASSERT_EQ(volume.substr(kMiB), image.substr(kMiB));
  platform::reset_drive_table();
  platform::attach_sources({path});
  platform::set_unreadable_areas(path, {{bad, 512}});
  ScanActive = true;

  TRawDiskAccessComponent component;
  component.SetLogicalDrive('c');
  ASSERT_EQ(component.SectorSize(), 512) << component.StatusText();
  ASSERT_EQ(component.VolumeSectors(), static_cast<int64_t>(size / 512));
  LookingAhead recogniser({
      {100, 50},                  // in the block being handed out
      {2 * kMiB + 7, 2 * kMiB},   // ahead: up to its block's end
      {bad - 1000, 4000},         // up to the unreadable sector
      {bad + 256, 16},            // in it: nothing
      {Sweep::kAheadBytes, 512},  // past how far the pass reads ahead
      {40 * kMiB + 1024, 4096},   // the short last block, not read ahead that far
  });
  Sweep sweep(component);
  sweep.Add(recogniser);
  const SweepResult result = sweep.Run();
  platform::clear_unreadable_areas();
  platform::reset_drive_table();

  EXPECT_FALSE(result.stopped);
  EXPECT_EQ(result.bytes_read, size);
  EXPECT_EQ(result.unreadable_bytes, 512u);
  ASSERT_EQ(recogniser.blocks.size(), 41u);
  for (size_t i = 0; i < recogniser.blocks.size(); ++i) {
    EXPECT_EQ(recogniser.blocks[i].first, i * kMiB);
    EXPECT_EQ(recogniser.blocks[i].second, i < 40 ? kMiB : 1536u);
  }
  EXPECT_EQ(recogniser.unreadable_at, std::vector<uint64_t>{bad});
  EXPECT_TRUE(recogniser.whole_blocks_hold_their_bytes);

  const auto& got = recogniser.got;
  ASSERT_EQ(got.size(), 6u);
  EXPECT_EQ(got[0].size(), 50u);
  EXPECT_TRUE(holds_its_bytes(100, got[0]));
  EXPECT_EQ(got[1].size(), kMiB - 7);
  EXPECT_TRUE(holds_its_bytes(2 * kMiB + 7, got[1]));
  EXPECT_EQ(got[2].size(), 1000u);
  EXPECT_TRUE(holds_its_bytes(bad - 1000, got[2]));
  EXPECT_TRUE(got[3].empty());
  EXPECT_TRUE(got[4].empty());
  EXPECT_TRUE(got[5].empty());
  EXPECT_TRUE(recogniser.stayed);
  EXPECT_EQ(recogniser.behind, 0u);
  EXPECT_EQ(recogniser.after_end, 0u);
}

}  // namespace
}  // namespace pyralis::test
