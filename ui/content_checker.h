// SPDX-License-Identifier: GPL-3.0-or-later
// The content check after a scan: each found file is read the way its recovery reads it,
// into memory, and its verdict lands in the row's facts ("Intact", "Damaged", "Unchecked").
// The rows the list shows go first; the rest follow in catalogue order. The work runs in
// short slices between the window's events, so the list stays usable; a new scan, Unerase
// or Stop ends it.
#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
#include <vector>

#include "core/row_facts.h"

namespace pyralis::ui {

class ContentChecker : public QObject {
  Q_OBJECT

 public:
  explicit ContentChecker(QObject* parent = nullptr);

  // Checks every row of FoundFiles read from drive `letter`, from the start.
  void Start(char letter);
  void Stop();
  bool Running() const { return timer_.isActive(); }
  // Rows (of FoundFiles) to check before any other, asked before every slice: the rows on
  // screen.
  std::function<std::vector<int>()> PreferredRows;
  // While it says true (a command runs) no row is checked.
  std::function<bool()> Paused;
  // The check itself; check_found_file unless a test replaces it.
  std::function<ContentVerdict(char letter, int row)> Check;
  // How long one slice may take.
  static constexpr int kSliceMilliseconds = 15;

 signals:
  // Row `row` has its verdict.
  void RowChecked(int row);
  // `done` of `total` rows checked; Finished when all are (or Stop).
  void Progress(int done, int total);
  void Finished();

 private:
  void Slice();
  // The next row not yet checked, preferred rows first; -1 when none is left.
  int NextRow();

  QTimer timer_;
  char letter_ = 0;
  std::vector<bool> done_;  // by row id
  int done_count_ = 0;
  int next_ = 0;  // catalogue position where the plain walk goes on
  bool in_slice_ = false;
};

}  // namespace pyralis::ui
