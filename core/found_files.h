// SPDX-License-Identifier: GPL-3.0-or-later
// The catalogue of deleted files found by the last scan (`FoundFiles`), and the two
// texts a record is shown by. Row i of the list is record i.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/row_facts.h"

namespace pyralis {

// Date-time value: days since 1899-12-30 00:00, the fraction being the time of day.
// 0.0 stands for a missing date.
using TDateTime = double;

struct FoundFileRecord {
  int64_t Inode = 0;           // FAT: first cluster; NTFS: MFT record number
  int64_t Sector = 0;          // NTFS: sector of the MFT record; FAT: 0
  int64_t Size = 0;            // bytes (64-bit: files of 2 GiB and more are kept whole)
  int8_t RecoveryQuality = 0;  // 0..100 per cent, -1 error, -2 compressed, -3 encrypted
  TDateTime Created = 0.0;
  TDateTime Modified = 0.0;
  std::string Name;  // UTF-8, at most 255 characters
  std::string Path;  // UTF-8, at most 255 characters
};

class TFoundFiles {
 public:
  int32_t Count() const { return static_cast<int32_t>(records_.size()); }
  FoundFileRecord& operator[](int32_t i) { return records_[static_cast<size_t>(i)]; }
  const FoundFileRecord& operator[](int32_t i) const { return records_[static_cast<size_t>(i)]; }
  // Releases the storage and the row facts; the count becomes 0 and ids start again at 0.
  void clear();
  // Appends one record (Name and Path cut to 255 characters first) with what its finder
  // knows beyond the record; the row gets the next id.
  void append(FoundFileRecord record, RowFacts facts = {});
  // Makes room for `rows` rows in all, so that appending a known number of rows moves none.
  void reserve(size_t rows);
  // Whole-record access for the column sort, which permutes records in place; it must
  // permute Ids() the same way (SwapRows does both).
  std::vector<FoundFileRecord>& Records() { return records_; }
  void SwapRows(int32_t a, int32_t b);
  size_t Capacity() const { return records_.capacity(); }

  // The stable id of row `index`, and the row that holds `id` now (-1 when none does).
  RowId Id(int32_t index) const { return ids_[static_cast<size_t>(index)]; }
  int32_t IndexOf(RowId id) const;
  // The facts of row `index` / of the row with `id` (which must exist).
  RowFacts& Facts(int32_t index) { return facts_[Id(index)]; }
  const RowFacts& Facts(int32_t index) const { return facts_[Id(index)]; }
  RowFacts& FactsOf(RowId id) { return facts_[id]; }
  const RowFacts& FactsOf(RowId id) const { return facts_[id]; }

 private:
  std::vector<FoundFileRecord> records_;
  std::vector<RowId> ids_;       // ids_[i] is row i's id
  std::vector<RowFacts> facts_;  // by id
};

extern TFoundFiles FoundFiles;

// "Overwritten", "Bad", "Middle", "Good", "Very Good", "Error", "Compressed",
// "Encrypted", or "" for any other value.
std::string quality_to_text(int quality);
// The content verdict of a file of `size` bytes: "Intact", "Damaged (at N %)" (N the share
// of the file before the break, rounded down), or "Unchecked".
std::string content_to_text(const ContentVerdict& verdict, int64_t size);
// "N b", "N Kb" (1024 steps) or "N.NN Mb" (1,000,000 steps). The decimal separator is
// `decimal_point` (the caller passes its locale's), never taken from the C locale.
std::string size_to_text(int64_t size, char decimal_point = '.');
// A drive's or volume's size in the same units, with one step more: "N.NN Gb" (1,000,000,000
// steps) from a thousand Mb on, size_to_text below.
std::string volume_size_text(uint64_t size);

// Cuts UTF-8 text to its first `max_chars` characters, never inside a character.
std::string cut_characters(std::string_view text, size_t max_chars = 255);
// Cuts UTF-8 text to at most `max_bytes` bytes, never inside a character.
std::string cut_bytes(std::string_view text, size_t max_bytes = 255);

}  // namespace pyralis
