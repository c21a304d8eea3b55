// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/found_files_model.h"

#include <map>
#include <tuple>
#include <vector>

#include <QColor>
#include <QLocale>

#include "core/date_time.h"
#include "core/found_files.h"
#include "ui/icons.h"

namespace pyralis::ui {

namespace {

constexpr const char* kCaptions[kListColumns] = {
    "File", "Path", "Status", "Size", "Date modified", "Date created", "Sector", "Inode"};
constexpr int kWidths[kListColumns] = {-1, 200, 70, 70, 105, 105, 0, 0};

bool right_aligned(int column) {
  return column >= 2 && column <= 5;
}

char locale_decimal_point() {
  const QString point = QLocale().decimalPoint();
  return point.size() == 1 && point.at(0).unicode() < 0x80 ? point.at(0).toLatin1() : '.';
}

}  // namespace

FoundFilesModel::FoundFilesModel(QObject* parent) : QAbstractTableModel(parent) {
  marks_.fill(kNoMark);
  mark_icons_[kMarkReverse] = svg_icon(QStringLiteral("sort_reverse"), QSize(10, 10));
  mark_icons_[kMarkFirst] = svg_icon(QStringLiteral("sort_first"), QSize(10, 10));
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
    case Qt::DecorationRole:
      if (marks_[static_cast<size_t>(section)] != kNoMark)
        return mark_icons_[marks_[static_cast<size_t>(section)]];
      return {};
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
  if (rows_ == 0 || column < 0 || column >= kSortableColumns) return false;
  // The selection and the current row belong to files, not to positions: the persistent
  // indexes the view keeps for them move with their records.
  emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  std::multimap<RecordKey, int> old_rows;
  const int shown = std::min(rows_, FoundFiles.Count());
  for (int row = 0; row < shown; ++row) old_rows.emplace(key_of(FoundFiles[row]), row);
  sort_found_files(column, marks_);
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

void FoundFilesModel::ClearMarks() {
  marks_.fill(kNoMark);
  emit headerDataChanged(Qt::Horizontal, 0, kListColumns - 1);
}

}  // namespace pyralis::ui
