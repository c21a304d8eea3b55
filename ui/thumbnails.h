// SPDX-License-Identifier: GPL-3.0-or-later
// Thumbnails of found files for the gallery. A file is read the way Unerase reads it, into
// memory only, and only as far as its picture needs: the first 66 KiB of a JPEG or a raw
// when its EXIF thumbnail or preview lies there, the whole file (within a bound) otherwise.
// The engines and the catalogue belong to the interface thread, so the reads run there, in
// short slices between the window's events; the decoding runs in a thread pool and comes
// back by a queued call keyed by the row's id, which sorting and filtering leave alone.
// Decoded thumbnails are cached within a bound of memory; a new scan drops them all.
#pragma once

#include <QByteArray>
#include <QCache>
#include <QImage>
#include <QObject>
#include <QSet>
#include <QThreadPool>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

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

  // While it says true (a command runs) nothing is read.
  std::function<bool()> Paused;
  // Reads up to `limit` bytes of catalogue row `row` of drive `letter`; the engines'
  // recovery path into memory unless a test replaces it.
  std::function<QByteArray(char letter, int row, uint64_t limit)> Read;
  // The longer side of a thumbnail in pixels (tiles at 200 % want twice the size).
  int Edge = 128;

  static constexpr int kSliceMilliseconds = 12;
  // The most of one file read to decode it (a picture without an embedded one, or how far
  // into a raw its preview may lie): the read runs on the interface thread in one piece,
  // which takes a while from a slow stick; past it the type icon stands for the picture.
  static constexpr uint64_t kMaxDecodedFile = 16u << 20;

 signals:
  // Row `id` has its thumbnail, or is known to have none.
  void Ready(pyralis::RowId id);

 private:
  void Slice();
  void Load(RowId id);
  void Decoded(uint64_t generation, RowId id, const QImage& image, bool undecodable);

  char letter_ = 0;
  uint64_t generation_ = 0;
  std::vector<RowId> wanted_;
  size_t next_wanted_ = 0;
  QCache<RowId, QImage> images_;
  QSet<RowId> none_;
  QSet<RowId> undecodable_;
  QSet<RowId> decoding_;
  QTimer timer_;
  QThreadPool pool_;
};

}  // namespace pyralis::ui
