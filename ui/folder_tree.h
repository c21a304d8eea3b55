// SPDX-License-Identifier: GPL-3.0-or-later
// "Group by folder": the found files' folders as a tree. Each folder shows how many found
// files lie in it and below it; folders whose name the volume no longer holds are marked.
#pragma once

#include <QTreeWidget>

namespace pyralis::ui {

class FolderTree : public QTreeWidget {
  Q_OBJECT

 public:
  explicit FolderTree(QWidget* parent = nullptr);

  // Builds the tree from the catalogue's paths.
  void Fill();
  // The item of folder `path` ("C:\Letters"), nullptr when there is none.
  QTreeWidgetItem* Find(const QString& path) const;

 signals:
  // A folder was chosen; an empty path stands for every folder.
  void FolderChosen(const QString& path);
};

}  // namespace pyralis::ui
