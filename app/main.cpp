// pyralis [image-or-device ...]: the desktop program. The given image files and block devices
// become drives from C: on, then the machine's own FAT and NTFS volumes follow; drive C is
// selected at start.
#include <QApplication>
#include <QTimer>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/drive_table.h"
#include "ui/main_form.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  application.setApplicationName(QStringLiteral("Pyralis"));

  std::vector<std::string> sources;
  for (const QString& argument : application.arguments().mid(1))
    sources.push_back(argument.toStdString());
  pyralis::platform::attach_sources(sources);
  pyralis::platform::attach_machine_volumes();

  // Main window, about box, scan dialog, recovery dialog, in that order.
  pyralis::ui::TProgramWindows windows = pyralis::ui::create_program_windows();
  windows.MainForm->show();

  // PYRALIS_SCREENSHOT=file.png saves a picture of the main window once it is shown and
  // quits: the screenshot script uses it where no screen grabber is at hand.
  if (const char* shot = std::getenv("PYRALIS_SCREENSHOT"); shot && *shot) {
    const QString path = QString::fromLocal8Bit(shot);
    QTimer::singleShot(1500, windows.MainForm.get(), [&windows, path] {
      windows.MainForm->grab().save(path);
      QApplication::quit();
    });
  }
  return application.exec();
}
