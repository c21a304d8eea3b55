// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/thumbnails.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QImageReader>
#include <algorithm>
#include <exception>

#include "core/engine_window.h"
#include "core/found_files.h"
#include "core/process_state.h"
#include "core/recovery_command.h"
#include "drivers/drivers.h"

namespace pyralis::ui {

namespace {

// Enough for a JPEG's EXIF block (one segment of at most 64 KiB after the SOI) and for the
// directories of a raw, which lie at its start.
constexpr uint64_t kHeadBytes = 66u << 10;
// Decoded thumbnails kept, in KiB of pixels.
constexpr int kCacheKiB = 128 << 10;
// Decodes under way at most; reads wait beyond that, so that memory stays bounded.
constexpr int kMaxDecoding = 8;

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
    std::optional<filetypes::EmbeddedPicture> nearest;
    for (const filetypes::EmbeddedPicture& p : filetypes::embedded_pictures(source, size))
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
  timer_.setInterval(0);
  connect(&timer_, &QTimer::timeout, this, &ThumbnailLoader::Slice);
  pool_.setMaxThreadCount(std::max(1, QThread::idealThreadCount()));
  Read = [](char letter, int row, uint64_t limit) {
    // No events are handled inside the read: the engines and the catalogue are not
    // re-entrant, and a scan or another read started from in here would run under it.
    EngineWindow& outer = Window();
    EngineWindow still;
    SetEngineWindow(&still);
    std::vector<uint8_t> bytes;
    try {
      read_found_file(letter, row, limit, bytes);
    } catch (...) {
      SetEngineWindow(&outer);
      throw;
    }
    SetEngineWindow(&outer);
    return QByteArray(reinterpret_cast<const char*>(bytes.data()),
                      static_cast<qsizetype>(bytes.size()));
  };
}

ThumbnailLoader::~ThumbnailLoader() {
  pool_.clear();
  pool_.waitForDone();
}

void ThumbnailLoader::Want(const std::vector<RowId>& ids) {
  wanted_ = ids;
  next_wanted_ = 0;
  if (letter_ != 0 && !wanted_.empty() && !timer_.isActive()) timer_.start();
}

void ThumbnailLoader::Reset(char letter) {
  ++generation_;
  pool_.clear();
  timer_.stop();
  images_.clear();
  none_.clear();
  undecodable_.clear();
  decoding_.clear();
  wanted_.clear();
  next_wanted_ = 0;
  letter_ = letter;
}

bool ThumbnailLoader::Busy() const {
  return timer_.isActive() || !decoding_.isEmpty();
}

void ThumbnailLoader::Slice() {
  // Another read (the content check's, the preview's) handles events while it runs: none
  // is started under it. The timer is left as it is (changing it would restart it, and
  // then it would only ever come due inside such reads).
  if (RecoveryActive) return;
  if (Paused && Paused()) {
    timer_.setInterval(50);
    return;
  }
  timer_.setInterval(0);
  if (decoding_.size() >= kMaxDecoding) {
    timer_.setInterval(5);
    return;
  }
  QElapsedTimer clock;
  clock.start();
  // One command for the slice: the source is opened and the FAT engine's table loaded once.
  std::optional<RecoveryCommand> command;
  while (clock.elapsed() < kSliceMilliseconds && decoding_.size() < kMaxDecoding) {
    while (next_wanted_ < wanted_.size()) {
      const RowId id = wanted_[next_wanted_];
      if (!images_.contains(id) && !none_.contains(id) && !decoding_.contains(id)) break;
      ++next_wanted_;
    }
    if (next_wanted_ >= wanted_.size()) {
      timer_.stop();
      return;
    }
    if (!command) command.emplace();
    Load(wanted_[next_wanted_++]);
  }
}

void ThumbnailLoader::Load(RowId id) {
  const int row = FoundFiles.IndexOf(id);
  if (row < 0) return;
  const FoundFileRecord& record = FoundFiles[row];
  auto none = [&](bool undecodable) {
    none_.insert(id);
    if (undecodable) undecodable_.insert(id);
    emit Ready(id);
  };
  const filetypes::Kind promised = filetypes::kind_of_extension(extension_of(record.Name));
  if (!is_picture(promised) || record.Size <= 0) return none(false);
  const auto size = static_cast<uint64_t>(record.Size);
  QByteArray bytes;
  ThumbnailPlan plan;
  try {
    bytes = Read(letter_, row, std::min(size, kHeadBytes));
    plan = plan_thumbnail(bytes, size, record.Name);
    if (plan.step == ThumbnailPlan::kReadMore) bytes = Read(letter_, row, plan.read);
  } catch (const std::exception&) {
    return none(true);
  }
  if (plan.step == ThumbnailPlan::kIcon || bytes.isEmpty())
    return none(plan.foreign || bytes.isEmpty());
  decoding_.insert(id);
  const uint64_t generation = generation_;
  const int edge = Edge;
  const std::optional<filetypes::EmbeddedPicture> picture = plan.picture;
  pool_.start([this, bytes, picture, edge, generation, id] {
    QImage image = decode_thumbnail(bytes, picture, edge);
    bool undecodable = false;
    // An embedded picture that does not decode: the file's own picture may still do.
    if (image.isNull() && picture) image = decode_thumbnail(bytes, std::nullopt, edge);
    if (image.isNull()) undecodable = true;
    QMetaObject::invokeMethod(
        this,
        [this, generation, id, image, undecodable] { Decoded(generation, id, image, undecodable); },
        Qt::QueuedConnection);
  });
}

void ThumbnailLoader::Decoded(uint64_t generation, RowId id, const QImage& image,
                              bool undecodable) {
  if (generation != generation_) return;  // from before the last scan
  decoding_.remove(id);
  if (image.isNull()) {
    none_.insert(id);
    if (undecodable) undecodable_.insert(id);
  } else {
    images_.insert(id, new QImage(image), std::max<qsizetype>(1, image.sizeInBytes() / 1024));
  }
  emit Ready(id);
  if (!timer_.isActive() && next_wanted_ < wanted_.size()) timer_.start();
}

}  // namespace pyralis::ui
