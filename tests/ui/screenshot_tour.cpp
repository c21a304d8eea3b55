// SPDX-License-Identifier: GPL-3.0-or-later
// pyralis-screenshot-tour OUT_DIR IMAGE...: opens the program's windows on the given images,
// scans drive C, and saves pictures of what a user would see: the main window at start, the
// scan dialog while it runs, the main window after the scan (sorted by size, two rows
// selected), the filter bar narrowing the list, the preview of a picture and of a text, the
// folder tree, the recovery dialog, the about box, and the whole screen at each step; with a
// second image (drive D), the gallery of its deleted photos, alone and with the preview. With
// PYRALIS_TOUR_THEME=dark the windows use a dark Fusion palette. Run by
// scripts/screenshots.sh under Xvfb.
#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QScreen>
#include <QSettings>
#include <QStyleFactory>
#include <QTimer>
#include <filesystem>

#include "core/found_files.h"
#include "platform/drive_table.h"
#include "ui/about_box.h"
#include "ui/content_checker.h"
#include "ui/file_preview.h"
#include "ui/gallery_view.h"
#include "ui/main_form.h"
#include "ui/qt_engine_window.h"
#include "ui/search_form.h"
#include "ui/thumbnails.h"
#include "ui/wait_form.h"

namespace {

QString out_dir;

void save(QWidget* widget, const QString& name) {
  QApplication::processEvents();
  widget->grab().save(out_dir + QLatin1Char('/') + name + QStringLiteral(".png"));
  if (QScreen* screen = QApplication::primaryScreen())
    screen->grabWindow(0).save(out_dir + QStringLiteral("/screen-") + name +
                               QStringLiteral(".png"));
}

void use_dark_palette(QApplication& application) {
  application.setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
  QPalette dark;
  dark.setColor(QPalette::Window, QColor(45, 45, 48));
  dark.setColor(QPalette::WindowText, QColor(230, 230, 230));
  dark.setColor(QPalette::Base, QColor(30, 30, 32));
  dark.setColor(QPalette::AlternateBase, QColor(52, 62, 52));
  dark.setColor(QPalette::Text, QColor(230, 230, 230));
  dark.setColor(QPalette::Button, QColor(53, 53, 56));
  dark.setColor(QPalette::ButtonText, QColor(230, 230, 230));
  dark.setColor(QPalette::ToolTipBase, QColor(60, 60, 60));
  dark.setColor(QPalette::ToolTipText, QColor(230, 230, 230));
  dark.setColor(QPalette::Highlight, QColor(42, 110, 200));
  dark.setColor(QPalette::HighlightedText, Qt::white);
  dark.setColor(QPalette::Link, QColor(100, 160, 255));
  dark.setColor(QPalette::PlaceholderText, QColor(150, 150, 150));
  dark.setColor(QPalette::Disabled, QPalette::Text, QColor(120, 120, 120));
  dark.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(120, 120, 120));
  application.setPalette(dark);
}

// Makes the row of the file whose name contains `part` current.
void choose_row(pyralis::ui::TMainForm& form, const char* part) {
  const QAbstractItemModel* rows = form.ListView->model();
  for (int r = 0; r < rows->rowCount(); ++r) {
    if (rows->index(r, 0).data().toString().contains(QLatin1String(part), Qt::CaseInsensitive)) {
      form.ListView->setCurrentIndex(rows->index(r, 0));
      form.PreviewCurrent();
      return;
    }
  }
}

// The gallery over the second image (D:), once its thumbnails and content check are done.
void gallery_tour(pyralis::ui::TMainForm& form) {
  form.SelectDriveNode('d');
  form.Scan1Click();
  form.Thumbnails1->setChecked(true);
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < 3000 && (form.Thumbnails->Busy() || form.Checker->Running()))
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  QApplication::processEvents();
  const QAbstractItemModel* rows = form.Gallery->model();
  form.Gallery->setCurrentIndex(rows->index(2, 0));
  form.Gallery->selectionModel()->select(
      QItemSelection(rows->index(1, 0), rows->index(2, 0)),
      QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  form.Gallery->setFocus();
  save(&form, QStringLiteral("main-gallery"));
  form.Preview2->setChecked(true);
  QApplication::processEvents();
  save(&form, QStringLiteral("main-gallery-preview"));
  form.Preview2->setChecked(false);
  // The last tiles: a damaged photo, foreign bytes under a photo's name, a video, a PDF.
  form.Gallery->scrollToBottom();
  clock.restart();
  while (clock.elapsed() < 2000 && form.Thumbnails->Busy())
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  QApplication::processEvents();
  save(&form, QStringLiteral("main-gallery-end"));
  // The same tiles as one grid, in the list's order.
  form.GroupByDate1->setChecked(false);
  form.Gallery->scrollToTop();
  QApplication::processEvents();
  save(&form, QStringLiteral("main-gallery-ungrouped"));
  form.GroupByDate1->setChecked(true);
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  application.setOrganizationName(QStringLiteral("pyralis-tour"));
  QSettings().clear();
  if (qgetenv("PYRALIS_TOUR_THEME") == "dark") use_dark_palette(application);
  if (argc < 3) return 2;
  out_dir = QString::fromLocal8Bit(argv[1]);
  std::vector<std::string> sources(argv + 2, argv + argc);
  pyralis::platform::attach_sources(sources);
  pyralis::ui::TProgramWindows windows = pyralis::ui::create_program_windows();
  pyralis::ui::TMainForm& form = *windows.MainForm;
  form.SaveEdit->setText(out_dir + QStringLiteral("/recovered/"));
  std::filesystem::create_directories((out_dir + QStringLiteral("/recovered")).toStdString());
  form.show();

  QTimer::singleShot(800, &form, [&] {
    save(&form, QStringLiteral("main-start"));
    // The scan dialog is pictured from inside the scan, at its first message pump.
    QTimer::singleShot(0, windows.SearchForm, [&] {
      QApplication::processEvents();
      save(windows.SearchForm, QStringLiteral("search-dialog"));
    });
    form.Scan1Click();
    form.ListViewColumnClick(3);
    const QAbstractItemModel* rows = form.ListView->model();
    form.ListView->selectionModel()->select(QItemSelection(rows->index(0, 0), rows->index(1, 7)),
                                            QItemSelectionModel::Select |
                                                QItemSelectionModel::Rows);
    save(&form, QStringLiteral("main-after-scan"));
    form.FindBar->FindEdit->setText(QStringLiteral("o"));
    form.FindBar->HideBadCheck->setChecked(true);
    save(&form, QStringLiteral("main-filter"));
    form.FindBar->FindEdit->clear();
    form.FindBar->HideBadCheck->setChecked(false);
    form.Preview2->setChecked(true);
    choose_row(form, "photo");
    save(&form, QStringLiteral("main-preview-picture"));
    choose_row(form, "letter");
    save(&form, QStringLiteral("main-preview-text"));
    form.Preview2->setChecked(false);
    form.GroupByFolder1->setChecked(true);
    form.ChooseFolder(QStringLiteral("C:\\Letters"));
    save(&form, QStringLiteral("main-folders"));
    form.GroupByFolder1->setChecked(false);
    form.ListView->header()->setSectionHidden(6, false);
    form.ListView->header()->setSectionHidden(7, false);
    form.ListView->header()->resizeSection(0, 150);  // as the header menu's refit leaves it
    save(&form, QStringLiteral("main-all-columns"));
    form.ListView->header()->setSectionHidden(6, true);
    form.ListView->header()->setSectionHidden(7, true);
    // The scan dialog in the middle of a deep scan's pass over the whole volume, as the
    // engines report it.
    windows.SearchForm->Reset();
    windows.SearchForm->show();
    pyralis::ui::QtEngineWindow& engines = *form.EngineAdapter();
    engines.SetGaugeMaxValue(4000);
    engines.SetGaugeProgress(1234);
    engines.SetFilesFoundText("1873");
    engines.SetElapsedText("00:00:14");
    engines.SetReadProgress(1234000000ULL, 4000000000ULL, 85.4e6, 32.4);
    QApplication::processEvents();
    save(windows.SearchForm, QStringLiteral("deep-scan-dialog"));
    windows.SearchForm->hide();
    form.ListView->selectionModel()->select(QItemSelection(rows->index(0, 0), rows->index(1, 7)),
                                            QItemSelectionModel::ClearAndSelect |
                                                QItemSelectionModel::Rows);
    QTimer::singleShot(0, windows.WaitForm,
                       [&] { save(windows.WaitForm, QStringLiteral("wait-dialog")); });
    form.Unerase1Click();
    save(&form, QStringLiteral("main-after-unerase"));
    QTimer::singleShot(300, windows.AboutBox, [&] {
      save(windows.AboutBox, QStringLiteral("about-box"));
      windows.AboutBox->accept();
    });
    form.About1Click();
    if (sources.size() > 1) gallery_tour(form);
    QApplication::quit();
  });
  return application.exec();
}
