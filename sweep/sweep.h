// SPDX-License-Identifier: GPL-3.0-or-later
// The sweep: one sequential pass over a volume, front to back, in large aligned blocks, that
// hands every block to the recognisers registered for the pass. The deep scan's recognisers
// (FAT folder clusters, exFAT entry sets, NTFS records) and a content carver all look at the
// same blocks, so that a deep scan with carving reads the volume once.
//
// Reading: blocks of kBlockBytes (1 MiB, a whole number of sectors, each starting at a
// multiple of the block size from the pass's first byte) are read with one transfer of the
// raw disk layer. A transfer that fails is read again through the component, which retries
// sector by sector: what still fails is zeros in the block and listed in the block's
// `unreadable` ranges. An unreadable block never ends the pass.
//
// Reading ahead: a recogniser may ask for bytes of the pass beyond the block it is handed
// (`Sweep::Ahead`), up to kAheadBytes past that block's start. The sweep reads the blocks up
// to them at once and keeps them until their turn comes, so that a structure followed past
// its block (a carved file's walk) and the pass read the bytes once between them.
//
// Progress: the engine window's gauge (in MiB), and SetReadProgress with the bytes read, the
// rate and the time left. Stop (ScanActive cleared) ends the pass after the current block;
// each recogniser still gets OnEnd, so that whatever it found so far is kept.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "core/cluster_buffer.h"

namespace pyralis {

class TRawDiskAccessComponent;
class Sweep;

// Something that looks at each block of the pass.
//
// Contract:
// - OnBlock is called once per block, in volume order, with no gap and no overlap between
//   blocks; `volume_offset` is the volume byte of bytes[0] and is a multiple of the sector
//   size. bytes.size() is kBlockBytes except for the last block of the pass, which is cut at
//   the end of the pass (still a whole number of sectors).
// - `unreadable` lists the ranges of `bytes` (offsets from bytes[0]) that could not be read
//   and hold zeros; a recogniser must not take anything from them.
// - The bytes are valid only during the call: a recogniser that needs more than the block
//   (a structure that straddles two blocks) keeps its own small carry-over, or notes the
//   position and reads it later through the engine's volume reader.
// - OnBlock should cost about one table lookup per sector for sectors that hold nothing of
//   interest: the pass runs at the device's speed only when the recognisers keep up.
// - Memory: a recogniser keeps what it found (positions, small records), never a per-cluster
//   or per-sector array of the volume.
// - OnStart is called once before the first block, with the sweep (for `Sweep::Ahead`,
//   which serves only while the pass runs).
// - OnEnd is called once after the last block, also after Stop (`complete` false then).
class Recogniser {
 public:
  virtual ~Recogniser() = default;
  virtual void OnStart(Sweep& sweep) {}
  virtual void OnBlock(uint64_t volume_offset, std::span<const uint8_t> bytes,
                       std::span<const RequestRange> unreadable) = 0;
  virtual void OnEnd(bool complete) {}
};

struct SweepResult {
  uint64_t bytes_read = 0;        // bytes handed to the recognisers
  uint64_t unreadable_bytes = 0;  // of those, bytes that could not be read (zeros)
  bool stopped = false;           // Stop ended the pass before its end
};

class Sweep {
 public:
  static constexpr uint32_t kBlockBytes = 1u << 20;
  // How far past the start of the block being handed out `Ahead` reads (memory: this many
  // bytes of blocks at most, besides the one being handed out).
  static constexpr uint32_t kAheadBytes = 32u << 20;

  explicit Sweep(TRawDiskAccessComponent& component) : component_(component) {}

  void Add(Recogniser& recogniser) { recognisers_.push_back(&recogniser); }

  // Reads volume bytes [first, end) (both rounded down to sectors, end bounded by the
  // volume) and hands them to the recognisers.
  SweepResult Run(uint64_t first, uint64_t end);
  // The whole volume.
  SweepResult Run();

  // While the pass runs: the bytes of the pass at volume byte `offset` (at most `count`, and
  // not past the block that holds `offset`, nor into bytes that could not be read), when
  // `offset` lies at or after the block being handed out and less than kAheadBytes past its
  // start; empty otherwise. The bytes stay valid until the call that hands their block out
  // returns (so during the whole of the current OnBlock call).
  std::span<const uint8_t> Ahead(uint64_t offset, size_t count);

 private:
  struct Block {
    uint64_t offset = 0;  // volume byte of bytes[0]
    std::vector<uint8_t> bytes;
    std::vector<RequestRange> unreadable;
  };

  // Reads the next block of the pass (at next_read_) onto the end of blocks_.
  void ReadNext();
  // Reads `count` sectors from `sector` into `block`; fills `unreadable` (offsets in the
  // block) with what could not be read.
  void ReadBlock(int64_t sector, int64_t count, std::vector<uint8_t>& block,
                 std::vector<RequestRange>& unreadable);
  void ShowProgress(uint64_t done, uint64_t total, bool force);

  TRawDiskAccessComponent& component_;
  std::vector<Recogniser*> recognisers_;
  // The running pass: blocks read and not yet handed out (the front one is being handed
  // out), buffers of blocks handed out for reuse, the next byte to read and the pass's end.
  std::deque<Block> blocks_;
  std::vector<std::vector<uint8_t>> spare_;
  uint64_t next_read_ = 0;
  uint64_t end_ = 0;
  uint64_t unit_ = 512;
  int64_t last_shown_ms_ = -1;
  std::chrono::steady_clock::time_point start_{};  // of the running pass
};

}  // namespace pyralis
