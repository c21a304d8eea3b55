// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/gallery_view.h"

#include <QApplication>
#include <QDate>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QRegularExpression>
#include <QRubberBand>
#include <QScrollBar>
#include <QStyleOptionRubberBand>
#include <algorithm>
#include <cstdio>
#include <limits>
#include <numeric>
#include <unordered_map>

#include "core/found_files.h"
#include "ui/found_files_filter.h"
#include "ui/found_files_model.h"
#include "ui/thumbnails.h"

namespace pyralis::ui {

namespace {

constexpr int kPad = 6;  // around the thumbnail square, and between it and the name
constexpr qint64 kNoDay = std::numeric_limits<qint64>::min();

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

std::optional<qint64> date_taken_day(const RowFacts& facts) {
  const std::string& taken = date_taken_of(facts);
  int year = 0, month = 0, day = 0;
  if (taken.size() < 10 || std::sscanf(taken.c_str(), "%4d-%2d-%2d", &year, &month, &day) != 3)
    return std::nullopt;
  const QDate date(year, month, day);
  if (!date.isValid()) return std::nullopt;
  return date.toJulianDay();
}

QString date_group_title(qint64 julian_day, const QLocale& locale) {
  // The long format names the weekday too ("dddd, d MMMM yyyy"); a header reads better
  // without it.
  static const QRegularExpression weekday(QStringLiteral("[\\s,]*dddd[,.]?\\s*"));
  QString format = locale.dateFormat(QLocale::LongFormat);
  format.replace(weekday, QStringLiteral(" "));
  return locale.toString(QDate::fromJulianDay(julian_day), format.trimmed());
}

GalleryView::GalleryView(FoundFilesFilter& filter, ThumbnailLoader& loader, QWidget* parent)
    : QAbstractItemView(parent), filter_(filter), loader_(loader) {
  setObjectName(QStringLiteral("GalleryView"));
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  // Whole rows, as the list selects them: Unerase takes the rows selected in every column.
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setContextMenuPolicy(Qt::CustomContextMenu);
  setItemDelegate(new GalleryDelegate(filter, loader, *this));
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
  // The rows or their order changed: they are grouped again when next laid out.
  for (auto signal : {&QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved})
    connect(&filter_, signal, this, &GalleryView::Changed);
  connect(&filter_, &QAbstractItemModel::modelReset, this, &GalleryView::Changed);
  connect(&filter_, &QAbstractItemModel::layoutChanged, this, &GalleryView::Changed);
}

QSize GalleryView::TileSize() const {
  const int text = fontMetrics().height();
  return {kEdge + 2 * kPad + 8, kEdge + 2 * kPad + text + kPad};
}

int GalleryView::HeaderHeight() const {
  return fontMetrics().height() + 3 * kPad;
}

int GalleryView::Columns() const {
  return std::max(1, viewport()->width() / std::max(1, TileSize().width()));
}

void GalleryView::GroupByDate(bool on, bool newest_first) {
  grouped_ = on;
  newest_first_ = newest_first;
  days_.clear();
  if (on) {
    // The days as the rows have them now, kept so that a date learnt later (a thumbnail's
    // read) does not move a tile under the pointer.
    const int count = FoundFiles.Count();
    for (int row = 0; row < count; ++row) {
      const RowId id = FoundFiles.Id(row);
      if (id >= days_.size()) days_.resize(static_cast<size_t>(id) + 1, kNoDay);
      days_[id] = date_taken_day(FoundFiles.Facts(row)).value_or(kNoDay);
    }
  }
  Changed();
}

void GalleryView::Changed() {
  regroup_ = true;
  scheduleDelayedItemsLayout();
  viewport()->update();
}

const std::vector<GalleryView::Group>& GalleryView::Groups() const {
  Layout();
  return groups_;
}

void GalleryView::Layout() const {
  if (regroup_) Regroup();
  if (place_ || placed_columns_ != Columns()) Place();
}

void GalleryView::Regroup() const {
  regroup_ = false;
  place_ = true;
  const int rows = model() ? model()->rowCount(rootIndex()) : 0;
  order_.clear();
  groups_.clear();
  position_.assign(static_cast<size_t>(rows), 0);
  if (rows == 0) return;
  if (!grouped_) {
    order_.resize(static_cast<size_t>(rows));
    std::iota(order_.begin(), order_.end(), 0);
    groups_.push_back({QString(), 0, rows, 0});
  } else {
    // Days in date order, each day's rows in the list's order; the rows of no known day
    // last.
    std::vector<std::vector<int>> members;
    std::vector<qint64> keys;
    std::unordered_map<qint64, size_t> slot;
    std::vector<int> unknown;
    for (int row = 0; row < rows; ++row) {
      const int record = filter_.RecordRow(model()->index(row, 0, rootIndex()));
      qint64 day = kNoDay;
      if (record >= 0 && record < FoundFiles.Count()) {
        const RowId id = FoundFiles.Id(record);
        if (id < days_.size()) day = days_[id];
      }
      if (day == kNoDay) {
        unknown.push_back(row);
        continue;
      }
      const auto [at, fresh] = slot.try_emplace(day, members.size());
      if (fresh) {
        members.emplace_back();
        keys.push_back(day);
      }
      members[at->second].push_back(row);
    }
    const QLocale where = locale();
    auto add = [&](const QString& title, const std::vector<int>& rows_of_group) {
      groups_.push_back(
          {title, static_cast<int>(order_.size()), static_cast<int>(rows_of_group.size()), 0});
      order_.insert(order_.end(), rows_of_group.begin(), rows_of_group.end());
    };
    std::vector<size_t> days(keys.size());
    std::iota(days.begin(), days.end(), size_t{0});
    std::sort(days.begin(), days.end(), [&](size_t a, size_t b) {
      return newest_first_ ? keys[b] < keys[a] : keys[a] < keys[b];
    });
    for (size_t i : days) add(date_group_title(keys[i], where), members[i]);
    if (!unknown.empty()) add(QStringLiteral("Date unknown"), unknown);
  }
  for (size_t at = 0; at < order_.size(); ++at)
    position_[static_cast<size_t>(order_[at])] = static_cast<int>(at);
}

void GalleryView::Place() const {
  place_ = false;
  const int columns = Columns();
  placed_columns_ = columns;
  const int line = TileSize().height();
  const int header = grouped_ ? HeaderHeight() : 0;
  int y = 0;
  for (Group& group : groups_) {
    group.top = y;
    y += header + (group.count + columns - 1) / columns * line;
  }
  height_ = y;
}

size_t GalleryView::GroupOf(int position) const {
  const auto after = std::upper_bound(groups_.begin(), groups_.end(), position,
                                      [](int p, const Group& g) { return p < g.first; });
  return after == groups_.begin() ? 0 : static_cast<size_t>(after - groups_.begin() - 1);
}

size_t GalleryView::GroupAtY(int y) const {
  const auto after = std::upper_bound(groups_.begin(), groups_.end(), y,
                                      [](int at, const Group& g) { return at < g.top; });
  return after == groups_.begin() ? 0 : static_cast<size_t>(after - groups_.begin() - 1);
}

QRect GalleryView::TileRect(int position) const {
  const Group& group = groups_[GroupOf(position)];
  const int columns = placed_columns_;
  const QSize tile = TileSize();
  const int k = position - group.first;
  return {k % columns * tile.width(),
          group.top + (grouped_ ? HeaderHeight() : 0) + k / columns * tile.height(), tile.width(),
          tile.height()};
}

std::vector<int> GalleryView::PositionsIn(int top, int bottom) const {
  std::vector<int> positions;
  if (groups_.empty() || bottom <= top) return positions;
  const int columns = placed_columns_;
  const int line = std::max(1, TileSize().height());
  const int header = grouped_ ? HeaderHeight() : 0;
  for (size_t g = GroupAtY(top); g < groups_.size() && groups_[g].top < bottom; ++g) {
    const Group& group = groups_[g];
    const int band = group.top + header;
    const int lines = (group.count + columns - 1) / columns;
    const int first = std::max(0, (top - band) / line);
    const int last = std::min(lines - 1, (bottom - 1 - band) / line);
    if (bottom - 1 < band) continue;
    for (int l = first; l <= last; ++l)
      for (int c = 0; c < columns && l * columns + c < group.count; ++c)
        positions.push_back(group.first + l * columns + c);
  }
  return positions;
}

int GalleryView::verticalOffset() const {
  return verticalScrollBar()->value();
}

QRect GalleryView::visualRect(const QModelIndex& index) const {
  if (!index.isValid() || index.model() != model()) return {};
  Layout();
  if (index.row() < 0 || static_cast<size_t>(index.row()) >= position_.size()) return {};
  return TileRect(position_[static_cast<size_t>(index.row())]).translated(0, -verticalOffset());
}

QModelIndex GalleryView::indexAt(const QPoint& point) const {
  Layout();
  if (groups_.empty() || point.x() < 0) return {};
  const QSize tile = TileSize();
  const int column = point.x() / std::max(1, tile.width());
  if (column >= placed_columns_) return {};
  const int y = point.y() + verticalOffset();
  const Group& group = groups_[GroupAtY(y)];
  const int band = group.top + (grouped_ ? HeaderHeight() : 0);
  if (y < band) return {};  // a header
  const int k = (y - band) / std::max(1, tile.height()) * placed_columns_ + column;
  if (k >= group.count) return {};
  return model()->index(order_[static_cast<size_t>(group.first + k)], 0, rootIndex());
}

void GalleryView::scrollTo(const QModelIndex& index, ScrollHint hint) {
  const QRect at = visualRect(index);
  if (at.isNull()) return;
  QRect wanted = at.translated(0, verticalOffset());
  // A day's first line brings its header along.
  const int position = position_[static_cast<size_t>(index.row())];
  const Group& group = groups_[GroupOf(position)];
  if (position - group.first < placed_columns_) wanted.setTop(group.top);
  const int height = viewport()->height();
  int value = verticalOffset();
  switch (hint) {
    case PositionAtTop:
      value = wanted.top();
      break;
    case PositionAtBottom:
      value = wanted.bottom() + 1 - height;
      break;
    case PositionAtCenter:
      value = wanted.center().y() - height / 2;
      break;
    case EnsureVisible:
      if (wanted.bottom() + 1 > value + height) value = wanted.bottom() + 1 - height;
      if (wanted.top() < value) value = wanted.top();
      break;
  }
  verticalScrollBar()->setValue(value);
}

QModelIndex GalleryView::moveCursor(CursorAction action, Qt::KeyboardModifiers) {
  Layout();
  const int count = static_cast<int>(order_.size());
  if (count == 0) return {};
  const QModelIndex current = currentIndex();
  auto at = [&](int position) {
    return model()->index(order_[static_cast<size_t>(position)], 0, rootIndex());
  };
  if (!current.isValid() || static_cast<size_t>(current.row()) >= position_.size()) return at(0);
  const int columns = placed_columns_;
  // One line up or down in the same column, across the headers; the nearest tile of a
  // shorter line.
  auto line_step = [&](int from, bool down) {
    const size_t g = GroupOf(from);
    const Group& group = groups_[g];
    const int k = from - group.first;
    const int lines = (group.count + columns - 1) / columns;
    if (down) {
      if (k / columns + 1 < lines) return group.first + std::min(k + columns, group.count - 1);
      if (g + 1 == groups_.size()) return from;
      const Group& next = groups_[g + 1];
      return next.first + std::min(k % columns, next.count - 1);
    }
    if (k >= columns) return from - columns;
    if (g == 0) return from;
    const Group& before = groups_[g - 1];
    const int last_line = (before.count - 1) / columns;
    return before.first + std::min(last_line * columns + k, before.count - 1);
  };
  int position = position_[static_cast<size_t>(current.row())];
  switch (action) {
    case MoveLeft:
    case MovePrevious:
      position = std::max(0, position - 1);
      break;
    case MoveRight:
    case MoveNext:
      position = std::min(count - 1, position + 1);
      break;
    case MoveUp:
      position = line_step(position, false);
      break;
    case MoveDown:
      position = line_step(position, true);
      break;
    case MovePageUp:
    case MovePageDown: {
      const bool down = action == MovePageDown;
      const int page = std::max(TileSize().height(), viewport()->height() - TileSize().height());
      const int goal = TileRect(position).top() + (down ? page : -page);
      // Bounded by the lines there are.
      for (int step = 0; step < count; ++step) {
        const int next = line_step(position, down);
        if (next == position) break;
        position = next;
        if (down ? TileRect(position).top() >= goal : TileRect(position).top() <= goal) break;
      }
      break;
    }
    case MoveHome:
      position = 0;
      break;
    case MoveEnd:
      position = count - 1;
      break;
  }
  return at(position);
}

void GalleryView::setSelection(const QRect& rect, QItemSelectionModel::SelectionFlags command) {
  Layout();
  const QRect area = rect.normalized().translated(0, verticalOffset());
  std::vector<int> rows;
  for (int position : PositionsIn(area.top(), area.bottom() + 1))
    if (TileRect(position).intersects(area)) rows.push_back(order_[static_cast<size_t>(position)]);
  std::sort(rows.begin(), rows.end());
  QItemSelection selection;
  for (size_t i = 0; i < rows.size();) {
    size_t j = i + 1;
    while (j < rows.size() && rows[j] == rows[j - 1] + 1) ++j;
    selection.select(model()->index(rows[i], 0, rootIndex()),
                     model()->index(rows[j - 1], 0, rootIndex()));
    i = j;
  }
  selectionModel()->select(selection, command);
}

QRegion GalleryView::visualRegionForSelection(const QItemSelection& selection) const {
  Layout();
  QRegion region;
  const int top = verticalOffset();
  const int bottom = top + viewport()->height();
  for (const QItemSelectionRange& range : selection) {
    for (int row = range.top(); row <= range.bottom(); ++row) {
      if (row < 0 || static_cast<size_t>(row) >= position_.size()) break;
      const QRect tile = TileRect(position_[static_cast<size_t>(row)]);
      if (tile.bottom() >= top && tile.top() < bottom) region += tile.translated(0, -top);
    }
  }
  return region;
}

int GalleryView::ContentHeight() const {
  Layout();
  return height_;
}

void GalleryView::updateGeometries() {
  const int height = viewport()->height();
  verticalScrollBar()->setSingleStep(TileSize().height() / 3);
  verticalScrollBar()->setPageStep(height);
  verticalScrollBar()->setRange(0, std::max(0, ContentHeight() - height));
  QAbstractItemView::updateGeometries();
}

void GalleryView::doItemsLayout() {
  regroup_ = true;
  QAbstractItemView::doItemsLayout();
}

std::vector<int> GalleryView::VisibleRecords() const {
  std::vector<int> records;
  Layout();
  const int top = verticalOffset();
  for (int position : PositionsIn(top, top + viewport()->height()))
    records.push_back(filter_.RecordRow(model()->index(order_[static_cast<size_t>(position)], 0)));
  return records;
}

std::vector<RowId> GalleryView::WantedRows() const {
  std::vector<RowId> ids;
  if (!model()) return ids;
  Layout();
  // The screen, then as much again below it.
  const int top = verticalOffset();
  for (int position : PositionsIn(top, top + 2 * viewport()->height())) {
    const int record = filter_.RecordRow(model()->index(order_[static_cast<size_t>(position)], 0));
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
  Layout();
  QPainter painter(viewport());
  const int offset = verticalOffset();
  const QRect exposed = event->rect().translated(0, offset);
  const int width = viewport()->width();
  if (grouped_) {
    // Each day's header: the date, the number of its files at the right, a rule below.
    const int header = HeaderHeight();
    QFont bold = font();
    bold.setBold(true);
    const QColor text = palette().color(QPalette::Text);
    QColor dim = text;
    dim.setAlphaF(0.6f);
    QColor rule_colour = text;  // as soft in a dark theme as in a light one
    rule_colour.setAlphaF(0.3f);
    for (size_t g = GroupAtY(exposed.top());
         g < groups_.size() && groups_[g].top <= exposed.bottom(); ++g) {
      const Group& group = groups_[g];
      const QRect line(kPad + 2, group.top - offset + 2 * kPad, width - 2 * kPad - 4,
                       fontMetrics().height());
      painter.setFont(font());
      painter.setPen(dim);
      const QString files =
          group.count == 1 ? QStringLiteral("1 file") : QStringLiteral("%1 files").arg(group.count);
      painter.drawText(line, Qt::AlignRight | Qt::AlignVCenter, files);
      painter.setFont(bold);
      painter.setPen(text);
      const int room = line.width() - fontMetrics().horizontalAdvance(files) - 2 * kPad;
      painter.drawText(line, Qt::AlignLeft | Qt::AlignVCenter,
                       QFontMetrics(bold).elidedText(group.title, Qt::ElideRight, room));
      painter.setPen(QPen(rule_colour, 1));
      const int rule = group.top - offset + header - 2;
      painter.drawLine(kPad, rule, width - kPad, rule);
    }
  }
  QStyleOptionViewItem option;
  initViewItemOption(&option);
  const QModelIndex current = currentIndex();
  const QStyle::State base = option.state & ~(QStyle::State_Selected | QStyle::State_HasFocus);
  for (int position : PositionsIn(exposed.top(), exposed.bottom() + 1)) {
    const QRect tile = TileRect(position).translated(0, -offset);
    if (!tile.intersects(event->rect())) continue;
    const QModelIndex index = model()->index(order_[static_cast<size_t>(position)], 0, rootIndex());
    option.rect = tile;
    option.state = base;
    if (selectionModel() && selectionModel()->isSelected(index))
      option.state |= QStyle::State_Selected;
    if (index == current && hasFocus()) option.state |= QStyle::State_HasFocus;
    itemDelegateForIndex(index)->paint(&painter, option, index);
  }
  if (banding_) {
    QStyleOptionRubberBand band;
    band.initFrom(this);
    band.shape = QRubberBand::Rectangle;
    band.opaque = false;
    band.rect = QRect(band_from_, band_to_).normalized().translated(0, -offset);
    painter.save();
    style()->drawControl(QStyle::CE_RubberBand, &band, &painter, this);
    painter.restore();
  }
  // What is on screen may have changed (scrolled, filtered, sorted): ask once painting ends.
  if (!ask_timer_.isActive()) ask_timer_.start();
}

void GalleryView::resizeEvent(QResizeEvent* event) {
  place_ = true;
  QAbstractItemView::resizeEvent(event);
}

void GalleryView::mousePressEvent(QMouseEvent* event) {
  QAbstractItemView::mousePressEvent(event);
  band_from_ = event->position().toPoint() + QPoint(0, verticalOffset());
  band_to_ = band_from_;
}

void GalleryView::mouseMoveEvent(QMouseEvent* event) {
  QAbstractItemView::mouseMoveEvent(event);
  // The rectangle a drag selects, drawn as a list view draws it.
  if (state() == DragSelectingState && (event->buttons() & Qt::LeftButton)) {
    banding_ = true;
    band_to_ = event->position().toPoint() + QPoint(0, verticalOffset());
    viewport()->update();
  }
}

void GalleryView::mouseReleaseEvent(QMouseEvent* event) {
  QAbstractItemView::mouseReleaseEvent(event);
  if (banding_) {
    banding_ = false;
    viewport()->update();
  }
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
