// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/content_checker.h"

#include <sys/resource.h>
#include <unistd.h>

#include <exception>

#include "drivers/drivers.h"

namespace pyralis::ui {

namespace {
// Rows handed to the worker ahead of its verdicts: enough for the time between two polls
// when files are small, few enough that rows scrolled into view soon come first.
constexpr int kAhead = 64;
constexpr int kWorkerNice = 10;
}  // namespace

ContentChecker::ContentChecker(QObject* parent) : QObject(parent) {
  Check = [](char letter, const FoundFileRecord& record, const RowFacts& facts,
             const std::atomic<bool>& go_on) {
    return check_found_row(letter, record, facts, go_on);
  };
  poll_timer_.setInterval(kPollMilliseconds);
  connect(&poll_timer_, &QTimer::timeout, this, &ContentChecker::Drain);
  progress_timer_.setInterval(kProgressMilliseconds);
  connect(&progress_timer_, &QTimer::timeout, this,
          [this] { emit Progress(done_count_, static_cast<int>(taken_.size())); });
  worker_ = std::thread([this] { WorkerLoop(); });
}

ContentChecker::~ContentChecker() {
  if (go_on_) *go_on_ = false;
  {
    const std::lock_guard hold(lock_);
    quit_ = true;
    waiting_.clear();
  }
  wake_.notify_all();
  worker_.join();
}

void ContentChecker::Start(char letter) {
  Stop();
  letter_ = letter;
  ++run_;
  go_on_ = std::make_shared<std::atomic<bool>>(true);
  taken_.assign(static_cast<size_t>(FoundFiles.Count()), false);
  done_count_ = 0;
  in_flight_ = 0;
  next_ = 0;
  if (FoundFiles.Count() == 0) return;
  running_ = true;
  progress_timer_.start();
  poll_timer_.start();
  Feed();
}

void ContentChecker::Stop() {
  if (!running_) return;
  running_ = false;
  ++run_;  // verdicts still on their way are dropped
  if (go_on_) *go_on_ = false;
  {
    const std::lock_guard hold(lock_);
    waiting_.clear();
    checked_.clear();
  }
  poll_timer_.stop();
  progress_timer_.stop();
  emit Finished();
}

void ContentChecker::Finish() {
  emit Progress(done_count_, static_cast<int>(taken_.size()));
  Stop();
}

int ContentChecker::NextRow(const std::vector<int>& preferred) {
  const int count = FoundFiles.Count();
  auto open = [&](int row) {
    if (row < 0 || row >= count) return false;
    const RowId id = FoundFiles.Id(row);
    return id < taken_.size() && !taken_[id];
  };
  for (int row : preferred)
    if (open(row)) return row;
  // Sorting moves rows behind the walk: a miss here only means a second, shorter pass.
  for (int pass = 0; pass < 2; ++pass) {
    while (next_ < count && !open(next_)) ++next_;
    if (next_ < count) return next_;
    next_ = 0;
  }
  return -1;
}

void ContentChecker::Feed() {
  if (!running_) return;
  if (static_cast<size_t>(FoundFiles.Count()) != taken_.size()) {  // the catalogue changed
    Stop();
    return;
  }
  // While a command runs no new row is handed out; the poll looks again.
  if (Paused && Paused()) return;
  const std::vector<int> preferred = PreferredRows ? PreferredRows() : std::vector<int>();
  std::vector<Job> jobs;
  while (in_flight_ + static_cast<int>(jobs.size()) < kAhead) {
    const int row = NextRow(preferred);
    if (row < 0) break;
    const RowId id = FoundFiles.Id(row);
    taken_[id] = true;
    jobs.push_back({run_, id, letter_, FoundFiles[row], FoundFiles.FactsOf(id), go_on_});
  }
  if (jobs.empty()) {
    if (in_flight_ == 0) Finish();
    return;
  }
  in_flight_ += static_cast<int>(jobs.size());
  {
    const std::lock_guard hold(lock_);
    for (Job& job : jobs) waiting_.push_back(std::move(job));
  }
  wake_.notify_one();
}

void ContentChecker::Drain() {
  std::vector<Checked> checked;
  {
    const std::lock_guard hold(lock_);
    checked.swap(checked_);
  }
  if (!running_) return;
  for (const Checked& c : checked) {
    if (c.run != run_) continue;  // a verdict of a run that was stopped
    --in_flight_;
    ++done_count_;
    // The id finds the row's facts wherever the list has moved the row meanwhile.
    if (c.id < taken_.size()) {
      FoundFiles.FactsOf(c.id).content = c.verdict;
      emit RowChecked(c.id);
    }
  }
  Feed();
}

void ContentChecker::WorkerLoop() {
  // Background work: on a busy machine the interface thread (the filter, the scroll) goes
  // first. Linux gives each thread its own nice value.
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kWorkerNice);
  for (;;) {
    Job job;
    {
      std::unique_lock hold(lock_);
      wake_.wait(hold, [this] { return quit_ || !waiting_.empty(); });
      if (quit_) return;
      job = std::move(waiting_.front());
      waiting_.pop_front();
    }
    ContentVerdict verdict;
    try {
      if (*job.go_on) verdict = Check(job.letter, job.record, job.facts, *job.go_on);
    } catch (const std::exception&) {
      // An unreadable file stays "Unchecked".
    }
    // A read cut short by Stop says nothing of the file.
    if (!*job.go_on) continue;
    const std::lock_guard hold(lock_);
    checked_.push_back({job.run, job.id, std::move(verdict)});
  }
}

}  // namespace pyralis::ui
