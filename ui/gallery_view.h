// SPDX-License-Identifier: GPL-3.0-or-later
// The gallery: the rows of the found-files list as a grid of thumbnails, each with the
// file's name, the list's coloured dot and, when the file is damaged or its picture does not
// decode, a broken mark. It shows the list's own filtered, sorted rows and is given the
// list's selection model, so both views always select the same files. Painting only draws
// what the thumbnail loader has; the tiles on screen and a screenful below are asked for.
// Grouped by date, each day's tiles sit under a header line with the date; a layout of its
// own places them (a list view's grid cannot span a line), in the list's order within a day.
#pragma once

#include <QAbstractItemView>
#include <QHash>
#include <QLocale>
#include <QPixmap>
#include <QStyledItemDelegate>
#include <QTimer>
#include <optional>
#include <vector>

#include "core/row_facts.h"

namespace pyralis::ui {

class FoundFilesFilter;
class ThumbnailLoader;

// The date a row's picture was taken as a day (a Julian day number), from the content
// check's date or, before it, the one the thumbnail read found; none when neither says.
std::optional<qint64> date_taken_day(const RowFacts& facts);
// A day group's header: the locale's long date without the weekday ("14 July 2024").
QString date_group_title(qint64 julian_day, const QLocale& locale);

class GalleryView : public QAbstractItemView {
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

  // Tiles grouped under a header per day taken, the days newest first (or oldest first),
  // each day's tiles in the list's order, the rows whose date is unknown last under "Date
  // unknown"; off: one plain grid in the list's order. The days are those the rows have at
  // the call: a date learnt later moves its tile at the next call, not under the pointer.
  void GroupByDate(bool on, bool newest_first = true);
  bool GroupedByDate() const { return grouped_; }
  // The groups, top to bottom: one without a title when not grouped (tests, benchmarks).
  struct Group {
    QString title;  // empty when not grouped
    int first = 0;  // position of its first tile in the layout order
    int count = 0;
    int top = 0;  // content y of its header (of its first tiles when not grouped)
  };
  const std::vector<Group>& Groups() const;

  static constexpr int kEdge = 120;

  QRect visualRect(const QModelIndex& index) const override;
  void scrollTo(const QModelIndex& index, ScrollHint hint = EnsureVisible) override;
  QModelIndex indexAt(const QPoint& point) const override;
  void doItemsLayout() override;

 protected:
  QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;
  int horizontalOffset() const override { return 0; }
  int verticalOffset() const override;
  bool isIndexHidden(const QModelIndex&) const override { return false; }
  void setSelection(const QRect& rect, QItemSelectionModel::SelectionFlags command) override;
  QRegion visualRegionForSelection(const QItemSelection& selection) const override;
  void updateGeometries() override;
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  // Orders the rows into groups (after the model changed) and places the groups (after the
  // width changed); both only when asked for since the last change.
  void Layout() const;
  void Regroup() const;
  void Place() const;
  void Changed();
  int Columns() const;
  int HeaderHeight() const;
  // The content rectangle of the tile at layout position `position`.
  QRect TileRect(int position) const;
  // The group holding layout position `position`, and the one whose band holds content y.
  size_t GroupOf(int position) const;
  size_t GroupAtY(int y) const;
  // The layout positions of the tiles whose line lies within content y [top, bottom).
  std::vector<int> PositionsIn(int top, int bottom) const;
  int ContentHeight() const;
  void AskForThumbnails();

  FoundFilesFilter& filter_;
  ThumbnailLoader& loader_;
  QTimer ask_timer_;
  QTimer repaint_timer_;
  bool grouped_ = false;
  bool newest_first_ = true;
  std::vector<qint64> days_;  // by row id, as GroupByDate found them; kNoDay when unknown
  mutable bool regroup_ = true;
  mutable bool place_ = true;
  mutable int placed_columns_ = 0;
  mutable std::vector<int> order_;     // layout position -> view row
  mutable std::vector<int> position_;  // view row -> layout position
  mutable std::vector<Group> groups_;
  mutable int height_ = 0;
  // The rubber band while a drag selects, in content coordinates.
  QPoint band_from_;
  QPoint band_to_;
  bool banding_ = false;
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
