// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/content_checker.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <iterator>

#include "core/recovery_command.h"
#include "drivers/content_check.h"
#include "drivers/drivers.h"

namespace pyralis::ui {

namespace {
constexpr int kWorkerNice = 10;
}  // namespace

ContentChecker::ContentChecker(QObject* parent) : QObject(parent) {
  Check = [](char letter, const FoundFileRecord& record, const RowFacts& facts,
             const std::atomic<bool>& go_on, filetypes::Depth depth) {
    return check_found_row(letter, record, facts, go_on, depth);
  };
  DecodeLater = decoding_may_tell_more;
  poll_timer_.setInterval(kPollMilliseconds);
  connect(&poll_timer_, &QTimer::timeout, this, &ContentChecker::Drain);
  progress_timer_.setInterval(kProgressMilliseconds);
  connect(&progress_timer_, &QTimer::timeout, this, [this] {
    const int total = static_cast<int>(handed_.size());
    if (done_count_ < total)
      emit Progress(done_count_, total);
    else
      emit DecodeProgress(decode_done_, decode_total_);
  });
  const unsigned workers = std::clamp(std::thread::hardware_concurrency(), 1u, kMaxWorkers);
  for (unsigned i = 0; i < workers; ++i) workers_.emplace_back([this, i] { WorkerLoop(i == 0); });
}

ContentChecker::~ContentChecker() {
  if (go_on_) *go_on_ = false;
  {
    const std::lock_guard hold(lock_);
    quit_ = true;
    waiting_.clear();
  }
  wake_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

void ContentChecker::Start(char letter) {
  Stop();
  letter_ = letter;
  ++run_;
  go_on_ = std::make_shared<std::atomic<bool>>(true);
  handed_.assign(static_cast<size_t>(FoundFiles.Count()), kNot);
  decode_wanted_.assign(static_cast<size_t>(FoundFiles.Count()), false);
  decode_queue_.clear();
  handed_out_ = 0;
  decode_total_ = 0;
  decode_done_ = 0;
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
  emit Progress(done_count_, static_cast<int>(handed_.size()));
  if (decode_total_ > 0) emit DecodeProgress(decode_done_, decode_total_);
  Stop();
}

bool ContentChecker::DecodeWanted(RowId id) const {
  return id < decode_wanted_.size() && decode_wanted_[id] && handed_[id] == kWalk;
}

ContentChecker::Next ContentChecker::NextRow(const std::vector<int>& preferred) {
  const int count = FoundFiles.Count();
  auto id_of = [&](int row) {
    return row >= 0 && row < count ? FoundFiles.Id(row) : static_cast<RowId>(handed_.size());
  };
  auto open = [&](int row) {
    const RowId id = id_of(row);
    return id < handed_.size() && handed_[id] == kNot;
  };
  // The rows on screen are checked whole: their verdicts are the ones being looked at.
  for (int row : preferred)
    if (open(row) || DecodeWanted(id_of(row))) return {row, filetypes::Depth::kDecode, true};
  // Sorting moves rows behind the walk: a miss here only means a second, shorter pass.
  for (int pass = 0; pass < 2 && handed_out_ < handed_.size(); ++pass) {
    while (next_ < count && !open(next_)) ++next_;
    if (next_ < count) return {next_, filetypes::Depth::kStructure, false};
    next_ = 0;
  }
  return {-1, filetypes::Depth::kDecode, false};
}

void ContentChecker::Feed() {
  if (!running_) return;
  if (static_cast<size_t>(FoundFiles.Count()) != handed_.size()) {  // the catalogue changed
    Stop();
    return;
  }
  // While a command runs no new row is handed out; the poll looks again.
  if (Paused && Paused()) return;
  const std::vector<int> preferred = PreferredRows ? PreferredRows() : std::vector<int>();
  std::vector<Job> jobs, urgent;
  while (in_flight_ + static_cast<int>(jobs.size() + urgent.size()) < kAhead) {
    const auto [row, depth, on_screen] = NextRow(preferred);
    if (row < 0) {
      // Every row is handed out: the walked JPEGs are decoded, from their copies.
      if (decode_queue_.empty()) break;
      Checked walked = std::move(decode_queue_.front());
      decode_queue_.pop_front();
      if (!DecodeWanted(walked.id)) continue;  // decoded already, on screen
      handed_[walked.id] = kWhole;
      walked.facts.content = walked.verdict;
      jobs.push_back({run_, walked.id, letter_, std::move(walked.record), std::move(walked.facts),
                      go_on_, filetypes::Depth::kDecode});
      continue;
    }
    const RowId id = FoundFiles.Id(row);
    if (handed_[id] == kNot) ++handed_out_;
    handed_[id] = depth == filetypes::Depth::kStructure ? kWalk : kWhole;
    (on_screen ? urgent : jobs)
        .push_back({run_, id, letter_, FoundFiles[row], FoundFiles.FactsOf(id), go_on_, depth});
  }
  if (jobs.empty() && urgent.empty()) {
    if (in_flight_ == 0) Finish();
    return;
  }
  in_flight_ += static_cast<int>(jobs.size() + urgent.size());
  {
    // Rows on screen go before those handed out earlier.
    const std::lock_guard hold(lock_);
    for (Job& job : jobs) waiting_.push_back(std::move(job));
    waiting_.insert(waiting_.begin(), std::make_move_iterator(urgent.begin()),
                    std::make_move_iterator(urgent.end()));
  }
  wake_.notify_all();
}

void ContentChecker::Drain() {
  std::vector<Checked> checked;
  {
    const std::lock_guard hold(lock_);
    checked.swap(checked_);
  }
  if (!running_) return;
  for (Checked& c : checked) {
    if (c.run != run_) continue;  // a verdict of a run that was stopped
    --in_flight_;
    if (c.id >= handed_.size()) continue;
    if (decode_wanted_[c.id]) {
      ++decode_done_;  // the decoding after a walk
      decode_wanted_[c.id] = false;
    } else {
      ++done_count_;
    }
    // The id finds the row's facts wherever the list has moved the row meanwhile.
    FoundFiles.FactsOf(c.id).content = c.verdict;
    emit RowChecked(c.id);
    if (c.depth == filetypes::Depth::kStructure && DecodeLater && DecodeLater(c.verdict)) {
      decode_wanted_[c.id] = true;
      decode_queue_.push_back(std::move(c));
      ++decode_total_;
    }
  }
  Feed();
}

bool ContentChecker::Shareable(const Job& job) {
  return job.depth == filetypes::Depth::kDecode && job.record.Size <= kSharedDecodeBytes;
}

void ContentChecker::WorkerLoop(bool any_job) {
  // Background work: on a busy machine the interface thread (the filter, the scroll) goes
  // first. Linux gives each thread its own nice value.
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kWorkerNice);
  // One command per run: the engines keep what they load for a file (the FAT engine its
  // table) for the next files instead of loading it for each.
  WorkerCommand command;
  for (;;) {
    Job job;
    {
      std::unique_lock hold(lock_);
      auto mine = waiting_.end();
      const auto found = [&] {
        mine =
            any_job ? waiting_.begin() : std::find_if(waiting_.begin(), waiting_.end(), Shareable);
        return quit_ || mine != waiting_.end();
      };
      command.Wait(hold, wake_, found);
      if (quit_) return;
      job = std::move(*mine);
      waiting_.erase(mine);
    }
    command.Enter(job.run);
    ContentVerdict verdict;
    try {
      if (*job.go_on) verdict = Check(job.letter, job.record, job.facts, *job.go_on, job.depth);
    } catch (const std::exception&) {
      // An unreadable file stays "Unchecked".
    }
    // A read cut short by Stop says nothing of the file.
    if (!*job.go_on) continue;
    const std::lock_guard hold(lock_);
    checked_.push_back({job.run, job.id, job.depth, std::move(verdict), std::move(job.record),
                        std::move(job.facts)});
  }
}

}  // namespace pyralis::ui
