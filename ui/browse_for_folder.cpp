// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/browse_for_folder.h"

#include <QApplication>
#include <QFileDialog>

namespace pyralis::ui {

bool browse_for_folder(const QString& title, const QString& initial_path, QString& chosen) {
  QString folder = QFileDialog::getExistingDirectory(QApplication::activeWindow(), title,
                                                     initial_path, QFileDialog::ShowDirsOnly);
  if (folder.isEmpty()) return false;
  chosen = folder;
  return true;
}

QString destination_text(const QString& folder) {
  QString text = folder + QLatin1Char('/');
  while (text.contains(QStringLiteral("//")))
    text.replace(QStringLiteral("//"), QStringLiteral("/"));
  return text;
}

}  // namespace pyralis::ui
