// SPDX-License-Identifier: GPL-3.0-or-later
// The found-files list as a model: row i is record i of FoundFiles. The model holds only
// its row count and the header marks; every text is made from the record when the view
// asks for it.
#pragma once

#include <QAbstractTableModel>
#include <QIcon>

#include "ui/found_files_sort.h"

namespace pyralis {
struct ContentVerdict;
}

namespace pyralis::ui {

// The coloured dot before a file's name: its estimate, unless its content check found it
// damaged.
enum class RowMark { kNone, kGood, kMiddle, kBad, kDamaged };
RowMark row_mark(int quality, const ContentVerdict& content);
// The dot's colour, and what the dots mean (one line per dot, for tool tips).
QColor row_mark_colour(RowMark mark);
QString row_mark_legend();
// "Intact", "Damaged (at N %)" (N: the share of the file before the break), "Unchecked".
QString content_text(const ContentVerdict& content, int64_t size);

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
  // Removes every header mark and resets the sort directions of Content and date taken.
  void ClearMarks();
  // The content check has a verdict for records `first` to `last`: repaints their rows.
  void ContentChanged(int first, int last);
  const HeaderMarks& Marks() const { return marks_; }
  // The rows were last sorted by date taken (ClearMarks and any other sort end it).
  bool DateTakenOrder() const { return sorted_by_ == kDateTakenSort; }
  // The last sort by date taken put the newest first (true too when there was none).
  bool NewestFirst() const { return !DateTakenOrder() || date_toggle_; }

  // Column captions, default widths (column 0 fills the rest) and the odd-row colour.
  static QString Caption(int column);
  static int DefaultWidth(int column);
  static QColor OddRowColour() { return QColor(191, 239, 191); }

 private:
  QString Text(int row, int column) const;

  int rows_ = 0;
  HeaderMarks marks_;
  bool content_toggle_ = false;
  bool date_toggle_ = false;  // the gallery's Sort by date taken
  int sorted_by_ = -1;        // the column (or kDateTakenSort) of the last sort
  QIcon mark_icons_[2];
  QIcon dots_[5];
};

}  // namespace pyralis::ui
