// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/found_files.h"

#include <algorithm>
#include <charconv>
#include <string>

namespace pyralis {

TFoundFiles FoundFiles;

void TFoundFiles::clear() {
  records_.clear();
  records_.shrink_to_fit();
  ids_.clear();
  ids_.shrink_to_fit();
  facts_.clear();
  facts_.shrink_to_fit();
}

void TFoundFiles::append(FoundFileRecord record, RowFacts facts) {
  // A text of at most 255 bytes has at most 255 characters: only longer ones are cut.
  if (record.Name.size() > 255) record.Name = cut_characters(record.Name);
  if (record.Path.size() > 255) record.Path = cut_characters(record.Path);
  records_.push_back(std::move(record));
  ids_.push_back(static_cast<RowId>(facts_.size()));
  facts_.push_back(std::move(facts));
}

void TFoundFiles::reserve(size_t rows) {
  records_.reserve(rows);
  ids_.reserve(rows);
  facts_.reserve(rows);
}

void TFoundFiles::SwapRows(int32_t a, int32_t b) {
  std::swap(records_[static_cast<size_t>(a)], records_[static_cast<size_t>(b)]);
  std::swap(ids_[static_cast<size_t>(a)], ids_[static_cast<size_t>(b)]);
}

int32_t TFoundFiles::IndexOf(RowId id) const {
  const auto it = std::find(ids_.begin(), ids_.end(), id);
  return it == ids_.end() ? -1 : static_cast<int32_t>(it - ids_.begin());
}

std::string quality_to_text(int quality) {
  if (quality == 0) return "Overwritten";
  if (quality >= 1 && quality <= 33) return "Bad";
  if (quality >= 34 && quality <= 66) return "Middle";
  if (quality >= 67 && quality <= 99) return "Good";
  if (quality == 100) return "Very Good";
  if (quality == -1) return "Error";
  if (quality == -2) return "Compressed";
  if (quality == -3) return "Encrypted";
  return "";
}

std::string content_to_text(const ContentVerdict& verdict, int64_t size) {
  switch (verdict.state) {
    case ContentState::kIntact:
      return "Intact";
    case ContentState::kPlausible:
      return "Plausible";
    case ContentState::kDamaged: {
      const uint64_t whole = size > 0 ? static_cast<uint64_t>(size) : 0;
      const uint64_t at = std::min(verdict.damaged_at, whole);
      const uint64_t percent = whole == 0 ? 0 : static_cast<uint64_t>(
                                                    static_cast<long double>(at) * 100 / whole);
      return "Damaged (at " + std::to_string(percent) + " %)";
    }
    case ContentState::kUnchecked:
      break;
  }
  return "Unchecked";
}

namespace {
// `value` with `decimals` decimals, rounded as printf rounds, whatever the C locale says.
std::string fixed_text(double value, int decimals, char decimal_point) {
  char text[64];
  const auto result =
      std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
  std::string formatted(text, result.ptr);
  for (char& c : formatted)
    if (c == '.') c = decimal_point;
  return formatted;
}
}  // namespace

std::string size_to_text(int64_t size, char decimal_point) {
  // The megabyte step is 1,000,000 while the kilobyte step is 1024.
  if (size >= 1000000)
    return fixed_text(static_cast<double>(size) / 1000000.0, 2, decimal_point) + " Mb";
  if (size < 1024) return std::to_string(size) + " b";
  return fixed_text(static_cast<double>(size) / 1024.0, 0, decimal_point) + " Kb";
}

std::string volume_size_text(uint64_t size) {
  if (size >= 1000000000)
    return fixed_text(static_cast<double>(size) / 1000000000.0, 2, '.') + " Gb";
  return size_to_text(static_cast<int64_t>(size));
}

namespace {
// Length of the UTF-8 sequence that starts with `lead`; 1 for stray bytes.
size_t sequence_length(unsigned char lead) {
  if (lead < 0xC0) return 1;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  return 4;
}
}  // namespace

std::string cut_characters(std::string_view text, size_t max_chars) {
  size_t pos = 0, chars = 0;
  while (pos < text.size() && chars < max_chars) {
    pos += sequence_length(static_cast<unsigned char>(text[pos]));
    ++chars;
  }
  return std::string(text.substr(0, std::min(pos, text.size())));
}

std::string cut_bytes(std::string_view text, size_t max_bytes) {
  if (text.size() <= max_bytes) return std::string(text);
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t next = pos + sequence_length(static_cast<unsigned char>(text[pos]));
    if (next > max_bytes) break;
    pos = next;
  }
  return std::string(text.substr(0, pos));
}

}  // namespace pyralis
