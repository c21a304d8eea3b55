// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/gallery_view.h"

#include <QApplication>
#include <QPainter>
#include <QPainterPath>
#include <QScrollBar>
#include <algorithm>

#include "core/found_files.h"
#include "ui/found_files_filter.h"
#include "ui/found_files_model.h"
#include "ui/thumbnails.h"

namespace pyralis::ui {

namespace {

constexpr int kPad = 6;  // around the thumbnail square, and between it and the name

QColor kind_colour(int kind) {
  switch (static_cast<FileKind>(kind)) {
    case FileKind::kPictures:
      return QColor(50, 120, 200);
    case FileKind::kDocuments:
      return QColor(70, 90, 120);
    case FileKind::kAudio:
      return QColor(210, 120, 20);
    case FileKind::kVideo:
      return QColor(140, 60, 170);
    case FileKind::kArchives:
      return QColor(130, 90, 50);
    case FileKind::kOther:
      break;
  }
  return QColor(120, 120, 120);
}

// A dot as the list draws it: filled, with a thin grey rim.
void draw_dot(QPainter& painter, const QRectF& at, const QColor& colour) {
  painter.setPen(QPen(QColor(128, 128, 128), 1));
  painter.setBrush(colour);
  painter.drawEllipse(at);
}

// A red disc with a white zigzag crack: the file is damaged or its picture does not decode.
void draw_broken_mark(QPainter& painter, const QRectF& at) {
  painter.setPen(QPen(Qt::white, 1.5));
  painter.setBrush(QColor(200, 30, 30));
  painter.drawEllipse(at);
  const qreal w = at.width(), h = at.height();
  QPainterPath crack;
  crack.moveTo(at.left() + w * 0.55, at.top() + h * 0.18);
  crack.lineTo(at.left() + w * 0.38, at.top() + h * 0.50);
  crack.lineTo(at.left() + w * 0.62, at.top() + h * 0.50);
  crack.lineTo(at.left() + w * 0.45, at.top() + h * 0.82);
  painter.setPen(QPen(Qt::white, std::max<qreal>(1.5, w / 9)));
  painter.setBrush(Qt::NoBrush);
  painter.drawPath(crack);
}

}  // namespace

GalleryView::GalleryView(FoundFilesFilter& filter, ThumbnailLoader& loader, QWidget* parent)
    : QListView(parent), filter_(filter), loader_(loader) {
  setObjectName(QStringLiteral("GalleryView"));
  // A wrapped list rather than IconMode: its layout is a plain grid, cheap for 20,000 rows.
  setViewMode(QListView::ListMode);
  setFlow(QListView::LeftToRight);
  setWrapping(true);
  setResizeMode(QListView::Adjust);
  setUniformItemSizes(true);
  setMovement(QListView::Static);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  // Whole rows, as the list selects them: Unerase takes the rows selected in every column.
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionRectVisible(true);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
  setContextMenuPolicy(Qt::CustomContextMenu);
  setItemDelegate(new GalleryDelegate(filter, loader, *this));
  setGridSize(TileSize());
  verticalScrollBar()->setSingleStep(TileSize().height() / 3);
  // Asking and repainting are gathered: one per event-loop turn, one per 30 ms.
  ask_timer_.setSingleShot(true);
  ask_timer_.setInterval(0);
  connect(&ask_timer_, &QTimer::timeout, this, &GalleryView::AskForThumbnails);
  repaint_timer_.setSingleShot(true);
  repaint_timer_.setInterval(30);
  connect(&repaint_timer_, &QTimer::timeout, viewport(), qOverload<>(&QWidget::update));
  connect(&loader_, &ThumbnailLoader::Ready, this, [this] {
    if (isVisible() && !repaint_timer_.isActive()) repaint_timer_.start();
  });
}

QSize GalleryView::TileSize() const {
  const int text = fontMetrics().height();
  return {kEdge + 2 * kPad + 8, kEdge + 2 * kPad + text + kPad};
}

std::pair<int, int> GalleryView::ScreenRows() const {
  const int rows = model() ? model()->rowCount() : 0;
  if (rows == 0) return {-1, -1};
  const QModelIndex first = indexAt(QPoint(1, 1));
  if (!first.isValid()) return {-1, -1};
  const QSize tile = gridSize();
  const int columns = std::max(1, viewport()->width() / std::max(1, tile.width()));
  const int lines = viewport()->height() / std::max(1, tile.height()) + 2;
  return {first.row(), std::min(rows - 1, first.row() + columns * lines - 1)};
}

std::vector<int> GalleryView::VisibleRecords() const {
  std::vector<int> records;
  const auto [first, last] = ScreenRows();
  if (first < 0) return records;
  for (int row = first; row <= last; ++row)
    records.push_back(filter_.RecordRow(model()->index(row, 0)));
  return records;
}

std::vector<RowId> GalleryView::WantedRows() const {
  std::vector<RowId> ids;
  const auto [first, last] = ScreenRows();
  if (first < 0) return ids;
  // The screen, then as many tiles again below it.
  const int ahead = std::min(model()->rowCount() - 1, last + (last - first + 1));
  for (int row = first; row <= ahead; ++row) {
    const int record = filter_.RecordRow(model()->index(row, 0));
    if (record >= 0 && record < FoundFiles.Count()) ids.push_back(FoundFiles.Id(record));
  }
  return ids;
}

void GalleryView::AskForThumbnails() {
  if (!isVisible()) return;
  loader_.Edge = static_cast<int>(kEdge * devicePixelRatioF());
  loader_.Want(WantedRows());
}

void GalleryView::paintEvent(QPaintEvent* event) {
  QListView::paintEvent(event);
  // What is on screen may have changed (scrolled, filtered, sorted): ask once painting ends.
  if (!ask_timer_.isActive()) ask_timer_.start();
}

void GalleryView::resizeEvent(QResizeEvent* event) {
  QListView::resizeEvent(event);
  if (gridSize() != TileSize()) setGridSize(TileSize());
}

GalleryDelegate::GalleryDelegate(FoundFilesFilter& filter, ThumbnailLoader& loader,
                                 GalleryView& view)
    : QStyledItemDelegate(&view), filter_(filter), loader_(loader), view_(view) {}

QSize GalleryDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const {
  return view_.TileSize();
}

const QPixmap& GalleryDelegate::TypeIcon(const QString& extension, int kind, qreal ratio) const {
  const QString key = QStringLiteral("%1/%2/%3").arg(extension).arg(kind).arg(ratio);
  auto found = icons_.find(key);
  if (found != icons_.end()) return *found;
  const int edge = GalleryView::kEdge * 2 / 3;
  QPixmap pixmap(QSize(edge * 3 / 4, edge) * ratio);
  pixmap.setDevicePixelRatio(ratio);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF page(1, 1, edge * 3 / 4 - 2, edge - 2);
  const qreal fold = page.width() / 3;
  QPainterPath outline;
  outline.moveTo(page.topLeft());
  outline.lineTo(page.right() - fold, page.top());
  outline.lineTo(page.right(), page.top() + fold);
  outline.lineTo(page.bottomRight());
  outline.lineTo(page.bottomLeft());
  outline.closeSubpath();
  const QColor colour = kind_colour(kind);
  painter.setPen(QPen(colour.darker(130), 1.5));
  painter.setBrush(QColor(250, 250, 250));
  painter.drawPath(outline);
  QPainterPath corner;
  corner.moveTo(page.right() - fold, page.top());
  corner.lineTo(page.right() - fold, page.top() + fold);
  corner.lineTo(page.right(), page.top() + fold);
  painter.drawPath(corner);
  // The extension on a coloured band.
  const QRectF band(page.left() - 1, page.top() + page.height() * 0.55, page.width() + 2,
                    page.height() * 0.24);
  painter.fillRect(band, colour);
  QFont font = QApplication::font();
  font.setBold(true);
  font.setPixelSize(std::max(8, static_cast<int>(band.height() * 0.6)));
  painter.setFont(font);
  painter.setPen(Qt::white);
  const QString text = extension.isEmpty() ? QStringLiteral("?") : extension.left(5).toUpper();
  painter.drawText(band, Qt::AlignCenter, text);
  painter.end();
  return *icons_.insert(key, pixmap);
}

void GalleryDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const {
  const int record = filter_.RecordRow(index);
  if (record < 0 || record >= FoundFiles.Count()) return;
  const FoundFileRecord& file = FoundFiles[record];
  const RowId id = FoundFiles.Id(record);
  const RowFacts& facts = FoundFiles.FactsOf(id);

  QStyleOptionViewItem panel = option;
  initStyleOption(&panel, index);
  panel.text.clear();
  panel.icon = QIcon();
  panel.features &= ~QStyleOptionViewItem::HasDecoration;
  panel.backgroundBrush = QBrush();  // no striping in the grid
  const QWidget* widget = option.widget;
  QStyle* style = widget ? widget->style() : QApplication::style();
  style->drawPrimitive(QStyle::PE_PanelItemViewItem, &panel, painter, widget);

  painter->save();
  painter->setRenderHint(QPainter::Antialiasing);
  painter->setRenderHint(QPainter::SmoothPixmapTransform);
  const QRect tile = option.rect;
  const int edge = GalleryView::kEdge;
  const QRect square(tile.left() + (tile.width() - edge) / 2, tile.top() + kPad, edge, edge);
  const QImage* image = loader_.Image(id);
  if (image != nullptr) {
    const QSize fitted = image->size().scaled(square.size(), Qt::KeepAspectRatio);
    const QRect target(square.left() + (edge - fitted.width()) / 2,
                       square.top() + (edge - fitted.height()) / 2, fitted.width(),
                       fitted.height());
    painter->drawImage(target, *image);
  } else {
    // The type icon until the thumbnail arrives, and for good when there is none.
    const QString name = QString::fromStdString(file.Name);
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    const QString extension = dot < 0 ? QString() : name.mid(dot + 1);
    const QPixmap& icon = TypeIcon(extension, static_cast<int>(kind_of_name(file.Name)),
                                   painter->device()->devicePixelRatioF());
    const QSizeF size = icon.deviceIndependentSize();
    painter->drawPixmap(QPointF(square.center().x() - size.width() / 2 + 1,
                                square.center().y() - size.height() / 2 + 1),
                        icon);
  }
  const int mark = std::max(10, edge / 9);
  draw_dot(*painter, QRectF(square.left() + 2, square.top() + 2, mark, mark),
           row_mark_colour(row_mark(file.RecoveryQuality, facts.content)));
  if (facts.content.state == ContentState::kDamaged || loader_.Undecodable(id))
    draw_broken_mark(*painter, QRectF(square.right() - mark * 1.4 - 1, square.top() + 2, mark * 1.4,
                                      mark * 1.4));
  const QRect caption(tile.left() + 3, square.bottom() + kPad, tile.width() - 6,
                      tile.bottom() - square.bottom() - kPad);
  painter->setPen(option.palette.color(
      option.state & QStyle::State_Selected ? QPalette::HighlightedText : QPalette::Text));
  painter->setFont(option.font);
  painter->drawText(caption, Qt::AlignHCenter | Qt::AlignTop,
                    option.fontMetrics.elidedText(QString::fromStdString(file.Name),
                                                  Qt::ElideMiddle, caption.width()));
  painter->restore();
}

}  // namespace pyralis::ui
