// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/read_state.h"

#include <algorithm>
#include <iterator>

namespace pyralis::platform {

namespace {

// The command of each thread keeps its own account of its reads.
thread_local ReadState* current_state = nullptr;

}  // namespace

ReadState::ReadState() {
  if (current_state == nullptr) {
    current_state = this;
    owner_ = true;
  }
}

ReadState::~ReadState() {
  if (owner_) current_state = nullptr;
}

ReadState* ReadState::Current() {
  return current_state;
}

void ReadState::add(Runs& runs, const SectorRun& run) {
  if (run.count <= 0) return;
  int64_t first = run.first;
  int64_t end = run.first + run.count;
  // Runs that overlap the new one, or touch it with the same error, merge into it (the
  // newer error stands for the merged sectors).
  const auto joins = [&](Runs::const_iterator r) {
    return r->first < end && r->second.first > first
               ? true
               : (r->first == end || r->second.first == first) && r->second.second == run.error;
  };
  auto it = runs.upper_bound(first);
  if (it != runs.begin() && joins(std::prev(it))) --it;
  while (it != runs.end() && it->first <= end && joins(it)) {
    first = std::min(first, it->first);
    end = std::max(end, it->second.first);
    it = runs.erase(it);
  }
  runs[first] = {end, run.error};
}

void ReadState::NoteUnreadable(char drive, const SectorRun& run) {
  add(unreadable_[drive], run);
}

std::vector<SectorRun> ReadState::KnownUnreadable(char drive, int64_t first, int64_t count) const {
  std::vector<SectorRun> found;
  const auto d = unreadable_.find(drive);
  if (d == unreadable_.end() || count <= 0) return found;
  const Runs& runs = d->second;
  const int64_t end = first + count;
  auto it = runs.upper_bound(first);
  if (it != runs.begin()) --it;
  for (; it != runs.end() && it->first < end; ++it) {
    const int64_t from = std::max(first, it->first);
    const int64_t to = std::min(end, it->second.first);
    if (from < to) found.push_back({from, to - from, it->second.second});
  }
  return found;
}

std::vector<SectorRun> ReadState::Unreported(char drive, const SectorRun& run) {
  std::vector<SectorRun> fresh;
  Runs& reported = reported_[drive];
  int64_t at = run.first;
  const int64_t end = run.first + run.count;
  auto it = reported.upper_bound(at);
  if (it != reported.begin()) --it;
  for (; at < end && it != reported.end(); ++it) {
    if (it->second.first <= at) continue;
    if (it->first >= end) break;
    if (it->first > at) fresh.push_back({at, it->first - at, run.error});
    at = std::max(at, it->second.first);
  }
  if (at < end) fresh.push_back({at, end - at, run.error});
  add(reported, run);
  return fresh;
}

}  // namespace pyralis::platform
