// SPDX-License-Identifier: GPL-3.0-or-later
// The found-files list as a model: row i is record i of FoundFiles. The model holds only
// its row count and the header marks; every text is made from the record when the view
// asks for it.
#pragma once

#include <QAbstractTableModel>
#include <QIcon>

#include "ui/found_files_sort.h"

namespace pyralis::ui {

class FoundFilesModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  explicit FoundFilesModel(QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

  // Gives the list `rows` rows (0 removes them all). Rows beyond FoundFiles show nothing.
  void SetRowCount(int rows);
  // Sorts FoundFiles by `column` and repaints; nothing when the list has no rows or the
  // column does not sort. The selection and the current row follow their files.
  bool SortByColumn(int column);
  // Removes every header mark.
  void ClearMarks();
  const HeaderMarks& Marks() const { return marks_; }

  // Column captions, default widths (column 0 fills the rest) and the odd-row colour.
  static QString Caption(int column);
  static int DefaultWidth(int column);
  static QColor OddRowColour() { return QColor(191, 239, 191); }

 private:
  QString Text(int row, int column) const;

  int rows_ = 0;
  HeaderMarks marks_;
  QIcon mark_icons_[2];
};

}  // namespace pyralis::ui
