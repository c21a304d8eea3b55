// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/output_formats.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <ctime>

#include "core/date_time.h"

namespace pyralis::cli {

namespace {

// Characters of UTF-8 text, for column widths (continuation bytes do not count).
size_t display_width(std::string_view text) {
  return static_cast<size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

// Length of the valid UTF-8 sequence at text[i], or 0 when the bytes there are not one.
size_t utf8_sequence_length(std::string_view text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  size_t length = 0;
  uint32_t code = 0;
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0)
    length = 2, code = lead & 0x1F;
  else if ((lead & 0xF0) == 0xE0)
    length = 3, code = lead & 0x0F;
  else if ((lead & 0xF8) == 0xF0)
    length = 4, code = lead & 0x07;
  else
    return 0;
  if (i + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  static const uint32_t kSmallest[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

std::string plain_number(int64_t value) {
  return std::to_string(value);
}

}  // namespace

std::optional<OutputFormat> parse_format(std::string_view name) {
  if (name == "table") return OutputFormat::Table;
  if (name == "tsv") return OutputFormat::Tsv;
  if (name == "json") return OutputFormat::Json;
  if (name == "csv") return OutputFormat::Csv;
  if (name == "bodyfile") return OutputFormat::Bodyfile;
  return std::nullopt;
}

std::string escape_controls(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    // C1 controls (U+0080 to U+009F) are two bytes in UTF-8: 0xC2 0x80 to 0xC2 0x9F.
    const bool c1 = c == 0xC2 && i + 1 < text.size() &&
                    static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                    static_cast<unsigned char>(text[i + 1]) <= 0x9F;
    if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7F || c1) {
      char escaped[16];
      if (c1)
        std::snprintf(escaped, sizeof escaped, "\\xc2\\x%02x",
                      static_cast<unsigned char>(text[++i]));
      else
        std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string csv_field(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string json_string(std::string_view text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t length = utf8_sequence_length(text, i);
    if (length == 0) {
      out += "\\ufffd";
      ++i;
      continue;
    }
    if (length > 1) {
      out.append(text.substr(i, length));
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
    i += length;
  }
  return out + "\"";
}

std::string sector_text(int64_t sector) {
  char text[32];
  std::snprintf(text, sizeof text, "%02" PRIX64, static_cast<uint64_t>(sector));
  return text;
}

int64_t date_time_to_unix(TDateTime value) {
  return local_date_time_to_unix(value).value_or(0);
}

std::string bodyfile_name(const FoundFileRecord& record) {
  std::string name = record.Path;
  if (!name.empty() && name.back() != '\\') name += '\\';
  name += record.Name;
  std::replace(name.begin(), name.end(), '\\', '/');
  // The body format has no quoting: keep every record on one line and its fields apart.
  std::string out;
  for (char c : escape_controls(name)) {
    if (c == '|')
      out += "\\x7c";
    else
      out += c;
  }
  return out + " (deleted)";
}

std::string bodyfile_line(const FoundFileRecord& record) {
  // md5 | name | inode | mode | uid | gid | size | atime | mtime | ctime | crtime.
  // The catalogue knows neither the access nor the change time: 0 says unknown.
  std::string line = "0|" + bodyfile_name(record) + "|" + plain_number(record.Inode) +
                     "|r/rrwxrwxrwx|0|0|" + plain_number(record.Size) + "|0|" +
                     plain_number(date_time_to_unix(record.Modified)) + "|0|" +
                     plain_number(date_time_to_unix(record.Created));
  return line;
}

namespace {
// The columns of the grid that plain formats show: all but the JSON-only ones.
std::vector<size_t> plain_columns(const Grid& grid) {
  std::vector<size_t> shown;
  for (size_t c = 0; c < grid.columns.size(); ++c)
    if (grid.columns[c].kind != ColumnKind::JsonOnly) shown.push_back(c);
  return shown;
}

// The cell of `row` in column `c`, empty where the row is short.
const std::string& cell_at(const std::vector<std::string>& row, size_t c) {
  static const std::string empty;
  return c < row.size() ? row[c] : empty;
}
}  // namespace

void write_table(std::ostream& out, const Grid& grid) {
  const std::vector<size_t> shown = plain_columns(grid);
  std::vector<std::string> headers;
  for (const size_t c : shown) headers.push_back(grid.columns[c].header);
  std::vector<std::vector<std::string>> rows = {headers};
  for (const auto& row : grid.rows) {
    rows.emplace_back();
    for (const size_t c : shown) rows.back().push_back(escape_controls(cell_at(row, c)));
  }
  std::vector<size_t> widths(shown.size(), 0);
  for (const auto& row : rows)
    for (size_t c = 0; c < row.size() && c < widths.size(); ++c)
      widths[c] = std::max(widths[c], display_width(row[c]));
  for (const auto& cells : rows) {
    std::string line;
    for (size_t c = 0; c < shown.size(); ++c) {
      const std::string& cell = cells[c];
      const std::string pad(widths[c] - display_width(cell), ' ');
      if (c > 0) line += "  ";
      line += grid.columns[shown[c]].right_aligned ? pad + cell : cell + pad;
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out << line << '\n';
  }
}

void write_tsv(std::ostream& out, const Grid& grid) {
  const std::vector<size_t> shown = plain_columns(grid);
  for (size_t i = 0; i < shown.size(); ++i) out << (i ? "\t" : "") << grid.columns[shown[i]].header;
  out << '\n';
  for (const auto& row : grid.rows) {
    for (size_t i = 0; i < shown.size(); ++i)
      out << (i ? "\t" : "") << escape_controls(cell_at(row, shown[i]));
    out << '\n';
  }
}

void write_csv(std::ostream& out, const Grid& grid) {
  const std::vector<size_t> shown = plain_columns(grid);
  for (size_t i = 0; i < shown.size(); ++i)
    out << (i ? "," : "") << csv_field(grid.columns[shown[i]].header);
  out << "\r\n";
  for (const auto& row : grid.rows) {
    for (size_t i = 0; i < shown.size(); ++i)
      out << (i ? "," : "") << csv_field(cell_at(row, shown[i]));
    out << "\r\n";
  }
}

void write_json(std::ostream& out, const Grid& grid) {
  out << '[';
  for (size_t r = 0; r < grid.rows.size(); ++r) {
    out << (r ? ",\n  {" : "\n  {");
    const auto& row = grid.rows[r];
    for (size_t c = 0; c < grid.columns.size() && c < row.size(); ++c) {
      const Column& column = grid.columns[c];
      out << (c ? ", " : "") << json_string(column.header) << ": ";
      if (column.kind == ColumnKind::Number || column.kind == ColumnKind::JsonOnly)
        out << row[c];
      else if (column.kind == ColumnKind::OptionalText && row[c].empty())
        out << "null";
      else
        out << json_string(row[c]);
    }
    out << '}';
  }
  out << (grid.rows.empty() ? "]\n" : "\n]\n");
}

void write_grid(std::ostream& out, OutputFormat format, const Grid& grid) {
  switch (format) {
    case OutputFormat::Tsv:
      return write_tsv(out, grid);
    case OutputFormat::Csv:
      return write_csv(out, grid);
    case OutputFormat::Json:
      return write_json(out, grid);
    case OutputFormat::Table:
    case OutputFormat::Bodyfile:
      return write_table(out, grid);
  }
}

void write_found_files(std::ostream& out, OutputFormat format, const TFoundFiles& files,
                       bool content) {
  if (format == OutputFormat::Bodyfile) {
    for (int32_t i = 0; i < files.Count(); ++i) out << bodyfile_line(files[i]) << '\n';
    return;
  }
  const bool human = format == OutputFormat::Table;
  Grid grid;
  if (human) grid.columns.push_back({"#", ColumnKind::Number, true});
  grid.columns.push_back({human ? "File" : "Name"});
  grid.columns.push_back({"Path"});
  grid.columns.push_back({"Status", ColumnKind::Text, true});
  grid.columns.push_back({"Size", ColumnKind::Number, true});
  grid.columns.push_back({human ? "Date modified" : "Modified", ColumnKind::OptionalText, true});
  grid.columns.push_back({human ? "Date created" : "Created", ColumnKind::OptionalText, true});
  grid.columns.push_back({"Sector"});
  grid.columns.push_back({"Inode", ColumnKind::Number});
  if (content) grid.columns.push_back({"Content"});
  if (format == OutputFormat::Json) grid.columns.push_back({"Candidates", ColumnKind::JsonOnly});
  grid.rows.reserve(static_cast<size_t>(files.Count()));
  for (int32_t i = 0; i < files.Count(); ++i) {
    const FoundFileRecord& r = files[i];
    std::vector<std::string> row;
    if (human) row.push_back(std::to_string(i));
    row.push_back(r.Name);
    row.push_back(r.Path);
    row.push_back(quality_to_text(r.RecoveryQuality));
    row.push_back(human ? size_to_text(r.Size) : plain_number(r.Size));
    row.push_back(human ? format_list_date(r.Modified) : format_iso_date(r.Modified));
    row.push_back(human ? format_list_date(r.Created) : format_iso_date(r.Created));
    row.push_back(sector_text(r.Sector));
    row.push_back(plain_number(r.Inode));
    if (content) row.push_back(content_to_text(files.Facts(i).content, r.Size));
    if (format == OutputFormat::Json) {
      std::string list = "[";
      for (uint32_t x : files.Facts(i).candidates)
        list += (list.size() > 1 ? ", " : "") + std::to_string(x);
      row.push_back(list + "]");
    }
    grid.rows.push_back(std::move(row));
  }
  write_grid(out, format, grid);
}

}  // namespace pyralis::cli
