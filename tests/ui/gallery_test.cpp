// SPDX-License-Identifier: GPL-3.0-or-later
// The gallery over a FAT volume of deleted pictures: thumbnails come from the EXIF
// thumbnail when a JPEG carries one, else from the picture scaled; foreign bytes behind a
// picture's name give the type icon with a broken mark. The list and the gallery share one
// selection, Space previews the current tile, and Sort by date taken orders by EXIF dates.
#include <QBuffer>
#include <QElapsedTimer>
#include <QImage>
#include <QSettings>
#include <QtTest>
#include <filesystem>
#include <memory>

#include "core/found_files.h"
#include "core/process_state.h"
#include "drivers/drivers.h"
#include "platform/drive_table.h"
#include "tests/support/test_files.h"
#include "ui/content_checker.h"
#include "ui/file_preview.h"
#include "ui/gallery_view.h"
#include "ui/main_form.h"
#include "ui/thumbnails.h"

using namespace pyralis;
using pyralis::test::TempDir;

namespace {

QByteArray jpeg_of(const QColor& colour, int width, int height) {
  QImage picture(width, height, QImage::Format_RGB32);
  picture.fill(colour);
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  picture.save(&buffer, "JPEG", 90);
  return bytes;
}

void put16(QByteArray& b, int at, uint16_t v) {
  b[at] = static_cast<char>(v & 0xFF);
  b[at + 1] = static_cast<char>(v >> 8);
}
void put32(QByteArray& b, int at, uint32_t v) {
  put16(b, at, static_cast<uint16_t>(v & 0xFFFF));
  put16(b, at + 2, static_cast<uint16_t>(v >> 16));
}
void entry(QByteArray& b, int at, uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
  put16(b, at, tag);
  put16(b, at + 2, type);
  put32(b, at + 4, count);
  put32(b, at + 8, value);
}

// A red 800 × 600 JPEG whose EXIF block (little-endian TIFF) gives DateTimeOriginal `taken`
// and, in its second directory, a blue 160 × 120 JPEG thumbnail.
QByteArray jpeg_with_thumbnail(const char* taken) {
  const QByteArray thumbnail = jpeg_of(QColor(0, 0, 255), 160, 120);
  QByteArray tiff(94, '\0');
  tiff[0] = 'I';
  tiff[1] = 'I';
  put16(tiff, 2, 42);
  put32(tiff, 4, 8);
  put16(tiff, 8, 1);  // IFD0: the EXIF directory; next: IFD1
  entry(tiff, 10, 0x8769, 4, 1, 26);
  put32(tiff, 22, 64);
  put16(tiff, 26, 1);  // EXIF: DateTimeOriginal
  entry(tiff, 28, 0x9003, 2, 20, 44);
  put32(tiff, 40, 0);
  tiff.replace(44, 19, taken);
  put16(tiff, 64, 2);  // IFD1: the thumbnail
  entry(tiff, 66, 0x0201, 4, 1, 94);
  entry(tiff, 78, 0x0202, 4, 1, static_cast<uint32_t>(thumbnail.size()));
  put32(tiff, 90, 0);
  const QByteArray body = QByteArray("Exif\0\0", 6) + tiff + thumbnail;
  QByteArray app1("\xFF\xE1", 2);
  app1.append(static_cast<char>((body.size() + 2) >> 8));
  app1.append(static_cast<char>((body.size() + 2) & 0xFF));
  const QByteArray main = jpeg_of(QColor(255, 0, 0), 800, 600);
  return main.left(2) + app1 + body + main.mid(2);
}

bool mostly(const QImage& image, int red, int green, int blue) {
  const QColor c = image.pixelColor(image.width() / 2, image.height() / 2);
  return std::abs(c.red() - red) < 40 && std::abs(c.green() - green) < 40 &&
         std::abs(c.blue() - blue) < 40;
}

}  // namespace

class GalleryTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<TempDir> dir_;
  std::string image_;

  int Row(const char* name) const {
    for (int i = 0; i < FoundFiles.Count(); ++i)
      if (FoundFiles[i].Name.find(name) != std::string::npos) return i;
    return -1;
  }

 private slots:
  void initTestCase() {
    QStandardPaths::setTestModeEnabled(true);
    QSettings().clear();
    dir_ = std::make_unique<TempDir>();
    if (!test::have_program("mkfs.fat") || !test::have_program("mcopy")) return;
    image_ = dir_->file("fat.img");
    QFile out(QString::fromStdString(dir_->file("thumb.jpg")));
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write(jpeg_with_thumbnail("2019:05:01 10:00:00"));
    out.close();
    QVERIFY(test::write_file(dir_->file("fake.jpg"), std::string(3000, '\x5A')));
    QVERIFY(test::write_file(dir_->file("notes.txt"), "a letter\n"));
    using test::shell_quote;
    const std::string mt = "MTOOLS_SKIP_CHECK=1 ";
    const std::string img = shell_quote(image_);
    QCOMPARE(test::run_command("mkfs.fat -C -n PHOTOS " + img + " 4096 >/dev/null 2>&1"), 0);
    const std::string files[] = {dir_->file("thumb.jpg"), test::fixture_path("filetypes/photo.jpg"),
                                 test::fixture_path("filetypes/picture.png"),
                                 dir_->file("fake.jpg"), dir_->file("notes.txt")};
    // Modified in 2004, before both EXIF dates.
    for (const std::string& file : files) {
      const std::string copy = dir_->file(std::filesystem::path(file).filename().string()) + ".old";
      QCOMPARE(test::run_command("cp " + shell_quote(file) + " " + shell_quote(copy) +
                                 " && touch -d '2004-03-05 14:07:30' " + shell_quote(copy)),
               0);
      QCOMPARE(test::run_command(mt + "mcopy -m -i " + img + " " + shell_quote(copy) + " ::/" +
                                 std::filesystem::path(file).filename().string()),
               0);
    }
    QCOMPARE(
        test::run_command(mt + "mdel -i " + img +
                          " ::/thumb.jpg ::/photo.jpg ::/picture.png ::/fake.jpg ::/notes.txt"),
        0);
  }

  void dayOfARowAndItsHeader() {
    RowFacts facts;
    QVERIFY(!ui::date_taken_day(facts));
    facts.head_date_taken = "2019-05-01 10:00:00";
    QCOMPARE(*ui::date_taken_day(facts), QDate(2019, 5, 1).toJulianDay());
    facts.content.date_taken = "2024-07-14 09:30:00";  // the check's date wins
    QCOMPARE(*ui::date_taken_day(facts), QDate(2024, 7, 14).toJulianDay());
    for (const char* bad : {"2024-02-30 10:00:00", "2024:07:14 09:30:00", "2024-07"}) {
      facts.content.date_taken = bad;
      facts.head_date_taken.clear();
      QVERIFY2(!ui::date_taken_day(facts), bad);
    }
    const qint64 day = QDate(2024, 7, 14).toJulianDay();
    QCOMPARE(ui::date_group_title(day, QLocale(QLocale::English, QLocale::UnitedKingdom)),
             QStringLiteral("14 July 2024"));
    QCOMPARE(ui::date_group_title(day, QLocale(QLocale::English, QLocale::UnitedStates)),
             QStringLiteral("July 14, 2024"));
    QCOMPARE(ui::date_group_title(day, QLocale(QLocale::German, QLocale::Germany)),
             QStringLiteral("14. Juli 2024"));
  }

  void embeddedThumbnailIsFoundInTheHead() {
    const QByteArray file = jpeg_with_thumbnail("2019:05:01 10:00:00");
    const uint64_t size = static_cast<uint64_t>(file.size());
    // The first 66 KiB hold the EXIF block: its thumbnail is decoded, never the picture.
    const ui::ThumbnailPlan plan = ui::plan_thumbnail(file.left(66 << 10), size, "a.jpg");
    QCOMPARE(plan.step, ui::ThumbnailPlan::kDecode);
    QVERIFY(plan.picture.has_value());
    QCOMPARE(file.mid(static_cast<qsizetype>(plan.picture->offset), 2), QByteArray("\xFF\xD8", 2));
    const QImage thumbnail = ui::decode_thumbnail(file, plan.picture, 128);
    QCOMPARE(thumbnail.size(), QSize(128, 96));
    QVERIFY(mostly(thumbnail, 0, 0, 255));
    QCOMPARE(plan.date_taken, std::string("2019-05-01 10:00:00"));  // EXIF writes "2019:05:01"
    // Without one the picture is read whole (when it is not yet) and decoded scaled.
    const QByteArray plain = jpeg_of(QColor(0, 200, 0), 1000, 500);
    const ui::ThumbnailPlan whole =
        ui::plan_thumbnail(plain.left(100), static_cast<uint64_t>(plain.size()), "b.jpg");
    QCOMPARE(whole.step, ui::ThumbnailPlan::kReadMore);
    QCOMPARE(whole.read, static_cast<uint64_t>(plain.size()));
    QVERIFY(whole.date_taken.empty());
    QCOMPARE(ui::decode_thumbnail(plain, std::nullopt, 100).size(), QSize(100, 50));
    // Foreign bytes behind a picture's name; a name that promises no picture.
    QVERIFY(ui::plan_thumbnail(QByteArray(64, 'Z'), 64, "c.jpg").foreign);
    QCOMPARE(ui::plan_thumbnail(QByteArray(64, 'Z'), 64, "c.txt").step, ui::ThumbnailPlan::kIcon);
    QVERIFY(!ui::plan_thumbnail(QByteArray(64, 'Z'), 64, "c.txt").foreign);
  }

  void galleryOverADeletedVolume() {
    if (image_.empty()) QSKIP("mkfs.fat / mtools missing");
    reset_process_state();
    platform::reset_drive_table();
    platform::attach_sources({image_});
    ui::TProgramWindows windows = ui::create_program_windows();
    ui::TMainForm& form = *windows.MainForm;
    form.resize(1000, 700);
    form.show();
    form.Scan1Click();
    QCOMPARE(FoundFiles.Count(), 5);
    form.Checker->Stop();

    // The thumbnails of the tiles on screen arrive without anything else asked.
    QElapsedTimer clock;
    clock.start();
    form.Thumbnails1->setChecked(true);
    QVERIFY(form.Gallery->isVisible());
    ui::ThumbnailLoader& loader = *form.Thumbnails;
    auto id = [&](const char* name) { return FoundFiles.Id(Row(name)); };
    auto settled = [&] {
      for (const char* name : {"HUMB", "HOTO", "ICTURE", "AKE", "OTES"})
        if (loader.Image(id(name)) == nullptr && !loader.HasNone(id(name))) return false;
      return true;
    };
    QTRY_VERIFY_WITH_TIMEOUT(settled(), 5000);
    qInfo("first thumbnails after %lld ms", static_cast<long long>(clock.elapsed()));
    const QImage* embedded = loader.Image(id("HUMB"));
    QVERIFY(embedded != nullptr);
    QVERIFY(mostly(*embedded, 0, 0, 255));  // the blue EXIF thumbnail, not the red picture
    QVERIFY(embedded->width() <= 160);
    QVERIFY(loader.Image(id("HOTO")) != nullptr);
    QVERIFY(loader.Image(id("ICTURE")) != nullptr);
    QVERIFY(loader.HasNone(id("AKE")) && loader.Undecodable(id("AKE")));
    QVERIFY(loader.HasNone(id("OTES")) && !loader.Undecodable(id("OTES")));
    // The thumbnail's read gave the EXIF date before any content check did.
    QVERIFY(FoundFiles.FactsOf(id("HUMB")).content.date_taken.empty());
    QCOMPARE(FoundFiles.FactsOf(id("HUMB")).head_date_taken, std::string("2019-05-01 10:00:00"));
    QVERIFY(FoundFiles.FactsOf(id("AKE")).head_date_taken.empty());

    // One selection for both views; Space on a tile previews it.
    const QModelIndex second = form.Gallery->model()->index(1, 0);
    form.Gallery->selectionModel()->select(
        second, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    form.Gallery->setCurrentIndex(second);
    form.Thumbnails1->setChecked(false);
    QVERIFY(form.ListView->isVisible());
    QCOMPARE(form.ListView->selectionModel()->selectedRows().size(), 1);
    QCOMPARE(form.ListView->currentIndex().row(), 1);
    form.Thumbnails1->setChecked(true);
    QCOMPARE(form.Gallery->currentIndex().row(), 1);
    QApplication::setActiveWindow(&form);
    form.Gallery->setFocus();
    QVERIFY(form.Gallery->hasFocus());
    QTest::keyClick(form.Gallery, Qt::Key_Space);
    QVERIFY(form.Preview1->isVisible());
    QCOMPARE(form.Preview1->InfoLabel->text().contains(
                 QString::fromStdString(FoundFiles[form.Filter().RecordRow(second)].Name)),
             true);

    // Sort by date taken: the EXIF dates, newest first, then the others by Date modified.
    for (int row = 0; row < FoundFiles.Count(); ++row) check_found_file('c', row);
    form.SortByDateTaken1->trigger();
    QVERIFY(FoundFiles[0].Name.find("HOTO") != std::string::npos);  // 2024-07-14
    QVERIFY(FoundFiles[1].Name.find("HUMB") != std::string::npos);  // 2019-05-01
    form.SortByDateTaken1->trigger();
    QVERIFY(FoundFiles[FoundFiles.Count() - 1].Name.find("HOTO") != std::string::npos);

    // Grouped by day (on by default): the newest day first again, whatever the list's
    // direction was, and the three files that give no date last.
    QVERIFY(form.GroupByDate1->isChecked());
    form.SortByDateTaken1->trigger();
    ui::GalleryView& gallery = *form.Gallery;
    const QLocale locale = gallery.locale();
    const std::vector<ui::GalleryView::Group>& groups = gallery.Groups();
    QCOMPARE(groups.size(), size_t{3});
    QCOMPARE(groups[0].title, ui::date_group_title(QDate(2024, 7, 14).toJulianDay(), locale));
    QCOMPARE(groups[1].title, ui::date_group_title(QDate(2019, 5, 1).toJulianDay(), locale));
    QCOMPARE(groups[2].title, QStringLiteral("Date unknown"));
    QCOMPARE(groups[2].count, 3);
    auto view_row = [&](const char* name) {
      for (int row = 0; row < form.Filter().rowCount(); ++row)
        if (FoundFiles[form.Filter().RecordRow(form.Filter().index(row, 0))].Name.find(name) !=
            std::string::npos)
          return form.Filter().index(row, 0);
      return QModelIndex();
    };
    // Each tile lies under its header, and a header is no tile.
    const QRect photo = gallery.visualRect(view_row("HOTO"));
    const QRect thumb = gallery.visualRect(view_row("HUMB"));
    const QRect fake = gallery.visualRect(view_row("AKE"));
    QVERIFY(photo.bottom() < thumb.top() && thumb.bottom() < fake.top());
    QVERIFY(!gallery.indexAt(QPoint(photo.center().x(), photo.top() - 4)).isValid());
    QCOMPARE(gallery.indexAt(fake.center()), view_row("AKE"));
    // Down steps from day to day; a click on a tile selects its row in the list too.
    gallery.setCurrentIndex(view_row("HOTO"));
    QTest::keyClick(&gallery, Qt::Key_Down);
    QCOMPARE(gallery.currentIndex(), view_row("HUMB"));
    QTest::keyClick(&gallery, Qt::Key_Down);
    QCOMPARE(gallery.visualRect(gallery.currentIndex()).top(),
             gallery.visualRect(view_row("AKE")).top());  // the first line of the unknown
    QTest::keyClick(&gallery, Qt::Key_Up);
    QCOMPARE(gallery.currentIndex(), view_row("HUMB"));
    // (the keys scrolled the view: the tiles are where they are now)
    QTest::mouseClick(gallery.viewport(), Qt::LeftButton, {},
                      gallery.visualRect(view_row("AKE")).center());
    QCOMPARE(form.ListView->selectionModel()->selectedRows().size(), 1);
    QCOMPARE(form.ListView->selectionModel()->selectedRows()[0].row(), view_row("AKE").row());
    gallery.scrollToTop();
    QTest::mouseClick(gallery.viewport(), Qt::LeftButton, Qt::ControlModifier,
                      gallery.visualRect(view_row("HOTO")).center());
    QCOMPARE(form.ListView->selectionModel()->selectedRows().size(), 2);
    // Off: one grid in the list's order.
    form.GroupByDate1->setChecked(false);
    QCOMPARE(gallery.Groups().size(), size_t{1});
    QVERIFY(gallery.Groups()[0].title.isEmpty());
    QCOMPARE(gallery.indexAt(gallery.visualRect(view_row("AKE")).center()), view_row("AKE"));
    form.GroupByDate1->setChecked(true);

    // A new scan forgets the thumbnails.
    form.Scan1Click();
    QVERIFY(loader.Image(id("HUMB")) == nullptr);
  }
};

QTEST_MAIN(GalleryTest)
#include "gallery_test.moc"
