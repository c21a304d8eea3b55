// SPDX-License-Identifier: GPL-3.0-or-later
// The content check after a scan: each found file is read the way its recovery reads it,
// into memory, and its verdict lands in the row's facts ("Intact", "Damaged", "Unchecked").
// The reading runs in a worker thread (the decoding in two). The interface thread hands it one row
// at a time as a copy of the row's record and facts under the row's id, so that the worker never
// touches the catalogue the list sorts and a new scan replaces; the verdicts come back under a lock
// that the interface thread looks at every kPollMilliseconds, and are stored by that id, wherever
// the row has moved since. A new scan, Open scan or Stop ends it; while a command runs no new
// row is handed out.
//
// Decoding a JPEG's image data costs several times reading it, so the check goes in two
// rounds: the rows the list shows are checked whole at once; every other row is first
// walked (its structure only, about the cost of reading it: a whole JPEG is then
// "Plausible"), and once every row has a verdict, the JPEGs the walk found whole are read
// again and decoded, which makes them "Intact" or "Damaged".
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
#include "filetypes/filetypes.h"

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
                               const std::atomic<bool>& go_on, filetypes::Depth depth)>
      Check;
  // Whether a verdict made at Depth::kStructure may change when the row is decoded;
  // decoding_may_tell_more unless a test replaces it.
  std::function<bool(const ContentVerdict&)> DecodeLater;
  // How often Progress is sent while verdicts arrive, and how often they are collected.
  static constexpr int kProgressMilliseconds = 100;
  static constexpr int kPollMilliseconds = 10;
  // Rows handed to the workers ahead of their verdicts: enough for the time between two polls
  // when small files are only walked (rows scrolled into view go to the front).
  static constexpr int kAhead = 256;
  // Decoding is shared by up to this many workers (when the machine has as many cores); the
  // walk, which costs reads, stays in one.
  static constexpr unsigned kMaxWorkers = 2;
  static constexpr int64_t kSharedDecodeBytes = 64 << 20;

 signals:
  // The row with id `id` has its verdict (FoundFiles.FactsOf(id).content).
  void RowChecked(pyralis::RowId id);
  // `done` of `total` rows checked; Finished when all are (or Stop).
  void Progress(int done, int total);
  // Every row has its verdict; `done` of the `total` pictures walked whole are decoded.
  void DecodeProgress(int done, int total);
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
    filetypes::Depth depth = filetypes::Depth::kDecode;
  };
  struct Checked {
    uint64_t run = 0;
    RowId id = 0;
    filetypes::Depth depth = filetypes::Depth::kDecode;
    ContentVerdict verdict;
    FoundFileRecord record;  // the job's copy, handed out again if it is to be decoded
    RowFacts facts;
  };
  // What each row has been handed out for, by row id.
  enum Handed : uint8_t {
    kNot,
    kWalk,   // the structure walk; decoding may follow
    kWhole,  // the whole check: nothing follows
  };
  // The next row to hand out, how deep to check it and whether it is one of `preferred`,
  // which come first; row -1 when none is left now.
  struct Next {
    int row;
    filetypes::Depth depth;
    bool preferred;
  };
  Next NextRow(const std::vector<int>& preferred);
  bool DecodeWanted(RowId id) const;
  // `any_job`: the first worker takes every job; the others only decode files of at most
  // kSharedDecodeBytes, which costs processor time rather than reads.
  void WorkerLoop(bool any_job);
  static bool Shareable(const Job& job);
  void Finish();

  bool running_ = false;
  char letter_ = 0;
  uint64_t run_ = 0;
  std::shared_ptr<std::atomic<bool>> go_on_;
  std::vector<Handed> handed_;       // by row id
  size_t handed_out_ = 0;            // rows no longer kNot
  std::vector<bool> decode_wanted_;  // by row id: walked whole, decoding may tell more
  // Those rows, in the order their walks came back, with their copies: finding a row by its
  // id would mean a search of the catalogue.
  std::deque<Checked> decode_queue_;
  int done_count_ = 0;    // rows with a verdict
  int decode_total_ = 0;  // rows whose walk asked for decoding
  int decode_done_ = 0;   // and of those, decoded (or checked whole on screen)
  int in_flight_ = 0;  // rows handed out whose verdict has not come back
  int next_ = 0;       // catalogue position where the plain walk goes on
  QTimer poll_timer_;
  QTimer progress_timer_;

  std::mutex lock_;  // guards the three below
  std::condition_variable wake_;
  std::deque<Job> waiting_;
  std::vector<Checked> checked_;  // verdicts not yet stored
  bool quit_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace pyralis::ui
