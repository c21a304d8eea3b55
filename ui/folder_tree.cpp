// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/folder_tree.h"

#include <QHash>
#include <QHeaderView>

#include "core/found_files.h"

namespace pyralis::ui {

namespace {

constexpr int kPathRole = Qt::UserRole;
constexpr int kCountRole = Qt::UserRole + 1;

// A folder whose name could not be read back ("?"): its record is gone or reused.
bool name_lost(const QString& part) {
  return part == QStringLiteral("?");
}

}  // namespace

FolderTree::FolderTree(QWidget* parent) : QTreeWidget(parent) {
  setObjectName(QStringLiteral("FolderTree"));
  setHeaderHidden(true);
  setUniformRowHeights(true);
  connect(this, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item) {
    if (item) emit FolderChosen(item->data(0, kPathRole).toString());
  });
  connect(this, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem* item) {
    if (item) emit FolderChosen(item->data(0, kPathRole).toString());
  });
}

void FolderTree::Fill() {
  clear();
  auto* all = new QTreeWidgetItem(this, QStringList(QStringLiteral("All folders")));
  all->setData(0, kPathRole, QString());
  QHash<QString, QTreeWidgetItem*> items;
  for (int32_t i = 0; i < FoundFiles.Count(); ++i) {
    const QString path = QString::fromStdString(FoundFiles[i].Path);
    const QStringList parts = path.split(QLatin1Char('\\'), Qt::SkipEmptyParts);
    QTreeWidgetItem* parent = all;
    QString prefix;
    for (const QString& part : parts) {
      prefix = prefix.isEmpty() ? part : prefix + QLatin1Char('\\') + part;
      QTreeWidgetItem*& item = items[prefix];
      if (item == nullptr) {
        item = new QTreeWidgetItem(parent);
        item->setData(0, kPathRole, prefix);
        if (name_lost(part)) {
          QFont italic = item->font(0);
          italic.setItalic(true);
          item->setFont(0, italic);
          item->setToolTip(0, QStringLiteral("Deleted folder: its name is lost"));
        }
      }
      item->setData(0, kCountRole, item->data(0, kCountRole).toInt() + 1);
      parent = item;
    }
  }
  all->setData(0, kCountRole, FoundFiles.Count());
  for (auto it = items.begin(); it != items.end(); ++it) {
    const QString part = it.key().section(QLatin1Char('\\'), -1);
    const QString name = name_lost(part) ? QStringLiteral("? (deleted folder)") : part;
    it.value()->setText(0, QStringLiteral("%1 (%2)").arg(name).arg(it.value()->data(0, kCountRole).toInt()));
  }
  all->setText(0, QStringLiteral("All folders (%1)").arg(FoundFiles.Count()));
  sortItems(0, Qt::AscendingOrder);
  expandToDepth(1);
}

QTreeWidgetItem* FolderTree::Find(const QString& path) const {
  QList<QTreeWidgetItem*> pending{topLevelItem(0)};
  while (!pending.isEmpty()) {
    QTreeWidgetItem* item = pending.takeLast();
    if (item == nullptr) continue;
    if (item->data(0, kPathRole).toString() == path) return item;
    for (int c = 0; c < item->childCount(); ++c) pending.append(item->child(c));
  }
  return nullptr;
}

}  // namespace pyralis::ui
