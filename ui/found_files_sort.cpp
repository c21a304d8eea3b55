// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/found_files_sort.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <numeric>
#include <utility>
#include <vector>

#include "core/date_time.h"
#include "core/found_files.h"
#include "core/process_state.h"

namespace pyralis::ui {

// Names as people sort them: letters of either case together ("apple" beside "Apple"),
// runs of digits by their value ("IMG_2" before "IMG_10"); bytes outside ASCII in byte
// order. Names equal that way fall back to plain byte order, so the order is total.
bool natural_less(const std::string& a, const std::string& b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const auto ca = static_cast<unsigned char>(a[i]), cb = static_cast<unsigned char>(b[j]);
    if (std::isdigit(ca) && std::isdigit(cb)) {
      size_t ei = i, ej = j;
      while (ei < a.size() && a[ei] == '0') ++ei;  // leading zeros do not count
      while (ej < b.size() && b[ej] == '0') ++ej;
      size_t ni = ei, nj = ej;
      while (ni < a.size() && std::isdigit(static_cast<unsigned char>(a[ni]))) ++ni;
      while (nj < b.size() && std::isdigit(static_cast<unsigned char>(b[nj]))) ++nj;
      if (ni - ei != nj - ej) return ni - ei < nj - ej;
      const int order = a.compare(ei, ni - ei, b, ej, nj - ej);
      if (order != 0) return order < 0;
      i = ni;
      j = nj;
      continue;
    }
    const int la = ca < 0x80 ? std::tolower(ca) : ca, lb = cb < 0x80 ? std::tolower(cb) : cb;
    if (la != lb) return la < lb;
    ++i;
    ++j;
  }
  if ((i < a.size()) != (j < b.size())) return j < b.size();
  return a < b;
}

namespace {

using Records = std::vector<FoundFileRecord>;

// A name or path compared as natural_less compares them.
struct NaturalKey {
  const std::string* text;
  bool operator<(const NaturalKey& other) const { return natural_less(*text, *other.text); }
};

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

// The content verdict as one number: smaller is better.
uint64_t content_rank(const RowFacts& facts, int64_t size) {
  switch (facts.content.state) {
    case ContentState::kIntact:
      return 0;
    case ContentState::kPlausible:
      return 1;
    case ContentState::kDamaged: {
      // Damaged later in the file is better; the share of whole bytes decides.
      const uint64_t whole =
          size > 0 ? std::min<uint64_t>(facts.content.damaged_at, static_cast<uint64_t>(size)) *
                         1000 / static_cast<uint64_t>(size)
                   : 0;
      return 2 + (1000 - whole);
    }
    case ContentState::kUnchecked:
      break;
  }
  return 2000;
}

// Puts the rows in the order `order` names (order[p] = the row that goes to position p),
// moving each record with its row id.
void apply_order(const std::vector<int>& order) {
  const size_t n = order.size();
  std::vector<int> where(n), at(n);  // where[row] = its position now, at[position] = row
  std::iota(where.begin(), where.end(), 0);
  std::iota(at.begin(), at.end(), 0);
  for (size_t p = 0; p < n; ++p) {
    const int row = order[p];
    const int now = where[static_cast<size_t>(row)];
    if (now == static_cast<int>(p)) continue;
    FoundFiles.SwapRows(static_cast<int32_t>(p), now);
    const int displaced = at[p];
    at[static_cast<size_t>(now)] = displaced;
    where[static_cast<size_t>(displaced)] = now;
    at[p] = row;
    where[static_cast<size_t>(row)] = static_cast<int>(p);
  }
}

// Puts the rows in the order of a key worked out once per row, stably, smallest first when
// `ascending`.
template <typename Key>
void sort_by_row_key(bool ascending, Key key_of_row) {
  const int n = FoundFiles.Count();
  std::vector<decltype(key_of_row(0))> key(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) key[static_cast<size_t>(i)] = key_of_row(i);
  std::vector<int> order(static_cast<size_t>(n));
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
    const auto& ka = key[static_cast<size_t>(a)];
    const auto& kb = key[static_cast<size_t>(b)];
    return ascending ? ka < kb : kb < ka;
  });
  apply_order(order);
}

void sort_by_content(bool best_first) {
  sort_by_row_key(best_first,
                  [](int i) { return content_rank(FoundFiles.Facts(i), FoundFiles[i].Size); });
}

// A row's date taken as a date-time, else its modification date.
TDateTime date_taken_or_modified(int row) {
  const std::string& taken = date_taken_of(FoundFiles.Facts(row));
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0;
  if (taken.size() == 19 &&
      std::sscanf(taken.c_str(), "%4d-%2d-%2d %2d:%2d:%2d", &y, &mo, &d, &h, &mi, &sec) == 6) {
    if (const auto value = try_encode_date_time(y, mo, d, h, mi, sec)) return *value;
  }
  return FoundFiles[row].Modified;
}

}  // namespace

bool sort_found_files(int column, HeaderMarks& marks, bool& content_toggle) {
  if (column == kDateTakenSort) {
    // Newest first, then oldest first.
    sort_by_row_key(content_toggle, date_taken_or_modified);
    content_toggle = !content_toggle;
    marks.fill(kNoMark);
    return true;
  }
  if (column != kContentColumn) return sort_found_files(column, marks);
  sort_by_content(!content_toggle);
  for (int c = 0; c < kSortableColumns; ++c) marks[static_cast<size_t>(c)] = kNoMark;
  marks[kContentColumn] = content_toggle ? kMarkReverse : kMarkFirst;
  content_toggle = !content_toggle;
  return true;
}

bool sort_found_files(int column, HeaderMarks& marks) {
  if (column < 0 || column >= kSortableColumns) return false;
  const bool reverse = SortToggle[static_cast<size_t>(column)];
  // Name and path ascend first; the other four keys descend first.
  const bool ascending = (column <= 1) != reverse;
  switch (column) {
    case 0:
      sort_by(ascending, [](const FoundFileRecord& r) { return NaturalKey{&r.Name}; });
      break;
    case 1:
      sort_by(ascending, [](const FoundFileRecord& r) { return NaturalKey{&r.Path}; });
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
  marks[kContentColumn] = kNoMark;
  marks[static_cast<size_t>(column)] = reverse ? kMarkReverse : kMarkFirst;
  SortToggle[static_cast<size_t>(column)] = !reverse;
  return true;
}

}  // namespace pyralis::ui
