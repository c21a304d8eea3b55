// SPDX-License-Identifier: GPL-3.0-or-later
// First clusters of deleted FAT32 entries whose high word was cleared. Windows writes 0 into
// bytes 0x14-0x15 of an entry (the first cluster's high 16 bits) when it deletes the file or
// folder, so the entry keeps only the low 16 bits. On a volume of more than 65,536 clusters
// the file may then start at any cluster low16 + k * 65,536 of the volume; the choice among
// them rests on what each candidate holds and where it lies.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace pyralis {

class FatVolume;
struct FatLayout;

// The clusters an entry's first-cluster fields may stand for: low16 + k * 65,536 inside the
// volume, in increasing order, when the volume is FAT32 with more than 65,536 clusters and
// the entry's high word is 0; empty otherwise (the recorded cluster is the only one).
std::vector<uint32_t> first_cluster_candidates(const FatLayout& layout, uint32_t recorded);

struct FirstClusterChoice {
  uint32_t cluster = 0;
  // A candidate begins with the signature of the file's type (always false for a type
  // without a signature).
  bool type_seen = false;
  // The file's type has a signature (its extension names one): with none of the candidates
  // showing it, the file's start is most likely overwritten.
  bool type_has_signature = false;
};

// Picks the candidate a deleted file of `size` bytes and `extension` (without the dot)
// most likely starts at. Ranked by, in this order of weight: the extension's type
// recognised at the candidate (another type's signature counts against it), the candidate
// free in the table, bytes that were ever written (not all zeros or all 0xFF), the file's
// last bytes, were it in one piece from the candidate, ending as its type ends (a JPEG's
// EOI, a PNG's IEND...), a free run long enough for the size; ties go to the candidate
// nearest to `near` (the clusters of the
// file's folder and of its neighbours' files, near which the file was allocated), then to
// the lowest. `candidates` must not be empty.
FirstClusterChoice choose_file_cluster(FatVolume& volume, std::span<const uint32_t> candidates,
                                       uint64_t size, std::string_view extension,
                                       std::span<const uint32_t> near);

// Picks the candidate a deleted folder most likely starts at: one whose first entry is "."
// naming the candidate itself, free ones first, then the one nearest to `near`. Without
// such a one the folder's start is gone: 0 (the caller keeps the recorded value).
uint32_t choose_directory_cluster(FatVolume& volume, std::span<const uint32_t> candidates,
                                  std::span<const uint32_t> near);

}  // namespace pyralis
