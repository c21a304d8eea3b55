// SPDX-License-Identifier: GPL-3.0-or-later
// The found-files model (texts on demand, alignment, row colours) and the column sort with
// its twelve orders, toggles and header marks.
#include <QAbstractItemModelTester>
#include <QItemSelectionModel>
#include <QtTest>
#include <algorithm>
#include <random>

#include "core/found_files.h"
#include "core/process_state.h"
#include "ui/found_files_filter.h"
#include "ui/found_files_model.h"

using pyralis::FoundFileRecord;
using pyralis::FoundFiles;
using pyralis::SortToggle;
using pyralis::ui::FoundFilesModel;
using pyralis::ui::kMarkFirst;
using pyralis::ui::kMarkReverse;
using pyralis::ui::kNoMark;

namespace {

FoundFileRecord record(std::string name, std::string path, int quality, int64_t size,
                       double modified, double created) {
  FoundFileRecord r;
  r.Name = std::move(name);
  r.Path = std::move(path);
  r.RecoveryQuality = static_cast<int8_t>(quality);
  r.Size = size;
  r.Modified = modified;
  r.Created = created;
  return r;
}

void fill_random(int count, unsigned seed) {
  std::mt19937 random(seed);
  auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  const char* names[] = {"a", "Z", "ab", "abc", "b", "B", "readme.txt", "\xC3\xA9t\xC3\xA9"};
  for (int i = 0; i < count; ++i) {
    FoundFiles.append(record(names[pick(8)], std::string("\\dir") + char('0' + pick(5)),
                             pick(104) - 3, pick(5000) - 10, 36000.0 + pick(50) * 0.25,
                             pick(3) ? 37000.0 + pick(40) : 0.0));
  }
}

QString text(const FoundFilesModel& model, int row, int column) {
  return model.data(model.index(row, column)).toString();
}

struct Natural {
  std::string text;
  bool operator<(const Natural& o) const { return pyralis::ui::natural_less(text, o.text); }
};

// The order of the records must follow `before` (strictly: no record after one it precedes).
template <typename Key>
bool ordered(Key key, bool ascending) {
  for (int i = 1; i < FoundFiles.Count(); ++i) {
    auto a = key(FoundFiles[i - 1]);
    auto b = key(FoundFiles[i]);
    if (ascending ? b < a : a < b) return false;
  }
  return true;
}

bool ordered_by(int column, bool ascending) {
  switch (column) {
    case 0:
      return ordered([](const FoundFileRecord& r) { return Natural{r.Name}; }, ascending);
    case 1:
      return ordered([](const FoundFileRecord& r) { return Natural{r.Path}; }, ascending);
    case 2:
      return ordered([](const FoundFileRecord& r) { return int(r.RecoveryQuality); }, ascending);
    case 3:
      return ordered([](const FoundFileRecord& r) { return r.Size; }, ascending);
    case 4:
      return ordered([](const FoundFileRecord& r) { return r.Modified; }, ascending);
    case 5:
      return ordered([](const FoundFileRecord& r) { return r.Created; }, ascending);
  }
  return false;
}

}  // namespace

class FoundFilesListTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { pyralis::reset_process_state(); }

  void modelPassesTheTester() {
    fill_random(50, 1);
    FoundFilesModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.SetRowCount(FoundFiles.Count());
    for (int column = 0; column < 6; ++column) model.SortByColumn(column);
    model.SetRowCount(0);
  }

  void rowTexts() {
    FoundFileRecord r = record("Report.doc", "\\Docs\\", 34, 1600, 0.0, 38051.588194444);
    r.Sector = 0x1A2B;
    r.Inode = -5;
    FoundFiles.append(r);
    FoundFiles.append(record("x", "", 101, 1000000, 0, 0));
    FoundFilesModel model;
    model.SetRowCount(3);  // one row more than records: it shows nothing
    QCOMPARE(text(model, 0, 0), QStringLiteral("Report.doc"));
    QCOMPARE(text(model, 0, 1), QStringLiteral("\\Docs\\"));
    QCOMPARE(text(model, 0, 2), QStringLiteral("Middle"));
    QCOMPARE(text(model, 0, 3), QStringLiteral("2 Kb"));
    QCOMPARE(text(model, 0, 4), QStringLiteral("30-Dec-1899 00:00"));
    QCOMPARE(text(model, 0, 5), QStringLiteral("05-Mar-2004 14:07"));
    QCOMPARE(text(model, 0, 6), QStringLiteral("1A2B"));
    QCOMPARE(text(model, 0, 7), QStringLiteral("-5"));
    QCOMPARE(model.data(model.index(0, 0), Qt::UserRole).toLongLong(), -5);
    QCOMPARE(text(model, 1, 2), QString());
    QCOMPARE(text(model, 1, 3), QStringLiteral("1.00 Mb"));
    QCOMPARE(text(model, 1, 6), QStringLiteral("00"));
    QCOMPARE(text(model, 2, 0), QString());
  }

  void columnsAndColours() {
    const char* captions[] = {"File",         "Path",   "Status", "Size",   "Date modified",
                              "Date created", "Sector", "Inode",  "Content"};
    const int widths[] = {-1, 200, 70, 70, 105, 105, 0, 0, 110};
    fill_random(4, 2);
    FoundFilesModel model;
    model.SetRowCount(4);
    QCOMPARE(model.columnCount(), 9);
    for (int c = 0; c < 9; ++c) {
      QCOMPARE(model.headerData(c, Qt::Horizontal).toString(), QString(captions[c]));
      QCOMPARE(FoundFilesModel::DefaultWidth(c), widths[c]);
      const bool right = c >= 2 && c <= 5;
      const auto align =
          model.data(model.index(1, c), Qt::TextAlignmentRole).value<Qt::Alignment>();
      QCOMPARE(bool(align & Qt::AlignRight), right);
    }
    for (int row = 0; row < 4; ++row) {
      const QVariant background = model.data(model.index(row, 3), Qt::BackgroundRole);
      if (row % 2)
        QCOMPARE(background.value<QColor>(), QColor(191, 239, 191));
      else
        QVERIFY(!background.isValid());
    }
  }

  void eachColumnBothDirections() {
    // First direction: File and Path ascending, the others descending.
    const bool first_ascending[] = {true, true, false, false, false, false};
    fill_random(600, 3);
    FoundFilesModel model;
    model.SetRowCount(FoundFiles.Count());
    for (int column = 0; column < 6; ++column) {
      for (int click = 0; click < 3; ++click) {
        QVERIFY(model.SortByColumn(column));
        const bool reverse = click == 1;
        QVERIFY2(ordered_by(column, first_ascending[column] != reverse),
                 qPrintable(QStringLiteral("column %1 click %2").arg(column).arg(click)));
        for (int c = 0; c < 9; ++c)
          QCOMPARE(model.Marks()[c], c == column ? (reverse ? kMarkReverse : kMarkFirst) : kNoMark);
        QVERIFY(!model.headerData(column, Qt::Horizontal, Qt::DecorationRole).isNull());
      }
      QCOMPARE(FoundFiles.Count(), 600);
    }
  }

  void statusAndNameOrders() {
    for (int q : {-3, 50, -1, 100, 0, -2, 99}) FoundFiles.append(record("n", "", q, 0, 0, 0));
    FoundFilesModel model;
    model.SetRowCount(FoundFiles.Count());
    model.SortByColumn(2);
    QList<int> order;
    for (int i = 0; i < FoundFiles.Count(); ++i) order.append(FoundFiles[i].RecoveryQuality);
    QCOMPARE(order, (QList<int>{100, 99, 50, 0, -1, -2, -3}));
    QCOMPARE(text(model, 0, 2), QStringLiteral("Very Good"));

    FoundFiles.clear();
    for (const char* n :
         {"apple", "Zebra", "app", "\xC3\xA9", "Apple", "IMG_10", "img_2", "IMG_02b"})
      FoundFiles.append(record(n, "", 0, 0, 0, 0));
    model.SetRowCount(FoundFiles.Count());
    model.SortByColumn(0);
    QStringList names;
    for (int i = 0; i < FoundFiles.Count(); ++i)
      names << QString::fromStdString(FoundFiles[i].Name);
    // Case-insensitive, digit runs by value; equal names in byte order.
    QCOMPARE(names, (QStringList{"app", "Apple", "apple", "img_2", "IMG_02b", "IMG_10", "Zebra",
                                 QStringLiteral("\u00e9")}));
  }

  void togglesAreKeptPerColumn() {
    fill_random(100, 4);
    FoundFilesModel model;
    model.SetRowCount(FoundFiles.Count());
    model.SortByColumn(3);  // Size: descending
    model.SortByColumn(0);  // File: ascending, Size mark gone
    QCOMPARE(model.Marks()[3], kNoMark);
    model.SortByColumn(3);  // Size again: ascending now
    QVERIFY(ordered_by(3, true));
    QCOMPARE(model.Marks()[3], kMarkReverse);
    QCOMPARE(model.Marks()[0], kNoMark);
    QVERIFY(SortToggle[0]);
    QVERIFY(!SortToggle[3]);
  }

  void hiddenColumnsAndEmptyListDoNothing() {
    fill_random(30, 5);
    FoundFilesModel model;
    model.SetRowCount(FoundFiles.Count());
    model.SortByColumn(4);
    const auto marks = model.Marks();
    const auto toggles = SortToggle;
    const std::string first = FoundFiles[0].Name;
    QVERIFY(!model.SortByColumn(6));
    QVERIFY(!model.SortByColumn(7));
    QCOMPARE(model.Marks(), marks);
    QCOMPARE(SortToggle, toggles);

    model.SetRowCount(0);  // as during a scan
    QVERIFY(!model.SortByColumn(0));
    QCOMPARE(SortToggle, toggles);
    QCOMPARE(FoundFiles[0].Name, first);
  }

  // The Content column's texts, its sort (intact, plausible, damaged late to early, unchecked)
  // and the dot each verdict and estimate gets.
  void contentColumnTextsSortAndMarks() {
    using pyralis::ContentState;
    using pyralis::ContentVerdict;
    using pyralis::ui::RowMark;
    struct Row {
      const char* name;
      int quality;
      ContentState state;
      uint64_t damaged_at;
      const char* text;
      RowMark mark;
    };
    const Row rows[] = {
        {"unchecked", 100, ContentState::kUnchecked, 0, "Unchecked", RowMark::kGood},
        {"early", 80, ContentState::kDamaged, 100, "Damaged (at 10 %)", RowMark::kDamaged},
        {"intact", 50, ContentState::kIntact, 0, "Intact", RowMark::kMiddle},
        {"plausible", 80, ContentState::kPlausible, 0, "Plausible", RowMark::kGood},
        {"late", 0, ContentState::kDamaged, 900, "Damaged (at 90 %)", RowMark::kDamaged},
        {"bad", 10, ContentState::kUnchecked, 0, "Unchecked", RowMark::kBad},
        {"error", -1, ContentState::kUnchecked, 0, "Unchecked", RowMark::kNone},
    };
    for (const Row& r : rows) {
      FoundFiles.append(record(r.name, "", r.quality, 1000, 0, 0));
      ContentVerdict verdict;
      verdict.state = r.state;
      verdict.damaged_at = r.damaged_at;
      FoundFiles.Facts(FoundFiles.Count() - 1).content = verdict;
    }
    FoundFilesModel model;
    model.SetRowCount(FoundFiles.Count());
    for (int i = 0; i < FoundFiles.Count(); ++i) {
      QCOMPARE(text(model, i, pyralis::ui::kContentColumn), QString(rows[i].text));
      QCOMPARE(pyralis::ui::row_mark(rows[i].quality, FoundFiles.Facts(i).content), rows[i].mark);
      QVERIFY(!model.data(model.index(i, 0), Qt::DecorationRole).isNull());
    }
    QVERIFY(model.headerData(0, Qt::Horizontal, Qt::ToolTipRole).toString().contains("Purple"));
    auto names = [] {
      QStringList out;
      for (int i = 0; i < FoundFiles.Count(); ++i)
        out << QString::fromStdString(FoundFiles[i].Name);
      return out;
    };
    QVERIFY(model.SortByColumn(pyralis::ui::kContentColumn));
    QCOMPARE(names(),
             (QStringList{"intact", "plausible", "late", "early", "unchecked", "bad", "error"}));
    QCOMPARE(model.Marks()[pyralis::ui::kContentColumn], kMarkFirst);
    // Facts moved with their records.
    QCOMPARE(text(model, 0, pyralis::ui::kContentColumn), QStringLiteral("Intact"));
    QVERIFY(model.SortByColumn(pyralis::ui::kContentColumn));
    QCOMPARE(names().mid(0, 3), (QStringList{"unchecked", "bad", "error"}));
    QCOMPARE(model.Marks()[pyralis::ui::kContentColumn], kMarkReverse);
    model.SortByColumn(3);
    QCOMPARE(model.Marks()[pyralis::ui::kContentColumn], kNoMark);

    // "Intact only" keeps the one intact file.
    pyralis::ui::FoundFilesFilter filter;
    filter.setSourceModel(&model);
    pyralis::ui::FileFilter only;
    only.intact_only = true;
    QVERIFY(only.Active());
    filter.SetFilter(only);
    QCOMPARE(filter.rowCount(), 1);
    QCOMPARE(filter.index(0, 0).data().toString(), QStringLiteral("intact"));
  }

  void selectionFollowsItsFile() {
    for (const char* n : {"c", "a", "b"}) FoundFiles.append(record(n, "", 0, 0, 0, 0));
    FoundFilesModel model;
    model.SetRowCount(3);
    QItemSelectionModel selection(&model);
    selection.select(model.index(0, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    model.SortByColumn(0);
    QCOMPARE(selection.selectedRows().size(), 1);
    QCOMPARE(selection.selectedRows().first().row(), 2);
    QCOMPARE(text(model, 0, 0), QStringLiteral("a"));
    QCOMPARE(text(model, 2, 0), QStringLiteral("c"));
  }
};

QTEST_MAIN(FoundFilesListTest)
#include "found_files_list_test.moc"
