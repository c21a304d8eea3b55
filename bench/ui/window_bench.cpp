// SPDX-License-Identifier: GPL-3.0-or-later
// pyralis_window_bench IMAGE DEST: the desktop program's Scan and Unerase of every found
// file, driven through the main window as a user drives it (offscreen, no dialog waits for
// an answer), on the disk image IMAGE into the folder DEST. Prints the wall seconds of each
// ("scan S", "unerase S") and the rows found; bench/ui/window-vs-cli.sh compares them with
// the command line's. Not a test.
#include <QApplication>
#include <QElapsedTimer>
#include <QItemSelectionModel>
#include <cstdio>
#include <string>

#include "core/found_files.h"
#include "platform/drive_table.h"
#include "ui/content_checker.h"
#include "ui/main_form.h"

using namespace pyralis;

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s IMAGE DEST\n", argv[0]);
    return 2;
  }
  QApplication application(argc, argv);
  platform::reset_drive_table();
  if (platform::attach_sources({argv[1]}).empty()) {
    std::fprintf(stderr, "%s: no volume\n", argv[1]);
    return 1;
  }
  ui::TProgramWindows windows = ui::create_program_windows();
  ui::TMainForm& form = *windows.MainForm;
  form.show();
  QApplication::processEvents();
  form.SameDriveCheck = [](const std::string&, char) { return false; };
  form.AskYesNo = [](const QString&) { return QMessageBox::Yes; };

  QElapsedTimer clock;
  clock.start();
  form.Scan1Click();
  const double scan = static_cast<double>(clock.nsecsElapsed()) / 1e9;
  const int rows = form.Model().rowCount();

  form.ListView->selectAll();
  form.SaveEdit->setText(QString::fromLocal8Bit(argv[2]));
  form.KeepFoldersCheck->setChecked(true);  // as `recover --with-paths`
  clock.restart();
  form.Unerase1Click();
  const double unerase = static_cast<double>(clock.nsecsElapsed()) / 1e9;
  std::printf("rows %d\nscan %.3f\nunerase %.3f\n", rows, scan, unerase);
  return 0;
}
