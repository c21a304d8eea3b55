// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/content_checker.h"

#include <QElapsedTimer>
#include <QScopedValueRollback>
#include <exception>

#include "core/found_files.h"
#include "drivers/drivers.h"

namespace pyralis::ui {

ContentChecker::ContentChecker(QObject* parent) : QObject(parent) {
  timer_.setInterval(0);
  connect(&timer_, &QTimer::timeout, this, &ContentChecker::Slice);
  Check = [](char letter, int row) { return check_found_file(letter, row); };
}

void ContentChecker::Start(char letter) {
  Stop();
  letter_ = letter;
  done_.assign(static_cast<size_t>(FoundFiles.Count()), false);
  done_count_ = 0;
  next_ = 0;
  if (FoundFiles.Count() > 0) timer_.start();
}

void ContentChecker::Stop() {
  if (!timer_.isActive()) return;
  timer_.stop();
  emit Finished();
}

int ContentChecker::NextRow() {
  const int count = FoundFiles.Count();
  auto open = [&](int row) {
    if (row < 0 || row >= count) return false;
    const RowId id = FoundFiles.Id(row);
    return id < done_.size() && !done_[id];
  };
  if (PreferredRows)
    for (int row : PreferredRows())
      if (open(row)) return row;
  // Sorting moves rows behind the walk: a miss here only means a second, shorter pass.
  for (int pass = 0; pass < 2; ++pass) {
    while (next_ < count && !open(next_)) ++next_;
    if (next_ < count) return next_;
    next_ = 0;
  }
  return -1;
}

void ContentChecker::Slice() {
  // The check's reads let the window handle events, this timer's among them: a slice never
  // starts inside another (each would nest one deeper until the stack ran out).
  if (in_slice_) return;
  const QScopedValueRollback<bool> inside(in_slice_, true);
  // While a command runs, look again only now and then instead of spinning.
  if (Paused && Paused()) {
    timer_.setInterval(50);
    return;
  }
  timer_.setInterval(0);
  if (static_cast<size_t>(FoundFiles.Count()) != done_.size()) {  // the catalogue changed
    Stop();
    return;
  }
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < kSliceMilliseconds) {
    const int row = NextRow();
    if (row < 0) {
      emit Progress(done_count_, static_cast<int>(done_.size()));
      Stop();
      return;
    }
    done_[FoundFiles.Id(row)] = true;
    ++done_count_;
    try {
      FoundFiles.Facts(row).content = Check(letter_, row);
    } catch (const std::exception&) {
      // An unreadable file stays "Unchecked".
    }
    emit RowChecked(row);
  }
  emit Progress(done_count_, static_cast<int>(done_.size()));
}

}  // namespace pyralis::ui
