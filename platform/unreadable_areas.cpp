// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/unreadable_areas.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>

#include "platform/source_file.h"

namespace pyralis::platform {

namespace {

struct Faults {
  std::vector<ByteArea> areas;  // ordered, merged
  std::optional<uint64_t> cut;
  std::optional<uint64_t> reads_until_gone;
};

std::mutex faults_mutex;
std::map<std::string, Faults> faults_by_path;

std::optional<uint64_t> parse_number(const std::string& text) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return std::nullopt;
  try {
    size_t used = 0;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const uint64_t value = std::stoull(hex ? text.substr(2) : text, &used, hex ? 16 : 10);
    if (used != text.size() - (hex ? 2 : 0)) return std::nullopt;
    return value;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::vector<ByteArea> merged(std::vector<ByteArea> areas) {
  std::sort(areas.begin(), areas.end(),
            [](const ByteArea& a, const ByteArea& b) { return a.offset < b.offset; });
  std::vector<ByteArea> out;
  for (const ByteArea& a : areas) {
    if (a.length == 0) continue;
    if (!out.empty() && a.offset <= out.back().offset + out.back().length) {
      const uint64_t end = std::max(out.back().offset + out.back().length, a.offset + a.length);
      out.back().length = end - out.back().offset;
    } else {
      out.push_back(a);
    }
  }
  return out;
}

}  // namespace

std::optional<std::vector<ByteArea>> parse_ddrescue_map(std::istream& in, std::string* error) {
  std::vector<ByteArea> areas;
  bool status_line_seen = false;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    std::istringstream fields(line);
    std::vector<std::string> words;
    for (std::string w; fields >> w;) words.push_back(w);
    if (words.empty()) continue;
    const auto fail = [&](const std::string& why) {
      if (error) *error = "line " + std::to_string(number) + ": " + why;
      return std::nullopt;
    };
    if (!status_line_seen) {  // current position, current status, optional pass
      if (words.size() < 2 || words.size() > 3 || !parse_number(words[0]) || words[1].size() != 1)
        return fail("expected the status line \"pos status [pass]\"");
      status_line_seen = true;
      continue;
    }
    if (words.size() != 3 || words[2].size() != 1 ||
        std::string("?*/-+").find(words[2][0]) == std::string::npos)
      return fail("expected \"pos size status\" with status one of ?*/-+");
    const auto pos = parse_number(words[0]);
    const auto size = parse_number(words[1]);
    if (!pos || !size || *pos > UINT64_MAX - *size) return fail("bad position or size");
    if (words[2][0] != '+') areas.push_back({*pos, *size});
  }
  if (!status_line_seen) {
    if (error) *error = "no status line: not a GNU ddrescue mapfile";
    return std::nullopt;
  }
  return merged(std::move(areas));
}

std::optional<std::vector<ByteArea>> read_ddrescue_map(const std::string& path,
                                                       std::string* error) {
  // A FIFO or device named as the map must not block the program: it is refused unread.
  int open_error = 0;
  const int fd = open_input(path, O_RDONLY, false, &open_error);
  if (fd < 0) {
    if (error)
      *error = open_error == kNotFileOrDevice
                   ? path + " is not a regular file"
                   : "cannot open " + path + ": " + error_text(open_error);
    return std::nullopt;
  }
  std::string text;
  char chunk[65536];
  for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (error) *error = "cannot read " + path + ": " + error_text(errno);
      ::close(fd);
      return std::nullopt;
    }
    text.append(chunk, static_cast<size_t>(n));
  }
  ::close(fd);
  std::istringstream in(text);
  std::string why;
  auto areas = parse_ddrescue_map(in, &why);
  if (!areas && error) *error = path + ": " + why;
  return areas;
}

std::string use_map_beside(const std::string& image) {
  std::vector<std::string> candidates = {image + ".map"};
  const size_t dot = image.rfind('.');
  const size_t slash = image.rfind('/');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1))
    candidates.push_back(image.substr(0, dot) + ".map");
  for (const std::string& map : candidates) {
    struct stat st {};
    if (::stat(map.c_str(), &st) != 0) continue;
    std::string why;
    auto areas = read_ddrescue_map(map, &why);
    if (!areas) return "The ddrescue map " + map + " was not used: " + why;
    uint64_t bytes = 0;
    for (const ByteArea& a : *areas) bytes += a.length;
    const size_t count = areas->size();
    set_unreadable_areas(image, std::move(*areas));
    return "Using the ddrescue map " + map + ": " + std::to_string(bytes) + " bytes of " + image +
           " in " + std::to_string(count) + " areas are not rescued and read as unreadable.";
  }
  return "";
}

void set_unreadable_areas(const std::string& source_path, std::vector<ByteArea> areas) {
  const std::lock_guard lock(faults_mutex);
  Faults& f = faults_by_path[source_path];
  f.areas = merged(std::move(areas));
  if (f.areas.empty() && !f.cut) faults_by_path.erase(source_path);
}

void clear_unreadable_areas() {
  const std::lock_guard lock(faults_mutex);
  faults_by_path.clear();
}

void set_source_cut_for_testing(const std::string& source_path, uint64_t length) {
  const std::lock_guard lock(faults_mutex);
  faults_by_path[source_path].cut = length;
}

void set_source_gone_for_testing(const std::string& source_path, uint64_t reads) {
  const std::lock_guard lock(faults_mutex);
  faults_by_path[source_path].reads_until_gone = reads;
}

bool source_gone_for_testing(const std::string& source_path) {
  const std::lock_guard lock(faults_mutex);
  if (faults_by_path.empty()) return false;
  const auto found = faults_by_path.find(source_path);
  if (found == faults_by_path.end() || !found->second.reads_until_gone) return false;
  uint64_t& left = *found->second.reads_until_gone;
  if (left == 0) return true;
  --left;
  return false;
}

namespace {
uint64_t area_hits = 0;  // guarded by faults_mutex
}  // namespace

uint64_t unreadable_area_hits_for_testing() {
  const std::lock_guard lock(faults_mutex);
  return area_hits;
}

void reset_unreadable_area_hits_for_testing() {
  const std::lock_guard lock(faults_mutex);
  area_hits = 0;
}

size_t readable_prefix(const std::string& source_path, uint64_t offset, size_t size, int* error) {
  if (error) *error = 0;
  const std::lock_guard lock(faults_mutex);
  if (faults_by_path.empty()) return size;
  const auto found = faults_by_path.find(source_path);
  if (found == faults_by_path.end()) return size;
  const Faults& f = found->second;
  uint64_t end = offset + size;
  int why = 0;
  if (f.cut && end > *f.cut) end = std::max(offset, *f.cut);
  for (const ByteArea& a : f.areas) {
    if (a.offset >= end) break;
    if (a.offset + a.length > offset) {
      end = std::max(offset, a.offset);
      why = EIO;
      ++area_hits;
      break;
    }
  }
  if (end < offset + size && error) *error = why;
  return static_cast<size_t>(end - offset);
}

}  // namespace pyralis::platform
