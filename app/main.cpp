// pyralis [image-or-device ...]: the desktop program. The given image files and block devices
// become drives from C: on, then the machine's own FAT and NTFS volumes follow; drive C is
// selected at start.
#include <QApplication>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/drive_table.h"
#include "platform/version_text.h"
#include "ui/icons.h"
#include "ui/main_form.h"

namespace {

// The program's icon name in the icon theme, also the desktop entry's id. The same SVG is in
// the program's resources for when the theme does not have it (not installed).
constexpr const char* kIconName = "org.pyralis.Pyralis";

constexpr const char* kHelpText = R"(Usage: pyralis [OPTION]... [SOURCE]...

Finds deleted files on FAT12/16/32 and NTFS volumes (disk images or block devices) and copies
chosen ones into a folder, in a desktop window. The source is only ever read.

SOURCE is a disk image or a block device. Given sources become drives from C: on, one per
FAT or NTFS partition of an MBR or GPT partition table (or one for a bare volume), in the
order given; the machine's own FAT and NTFS volumes follow. Drive C is selected at start.

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
  application.setApplicationName(QStringLiteral("Pyralis"));
  application.setDesktopFileName(QString::fromLatin1(kIconName));
  const QString icon_name = QString::fromLatin1(kIconName);
  application.setWindowIcon(
      QIcon::fromTheme(icon_name, pyralis::ui::svg_icon(icon_name, QSize(256, 256))));

  std::vector<std::string> sources;
  bool options_ended = false;
  for (const QString& argument : application.arguments().mid(1)) {
    if (!options_ended && argument == QStringLiteral("--")) {
      options_ended = true;
      continue;
    }
    sources.push_back(argument.toStdString());
  }
  pyralis::platform::attach_sources(sources);
  pyralis::platform::attach_machine_volumes();

  // Main window, about box, scan dialog, recovery dialog, in that order.
  pyralis::ui::TProgramWindows windows = pyralis::ui::create_program_windows();
  windows.MainForm->show();

  return application.exec();
}
