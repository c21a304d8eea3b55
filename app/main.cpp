// pyralis [image-or-device ...]: the desktop program. The given image files and block devices
// become drives from C: on, then the machine's own FAT and NTFS volumes follow; drive C is
// selected at start. The desktop entry hands dropped or opened files over the same way (%F).
// selected at start. A GNU ddrescue mapfile beside an image ("card.img.map" or "card.map")
// is used for it: the areas it does not mark rescued read as unreadable.
#include <QApplication>
#include <string>
#include <vector>

#include "platform/drive_table.h"
#include "ui/drive_sources.h"
#include "platform/unreadable_areas.h"
#include "ui/main_form.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  application.setOrganizationName(QStringLiteral("pyralis"));
  application.setApplicationName(QStringLiteral("Pyralis"));

  std::vector<std::string> sources;
  std::vector<std::string> map_lines;
  for (const QString& argument : application.arguments().mid(1)) {
    sources.push_back(argument.toStdString());
    const std::string line = pyralis::platform::use_map_beside(sources.back());
    if (!line.empty()) map_lines.push_back(line);
  }
  pyralis::platform::attach_sources(sources);
  // The volumes udisks2 lists, described the way the desktop names them; without the daemon,
  // the machine's block devices as the drive table finds them.
  if (!pyralis::ui::attach_udisks_volumes()) pyralis::platform::attach_machine_volumes();

  // Main window, about box, scan dialog, recovery dialog, in that order.
  pyralis::ui::TProgramWindows windows = pyralis::ui::create_program_windows();
  for (const std::string& line : map_lines) windows.MainForm->Log(QString::fromStdString(line));
  windows.MainForm->show();

  return application.exec();
}
