// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/recovery_paths.h"

#include <algorithm>

#include "core/found_files.h"

namespace pyralis::cli {

std::vector<std::string> path_folders(std::string_view path) {
  std::vector<std::string> parts;
  size_t start = 0;
  bool first = true;
  while (start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string_view::npos) end = path.size();
    std::string part(path.substr(start, end - start));
    const bool drive = first && part.size() == 2 && part[1] == ':';
    first = false;
    start = end + 1;
    if (drive || part.empty() || part == "." || part == "..") continue;
    for (char& c : part)
      if (c == '/' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '_';
    parts.push_back(cut_bytes(part, 255));
  }
  return parts;
}

std::string engine_folder(const std::string& destination, std::string_view path, bool with_paths) {
  std::string folder = destination;
  if (folder.empty() || folder.back() != '/') folder += '/';
  if (!with_paths) return folder;
  for (const std::string& part : path_folders(path)) folder += part + '/';
  return folder;
}

void RowOutcome::observe(const std::string& line) {
  if (line.starts_with("Undeleted ") && line.ends_with(" successfully.")) undeleted_ = true;
  if (line.starts_with("Cannot write to ") || line.starts_with("Cannot create ")) failed_ = true;
}

}  // namespace pyralis::cli
