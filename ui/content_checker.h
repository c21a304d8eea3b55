// SPDX-License-Identifier: GPL-3.0-or-later
// The content check after a scan: each found file is read the way its recovery reads it,
// into memory, and its verdict lands in the row's facts ("Intact", "Damaged", "Unchecked").
// The reading runs in a worker thread. The interface thread hands it one row at a time as a
// copy of the row's record and facts under the row's id, so that the worker never touches
// the catalogue the list sorts and a new scan replaces; the verdicts come back under a lock
// that the interface thread looks at every kPollMilliseconds, and are stored by that id, wherever
// the row has moved since. The rows the list shows go first; the rest follow in catalogue order. A
// new scan, Open scan or Stop ends it; while a command runs no new row is handed out.
#pragma once

#include <QObject>
#include <QTimer>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/found_files.h"
#include "core/row_facts.h"

namespace pyralis::ui {

class ContentChecker : public QObject {
  Q_OBJECT

 public:
  explicit ContentChecker(QObject* parent = nullptr);
  ~ContentChecker() override;

  // Checks every row of FoundFiles read from drive `letter`, from the start.
  void Start(char letter);
  // No verdict lands after this; the file being read stops at its next piece.
  void Stop();
  bool Running() const { return running_; }
  // Rows (of FoundFiles) to check before any other, asked whenever rows are handed out: the
  // rows on screen.
  std::function<std::vector<int>()> PreferredRows;
  // While it says true (a command runs) no row is handed out.
  std::function<bool()> Paused;
  // The check itself, run in the worker on a copy of the row; check_found_row unless a test
  // replaces it. It must stop soon once `go_on` turns false.
  std::function<ContentVerdict(char letter, const FoundFileRecord& record, const RowFacts& facts,
                               const std::atomic<bool>& go_on)>
      Check;
  // How often Progress is sent while verdicts arrive, and how often they are collected.
  static constexpr int kProgressMilliseconds = 100;
  static constexpr int kPollMilliseconds = 10;

 signals:
  // The row with id `id` has its verdict (FoundFiles.FactsOf(id).content).
  void RowChecked(pyralis::RowId id);
  // `done` of `total` rows checked; Finished when all are (or Stop).
  void Progress(int done, int total);
  void Finished();

 private:
  // Tops the worker's queue up to kAhead rows (interface thread).
  void Feed();
  // Stores the verdicts the worker has left in `checked_`, then feeds it (interface thread).
  // Nothing crosses from the worker by Qt's event queue: all it hands back lies under `lock_`.
  void Drain();

  struct Job {
    uint64_t run = 0;  // which Start it belongs to
    RowId id = 0;
    char letter = 0;
    FoundFileRecord record;
    RowFacts facts;
    std::shared_ptr<std::atomic<bool>> go_on;
  };
  struct Checked {
    uint64_t run = 0;
    RowId id = 0;
    ContentVerdict verdict;
  };
  // The next row not yet handed out, `preferred` rows first; -1 when none is left.
  int NextRow(const std::vector<int>& preferred);
  void WorkerLoop();
  void Finish();

  bool running_ = false;
  char letter_ = 0;
  uint64_t run_ = 0;
  std::shared_ptr<std::atomic<bool>> go_on_;
  std::vector<bool> taken_;  // by row id: handed to the worker
  int done_count_ = 0;
  int in_flight_ = 0;  // rows handed out whose verdict has not come back
  int next_ = 0;       // catalogue position where the plain walk goes on
  QTimer poll_timer_;
  QTimer progress_timer_;

  std::mutex lock_;  // guards the three below
  std::condition_variable wake_;
  std::deque<Job> waiting_;
  std::vector<Checked> checked_;  // verdicts not yet stored
  bool quit_ = false;
  std::thread worker_;
};

}  // namespace pyralis::ui
