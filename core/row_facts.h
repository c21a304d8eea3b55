// SPDX-License-Identifier: GPL-3.0-or-later
// What a found file's row needs beyond its catalogue record: one typed table of per-row
// facts, keyed by the row's id. A row's id is given when the row is appended and never
// changes while the catalogue holds the row: the list's column sort permutes records and
// ids together, and filtering only hides rows, so the id finds the same file's facts
// however the list was sorted or filtered since the scan.
//
// Whoever learns something about a row puts it here: the exFAT scan how the file's
// clusters are laid out, the content check its verdict, the deep scan and the carver where
// a row came from and which extents of the volume hold it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pyralis {

// A found file's stable identity within one scan (0, 1, 2, ... in the order rows were
// appended).
using RowId = uint32_t;

// How the scan came to list a row.
enum class RowOrigin : uint8_t {
  kTreeWalk,  // the file system's folder tree or MFT, as the volume describes it
  kDeepScan,  // a folder, entry set or record that the tree no longer reaches
  kCarved,    // nothing but the file's own bytes (content signature and structure)
};

// What a file's bytes say of it, measured by reading them.
enum class ContentState : uint8_t {
  kUnchecked,  // not read yet, or a type whose structure cannot be checked
  kIntact,     // the structure is complete and its payload checked (CRCs, decoding)
  kDamaged,    // the structure breaks at `damaged_at`
  // The structure is complete and agrees with the file's length, but the bytes inside it
  // cannot be checked (raw pixels, samples, pages, text): other bytes of the same shape would
  // pass as well. Never counted as intact.
  kPlausible,
};

struct ContentVerdict {
  ContentState state = ContentState::kUnchecked;
  uint64_t damaged_at = 0;  // byte of the file where the structure breaks (kDamaged)
  std::string type;         // what the bytes were found to be ("JPEG"), empty when unknown
  // When a picture or video was taken, as the file says ("YYYY-MM-DD HH:MM:SS"); empty when
  // it does not say or was not read.
  std::string date_taken;
};

// A run of the volume's bytes that belongs to a file, in file order.
struct ByteExtent {
  uint64_t offset = 0;  // volume byte
  uint64_t length = 0;
};

struct RowFacts {
  RowOrigin origin = RowOrigin::kTreeWalk;

  // exFAT: the file's clusters are one contiguous run (NoFatChain), and how many of its bytes
  // were ever written (ValidDataLength); `exfat_facts` says whether the scan set them.
  bool exfat_facts = false;
  bool no_fat_chain = false;
  uint64_t valid_data_length = 0;

  // Where the file's bytes lie, when the row's finder knows them outright (a carved file's
  // one or two pieces); empty when the engine works them out from its own metadata.
  std::vector<ByteExtent> extents;

  // NTFS: the volume bytes of the clusters of the file's unnamed $DATA as its scan decoded
  // them (its record's runs and those of the extension records its attribute list names);
  // a search by content leaves them alone. `data_runs_known` is false when the scan did not
  // gather them (the search then reads the record).
  std::vector<ByteExtent> data_runs;
  bool data_runs_known = false;

  // NTFS: the volume byte of the file's record when the deep scan found it outside the
  // current $MFT (0 for a record of the MFT, which is found by its number).
  uint64_t record_offset = 0;
  // FAT32: the first clusters a deleted entry may mean when its high word was cleared (as
  // Windows does on deleting), in increasing order; the record's Inode is the one chosen.
  // Empty when the entry's first cluster is unambiguous.
  std::vector<uint32_t> candidates;

  ContentVerdict content;
  // When a picture was taken as its first bytes say (its EXIF block), learnt by a read of
  // them before the content check walked the file ("YYYY-MM-DD HH:MM:SS"; empty: not read).
  std::string head_date_taken;
};

// When the row's picture was taken: the content check's date, else the one its first bytes
// gave; empty when neither is known.
inline const std::string& date_taken_of(const RowFacts& facts) {
  return facts.content.date_taken.empty() ? facts.head_date_taken : facts.content.date_taken;
}

}  // namespace pyralis
