// SPDX-License-Identifier: GPL-3.0-or-later
// Looking into a found file before recovering it: the file is read through the engine's own
// recovery path into memory (nothing is written to disk) and shown as a picture, as text or
// as the hex of its first bytes.
#pragma once

#include <QByteArray>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScrollArea>
#include <QStackedWidget>
#include <QString>
#include <cstdint>
#include <optional>

#include "core/recovery_outcome.h"

namespace pyralis::ui {

inline constexpr uint64_t kPreviewBytes = 32u << 20;
inline constexpr int kHexPreviewBytes = 64 << 10;

struct FilePreview {
  QByteArray bytes;
  bool whole = false;  // the engine read the file to its end
  QString problem;     // why nothing (or not all) could be read; empty when all was read
  std::optional<ClusterTally> clusters;  // how many of its clusters are still free
};

// Reads catalogue row `row` of drive `letter` as Unerase would, keeping at most `max_bytes`
// bytes in memory. The engine's log lines are kept out of the log; a failure's line becomes
// the problem.
FilePreview preview_found_file(char letter, int row, uint64_t max_bytes = kPreviewBytes);

// Whether the bytes read as text (no NUL, few control characters) or the name says so.
bool looks_like_text(const QString& name, const QByteArray& bytes);
// UTF-8 when the bytes are valid UTF-8, Latin-1 otherwise.
QString decode_text(const QByteArray& bytes);
// "00000000  4a 46 49 46 ...  |JFIF...|", sixteen bytes a line, of the first `limit` bytes.
QString hex_dump(const QByteArray& bytes, int limit = kHexPreviewBytes);

class PreviewPane : public QWidget {
  Q_OBJECT

 public:
  explicit PreviewPane(QWidget* parent = nullptr);

  enum class Shown { kNothing, kPicture, kText, kHex, kProblem };
  // Shows catalogue row `row` as read in `preview`.
  void Show(int row, const FilePreview& preview);
  void Clear();
  Shown Showing() const { return shown_; }

  QLabel* InfoLabel;
  QStackedWidget* Pages;
  QLabel* PictureLabel;
  QPlainTextEdit* TextView;

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void FitPicture();

  QImage picture_;
  Shown shown_ = Shown::kNothing;
};

}  // namespace pyralis::ui
