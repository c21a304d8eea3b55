// SPDX-License-Identifier: GPL-3.0-or-later
// Thumbnails of found files for the gallery. A file is read the way Unerase reads it, into
// memory only, and only as far as its picture needs: the first 66 KiB of a JPEG or a raw
// when its EXIF thumbnail or preview lies there, the whole file (within a bound) otherwise.
// The reads run in worker threads, as the content check's do: the interface thread hands them
// a copy of the row's record and facts under the row's id (the catalogue the list sorts and
// a new scan replaces is never touched there), and the same worker decodes the picture.
// What comes back (the thumbnail, or why there is none, and the date the file's EXIF block
// gives) waits under a lock, keyed by the row's id (which sorting and filtering leave alone),
// for the interface thread's poll. Decoded thumbnails are cached within a bound of memory; a new
// scan drops them all.
#pragma once

#include <QByteArray>
#include <QCache>
#include <QImage>
#include <QObject>
#include <QSet>
#include <QTimer>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/found_files.h"
#include "core/row_facts.h"
#include "filetypes/filetypes.h"

namespace pyralis::ui {

// What a file's first bytes say about making its thumbnail.
struct ThumbnailPlan {
  enum Step : uint8_t {
    kDecode,    // the bytes read so far are enough: decode `picture` (or the file itself)
    kReadMore,  // read the first `read` bytes of the file, then decode
    kIcon,      // nothing to decode: the file's type icon stands for it
  } step = kIcon;
  // The bytes are not the picture the file's name promises (foreign data, or none).
  bool foreign = false;
  uint64_t read = 0;
  std::optional<filetypes::EmbeddedPicture> picture;  // none: the file's own picture
  // When the picture was taken, as its EXIF block says ("YYYY-MM-DD HH:MM:SS"; empty: not).
  std::string date_taken;
};

// The plan for a file of `size` bytes named `name` whose first bytes are `head` (the whole
// file when head.size() == size).
ThumbnailPlan plan_thumbnail(const QByteArray& head, uint64_t size, const std::string& name);
// Decodes `picture` of `bytes` (or `bytes` themselves) to at most `edge` pixels on its
// longer side, reading the picture scaled where the format allows it; a null image when
// nothing decodes. Safe in any thread.
QImage decode_thumbnail(const QByteArray& bytes,
                        const std::optional<filetypes::EmbeddedPicture>& picture, int edge);

class ThumbnailLoader : public QObject {
  Q_OBJECT

 public:
  explicit ThumbnailLoader(QObject* parent = nullptr);
  ~ThumbnailLoader() override;

  // The thumbnail of row `id`, or null while it is not (or no longer) decoded.
  const QImage* Image(RowId id) const { return images_.object(id); }
  // The row has no thumbnail: not a picture, not readable, or its bytes do not decode.
  bool HasNone(RowId id) const { return none_.contains(id); }
  // Its bytes were read but did not decode as the picture its name promises.
  bool Undecodable(RowId id) const { return undecodable_.contains(id); }

  // The rows whose thumbnails are wanted now, the first first (the tiles on screen, then
  // those just below); replaces the earlier wish. Rows done or under way are skipped.
  void Want(const std::vector<RowId>& ids);
  // Forgets every thumbnail and drops the work under way (a new scan of drive `letter`).
  void Reset(char letter);
  // Whether reads or decodes are under way.
  bool Busy() const;

  // While it says true (a command runs) no read is started.
  std::function<bool()> Paused;
  // Reads up to `limit` bytes of a copy of a row of drive `letter`, in the worker: the
  // engines' recovery path into memory (read_found_row) unless a test replaces it. It must
  // stop soon once `go_on` turns false, and may throw.
  std::function<QByteArray(char letter, const FoundFileRecord& record, const RowFacts& facts,
                           uint64_t limit, const std::atomic<bool>& go_on)>
      Read;
  // The longer side of a thumbnail in pixels (tiles at 200 % want twice the size).
  int Edge = 128;

  // The most of one file read to decode it (a picture without an embedded one, or how far
  // into a raw its preview may lie); past it the type icon stands for the picture.
  static constexpr uint64_t kMaxDecodedFile = 16u << 20;
  static constexpr int kPollMilliseconds = 10;

 signals:
  // Row `id` has its thumbnail, or is known to have none (and its facts the date its first
  // bytes gave, when the content check had none).
  void Ready(pyralis::RowId id);

 private:
  struct Job {
    uint64_t generation = 0;
    RowId id = 0;
    char letter = 0;
    int edge = 0;
    FoundFileRecord record;
    RowFacts facts;
    std::shared_ptr<std::atomic<bool>> go_on;
  };
  struct Done {
    uint64_t generation = 0;
    RowId id = 0;
    QImage image;  // null: none
    bool undecodable = false;
    std::string date_taken;
  };
  // Hands the workers the next wanted rows, up to kMaxLoading under way (interface thread).
  void Feed();
  // Stores what the workers have left in `done_`, then feeds them (interface thread).
  void Drain();
  void Loaded(Done& done);
  void WorkerLoop();
  // Reads, plans and decodes one row (worker).
  void Load(const Job& job);

  char letter_ = 0;
  uint64_t generation_ = 0;
  std::shared_ptr<std::atomic<bool>> go_on_;
  std::vector<RowId> wanted_;
  size_t next_wanted_ = 0;
  QCache<RowId, QImage> images_;
  QSet<RowId> none_;
  QSet<RowId> undecodable_;
  QSet<RowId> loading_;  // handed to the worker, nothing back yet
  QTimer timer_;         // looks again while Paused
  QTimer poll_timer_;    // collects what the workers did, while rows are under way

  std::mutex lock_;  // guards the four below
  std::condition_variable wake_;
  std::deque<Job> waiting_;
  std::vector<Done> done_;
  bool quit_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace pyralis::ui
