// pyralis [image-or-device ...]: the desktop program. The given image files and block devices
// become drives from C: on, then the machine's own FAT and NTFS volumes follow; drive C is
// selected at start. The desktop entry hands dropped or opened files over the same way (%F).
#include <QApplication>
#include <string>
#include <vector>

#include "platform/drive_table.h"
#include "ui/drive_sources.h"
#include "ui/main_form.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  application.setOrganizationName(QStringLiteral("pyralis"));
  application.setApplicationName(QStringLiteral("Pyralis"));

  std::vector<std::string> sources;
  for (const QString& argument : application.arguments().mid(1))
    sources.push_back(argument.toStdString());
  pyralis::platform::attach_sources(sources);
  // The volumes udisks2 lists, described the way the desktop names them; without the daemon,
  // the machine's block devices as the drive table finds them.
  if (!pyralis::ui::attach_udisks_volumes()) pyralis::platform::attach_machine_volumes();

  // Main window, about box, scan dialog, recovery dialog, in that order.
  pyralis::ui::TProgramWindows windows = pyralis::ui::create_program_windows();
  windows.MainForm->show();

  return application.exec();
}
