// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/thumbnails.h"

#include <QBuffer>
#include <QImageReader>
#include <algorithm>
#include <exception>

#include "core/found_files.h"
#include "core/recovery_command.h"
#include "drivers/drivers.h"

namespace pyralis::ui {

namespace {

// Enough for a JPEG's EXIF block (one segment of at most 64 KiB after the SOI) and for the
// directories of a raw, which lie at its start.
constexpr uint64_t kHeadBytes = 66u << 10;
// Decoded thumbnails kept, in KiB of pixels.
constexpr int kCacheKiB = 128 << 10;
// Rows read or decoded at a time at most, so that memory stays bounded and rows scrolled
// into view soon come first.
constexpr int kMaxLoading = 8;
constexpr int kWorkers = 2;

std::string extension_of(const std::string& name) {
  const size_t dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

bool is_picture(filetypes::Kind kind) {
  return kind != filetypes::Kind::kUnknown &&
         filetypes::kind_category(kind) == filetypes::Category::kPictures;
}

}  // namespace

ThumbnailPlan plan_thumbnail(const QByteArray& head, uint64_t size, const std::string& name) {
  ThumbnailPlan plan;
  const auto* data = reinterpret_cast<const uint8_t*>(head.constData());
  const std::span<const uint8_t> bytes(data, static_cast<size_t>(head.size()));
  const filetypes::Kind kind = filetypes::identify(bytes);
  if (!is_picture(kind)) {
    plan.foreign = is_picture(filetypes::kind_of_extension(extension_of(name)));
    return plan;
  }
  const bool whole = static_cast<uint64_t>(head.size()) >= size;
  const uint64_t bound = ThumbnailLoader::kMaxDecodedFile;
  if (kind == filetypes::Kind::kJpeg || kind == filetypes::Kind::kTiff) {
    filetypes::MemorySource source(bytes);
    filetypes::HeadFacts facts = filetypes::head_facts(source, size);
    plan.date_taken = std::move(facts.date_taken);
    std::optional<filetypes::EmbeddedPicture> nearest;
    for (const filetypes::EmbeddedPicture& p : facts.pictures)
      if (p.length >= 16 && (!nearest || p.offset + p.length < nearest->offset + nearest->length))
        nearest = p;
    if (nearest && nearest->offset + nearest->length <= static_cast<uint64_t>(head.size())) {
      plan.step = ThumbnailPlan::kDecode;
      plan.picture = nearest;
      return plan;
    }
    // A raw's own image data is nothing a picture reader shows: its preview or nothing.
    if (nearest && (kind == filetypes::Kind::kTiff || size > bound) &&
        nearest->offset + nearest->length <= bound) {
      plan.step = ThumbnailPlan::kReadMore;
      plan.read = nearest->offset + nearest->length;
      plan.picture = nearest;
      return plan;
    }
  }
  if (whole) {
    plan.step = ThumbnailPlan::kDecode;
  } else if (size <= bound) {
    plan.step = ThumbnailPlan::kReadMore;
    plan.read = size;
  }
  return plan;
}

QImage decode_thumbnail(const QByteArray& bytes,
                        const std::optional<filetypes::EmbeddedPicture>& picture, int edge) {
  QByteArray data = bytes;
  if (picture) {
    if (picture->offset >= static_cast<uint64_t>(bytes.size())) return {};
    data = bytes.mid(static_cast<qsizetype>(picture->offset),
                     static_cast<qsizetype>(std::min<uint64_t>(picture->length, INT32_MAX)));
  }
  QBuffer buffer(&data);
  if (!buffer.open(QIODevice::ReadOnly)) return {};
  QImageReader reader(&buffer);
  reader.setAutoTransform(true);
  const QSize size = reader.size();
  const QSize room(edge, edge);
  if (size.isValid() && (size.width() > edge || size.height() > edge))
    reader.setScaledSize(size.scaled(room, Qt::KeepAspectRatio).expandedTo(QSize(1, 1)));
  QImage image = reader.read();
  if (image.isNull()) return {};
  if (image.width() > edge || image.height() > edge)
    image = image.scaled(room, Qt::KeepAspectRatio, Qt::SmoothTransformation);
  return image;
}

ThumbnailLoader::ThumbnailLoader(QObject* parent) : QObject(parent), images_(kCacheKiB) {
  timer_.setInterval(50);
  connect(&timer_, &QTimer::timeout, this, &ThumbnailLoader::Feed);
  poll_timer_.setInterval(kPollMilliseconds);
  connect(&poll_timer_, &QTimer::timeout, this, &ThumbnailLoader::Drain);
  Read = [](char letter, const FoundFileRecord& record, const RowFacts& facts, uint64_t limit,
            const std::atomic<bool>& go_on) {
    std::vector<uint8_t> bytes;
    read_found_row(letter, record, facts, limit, bytes, go_on);
    return QByteArray(reinterpret_cast<const char*>(bytes.data()),
                      static_cast<qsizetype>(bytes.size()));
  };
  // Two: one file is decoded while the next is read.
  for (int i = 0; i < kWorkers; ++i) workers_.emplace_back([this] { WorkerLoop(); });
}

ThumbnailLoader::~ThumbnailLoader() {
  if (go_on_) *go_on_ = false;
  {
    const std::lock_guard hold(lock_);
    quit_ = true;
    waiting_.clear();
  }
  wake_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

void ThumbnailLoader::Want(const std::vector<RowId>& ids) {
  wanted_ = ids;
  next_wanted_ = 0;
  Feed();
}

void ThumbnailLoader::Reset(char letter) {
  ++generation_;
  // The read under way stops at its next piece; what it or a decode still sends is dropped.
  if (go_on_) *go_on_ = false;
  go_on_ = std::make_shared<std::atomic<bool>>(true);
  {
    const std::lock_guard hold(lock_);
    waiting_.clear();
    done_.clear();
  }
  timer_.stop();
  poll_timer_.stop();
  images_.clear();
  none_.clear();
  undecodable_.clear();
  loading_.clear();
  wanted_.clear();
  next_wanted_ = 0;
  letter_ = letter;
}

bool ThumbnailLoader::Busy() const {
  return timer_.isActive() || !loading_.isEmpty();
}

void ThumbnailLoader::Feed() {
  if (letter_ == 0 || !go_on_) return;
  // While a command runs no read is started; the timer looks again.
  if (Paused && Paused()) {
    if (next_wanted_ < wanted_.size() && !timer_.isActive()) timer_.start();
    return;
  }
  timer_.stop();
  std::vector<Job> jobs;
  while (loading_.size() + static_cast<qsizetype>(jobs.size()) < kMaxLoading) {
    while (next_wanted_ < wanted_.size()) {
      const RowId id = wanted_[next_wanted_];
      if (!images_.contains(id) && !none_.contains(id) && !loading_.contains(id)) break;
      ++next_wanted_;
    }
    if (next_wanted_ >= wanted_.size()) break;
    const RowId id = wanted_[next_wanted_++];
    const int row = FoundFiles.IndexOf(id);
    if (row < 0) continue;
    const FoundFileRecord& record = FoundFiles[row];
    const filetypes::Kind promised = filetypes::kind_of_extension(extension_of(record.Name));
    if (!is_picture(promised) || record.Size <= 0) {
      none_.insert(id);
      emit Ready(id);
      continue;
    }
    loading_.insert(id);
    jobs.push_back({generation_, id, letter_, Edge, record, FoundFiles.FactsOf(id), go_on_});
  }
  if (jobs.empty()) return;
  {
    const std::lock_guard hold(lock_);
    for (Job& job : jobs) waiting_.push_back(std::move(job));
  }
  wake_.notify_all();
  if (!poll_timer_.isActive()) poll_timer_.start();
}

void ThumbnailLoader::Drain() {
  std::vector<Done> done;
  {
    const std::lock_guard hold(lock_);
    done.swap(done_);
  }
  for (Done& d : done) Loaded(d);
  if (loading_.isEmpty()) poll_timer_.stop();
  Feed();
}

void ThumbnailLoader::WorkerLoop() {
  // At the interface thread's priority, unlike the content check's worker: the thumbnails
  // on screen are what the user waits for.
  // One command per scan: the engines keep their tables from file to file.
  WorkerCommand command;
  for (;;) {
    Job job;
    {
      std::unique_lock hold(lock_);
      command.Wait(hold, wake_, [this] { return quit_ || !waiting_.empty(); });
      if (quit_) return;
      job = std::move(waiting_.front());
      waiting_.pop_front();
    }
    command.Enter(job.generation);
    if (*job.go_on) Load(job);
  }
}

void ThumbnailLoader::Load(const Job& job) {
  // Nothing crosses back by Qt's event queue: the answer lies under the lock until the
  // interface thread's poll collects it.
  auto answer = [this, &job](QImage image, bool undecodable, std::string date) {
    const std::lock_guard hold(lock_);
    done_.push_back({job.generation, job.id, std::move(image), undecodable, std::move(date)});
  };
  const auto size = static_cast<uint64_t>(job.record.Size);
  QByteArray bytes;
  ThumbnailPlan plan;
  try {
    bytes = Read(job.letter, job.record, job.facts, std::min(size, kHeadBytes), *job.go_on);
    plan = plan_thumbnail(bytes, size, job.record.Name);
    if (plan.step == ThumbnailPlan::kReadMore && *job.go_on)
      bytes = Read(job.letter, job.record, job.facts, plan.read, *job.go_on);
  } catch (const std::exception&) {
    return answer({}, true, {});
  }
  if (!*job.go_on) return;  // a read cut short says nothing of the file
  if (plan.step == ThumbnailPlan::kIcon || bytes.isEmpty())
    return answer({}, plan.foreign || bytes.isEmpty(), plan.date_taken);
  QImage image = decode_thumbnail(bytes, plan.picture, job.edge);
  // An embedded picture that does not decode: the file's own picture may still do.
  if (image.isNull() && plan.picture) image = decode_thumbnail(bytes, std::nullopt, job.edge);
  answer(image, image.isNull(), plan.date_taken);
}

void ThumbnailLoader::Loaded(Done& done) {
  if (done.generation != generation_) return;  // from before the last scan
  const RowId id = done.id;
  loading_.remove(id);
  if (done.image.isNull()) {
    none_.insert(id);
    if (done.undecodable) undecodable_.insert(id);
  } else {
    const qsizetype cost = std::max<qsizetype>(1, done.image.sizeInBytes() / 1024);
    images_.insert(id, new QImage(std::move(done.image)), cost);
  }
  if (!done.date_taken.empty() && FoundFiles.IndexOf(id) >= 0)
    FoundFiles.FactsOf(id).head_date_taken = std::move(done.date_taken);
  emit Ready(id);
}

}  // namespace pyralis::ui
