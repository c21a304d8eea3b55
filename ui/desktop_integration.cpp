// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/desktop_integration.h"

#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>

#include "platform/version_resource.h"
#include "ui/icons.h"
#include "ui/shell_open.h"

namespace pyralis::ui {

namespace {

QString program_folder() {
  return QFileInfo(QString::fromStdString(platform::running_executable_path())).absolutePath();
}

// The installation prefix: the folder above bin/.
QString prefix() {
  return QDir::cleanPath(program_folder() + QStringLiteral("/.."));
}

}  // namespace

QIcon window_icon() {
  QStringList names;
  const QString desktop_id = QGuiApplication::desktopFileName();
  if (!desktop_id.isEmpty()) names << desktop_id;
  names << QStringLiteral("pyralis");
  for (const QString& name : names)
    if (QIcon::hasThemeIcon(name)) return QIcon::fromTheme(name);
  return svg_icon(QStringLiteral("scan"), QSize(64, 64));
}

QStringList help_places() {
  QStringList places{help_file_path()};
  for (const QString& root : {prefix(), QStringLiteral("/usr"), QStringLiteral("/usr/local")}) {
    places << root + QStringLiteral("/share/doc/pyralis/README.md")
           << root + QStringLiteral("/share/man/man1/pyralis.1.gz")
           << root + QStringLiteral("/share/man/man1/pyralis.1");
  }
  // Run from a build folder: the README of its source tree.
  places << QDir::cleanPath(program_folder() + QStringLiteral("/../../../README.md"))
         << QDir::cleanPath(program_folder() + QStringLiteral("/../../README.md"));
  places.removeDuplicates();
  return places;
}

QUrl help_url() {
  for (const QString& place : help_places()) {
    if (!QFileInfo::exists(place)) continue;
    if (place.contains(QStringLiteral("/man1/"))) return QUrl(QStringLiteral("man:pyralis(1)"));
    return QUrl::fromLocalFile(place);
  }
  return {};
}

}  // namespace pyralis::ui
