// SPDX-License-Identifier: GPL-3.0-or-later
// The main window's View menu: the preview pane (also Space on a row) and the folder tree
// ("Group by folder") around the found-files list, and the gallery in its place.
#include <QHeaderView>
#include <QMenuBar>
#include <QShortcut>
#include <QTimer>

#include "core/found_files.h"
#include "core/process_state.h"
#include "ui/file_preview.h"
#include "ui/folder_tree.h"
#include "ui/gallery_view.h"
#include "ui/main_form.h"
#include "ui/thumbnails.h"

namespace pyralis::ui {

QWidget* TMainForm::BuildListArea() {
  ListSplitter = new QSplitter(Qt::Horizontal);
  ListSplitter->setObjectName(QStringLiteral("ListSplitter"));
  ListSplitter->setChildrenCollapsible(false);
  FolderTree1 = new FolderTree(ListSplitter);
  FolderTree1->hide();
  ListSplitter->addWidget(FolderTree1);
  ListPages = new QStackedWidget(ListSplitter);
  ListPages->addWidget(BuildListView());
  Thumbnails = new ThumbnailLoader(this);
  Thumbnails->Paused = [this] { return busy_; };
  Gallery = new GalleryView(*filter_, *Thumbnails, ListPages);
  Gallery->setModel(filter_);
  // One selection for both views: the gallery drops its own and takes the list's.
  QItemSelectionModel* own = Gallery->selectionModel();
  Gallery->setSelectionModel(ListView->selectionModel());
  delete own;
  ListPages->addWidget(Gallery);
  ListSplitter->addWidget(ListPages);
  // The list's menu, and what a gallery is looked through with.
  connect(Gallery, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
    QMenu menu;
    menu.addActions(PopupMenu1->actions());
    menu.addSeparator();
    menu.addAction(Preview2);
    menu.addAction(SortByDateTaken1);
    menu.addAction(GroupByDate1);
    menu.exec(Gallery->viewport()->mapToGlobal(at));
  });
  Preview1 = new PreviewPane(ListSplitter);
  Preview1->hide();
  ListSplitter->addWidget(Preview1);
  ListSplitter->setStretchFactor(1, 1);
  ListSplitter->setSizes({180, 500, 320});

  connect(FolderTree1, &FolderTree::FolderChosen, this, &TMainForm::ChooseFolder);
  connect(model_, &QAbstractItemModel::modelReset, this, [this] {
    // A new scan: the folder chosen in the last one may not be there any more.
    if (!FindBar->Current().folder.isEmpty()) FindBar->SetFolder(QString());
    if (FolderTree1->isVisible()) FolderTree1->Fill();
    Preview1->Clear();
    Thumbnails->Reset(scanned_drive_);
    RegroupGallery();
  });
  // The preview follows the current row, once the user stops moving through the list.
  auto* settle = new QTimer(this);
  settle->setSingleShot(true);
  settle->setInterval(150);
  connect(settle, &QTimer::timeout, this, &TMainForm::PreviewCurrent);
  connect(ListView->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
          [this, settle] {
            if (Preview1->isVisible()) settle->start();
          });
  // Space or Enter on a row or a tile shows it in the preview.
  for (const QKeySequence key :
       {QKeySequence(Qt::Key_Space), QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)}) {
    for (QWidget* view : {static_cast<QWidget*>(ListView), static_cast<QWidget*>(Gallery)}) {
      auto* shortcut = new QShortcut(key, view, nullptr, nullptr, Qt::WidgetShortcut);
      connect(shortcut, &QShortcut::activated, this, [this] {
        if (!Preview2->isChecked())
          Preview2->setChecked(true);
        else
          PreviewCurrent();
      });
    }
  }
  return ListSplitter;
}

void TMainForm::BuildViewMenu() {
  QMenu* view = menuBar()->addMenu(QStringLiteral("&View"));
  Preview2 = view->addAction(QStringLiteral("&Preview"));
  Preview2->setCheckable(true);
  Preview2->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_P));
  GroupByFolder1 = view->addAction(QStringLiteral("&Group by folder"));
  GroupByFolder1->setCheckable(true);
  GroupByFolder1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_G));
  Thumbnails1 = view->addAction(QStringLiteral("&Thumbnails"));
  Thumbnails1->setCheckable(true);
  Thumbnails1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
  SortByDateTaken1 = view->addAction(QStringLiteral("Sort by &date taken"));
  SortByDateTaken1->setToolTip(
      QStringLiteral("Newest first, again for oldest first; Date modified where a picture "
                     "does not say when it was taken"));
  GroupByDate1 = view->addAction(QStringLiteral("Group by date t&aken"));
  GroupByDate1->setCheckable(true);
  GroupByDate1->setToolTip(
      QStringLiteral("The thumbnails under a line per day taken; those whose date is not known "
                     "last"));
  view->addSeparator();
  QAction* find = view->addAction(QStringLiteral("&Find"));
  find->setShortcut(QKeySequence::Find);
  connect(find, &QAction::triggered, this, [this] {
    FindBar->FindEdit->setFocus();
    FindBar->FindEdit->selectAll();
  });
  connect(Preview2, &QAction::toggled, this, [this](bool on) {
    Preview1->setVisible(on);
    if (on) PreviewCurrent();
  });
  connect(Thumbnails1, &QAction::toggled, this, [this](bool on) {
    QAbstractItemView* from = FilesView();
    const bool focused = from->hasFocus();
    QAbstractItemView* to = on ? static_cast<QAbstractItemView*>(Gallery) : ListView;
    // The days learnt while the list was shown.
    if (on && GroupByDate1->isChecked()) RegroupGallery();
    ListPages->setCurrentWidget(to);
    if (to->currentIndex().isValid()) to->scrollTo(to->currentIndex());
    if (focused) to->setFocus();
  });
  connect(SortByDateTaken1, &QAction::triggered, this, [this] {
    if (busy_) return;
    if (model_->SortByColumn(kDateTakenSort)) {
      if (filter_->Filter().Active()) filter_->invalidate();
      if (FilesView()->currentIndex().isValid()) FilesView()->scrollTo(FilesView()->currentIndex());
      if (GroupByDate1->isChecked()) RegroupGallery();
    }
  });
  connect(GroupByDate1, &QAction::toggled, this, &TMainForm::RegroupGallery);
  connect(GroupByFolder1, &QAction::toggled, this, [this](bool on) {
    FolderTree1->setVisible(on);
    if (on) {
      FolderTree1->Fill();
    } else {
      FindBar->SetFolder(QString());
    }
  });
}

void TMainForm::RegroupGallery() {
  Gallery->GroupByDate(GroupByDate1->isChecked(), model_->NewestFirst());
  if (Gallery->isVisible() && Gallery->currentIndex().isValid())
    Gallery->scrollTo(Gallery->currentIndex());
}

QAbstractItemView* TMainForm::FilesView() const {
  if (Thumbnails1->isChecked()) return Gallery;
  return ListView;
}

void TMainForm::PreviewCurrent() {
  if (!Preview1->isVisible()) return;
  if (busy_) return;  // the engines are busy with the scan or Unerase
  const int record = filter_->RecordRow(FilesView()->currentIndex());
  const char letter = scanned_drive_;
  if (record < 0 || letter == 0) {
    Preview1->Clear();
    return;
  }
  busy_ = true;
  Preview1->InfoLabel->setText(QStringLiteral("Reading %1 ...")
                                   .arg(QString::fromStdString(FoundFiles[record].Name)));
  Preview1->repaint();
  const FilePreview preview = preview_found_file(letter, record);
  busy_ = false;
  Preview1->Show(record, preview);
  if (close_requested_) QTimer::singleShot(0, this, &QWidget::close);
}

void TMainForm::ChooseFolder(const QString& path) {
  if (busy_) return;
  FindBar->SetFolder(path);
  if (path.isEmpty()) return;
  FilesView()->selectAll();
  if (filter_->rowCount() > 0)
    ListView->selectionModel()->setCurrentIndex(filter_->index(0, 0),
                                                QItemSelectionModel::NoUpdate);
}

}  // namespace pyralis::ui
