// SPDX-License-Identifier: GPL-3.0-or-later
// Carving: finding files by their own bytes where no file system describes them any more.
//
// A file starts at a sector boundary (cameras and file systems put files on cluster
// boundaries; an embedded thumbnail or preview does not start a file). Each sector costs one
// lookup of its first two bytes in a table of the signatures filetypes/ knows; only on a hit
// is the head identified and the structure walked, over a source that starts at the hit and
// runs to the end of the carved area. The structure says where the file ends: a complete
// structure is an intact file; a structure broken by foreign bytes is kept up to its last
// good byte and called damaged, unless its continuation is found a bounded gap further on
// (a file in two pieces) and the walk over the joined pieces is complete (for JPEG: the
// joined pieces decode).
//
// Standard C++ only. Every walk is bounded by the source; the gap search by a count of
// tries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "core/row_facts.h"
#include "filetypes/filetypes.h"

namespace pyralis::carve {

struct Options {
  uint32_t sector_size = 512;  // starts are searched at multiples of this (from volume byte 0)
  // Clusters: where a file may be cut in two and where its second piece may start. Cluster
  // boundaries lie at cluster_origin + k * cluster_size.
  uint64_t cluster_size = 4096;
  uint64_t cluster_origin = 0;
  uint32_t max_gap_clusters = 4096;  // how far past the break the second piece may start
  uint32_t max_join_tries = 48;      // walks over joined pieces per broken file
  uint32_t break_candidates = 8;     // cluster boundaries before the break tried as its cut
  uint32_t max_gap_files = 16;       // whole files in a join's gap walked to pass over them
};

struct CarvedFile {
  filetypes::Kind kind = filetypes::Kind::kUnknown;
  std::vector<ByteExtent> extents;  // volume bytes of the file, in file order (one or two)
  uint64_t length = 0;              // sum of the extents
  bool intact = false;              // damaged: the structure breaks at `length`
  bool payload_verified = false;    // intact, and the walk checked the bytes inside too
  std::string date_taken;           // "YYYY-MM-DD HH:MM:SS" or empty
  std::string reason;               // what broke (damaged files)
};

// A source that reads the bytes of `extents` of `volume` one after the other, as one file.
class ExtentSource final : public filetypes::ByteSource {
 public:
  ExtentSource(filetypes::ByteSource& volume, std::vector<ByteExtent> extents);
  uint64_t Size() const override { return size_; }
  size_t Read(uint64_t offset, void* dest, size_t count) override;
  std::span<const uint8_t> Held(uint64_t offset, size_t count) override;

 private:
  filetypes::ByteSource& volume_;
  std::vector<ByteExtent> extents_;
  uint64_t size_ = 0;
};

// Whether the two bytes at a sector's start begin a signature of a carvable kind (the one
// table lookup per sector); `head` holds at least 8 bytes of the sector.
bool may_start_file(std::span<const uint8_t> head);

// The volume as the carver reads it: requests that lie in the block being searched (or the
// one read ahead after it) are served from memory (most files a block starts end in it;
// walks read them in place), the rest from the volume.
class BlockCache final : public filetypes::ByteSource {
 public:
  explicit BlockCache(filetypes::ByteSource& volume) : volume_(volume) {}
  uint64_t Size() const override { return volume_.Size(); }
  size_t Read(uint64_t offset, void* dest, size_t count) override;
  std::span<const uint8_t> Held(uint64_t offset, size_t count) override;
  void Hold(uint64_t offset, std::span<const uint8_t> block) {
    offset_ = offset;
    block_ = block;
  }
  // The block after the one searched, when it was read ahead.
  void HoldAhead(uint64_t offset, std::span<const uint8_t> block) {
    ahead_offset_ = offset;
    ahead_ = block;
  }

 private:
  filetypes::ByteSource& volume_;
  uint64_t offset_ = 0;
  std::span<const uint8_t> block_;
  uint64_t ahead_offset_ = 0;
  std::span<const uint8_t> ahead_;
};

class Carver {
 public:
  // `volume` holds the bytes the carver reads (a volume or a whole raw source); `found` is
  // told of each file, in order of its first byte. `may_start` (optional) says whether a
  // file may start at a volume byte (free space); a carved file never starts elsewhere.
  Carver(filetypes::ByteSource& volume, const Options& options,
         std::function<void(const CarvedFile&)> found,
         std::function<bool(uint64_t)> may_start = {});

  // Searches the starts in `block`, the volume's bytes from `offset` (a sector boundary);
  // blocks are handed in volume order, without overlap. Walks read the volume as far as
  // `area_end` (the end of the carved area), its first `readable` bytes from the block
  // (bytes after them stand for what could not be read, and are read from the volume).
  void feed(uint64_t offset, std::span<const uint8_t> block, uint64_t area_end,
            size_t readable = SIZE_MAX);

  // Reads and searches [begin, end) itself in blocks of `block_size`; `keep_going` is asked
  // after every block (false stops the search, keeping what was found). A read that
  // delivers fewer bytes than asked ends at a sector that cannot be read: the search goes
  // on after that sector.
  void search(uint64_t begin, uint64_t end, size_t block_size = 1 << 20,
              const std::function<bool(uint64_t done)>& keep_going = {});

  uint64_t files_found() const { return found_count_; }

 private:
  // Walks the file whose signature lies at `start`; true when a file was reported.
  bool carve_at(uint64_t start, uint64_t area_end);
  // The structure check of the file at `start` reaching to `area_end`.
  filetypes::Result walk(uint64_t start, uint64_t area_end,
                         filetypes::Depth depth = filetypes::Depth::kStructure);
  // Looks for the second piece of the file at `start` whose walk broke at volume byte
  // `broken`; fills `file` and returns true when a join walks to its end.
  bool join(uint64_t start, uint64_t broken, uint64_t area_end, filetypes::Kind kind,
            CarvedFile& file);
  // How much of the damaged file at `start` (`keep` bytes up to its break) stays its own:
  // a start inside whose own file runs past the break cuts it there (the foreign bytes that
  // broke it are that file); an embedded thumbnail, which ends before the break, does not.
  uint64_t first_start_after_break(uint64_t start, uint64_t keep, uint64_t area_end);
  // How many bytes of the ZIP at `start` to keep when its first entry's data is broken:
  // from the local header (when it holds together) to where the data is plainly not its
  // own; 0 for none.
  uint64_t zip_first_entry_kept(uint64_t start, uint64_t area_end);
  // Files found starting in the gap of a join: first byte → one past the last.
  using GapFiles = std::map<uint64_t, uint64_t>;
  // Whether `at` lies in one of the whole files met in the gap of a join.
  bool in_gap_file(uint64_t at, const GapFiles& files) const;
  // Walks the file of `kind` that starts at `at` in the gap of a join (once per start, and
  // at most max_gap_files starts), adding it to `files` when it is whole.
  void note_gap_file(uint64_t at, filetypes::Kind kind, uint64_t area_end, GapFiles& files);
  // Whether the sector at `at` may continue a file of `kind` (cheap test before a walk). A
  // sector that starts another file does not; that file is noted in `gap_files`.
  bool may_continue(uint64_t at, filetypes::Kind kind, uint64_t area_end, GapFiles& gap_files);
  // Whether `at` lies in bytes an earlier carved file already holds.
  bool claimed(uint64_t at);
  void claim(uint64_t begin, uint64_t end);
  // One past the claim that holds `at` (the end of the carved file it lies in), or `at`.
  uint64_t claimed_through(uint64_t at) const;
  // The first byte after `at` that a carved file holds, or `area_end`.
  uint64_t claimed_after(uint64_t at, uint64_t area_end) const;
  uint64_t cluster_floor(uint64_t at) const;

  BlockCache volume_;
  Options options_;
  std::function<void(const CarvedFile&)> found_;
  std::function<bool(uint64_t)> may_start_;
  std::map<uint64_t, uint64_t> claims_;  // begin → end of bytes carved files hold, ahead
  uint64_t found_count_ = 0;
};

// The name a carved file is listed by: "2024-07-14 15.32.10.jpg" from its date, else
// "JPEG 1048576.jpg" from its type and first byte on the volume. `repeat` (2, 3, ...) tells
// files of the same date apart ("2024-07-14 15.32.10 2.jpg"); 1 adds nothing.
std::string carved_name(const CarvedFile& file, unsigned repeat = 1);
// "Pictures", "Videos", "Audio", "Documents", "Archives", "Other".
std::string category_folder(filetypes::Kind kind);
// Days since 1899-12-30 of a "YYYY-MM-DD HH:MM:SS" date; 0 when there is none.
double date_value(const std::string& date_taken);

}  // namespace pyralis::carve
