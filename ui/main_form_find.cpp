// SPDX-License-Identifier: GPL-3.0-or-later
// The main window's filter bar, the files count that follows it, and the list header's
// column menu.
#include <QHeaderView>
#include <QMenu>

#include "ui/main_form.h"

namespace pyralis::ui {

QWidget* TMainForm::BuildFindBar() {
  FindBar = new FilterBar;
  connect(FindBar, &FilterBar::Changed, this, &TMainForm::ApplyFilter);
  return FindBar;
}

void TMainForm::ApplyFilter(const FileFilter& filter) {
  filter_->SetFilter(filter);
  ShowFilesCount();
}

void TMainForm::ShowFilesCount() {
  const int total = model_->rowCount();
  StatusPanels[1]->setText(filter_->Filter().Active()
                               ? QStringLiteral("Files: %1 / %2").arg(filter_->rowCount()).arg(total)
                               : QStringLiteral("Files: %1").arg(total));
}

void TMainForm::ShowColumnsMenu(const QPoint& at) {
  QHeaderView* header = ListView->header();
  QMenu menu(this);
  // "File" always stays.
  for (int c = 1; c < kListColumns; ++c) {
    QAction* action = menu.addAction(FoundFilesModel::Caption(c));
    action->setCheckable(true);
    action->setChecked(!header->isSectionHidden(c));
    connect(action, &QAction::toggled, this, [this, header, c](bool shown) {
      header->setSectionHidden(c, !shown);
      if (shown && header->sectionSize(c) < 40) header->resizeSection(c, 80);
      FitFileColumn();
    });
  }
  menu.exec(header->mapToGlobal(at));
}

}  // namespace pyralis::ui
