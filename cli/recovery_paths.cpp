// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/recovery_paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "core/found_files.h"
#include "core/recovery_command.h"

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

bool FolderMaker::open_root(const std::string& destination, std::string* error) {
  root_ = engine_folder(destination, "", false);
  const int fd = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    *error = std::error_code(errno, std::generic_category()).message();
    return false;
  }
  command_.UseFolder(root_, fd);
  return true;
}

std::string FolderMaker::folder_for(std::string_view path, bool with_paths, std::string* error) {
  std::string logical = root_, real = root_;
  if (!with_paths) return real;
  for (const std::string& part : path_folders(path)) {
    logical += part + "/";
    const auto known = made_.find(logical);
    if (known != made_.end()) {
      real = known->second;
      continue;
    }
    const std::string name = make_folder(command_.FolderDescriptor(real), real, part, error);
    if (name.empty()) return "";
    real += name + "/";
    made_[logical] = real;
  }
  return real;
}

std::string FolderMaker::make_folder(int parent_fd, const std::string& parent,
                                     const std::string& part, std::string* error) {
  int failure = EEXIST;
  for (int n = 1; n <= kMaxNumberedFolders; ++n) {
    const std::string suffix = n == 1 ? "" : " (" + std::to_string(n) + ")";
    const std::string name = cut_bytes(part, 255 - suffix.size()) + suffix;
    if (::mkdirat(parent_fd, name.c_str(), 0755) != 0 && errno != EEXIST) {
      failure = errno;
      break;
    }
    const int fd = ::openat(parent_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
      command_.UseFolder(parent + name + "/", fd);
      return name;
    }
    // Taken by a file or a symbolic link: try the next number.
    if (errno != ENOTDIR && errno != ELOOP) {
      failure = errno;
      break;
    }
  }
  *error = std::error_code(failure, std::generic_category()).message();
  return "";
}

}  // namespace pyralis::cli
