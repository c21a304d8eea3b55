// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/recovery_command.h"

#include <unistd.h>

namespace pyralis {

namespace {

// The innermost command of each thread.
thread_local RecoveryCommand* current_command = nullptr;

}  // namespace

RecoveryCommand::RecoveryCommand(bool keep_engine_data)
    : outer_(current_command), keep_engine_data_(keep_engine_data) {
  current_command = this;
}

RecoveryCommand::~RecoveryCommand() {
  for (const auto& [folder, fd] : folder_fds_) ::close(fd);
  current_command = outer_;
}

void RecoveryCommand::UseFolder(const std::string& folder, int fd) {
  auto [it, added] = folder_fds_.emplace(folder, fd);
  if (added) return;
  ::close(it->second);
  it->second = fd;
}

int RecoveryCommand::FolderDescriptor(const std::string& folder) const {
  const auto it = folder_fds_.find(folder);
  return it == folder_fds_.end() ? -1 : it->second;
}

RecoveryCommand* RecoveryCommand::Current() {
  return current_command;
}

void RecoveryCommand::Keep(const std::string& key, std::unique_ptr<Kept> data) {
  if (keep_engine_data_)
    kept_[key] = std::move(data);
  else
    kept_.erase(key);
}

std::string RecoveryCommand::name_key(const std::string& folder, const std::string& name) {
  // No path component holds a NUL, so the pair maps to one text.
  return folder + '\0' + name;
}

int RecoveryCommand::FirstNumberToTry(const std::string& folder, const std::string& name) const {
  const auto it = last_number_.find(name_key(folder, name));
  return it == last_number_.end() ? 1 : it->second + 1;
}

void RecoveryCommand::NumberTaken(const std::string& folder, const std::string& name,
                                  int number) {
  int& last = last_number_[name_key(folder, name)];
  if (number > last) last = number;
}

}  // namespace pyralis
