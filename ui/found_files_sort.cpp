// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/found_files_sort.h"

#include <utility>
#include <vector>

#include "core/found_files.h"
#include "core/process_state.h"

namespace pyralis::ui {

namespace {

using Records = std::vector<FoundFileRecord>;

// Quicksort with the middle record as pivot, exchanging whole records. Equal keys do not
// keep their order. The smaller side is sorted by recursion and the larger one by the loop,
// so the depth stays logarithmic; the outcome is that of sorting both sides recursively.
template <bool Ascending, typename Key>
void quick_sort(const Records& records, int lo, int hi, Key key) {
  auto before = [](const auto& a, const auto& b) { return Ascending ? a < b : b < a; };
  while (lo < hi) {
    int i = lo, j = hi;
    const FoundFileRecord pivot = records[static_cast<size_t>((lo + hi) / 2)];
    const auto& pivot_key = key(pivot);
    do {
      while (before(key(records[static_cast<size_t>(i)]), pivot_key)) ++i;
      while (before(pivot_key, key(records[static_cast<size_t>(j)]))) --j;
      if (i <= j) {
        FoundFiles.SwapRows(i, j);  // the record and its row id together
        ++i;
        --j;
      }
    } while (i <= j);
    if (j - lo < hi - i) {
      if (j > lo) quick_sort<Ascending>(records, lo, j, key);
      lo = i;
    } else {
      if (i < hi) quick_sort<Ascending>(records, i, hi, key);
      hi = j;
    }
  }
}

template <typename Key>
void sort_by(bool ascending, Key key) {
  const Records& records = FoundFiles.Records();
  const int hi = static_cast<int>(records.size()) - 1;
  if (ascending)
    quick_sort<true>(records, 0, hi, key);
  else
    quick_sort<false>(records, 0, hi, key);
}

}  // namespace

bool sort_found_files(int column, HeaderMarks& marks) {
  if (column < 0 || column >= kSortableColumns) return false;
  const bool reverse = SortToggle[static_cast<size_t>(column)];
  // Name and path ascend first; the other four keys descend first.
  const bool ascending = (column <= 1) != reverse;
  switch (column) {
    case 0:
      sort_by(ascending, [](const FoundFileRecord& r) -> const std::string& { return r.Name; });
      break;
    case 1:
      sort_by(ascending, [](const FoundFileRecord& r) -> const std::string& { return r.Path; });
      break;
    case 2:
      sort_by(ascending,
              [](const FoundFileRecord& r) -> const int8_t& { return r.RecoveryQuality; });
      break;
    case 3:
      sort_by(ascending, [](const FoundFileRecord& r) -> const int64_t& { return r.Size; });
      break;
    case 4:
      sort_by(ascending, [](const FoundFileRecord& r) -> const double& { return r.Modified; });
      break;
    case 5:
      sort_by(ascending, [](const FoundFileRecord& r) -> const double& { return r.Created; });
      break;
  }
  for (int c = 0; c < kSortableColumns; ++c) marks[static_cast<size_t>(c)] = kNoMark;
  marks[static_cast<size_t>(column)] = reverse ? kMarkReverse : kMarkFirst;
  SortToggle[static_cast<size_t>(column)] = !reverse;
  return true;
}

}  // namespace pyralis::ui
