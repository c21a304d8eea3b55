// SPDX-License-Identifier: GPL-3.0-or-later
// The gallery: the rows of the found-files list as a grid of thumbnails, each with the
// file's name, the list's coloured dot and, when the file is damaged or its picture does not
// decode, a broken mark. It shows the list's own filtered, sorted rows and is given the
// list's selection model, so both views always select the same files. Painting only draws
// what the thumbnail loader has; the tiles on screen and a screenful below are asked for.
#pragma once

#include <QHash>
#include <QListView>
#include <QPixmap>
#include <QStyledItemDelegate>
#include <QTimer>
#include <vector>

#include "core/row_facts.h"

namespace pyralis::ui {

class FoundFilesFilter;
class ThumbnailLoader;

class GalleryView : public QListView {
  Q_OBJECT

 public:
  GalleryView(FoundFilesFilter& filter, ThumbnailLoader& loader, QWidget* parent = nullptr);

  // The catalogue rows of the tiles on screen, top left to bottom right.
  std::vector<int> VisibleRecords() const;
  // The same rows' ids, then those of the next screenful: what the loader is asked for.
  std::vector<RowId> WantedRows() const;
  // The size of a tile and of the square its thumbnail is drawn in.
  QSize TileSize() const;
  int ThumbnailEdge() const { return kEdge; }

  static constexpr int kEdge = 120;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  // The first and last view rows on screen; -1, -1 when none.
  std::pair<int, int> ScreenRows() const;
  void AskForThumbnails();

  FoundFilesFilter& filter_;
  ThumbnailLoader& loader_;
  QTimer ask_timer_;
  QTimer repaint_timer_;
};

// Draws one tile: the thumbnail or the type icon, the dot, the broken mark and the name.
class GalleryDelegate : public QStyledItemDelegate {
  Q_OBJECT

 public:
  GalleryDelegate(FoundFilesFilter& filter, ThumbnailLoader& loader, GalleryView& view);
  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

 private:
  // A page with a folded corner and the file's extension on it, coloured by its kind.
  const QPixmap& TypeIcon(const QString& extension, int kind, qreal ratio) const;

  FoundFilesFilter& filter_;
  ThumbnailLoader& loader_;
  GalleryView& view_;
  mutable QHash<QString, QPixmap> icons_;
};

}  // namespace pyralis::ui
