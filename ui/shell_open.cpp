// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/shell_open.h"

#include <QDesktopServices>
#include <QFileInfo>

#include "platform/version_resource.h"

namespace pyralis::ui {

namespace {
std::function<void(const QUrl&)>& opener() {
  static std::function<void(const QUrl&)> current;
  return current;
}
}  // namespace

bool shell_open(const QUrl& url) {
  if (!opener()) return QDesktopServices::openUrl(url);
  opener()(url);
  return true;
}

void set_shell_opener(std::function<void(const QUrl&)> replacement) {
  opener() = std::move(replacement);
}

QString help_file_path() {
  QFileInfo exe(QString::fromStdString(platform::running_executable_path()));
  return exe.absolutePath() + QStringLiteral("/help.chm");
}

}  // namespace pyralis::ui
