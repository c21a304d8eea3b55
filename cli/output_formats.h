// SPDX-License-Identifier: GPL-3.0-or-later
// How pyralis-cli prints the catalogue and the drive table: aligned columns for people,
// tab-separated, CSV and JSON for programs, and The Sleuth Kit's body format for timelines.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "core/found_files.h"

namespace pyralis::cli {

enum class OutputFormat { Table, Tsv, Json, Csv, Bodyfile };

std::optional<OutputFormat> parse_format(std::string_view name);

// A grid of texts with a header. Number columns are written bare in JSON; in optional
// columns an empty text is JSON null; a JSON-only column holds JSON text as it is written
// (an array) and is left out of the other formats. Right-aligned columns only matter to the
// table.
enum class ColumnKind { Text, Number, OptionalText, JsonOnly };
struct Column {
  std::string header;
  ColumnKind kind = ColumnKind::Text;
  bool right_aligned = false;
};
struct Grid {
  std::vector<Column> columns;
  std::vector<std::vector<std::string>> rows;
};

void write_table(std::ostream& out, const Grid& grid);
void write_tsv(std::ostream& out, const Grid& grid);
void write_csv(std::ostream& out, const Grid& grid);
void write_json(std::ostream& out, const Grid& grid);
// Table, TSV, CSV or JSON (the body format has no grid form).
void write_grid(std::ostream& out, OutputFormat format, const Grid& grid);

// The catalogue in `format`, one row per record in catalogue order. The table shows the
// found-files list's own texts (size_to_text, "dd-mmm-yyyy hh:nn", a leading row number);
// the other formats plain byte counts and "YYYY-MM-DD hh:mm:ss" dates. With `content`, a
// last column gives each row's content verdict ("Intact", "Damaged (at N %)", "Unchecked").
// JSON also gives "Candidates": the first clusters a FAT32 entry may mean when its high word
// was cleared ([] when it is unambiguous).
void write_found_files(std::ostream& out, OutputFormat format, const TFoundFiles& files,
                       bool content = false);

// Field helpers, exposed for tests.
// Control characters shown as text, so that a name from the volume cannot steer the
// terminal or break a line: tab, newline and carriage return become \t, \n, \r, the other
// C0 controls and DEL "\x1b" and the like, UTF-8 C1 controls "\xc2\x9b". The table and TSV
// output, the body file and every log and error line of the command line go through it.
std::string escape_controls(std::string_view text);
// RFC 4180: quoted (with doubled quotes) when the text holds a comma, quote, CR or LF.
std::string csv_field(std::string_view text);
// A JSON string literal; bytes that are not valid UTF-8 become U+FFFD.
std::string json_string(std::string_view text);
// Upper-case hexadecimal, at least two digits, no prefix (the list's Sector column).
std::string sector_text(int64_t sector);
// A local-time date-time as Unix seconds (the local zone's rules, as mktime applies them);
// 0 for the missing date 0.0.
int64_t date_time_to_unix(TDateTime value);
// One body-format line: md5|name|inode|mode|uid|gid|size|atime|mtime|ctime|crtime.
std::string bodyfile_line(const FoundFileRecord& record);
// Name shown in a body line: Path + "/" + Name with "\" turned into "/", " (deleted)" added.
std::string bodyfile_name(const FoundFileRecord& record);

}  // namespace pyralis::cli
