// SPDX-License-Identifier: GPL-3.0-or-later
// The list's column sort: FoundFiles re-ordered in place by one of six keys, each column
// remembering its next direction in SortToggle, and the header marks that show it.
#pragma once

#include <array>
#include <string>

namespace pyralis::ui {

inline constexpr int kListColumns = 9;
inline constexpr int kSortableColumns = 6;
// The content check's verdict, after the catalogue's own columns; it sorts too.
inline constexpr int kContentColumn = 8;
// Not a column: the gallery's order by the date a picture was taken (the content check's
// date, else Date modified), newest first, then reversed on every second call.
inline constexpr int kDateTakenSort = 9;
// Header mark images: none, the reverse direction, the column's first direction.
inline constexpr int kNoMark = -1;
inline constexpr int kMarkReverse = 0;
inline constexpr int kMarkFirst = 1;
using HeaderMarks = std::array<int, kListColumns>;

// Columns 0 "File" and 1 "Path" sort ascending first (case-insensitive, digit runs by value:
// natural_less); 2 "Status",
// 3 "Size", 4 "Date modified" and 5 "Date created" descending first. The clicked column
// gets its mark, the other sortable columns lose theirs, and its toggle flips. Any other
// column does nothing and returns false. "Content" (kContentColumn) sorts intact files first,
// then damaged ones (most bytes whole first), then unchecked ones, with its own toggle
// (`content_toggle`, false = that first direction). kDateTakenSort takes its own toggle there.
bool sort_found_files(int column, HeaderMarks& marks);
bool natural_less(const std::string& a, const std::string& b);
bool sort_found_files(int column, HeaderMarks& marks, bool& content_toggle);

}  // namespace pyralis::ui
