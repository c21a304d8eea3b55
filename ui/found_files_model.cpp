// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/found_files_model.h"

#include <QApplication>
#include <QPalette>

#include <map>
#include <tuple>
#include <vector>

#include <QColor>
#include <QLocale>
#include <QPainter>
#include <QPixmap>

#include "core/date_time.h"
#include "core/found_files.h"
#include "ui/icons.h"

namespace pyralis::ui {

namespace {

constexpr const char* kCaptions[kListColumns] = {"File",   "Path",          "Status",
                                                 "Size",   "Date modified", "Date created",
                                                 "Sector", "Inode",         "Content"};
constexpr int kWidths[kListColumns] = {-1, 200, 70, 70, 105, 105, 0, 0, 110};

bool right_aligned(int column) {
  // Status, Size and the dates; "Content" reads from the left like a sentence.
  return column >= 2 && column <= 5;
}

// A filled dot with a thin grey rim, so that it stands out on light and dark rows alike,
// drawn at twice its size for high-density screens.
QIcon dot_icon(const QColor& colour) {
  QPixmap pixmap(20, 20);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(QColor(128, 128, 128), 2));
  painter.setBrush(colour);
  painter.drawEllipse(QRectF(2, 2, 16, 16));
  painter.end();
  pixmap.setDevicePixelRatio(2);
  return QIcon(pixmap);
}

char locale_decimal_point() {
  const QString point = QLocale().decimalPoint();
  return point.size() == 1 && point.at(0).unicode() < 0x80 ? point.at(0).toLatin1() : '.';
}

}  // namespace

RowMark row_mark(int quality, const ContentVerdict& content) {
  if (content.state == ContentState::kDamaged) return RowMark::kDamaged;
  if (quality >= 67) return RowMark::kGood;
  if (quality >= 34) return RowMark::kMiddle;
  if (quality >= 0) return RowMark::kBad;
  return RowMark::kNone;  // Error, Compressed, Encrypted
}

QColor row_mark_colour(RowMark mark) {
  switch (mark) {
    case RowMark::kGood:
      return QColor(40, 170, 60);
    case RowMark::kMiddle:
      return QColor(240, 170, 0);
    case RowMark::kBad:
      return QColor(220, 40, 40);
    case RowMark::kDamaged:
      return QColor(150, 60, 200);
    case RowMark::kNone:
      break;
  }
  return QColor(150, 150, 150);
}

QString row_mark_legend() {
  return QStringLiteral(
      "Green: Very Good or Good\nYellow: Middle\nRed: Bad or Overwritten\n"
      "Purple: Damaged (the content check found the file broken)\n"
      "Grey: Error, Compressed or Encrypted");
}

QString content_text(const ContentVerdict& content, int64_t size) {
  switch (content.state) {
    case ContentState::kIntact:
      return QStringLiteral("Intact");
    case ContentState::kPlausible:
      return QStringLiteral("Plausible");
    case ContentState::kDamaged: {
      const uint64_t at =
          size > 0 ? std::min<uint64_t>(content.damaged_at, static_cast<uint64_t>(size)) * 100 /
                         static_cast<uint64_t>(size)
                   : 0;
      return QStringLiteral("Damaged (at %1 %)").arg(at);
    }
    case ContentState::kUnchecked:
      break;
  }
  return QStringLiteral("Unchecked");
}

FoundFilesModel::FoundFilesModel(QObject* parent) : QAbstractTableModel(parent) {
  marks_.fill(kNoMark);
  for (RowMark m :
       {RowMark::kNone, RowMark::kGood, RowMark::kMiddle, RowMark::kBad, RowMark::kDamaged})
    dots_[static_cast<int>(m)] = dot_icon(row_mark_colour(m));
  // The arrows in the header's text colour, so that they show in light and dark themes.
  const QColor arrow = QApplication::palette().color(QPalette::ButtonText);
  mark_icons_[kMarkReverse] = tinted_svg_icon(QStringLiteral("sort_reverse"), QSize(10, 10), arrow);
  mark_icons_[kMarkFirst] = tinted_svg_icon(QStringLiteral("sort_first"), QSize(10, 10), arrow);
}

QString FoundFilesModel::Caption(int column) {
  return QString::fromLatin1(kCaptions[column]);
}

int FoundFilesModel::DefaultWidth(int column) {
  return kWidths[column];
}

int FoundFilesModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : rows_;
}

int FoundFilesModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kListColumns;
}

QString FoundFilesModel::Text(int row, int column) const {
  const FoundFileRecord& record = FoundFiles[row];
  switch (column) {
    case 0:
      return QString::fromStdString(record.Name);
    case 1:
      return QString::fromStdString(record.Path);
    case 2:
      return QString::fromStdString(quality_to_text(record.RecoveryQuality));
    case 3:
      return QString::fromStdString(size_to_text(record.Size, locale_decimal_point()));
    case 4:
      return QString::fromStdString(format_list_date(record.Modified));
    case 5:
      return QString::fromStdString(format_list_date(record.Created));
    case 6:
      return QStringLiteral("%1").arg(record.Sector, 2, 16, QLatin1Char('0')).toUpper();
    case 7:
      return QString::number(record.Inode);
    case kContentColumn:
      return content_text(FoundFiles.Facts(row).content, record.Size);
  }
  return {};
}

QVariant FoundFilesModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rows_ || index.row() >= FoundFiles.Count()) return {};
  switch (role) {
    case Qt::DisplayRole:
      return Text(index.row(), index.column());
    case Qt::TextAlignmentRole:
      return QVariant::fromValue((right_aligned(index.column()) ? Qt::AlignRight : Qt::AlignLeft) |
                                 Qt::AlignVCenter);
    case Qt::BackgroundRole:
      if (index.row() % 2 == 1) return OddRowColour();
      return {};
    case Qt::DecorationRole:
      if (index.column() != 0) return {};
      return dots_[static_cast<int>(row_mark(FoundFiles[index.row()].RecoveryQuality,
                                             FoundFiles.Facts(index.row()).content))];
    case Qt::UserRole:
      return QVariant::fromValue<qlonglong>(FoundFiles[index.row()].Inode);
  }
  return {};
}

QVariant FoundFilesModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= kListColumns) return {};
  switch (role) {
    case Qt::DisplayRole:
      return Caption(section);
    case Qt::TextAlignmentRole:
      return QVariant::fromValue((right_aligned(section) ? Qt::AlignRight : Qt::AlignLeft) |
                                 Qt::AlignVCenter);
    case Qt::ToolTipRole:
      if (section == 0 || section == 2 || section == kContentColumn) return row_mark_legend();
      return {};
    case Qt::DecorationRole: {
      // The mark says the direction itself: up for ascending (A to Z, small to large, old
      // to new), down for descending, whichever of them is the column's first direction.
      const int mark = marks_[static_cast<size_t>(section)];
      if (mark == kNoMark) return {};
      const bool ascending = (mark == kMarkFirst) == (section <= 1);
      return ascending ? mark_icons_[kMarkReverse] : mark_icons_[kMarkFirst];
    }
  }
  return {};
}

void FoundFilesModel::SetRowCount(int rows) {
  beginResetModel();
  rows_ = rows < 0 ? 0 : rows;
  endResetModel();
}

namespace {

// Everything the list knows of a record: equal keys are the same listing.
using RecordKey =
    std::tuple<int64_t, int64_t, int64_t, int8_t, double, double, std::string, std::string>;
RecordKey key_of(const FoundFileRecord& r) {
  return {r.Inode, r.Sector, r.Size, r.RecoveryQuality, r.Modified, r.Created, r.Name, r.Path};
}

}  // namespace

bool FoundFilesModel::SortByColumn(int column) {
  if (rows_ == 0 || column < 0 ||
      (column >= kSortableColumns && column != kContentColumn && column != kDateTakenSort))
    return false;
  // The selection and the current row belong to files, not to positions: the persistent
  // indexes the view keeps for them move with their records.
  emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  std::multimap<RecordKey, int> old_rows;
  const int shown = std::min(rows_, FoundFiles.Count());
  for (int row = 0; row < shown; ++row) old_rows.emplace(key_of(FoundFiles[row]), row);
  sort_found_files(column, marks_, column == kDateTakenSort ? date_toggle_ : content_toggle_);
  sorted_by_ = column;
  std::vector<int> new_row(static_cast<size_t>(shown), 0);
  for (int row = 0; row < shown; ++row) {
    const auto found = old_rows.find(key_of(FoundFiles[row]));
    if (found == old_rows.end()) continue;
    new_row[static_cast<size_t>(found->second)] = row;
    old_rows.erase(found);
  }
  const QModelIndexList before = persistentIndexList();
  QModelIndexList after;
  for (const QModelIndex& i : before)
    after.append(i.row() < shown ? index(new_row[static_cast<size_t>(i.row())], i.column()) : i);
  changePersistentIndexList(before, after);
  emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
  emit headerDataChanged(Qt::Horizontal, 0, kListColumns - 1);
  return true;
}

void FoundFilesModel::ContentChanged(int first, int last) {
  last = std::min(last, rows_ - 1);
  if (first > last) return;
  emit dataChanged(index(first, 0), index(last, kListColumns - 1));
}

void FoundFilesModel::ClearMarks() {
  marks_.fill(kNoMark);
  content_toggle_ = false;
  date_toggle_ = false;
  sorted_by_ = -1;
  emit headerDataChanged(Qt::Horizontal, 0, kListColumns - 1);
}

}  // namespace pyralis::ui
