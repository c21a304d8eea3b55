// SPDX-License-Identifier: GPL-3.0-or-later
// The list's filter on a known catalogue, the folder tree, the preview of a deleted JPEG and
// text file read into memory, Keep folders with Restore dates, and the remembered
// destination.
#include <QHeaderView>
#include <QImage>
#include <QSettings>
#include <QtTest>
#include <filesystem>
#include <memory>
#include <sys/stat.h>

#include "core/found_files.h"
#include "core/process_state.h"
#include "platform/drive_table.h"
#include "tests/support/test_files.h"
#include "ui/file_preview.h"
#include "ui/folder_tree.h"
#include "ui/found_files_filter.h"
#include "ui/main_form.h"

using namespace pyralis;
using pyralis::test::TempDir;

namespace {

FoundFileRecord record(std::string name, std::string path, int quality, int64_t size) {
  FoundFileRecord r;
  r.Name = std::move(name);
  r.Path = std::move(path);
  r.RecoveryQuality = static_cast<int8_t>(quality);
  r.Size = size;
  return r;
}

// 2004-03-05 14:07:30 local time, as `touch -d` and the catalogue write it.
constexpr const char* kOldDate = "2004-03-05 14:07:30";

}  // namespace

class FindPreviewTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<TempDir> dir_;
  std::string image_;
  QString text_;

 private slots:
  void initTestCase() {
    QStandardPaths::setTestModeEnabled(true);
    QSettings().clear();
    dir_ = std::make_unique<TempDir>();
    if (!test::have_program("mkfs.fat") || !test::have_program("mcopy")) return;
    // A FAT volume with a picture and a letter deleted from a folder.
    image_ = dir_->file("fat.img");
    QImage picture(64, 48, QImage::Format_RGB32);
    picture.fill(QColor(200, 40, 40));
    QVERIFY(picture.save(QString::fromStdString(dir_->file("photo.jpg")), "JPEG"));
    text_ = QStringLiteral("Dear Anna,\nthe pictures are in Grenoble. \u00e9t\u00e9\n");
    QVERIFY(test::write_file(dir_->file("letter.txt"), text_.toStdString()));
    using test::shell_quote;
    const std::string mt = "MTOOLS_SKIP_CHECK=1 ";
    const std::string img = shell_quote(image_);
    for (const char* name : {"photo.jpg", "letter.txt"})
      QCOMPARE(test::run_command("touch -d '" + std::string(kOldDate) + "' " +
                                 shell_quote(dir_->file(name))),
               0);
    QCOMPARE(test::run_command("mkfs.fat -C -n DEMO " + img + " 4096 >/dev/null 2>&1"), 0);
    QCOMPARE(test::run_command(mt + "mmd -i " + img + " ::/Holiday"), 0);
    QCOMPARE(test::run_command(mt + "mcopy -m -i " + img + " " + shell_quote(dir_->file("photo.jpg")) +
                               " ::/Holiday/photo.jpg"),
             0);
    QCOMPARE(test::run_command(mt + "mcopy -m -i " + img + " " +
                               shell_quote(dir_->file("letter.txt")) + " ::/Holiday/letter.txt"),
             0);
    QCOMPARE(test::run_command(mt + "mdel -i " + img + " ::/Holiday/photo.jpg ::/Holiday/letter.txt"),
             0);
  }

  void filterCountsOnAKnownCatalogue() {
    reset_process_state();
    FoundFiles.append(record("IMG_0001.JPG", "C:\\DCIM\\100", 100, 3000000));
    FoundFiles.append(record("IMG_0002.jpg", "C:\\DCIM\\101", 0, 2500000));
    FoundFiles.append(record("report.doc", "C:\\Work", 80, 40000));
    FoundFiles.append(record("song.mp3", "C:\\Music\\img", 20, 5000000));
    FoundFiles.append(record("notes", "C:\\Work\\Old", 60, 100));
    FoundFiles.append(record("\xC3\x89t\xC3\xA9.TXT", "C:\\", 100, 10));
    ui::FoundFilesModel model;
    model.SetRowCount(FoundFiles.Count());
    ui::FoundFilesFilter filter;
    filter.setSourceModel(&model);
    auto count = [&](const ui::FileFilter& f) {
      filter.SetFilter(f);
      return filter.rowCount();
    };
    ui::FileFilter f;
    QVERIFY(!f.Active());
    QCOMPARE(count(f), 6);
    f.text = QStringLiteral("img");  // names and folders, any case
    QCOMPARE(count(f), 3);
    f.text = QStringLiteral("img_*.jpg");  // wildcards match the whole name
    QCOMPARE(count(f), 2);
    f.text = QStringLiteral("img_000?");
    QCOMPARE(count(f), 0);
    f.text = QString::fromUtf8("\xC3\xA9T\xC3\x89");  // non-ASCII letters of any case
    QCOMPARE(count(f), 1);
    f.text.clear();
    f.kinds[static_cast<size_t>(ui::FileKind::kPictures)] = true;
    QCOMPARE(count(f), 2);
    f.kinds[static_cast<size_t>(ui::FileKind::kOther)] = true;  // "notes" has no extension
    QCOMPARE(count(f), 3);
    f.hide_unrecoverable = true;  // IMG_0002 is Overwritten
    QCOMPARE(count(f), 2);
    f = {};
    f.min_size = 1000;
    f.max_size = 3000000;
    QCOMPARE(count(f), 3);
    f = {};
    f.folder = QStringLiteral("C:\\Work");  // the folder and below, not C:\Workshop
    QCOMPARE(count(f), 2);
    QVERIFY(f.Active());
    // Rows map back to their catalogue records.
    QCOMPARE(filter.RecordRow(filter.index(1, 0)), 4);

    ui::FolderTree tree;
    tree.Fill();
    QTreeWidgetItem* work = tree.Find(QStringLiteral("C:\\Work"));
    QVERIFY(work != nullptr);
    QCOMPARE(work->text(0), QStringLiteral("Work (2)"));
    QCOMPARE(work->childCount(), 1);
    QCOMPARE(tree.Find(QStringLiteral("C:"))->text(0), QStringLiteral("C: (6)"));
    QVERIFY(tree.Find(QStringLiteral("C:\\Nowhere")) == nullptr);
  }

  void previewKeepFoldersDatesAndRemembering() {
    if (image_.empty()) QSKIP("mkfs.fat / mtools missing");
    reset_process_state();
    platform::reset_drive_table();
    platform::attach_sources({image_});
    ui::TProgramWindows windows = ui::create_program_windows();
    ui::TMainForm& form = *windows.MainForm;
    form.show();
    form.Scan1Click();
    QCOMPARE(FoundFiles.Count(), 2);
    QCOMPARE(form.ListView->model()->rowCount(), 2);

    // Typing narrows the list and the count says so (a deleted short name reads "xHOTO.JPG").
    QTest::keyClicks(form.FindBar->FindEdit, QStringLiteral("hoto"));
    QCOMPARE(form.ListView->model()->rowCount(), 1);
    QCOMPARE(form.StatusPanels[1]->text(), QStringLiteral("Files: 1 / 2"));
    const int photo = form.Filter().RecordRow(form.ListView->model()->index(0, 0));
    QCOMPARE(QString::fromStdString(FoundFiles[photo].Name), QStringLiteral("xHOTO.JPG"));
    form.FindBar->FindEdit->clear();
    QCOMPARE(form.StatusPanels[1]->text(), QStringLiteral("Files: 2"));

    // The preview reads through the engine into memory: a picture and a text.
    const int log_lines = form.LogMemo->blockCount();
    const ui::FilePreview picture = ui::preview_found_file('c', photo);
    QVERIFY(picture.whole);
    QVERIFY(picture.problem.isEmpty());
    QVERIFY(picture.clusters && picture.clusters->clusters > 0);
    QCOMPARE(picture.clusters->free, picture.clusters->clusters);
    const int letter = 1 - photo;
    const ui::FilePreview text = ui::preview_found_file('c', letter);
    QCOMPARE(ui::decode_text(text.bytes), text_);
    QCOMPARE(form.LogMemo->blockCount(), log_lines);  // the engine's lines stay out of the log
    form.Preview2->setChecked(true);
    form.ListView->setCurrentIndex(form.ListView->model()->index(photo, 0));
    form.PreviewCurrent();
    QCOMPARE(form.Preview1->Showing(), ui::PreviewPane::Shown::kPicture);
    QVERIFY(form.Preview1->InfoLabel->text().contains(QStringLiteral("Clusters still free: ")));
    form.ListView->setCurrentIndex(form.ListView->model()->index(letter, 0));
    form.PreviewCurrent();
    QCOMPARE(form.Preview1->Showing(), ui::PreviewPane::Shown::kText);
    QCOMPARE(ui::preview_found_file('c', 7).problem, QStringLiteral("There is no such file in the list."));
    QVERIFY(ui::preview_found_file('c', photo, 100).problem.contains(QStringLiteral("first")));

    // Choosing the folder selects its files; Keep folders and Restore dates write them so.
    form.GroupByFolder1->setChecked(true);
    form.ChooseFolder(QStringLiteral("C:\\Holiday"));
    QCOMPARE(form.ListView->selectionModel()->selectedRows().size(), 2);
    const std::string out = dir_->file("out");
    std::filesystem::create_directories(out);
    form.SameDriveCheck = [](const std::string&, char) { return false; };
    form.SaveEdit->setText(QString::fromStdString(out + "/"));
    form.KeepFoldersCheck->setChecked(true);
    QVERIFY(form.RestoreDatesCheck->isChecked());
    form.Unerase1Click();
    const std::string written = out + "/Holiday/xHOTO.JPG";
    struct stat info {};
    QCOMPARE(::stat(written.c_str(), &info), 0);
    std::string stamp;
    QCOMPARE(test::run_command("date -d '" + std::string(kOldDate) + "' +%s", &stamp), 0);
    QCOMPARE(static_cast<long long>(info.st_mtime), std::stoll(stamp));
    QVERIFY(std::filesystem::exists(out + "/Holiday/xETTER.TXT"));
    QVERIFY(form.OpenFolderBtn->isEnabled());
    QVERIFY(form.LogMemo->toPlainText().contains(QStringLiteral("Open folder")));

    // A link planted in the destination where a folder goes is never followed: the folder is
    // made beside it with a number, and nothing lands outside the destination.
    const std::string planted = dir_->file("planted"), outside = dir_->file("outside");
    std::filesystem::create_directories(planted);
    std::filesystem::create_directories(outside);
    std::filesystem::create_directory_symlink("../outside", planted + "/Holiday");
    form.ChooseFolder(QStringLiteral("C:\\Holiday"));
    form.SaveEdit->setText(QString::fromStdString(planted + "/"));
    form.Unerase1Click();
    QVERIFY(std::filesystem::is_empty(outside));
    QVERIFY(std::filesystem::exists(planted + "/Holiday (2)/xHOTO.JPG"));

    // The destination and options come back in the next window.
    form.close();
    windows = ui::create_program_windows();
    QCOMPARE(windows.MainForm->SaveEdit->text(), QString::fromStdString(planted + "/"));
    QVERIFY(windows.MainForm->KeepFoldersCheck->isChecked());
  }
};

QTEST_MAIN(FindPreviewTest)
#include "find_preview_test.moc"
