// SPDX-License-Identifier: GPL-3.0-or-later
// pyralis [image-or-device ...]: the desktop program. The given image files and block devices
// become drives from C: on, then the machine's own FAT and NTFS volumes follow; drive C is
// selected at start. The desktop entry hands files opened from a file manager over the same
// way (%F). A GNU ddrescue mapfile beside an image ("card.img.map" or "card.map") is used for
// it: the areas it does not mark rescued read as unreadable.
#include <QApplication>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/drive_table.h"
#include "platform/unreadable_areas.h"
#include "platform/version_text.h"
#include "ui/drive_sources.h"
#include "ui/icons.h"
#include "ui/main_form.h"

namespace {

// The program's icon name in the icon theme, also the desktop entry's id. The same SVG is in
// the program's resources for when the theme does not have it (not installed).
constexpr const char* kIconName = "org.pyralis.Pyralis";

constexpr const char* kHelpText = R"(Usage: pyralis [OPTION]... [SOURCE]...

Finds deleted files on FAT12/16/32, exFAT and NTFS volumes (disk images or block devices)
and copies chosen ones into a folder, in a desktop window. The source is only ever read.

SOURCE is a disk image or a block device. Given sources become drives from C: on, one per
FAT, exFAT or NTFS partition of an MBR or GPT partition table (or one for a bare volume), in
the order given; then the volumes udisks2 lists (USB sticks and SD cards the desktop knows,
opened through udisks2 with your password when you may not read them yourself), or without
udisks2 the machine's own such volumes. Drive C is selected at start. A GNU ddrescue mapfile
beside an image (IMAGE.map, or the image's name with .map for its extension) is used with it:
the areas it does not mark finished read as unreadable. More images and devices can be
added with File > Open image or device (Ctrl+O) or by dropping them onto the window.

Options:
  -h, --help       show this text and exit
  -V, --version    show the program's version and licence and exit
  --               end of options: every argument after it is a SOURCE

Qt's own options (for example -platform NAME or -style NAME) are also accepted.
)";

}  // namespace

int main(int argc, char** argv) {
  // --help and --version are answered before the window system is touched, so that they
  // also work without a display.
  for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
      std::fputs(kHelpText, stdout);
      return 0;
    }
    if (!std::strcmp(argv[i], "--version") || !std::strcmp(argv[i], "-V")) {
      std::fputs(pyralis::platform::version_text("pyralis").c_str(), stdout);
      return 0;
    }
  }

  QApplication application(argc, argv);
  application.setOrganizationName(QStringLiteral("pyralis"));
  application.setApplicationName(QStringLiteral("Pyralis"));
  application.setDesktopFileName(QString::fromLatin1(kIconName));
  const QString icon_name = QString::fromLatin1(kIconName);
  application.setWindowIcon(
      QIcon::fromTheme(icon_name, pyralis::ui::svg_icon(icon_name, QSize(256, 256))));

  std::vector<std::string> sources;
  std::vector<std::string> map_lines;
  bool options_ended = false;
  for (const QString& argument : application.arguments().mid(1)) {
    if (!options_ended && argument == QStringLiteral("--")) {
      options_ended = true;
      continue;
    }
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
