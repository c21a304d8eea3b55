// pyralis-screenshot-tour OUT_DIR IMAGE...: opens the program's windows on the given images,
// scans drive C, and saves pictures of what a user would see: the main window at start, the
// scan dialog while it runs, the main window after the scan (sorted by size, two rows
// selected), the recovery dialog, the about box, and the whole screen at each step. Run by
// scripts/screenshots.sh under Xvfb.
#include <QApplication>
#include <QDialog>
#include <QScreen>
#include <QTimer>
#include <filesystem>

#include "platform/drive_table.h"
#include "ui/about_box.h"
#include "ui/main_form.h"
#include "ui/search_form.h"
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

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
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
    form.ListView->selectionModel()->select(
        QItemSelection(form.Model().index(0, 0), form.Model().index(1, 7)),
        QItemSelectionModel::Select | QItemSelectionModel::Rows);
    save(&form, QStringLiteral("main-after-scan"));
    QTimer::singleShot(0, windows.WaitForm,
                       [&] { save(windows.WaitForm, QStringLiteral("wait-dialog")); });
    form.Unerase1Click();
    save(&form, QStringLiteral("main-after-unerase"));
    QTimer::singleShot(300, windows.AboutBox, [&] {
      save(windows.AboutBox, QStringLiteral("about-box"));
      windows.AboutBox->accept();
    });
    form.About1Click();
    QApplication::quit();
  });
  return application.exec();
}
