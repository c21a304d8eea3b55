// SPDX-License-Identifier: GPL-3.0-or-later
// The main window end to end under the offscreen platform: start-up, Scan of a FAT image
// made with mkfs.fat and mtools, sorting through the header, Unerase, the same-drive
// question, Stop, and commands refused while one runs.
#include <QHeaderView>
#include <QSettings>
#include <QThread>
#include <QtTest>
#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>

#include "core/engine_window.h"
#include "core/found_files.h"
#include "core/process_state.h"
#include "platform/drive_table.h"
#include "tests/support/test_files.h"
#include "ui/about_box.h"
#include "ui/content_checker.h"
#include "ui/desktop_integration.h"
#include "ui/main_form.h"
#include "ui/qt_engine_window.h"
#include "ui/search_form.h"
#include "ui/shell_open.h"
#include "ui/wait_form.h"

using namespace pyralis;
using pyralis::test::TempDir;

namespace {

// Content of the files put on the volume; the deleted ones are 2 and 4.
std::string content(int n) {
  return std::string(static_cast<size_t>(n) * 3000, static_cast<char>('A' + n));
}

bool make_fat_image(const TempDir& dir, const std::string& image, bool with_files) {
  using test::run_command;
  using test::shell_quote;
  if (run_command("mkfs.fat -C -n DEMO " + shell_quote(image) + " 4096 >/dev/null 2>&1") != 0)
    return false;
  if (!with_files) return true;
  const std::string mt = "MTOOLS_SKIP_CHECK=1 ";
  for (int n = 1; n <= 5; ++n) {
    const std::string file = dir.file("file" + std::to_string(n));
    test::write_file(file, content(n));
    if (run_command(mt + "mcopy -i " + shell_quote(image) + " " + shell_quote(file) + " ::/FILE" +
                    std::to_string(n) + ".BIN") != 0)
      return false;
  }
  return run_command(mt + "mdel -i " + shell_quote(image) + " ::/FILE2.BIN ::/FILE4.BIN") == 0;
}

QStringList log_lines(const ui::TMainForm& form) {
  return form.LogMemo->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

std::vector<std::string> files_in(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().string());
  return names;
}

}  // namespace

class MainFormTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<TempDir> dir_;
  std::string image_, blank_, out_;
  ui::TProgramWindows windows_;

  ui::TMainForm& form() { return *windows_.MainForm; }
  void open(const std::vector<std::string>& sources) {
    platform::reset_drive_table();
    platform::attach_sources(sources);
    windows_ = ui::create_program_windows();
  }
  void select_rows(int first, int last) {
    auto* selection = form().ListView->selectionModel();
    const QAbstractItemModel* rows = form().ListView->model();
    selection->select(QItemSelection(rows->index(first, 0), rows->index(last, 7)),
                      QItemSelectionModel::Select | QItemSelectionModel::Rows);
  }

  // The worker waits at its first report made while the command runs (ScanActive or
  // RecoveryActive set) until `released`; waitForWorker() on the interface thread returns once
  // the worker waits there, so that a Stop clicked then lands in the middle of the command.
  std::atomic<bool> inside_{false};
  void holdWorkerUntil(std::atomic<bool>& released) {
    inside_ = false;
    form().EngineAdapter()->OnWorkerReport = [this, &released] {
      if (!ScanActive && !RecoveryActive) return;
      inside_ = true;
      while (!released) QThread::msleep(1);
    };
  }
  void waitForWorker() {
    for (int i = 0; i < 5000 && !inside_; ++i) QThread::msleep(1);
    QVERIFY(inside_);
  }

 private slots:
  void initTestCase() {
    QStandardPaths::setTestModeEnabled(true);  // remembered settings stay out of the user's
    QSettings().clear();
    if (!test::have_program("mkfs.fat") || !test::have_program("mcopy"))
      QSKIP("mkfs.fat / mtools missing");
    dir_ = std::make_unique<TempDir>();
    image_ = dir_->file("fat.img");
    blank_ = dir_->file("blank.img");
    QVERIFY(make_fat_image(*dir_, image_, true));
    QVERIFY(make_fat_image(*dir_, blank_, false));
  }

  void init() {
    reset_process_state();
    out_ = dir_->path() + "/out" + std::to_string(std::rand()) + "/";
    std::filesystem::create_directories(out_);
  }

  void cleanup() { windows_ = {}; }

  void startUpState() {
    open({image_});
    ui::TMainForm& f = form();
    QCOMPARE(f.windowTitle(), QStringLiteral("Pyralis"));
    QCOMPARE(f.size(), QSize(869, 620));
    QCOMPARE(SelectedDrive, 'c');
    QCOMPARE(f.Scan1->text(), QStringLiteral("&Scan C:\\"));
    QCOMPARE(f.DriveTreeView->topLevelItemCount(), 1);
    QVERIFY(f.DriveTreeView->currentItem()->text(0).startsWith(QStringLiteral("C:\\ fat.img")));
    QVERIFY(!f.Unerase1->isEnabled() && !f.Unerase2->isEnabled() && !f.ToolButton2->isEnabled());
    QVERIFY(f.Scan1->isEnabled() && f.ToolButton1->isEnabled());
    QCOMPARE(f.ToolButton1->toolTip(), QStringLiteral("Start scan"));
    QCOMPARE(f.ToolButton2->toolTip(), QStringLiteral("Unerase selected file(s)"));
    QCOMPARE(f.ToolButton4->toolTip(), QStringLiteral("Exit program"));
    QCOMPARE(f.ContensIndex1->shortcut(), QKeySequence(Qt::Key_F1));
    QVERIFY(f.StatusPanels[0]->text().startsWith(QStringLiteral("Version: ")));
    QCOMPARE(f.StatusPanels[0]->text(),
             QStringLiteral("Version: ") + f.VersionReader().FileVersion());
    QCOMPARE(f.StatusPanels[1]->text(), QStringLiteral("Files: 0"));
    QVERIFY(f.SaveEdit->text().endsWith(QLatin1Char('/')));
    QVERIFY(!f.SaveEdit->isReadOnly());
    QVERIFY(f.SaveEdit->completer() != nullptr);
    QCOMPARE(f.Scan1->shortcuts(),
             (QList<QKeySequence>{QKeySequence(Qt::Key_F5), QKeySequence(Qt::CTRL | Qt::Key_R)}));
    QCOMPARE(f.Unerase1->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_U));
    QCOMPARE(f.Exit1->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
    QCOMPARE(f.ToolButton4->focusPolicy(), Qt::NoFocus);
    QCOMPARE(f.Model().rowCount(), 0);
    QVERIFY(f.LogMemo->toPlainText().isEmpty());
    QCOMPARE(windows_.SearchForm->windowTitle(), QStringLiteral("Pyralis - Search Progress"));
    QCOMPARE(windows_.SearchForm->size(), QSize(256, 148));
    QCOMPARE(windows_.WaitForm->windowTitle(), QStringLiteral("Pyralis - Wait Form"));
    QCOMPARE(windows_.WaitForm->size(), QSize(283, 150));  // with the "File n of m" rows
    QVERIFY(windows_.SearchForm->windowFlags() & Qt::WindowStaysOnTopHint);
    QVERIFY(!(windows_.WaitForm->windowFlags() & Qt::WindowCloseButtonHint));
  }

  void withoutDriveCNothingIsChosen() {
    open({});
    QCOMPARE(SelectedDrive, '\0');
    QCOMPARE(form().Scan1->text(), QStringLiteral("&Scan"));
    form().Scan1Click();
    form().Unerase1Click();
    const QStringList lines = log_lines(form());
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines[0].contains(QStringLiteral("choose a drive")));
    QVERIFY(!windows_.SearchForm->isVisible());
  }

  void scanGivesRowsLogAndStatus() {
    open({image_});
    form().show();
    const int file_width = form().ListView->header()->sectionSize(0);
    form().Scan1Click();
    const QStringList lines = log_lines(form());
    QCOMPARE(lines.first(), QStringLiteral("Scan C:\\ ..."));
    QCOMPARE(lines.last(), QStringLiteral("End scan"));
    QCOMPARE(FoundFiles.Count(), 2);
    QCOMPARE(form().Model().rowCount(), 2);
    QCOMPARE(form().StatusPanels[1]->text(), QStringLiteral("Files: 2"));
    QCOMPARE(form().ScannedDrive(), 'c');
    QVERIFY(!windows_.SearchForm->isVisible());
    QVERIFY(!form().Busy());
    // The File column never narrows from scan to scan.
    QVERIFY(form().ListView->header()->sectionSize(0) >= std::max(100, file_width));
    // Unerase stays off until the user touches the selection.
    QVERIFY(!form().ToolButton2->isEnabled());
    select_rows(0, 0);
    QVERIFY(form().ToolButton2->isEnabled() && form().Unerase1->isEnabled() &&
            form().Unerase2->isEnabled());

    // A second scan starts from a clean log, no marks and reset toggles.
    form().ListViewColumnClick(3);
    QVERIFY(SortToggle[3]);
    form().Scan1Click();
    QCOMPARE(log_lines(form()).count(QStringLiteral("Scan C:\\ ...")), 1);
    QVERIFY(!SortToggle[3]);
    QCOMPARE(form().Model().Marks()[3], ui::kNoMark);
    QVERIFY(!form().ToolButton2->isEnabled());
  }

  void sortingThroughTheHeader() {
    open({image_});
    form().Scan1Click();
    QCOMPARE(form().Model().rowCount(), 2);
    form().ListViewColumnClick(3);  // Size: largest first
    QVERIFY(FoundFiles[0].Size > FoundFiles[1].Size);
    QCOMPARE(form().Model().Marks()[3], ui::kMarkFirst);
    form().ListViewColumnClick(3);
    QVERIFY(FoundFiles[0].Size < FoundFiles[1].Size);
    QCOMPARE(form().Model().Marks()[3], ui::kMarkReverse);
    form().ListViewColumnClick(7);
    QCOMPARE(form().Model().Marks()[3], ui::kMarkReverse);
    QVERIFY(FoundFiles[0].Size < FoundFiles[1].Size);
  }

  void selectionFollowsTheFilesThroughASort() {
    open({image_});
    form().Scan1Click();
    QCOMPARE(form().Model().rowCount(), 2);
    form().ListViewColumnClick(3);  // largest first
    const std::string chosen = FoundFiles[1].Name;
    select_rows(1, 1);
    form().ListView->setCurrentIndex(form().ListView->model()->index(1, 0));
    form().ListViewColumnClick(3);  // now smallest first: the chosen file moves to row 0
    QCOMPARE(FoundFiles[0].Name, chosen);
    const QModelIndexList rows = form().ListView->selectionModel()->selectedRows();
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0].row(), 0);
    QCOMPARE(form().ListView->currentIndex().row(), 0);
    // Unerase writes the file the user chose, not the one now at the old position.
    form().SaveEdit->setText(QString::fromStdString(out_));
    form().Unerase1Click();
    const auto written = files_in(out_);
    QCOMPARE(written.size(), size_t{1});
    QVERIFY(written[0].ends_with(chosen));
  }

  void uneraseWritesSelectedRowsFromTheScannedDrive() {
    open({image_, blank_});
    form().Scan1Click();
    QCOMPARE(form().Model().rowCount(), 2);
    // Choosing another drive after the scan does not change where Unerase reads.
    form().DriveTreeView->setCurrentItem(form().DriveTreeView->topLevelItem(1));
    QCOMPARE(SelectedDrive, 'd');
    form().SaveEdit->setText(QString::fromStdString(out_));
    select_rows(0, 1);
    form().Unerase1Click();
    QVERIFY(form().ListView->selectionModel()->selectedRows().isEmpty());
    QVERIFY(form().ToolButton2->isEnabled());
    QVERIFY(!RecoveryActive);
    QVERIFY(!windows_.WaitForm->isVisible());
    const auto written = files_in(out_);
    QCOMPARE(written.size(), size_t{2});
    for (const std::string& file : written) {
      const std::string data = test::read_file(file);
      QVERIFY2(data == content(2) || data == content(4), file.c_str());
    }
  }

  void sameDriveWarningAnsweredNoWritesNothing() {
    open({image_});
    form().Scan1Click();
    QString asked;
    char checked = 0;
    form().SameDriveCheck = [&](const std::string&, char letter) {
      checked = letter;
      return true;
    };
    form().AskYesNo = [&](const QString& question) {
      asked = question;
      return QMessageBox::No;
    };
    form().SaveEdit->setText(QString::fromStdString(out_));
    select_rows(0, 1);
    form().Unerase1Click();
    QCOMPARE(checked, 'c');
    QCOMPARE(asked,
             QStringLiteral(
                 "We don't recommend you saving file(s) to drive C:\\. Do you want to proceed?"));
    QVERIFY(files_in(out_).empty());
    QCOMPARE(form().ListView->selectionModel()->selectedRows().size(), 2);
    QVERIFY(!windows_.WaitForm->isVisible());

    form().AskYesNo = [](const QString&) { return QMessageBox::Yes; };
    form().Unerase1Click();
    QCOMPARE(files_in(out_).size(), size_t{2});
  }

  void stopDuringScanAndNoReentry() {
    open({image_});
    int nested_scans = 0;
    std::atomic<bool> released{false};
    holdWorkerUntil(released);
    QTimer::singleShot(0, windows_.SearchForm, [&] {
      QVERIFY(form().Busy());
      QVERIFY(windows_.SearchForm->isVisible());
      form().Scan1Click();  // refused while the scan runs
      form().ListViewColumnClick(0);
      ++nested_scans;
      waitForWorker();
      QTest::mouseClick(windows_.SearchForm->StopBitBtn, Qt::LeftButton);
      released = true;
    });
    form().Scan1Click();
    form().EngineAdapter()->OnWorkerReport = nullptr;
    QCOMPARE(nested_scans, 1);
    const QStringList lines = log_lines(form());
    QCOMPARE(lines.count(QStringLiteral("Scan C:\\ ...")), 1);
    QCOMPARE(lines.last(), QStringLiteral("Process interrupted"));
    QVERIFY(!SortToggle[0]);
    QVERIFY(!windows_.SearchForm->isVisible());
  }

  void stopDuringUneraseWritesNothingMore() {
    open({image_});
    form().Scan1Click();
    form().SaveEdit->setText(QString::fromStdString(out_));
    select_rows(0, 1);
    bool shown = false;
    std::atomic<bool> released{false};
    holdWorkerUntil(released);
    QTimer::singleShot(0, windows_.WaitForm, [&] {
      shown = windows_.WaitForm->isVisible();
      waitForWorker();
      QTest::mouseClick(windows_.WaitForm->StopBitBtn, Qt::LeftButton);
      released = true;
    });
    form().Unerase1Click();
    form().EngineAdapter()->OnWorkerReport = nullptr;
    QVERIFY(shown);
    QVERIFY(files_in(out_).empty());
    // Rows not written stay selected, and the log says so.
    QCOMPARE(form().ListView->selectionModel()->selectedRows().size(), 2);
    const QStringList lines = log_lines(form());
    QVERIFY(lines.contains(QStringLiteral("Recovery stopped: 0 of 2 chosen files were written.")));
    QCOMPARE(
        lines.last(),
        QStringLiteral("2 of 2 chosen files were not recovered completely; they stay selected."));
    QVERIFY(!RecoveryActive);
    QVERIFY(!windows_.WaitForm->isVisible());
    QVERIFY(!form().Busy());
  }

  void closingDuringScanWaitsForIt() {
    open({image_});
    form().show();
    std::atomic<bool> released{false};
    holdWorkerUntil(released);
    QTimer::singleShot(0, &form(), [&] {
      waitForWorker();
      QVERIFY(!form().close());
      released = true;
    });
    form().Scan1Click();
    form().EngineAdapter()->OnWorkerReport = nullptr;
    QCOMPARE(log_lines(form()).last(), QStringLiteral("Process interrupted"));
    QTRY_VERIFY(!form().isVisible());
  }

  // At the default size the estimate, size, dates and Content stay in view however long a
  // name is; File never gets less than 100 pixels.
  void columnsFitAtTheDefaultSize() {
    open({image_});
    form().show();
    QVERIFY(QTest::qWaitForWindowExposed(&form()));
    form().Scan1Click();
    FoundFileRecord long_name;
    long_name.Name = std::string(200, 'n') + ".jpg";
    long_name.RecoveryQuality = 100;
    FoundFiles.append(long_name);
    form().Model().SetRowCount(FoundFiles.Count());
    for (const int width : {1280, 869}) {
      form().resize(width, 620);
      QApplication::processEvents();
      QCOMPARE(form().width(), width);
      const QHeaderView* header = form().ListView->header();
      const int viewport = form().ListView->viewport()->width();
      for (const int column : {2, 3, 4, ui::kContentColumn}) {
        QVERIFY2(header->sectionViewportPosition(column) + header->sectionSize(column) <= viewport,
                 qPrintable(QStringLiteral("column %1 at %2").arg(column).arg(width)));
      }
      QVERIFY(header->sectionSize(0) >= 100);
      // The destination row and the log keep to their panel; the list has the rest.
      QVERIFY2(form().ListView->height() > form().LogMemo->height() * 2,
               qPrintable(QStringLiteral("list %1, log %2")
                              .arg(form().ListView->height())
                              .arg(form().LogMemo->height())));
      // The drive tree shows its whole caption.
      const QFontMetrics metrics(form().DriveTreeView->font());
      QVERIFY(form().DriveTreeView->viewport()->width() >
              metrics.horizontalAdvance(form().DriveTreeView->topLevelItem(0)->text(0)));
    }
    QVERIFY(!form().ColumnsDragged());
    // A stick described by udisks2: its vendor, model and label show at first start, at the
    // default size, with the list's columns still in view.
    QTreeWidgetItem* stick = form().DriveTreeView->topLevelItem(0);
    const QString shown = QStringLiteral("C:\\ SanDisk Cruzer Blade \u2014 HOLIDAY");
    stick->setText(0, shown + QStringLiteral(" (sdb1, 15.6 GB)"));
    form().hide();
    form().show();
    QVERIFY(QTest::qWaitForWindowExposed(&form()));
    QApplication::processEvents();
    const QFontMetrics metrics(form().DriveTreeView->font());
    QVERIFY2(form().DriveTreeView->viewport()->width() >
                 metrics.horizontalAdvance(shown) + form().DriveTreeView->iconSize().width(),
             qPrintable(QString::number(form().DriveTreeView->viewport()->width())));
    const QHeaderView* header = form().ListView->header();
    QString widths;
    for (int c = 0; c < header->count(); ++c)
      widths += QStringLiteral("%1:%2 ").arg(c).arg(
          header->isSectionHidden(c) ? -1 : header->sectionSize(c));
    for (const int column : {2, 3, 4, ui::kContentColumn})
      QVERIFY2(header->sectionViewportPosition(column) + header->sectionSize(column) <=
                   form().ListView->viewport()->width(),
               qPrintable(widths + QString::number(form().ListView->viewport()->width()) +
                          " tree " + QString::number(form().DriveTreeView->width())));
  }

  // A pass over the whole volume says what it has read, how fast and how long it still
  // needs, as the command line does, in the list's units; only the last report is shown, and
  // a new scan starts without it.
  void readProgressOfAWholeVolumePass() {
    QCOMPARE(ui::read_progress_text(1234567890, 4000000000, 85.4e6, 33.4),
             QStringLiteral("Read 1,234 of 4,000 Mb, 85 Mb/s, 00:00:33 left"));
    QCOMPARE(ui::read_progress_text(0, 999999, 0, -1), QStringLiteral("Read 0 of 0 Mb, 0 Mb/s"));
    QCOMPARE(ui::read_progress_text(1, 2, 1, 3725),
             QStringLiteral("Read 0 of 0 Mb, 0 Mb/s, 01:02:05 left"));
    open({image_});
    QLabel* line = windows_.SearchForm->ReadProgressText;
    QVERIFY(line->isHidden());
    form().EngineAdapter()->RunInWorker([] {
      for (uint64_t mb = 1; mb <= 1000; ++mb)
        Window().SetReadProgress(mb * 1000000, 2000000000, 50e6,
                                 static_cast<double>(2000 - mb) / 50);
    });
    QVERIFY(!line->isHidden());
    QCOMPARE(line->text(), QStringLiteral("Read 1,000 of 2,000 Mb, 50 Mb/s, 00:00:20 left"));
    form().Scan1Click();
    QVERIFY(line->isHidden());
  }

  // The destination is typed: a missing folder is made after asking, a file or an answer No
  // writes nothing, "~/" is the home folder.
  void typedDestination() {
    open({image_});
    form().Scan1Click();
    select_rows(0, 1);
    QStringList asked;
    QMessageBox::StandardButton answer = QMessageBox::No;
    form().SameDriveCheck = [](const std::string&, char) { return false; };
    form().AskYesNo = [&](const QString& question) {
      asked << question;
      return answer;
    };
    const std::string missing = out_ + "new/deeper";
    form().SaveEdit->setText(QString::fromStdString(missing));
    form().Unerase1Click();
    QCOMPARE(asked.size(), 1);
    QVERIFY(asked[0].startsWith(QStringLiteral("The folder ")));
    QVERIFY(!std::filesystem::exists(missing));
    answer = QMessageBox::Yes;
    form().Unerase1Click();
    QCOMPARE(files_in(missing).size(), size_t{2});
    QCOMPARE(form().SaveEdit->text(), QString::fromStdString(missing + "/"));
    QVERIFY(log_lines(form()).contains(
        QStringLiteral("Recovered 2 of 2 files (%1 kB) into %2/")
            .arg(QLocale(QLocale::English)
                     .toString((FoundFiles[0].Size + FoundFiles[1].Size) / 1e3, 'f', 1),
                 QString::fromStdString(missing))));

    const std::string file = out_ + "plain-file";
    test::write_file(file, "x");
    form().SaveEdit->setText(QString::fromStdString(file));
    select_rows(0, 1);
    form().Unerase1Click();
    QCOMPARE(log_lines(form()).last(),
             QStringLiteral("Cannot unerase into %1: it is a file, not a folder.")
                 .arg(QString::fromStdString(file)));
    QCOMPARE(form().ListView->selectionModel()->selectedRows().size(), 2);

    form().SaveEdit->setText(QStringLiteral("~/"));
    QCOMPARE(form().CheckDestination(), QDir::homePath() + QLatin1Char('/'));
  }

  // Deep scan lists what Scan lists at least; Save scan and Open scan say in the log why
  // they could not be done, and a failed open leaves the list as it was.
  void deepScanAndSavedScans() {
    open({image_});
    form().DeepScan1->trigger();
    QCOMPARE(log_lines(form()).first(), QStringLiteral("Deep scan C:\\ ..."));
    const int rows = form().Model().rowCount();
    QVERIFY(rows >= 2);
    int asked = 0;
    form().AskScanFile = [&](bool) {
      ++asked;
      return QString::fromStdString(out_ + "scan.pyralis-scan");
    };
    form().SaveScan1->trigger();
    form().OpenScan1->trigger();
    QCOMPARE(asked, 2);
    const QStringList lines = log_lines(form());
    QVERIFY(lines[lines.size() - 2].startsWith(QStringLiteral("Saved the scan")) ||
            lines[lines.size() - 2].startsWith(QStringLiteral("Could not save the scan")));
    if (lines.last().startsWith(QStringLiteral("Could not open the scan")))
      QCOMPARE(form().Model().rowCount(), rows);
    form().Scan1Click();  // a plain scan again after the deep one
    QCOMPARE(log_lines(form()).first(), QStringLiteral("Scan C:\\ ..."));
  }

  // After a scan every row is checked once, in the background; "Intact only" then shows them.
  void contentCheckAfterScan() {
    open({image_});
    std::vector<int> checked;
    char checked_letter = 0;
    std::mutex lock;
    form().Checker->Check = [&](char letter, const FoundFileRecord& record, const RowFacts&,
                                const std::atomic<bool>&, filetypes::Depth) {
      const std::lock_guard hold(lock);
      checked.push_back(record.Name == FoundFiles[0].Name ? 0 : 1);
      checked_letter = letter;
      ContentVerdict verdict;
      verdict.state =
          record.Name == FoundFiles[0].Name ? ContentState::kIntact : ContentState::kDamaged;
      verdict.damaged_at = record.Size / 2;
      return verdict;
    };
    form().Scan1Click();
    QTRY_VERIFY(!form().Checker->Running());
    QCOMPARE(checked.size(), size_t{2});
    QCOMPARE(checked_letter, 'c');
    const QAbstractItemModel* rows = form().ListView->model();
    QCOMPARE(rows->index(0, ui::kContentColumn).data().toString(), QStringLiteral("Intact"));
    QCOMPARE(rows->index(1, ui::kContentColumn).data().toString(),
             QStringLiteral("Damaged (at 50 %)"));
    form().FindBar->IntactOnlyCheck->setChecked(true);
    QCOMPARE(rows->rowCount(), 1);
    QCOMPARE(form().StatusPanels[1]->text(), QStringLiteral("Files: 1 / 2"));
    form().FindBar->IntactOnlyCheck->setChecked(false);
  }

  void linksAndHelp() {
    open({image_});
    QList<QUrl> opened;
    ui::set_shell_opener([&](const QUrl& url) { opened.append(url); });
    form().StaticText3Click();
    form().GotoQuorelsite1Click();
    form().StaticText7Click();
    // Help is the README next to a build tree, or a log line saying where it was looked for.
    form().ContensIndex1Click();
    const bool have_help = !ui::help_url().isEmpty();
    QCOMPARE(form().LogMemo->toPlainText().contains(QStringLiteral("No help is installed")),
             !have_help);
    ui::set_shell_opener(nullptr);
    QCOMPARE(opened.size(), have_help ? 4 : 3);
    QCOMPARE(opened[0], opened[1]);
    QCOMPARE(opened[0].scheme(), QStringLiteral("https"));
    QCOMPARE(opened[2].scheme(), QStringLiteral("mailto"));

    QTimer::singleShot(0, windows_.AboutBox, [&] { windows_.AboutBox->accept(); });
    form().About1Click();
    QCOMPARE(windows_.AboutBox->VersionLabel->text(), form().VersionReader().FileVersion());
  }
};

QTEST_MAIN(MainFormTest)
#include "main_form_test.moc"
