// SPDX-License-Identifier: GPL-3.0-or-later
// The destination row's Unerase options (Keep folders, Restore dates), the way to the folder
// the last Unerase wrote to, and what the window remembers between runs.
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QMouseEvent>
#include <QSettings>
#include <QTextBlock>
#include <QUrl>
#include <filesystem>
#include <system_error>

#include "cli/recovery_paths.h"
#include "core/engine_window.h"
#include "core/found_files.h"
#include "ui/browse_for_folder.h"
#include "ui/main_form.h"
#include "ui/shell_open.h"

namespace pyralis::ui {

namespace {

const QString kOpenFolderLink = QStringLiteral("open-folder:");

// The log's "Open folder" line opens the folder when clicked.
class OpenFolderLinks : public QObject {
 public:
  OpenFolderLinks(QPlainTextEdit* log, std::function<void()> open)
      : QObject(log), log_(log), open_(std::move(open)) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::MouseButtonRelease) {
      const auto* click = static_cast<QMouseEvent*>(event);
      const QTextCursor at = log_->cursorForPosition(click->position().toPoint());
      if (at.charFormat().anchorHref().startsWith(kOpenFolderLink)) open_();
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  QPlainTextEdit* log_;
  std::function<void()> open_;
};

}  // namespace

void TMainForm::AddUneraseOptions(QHBoxLayout* row) {
  KeepFoldersCheck = new QCheckBox(QStringLiteral("Keep folders"), BottomPanel);
  KeepFoldersCheck->setToolTip(
      QStringLiteral("Recreate each file's folder under the destination (drive letter dropped)"));
  RestoreDatesCheck = new QCheckBox(QStringLiteral("Restore dates"), BottomPanel);
  RestoreDatesCheck->setToolTip(
      QStringLiteral("Give each recovered file the modification time the volume recorded"));
  RestoreDatesCheck->setChecked(true);
  OpenFolderBtn = new QPushButton(QStringLiteral("Open folder"), BottomPanel);
  OpenFolderBtn->setToolTip(QStringLiteral("Show the folder the last Unerase wrote to"));
  OpenFolderBtn->setEnabled(false);
  row->addWidget(KeepFoldersCheck);
  row->addWidget(RestoreDatesCheck);
  row->addWidget(OpenFolderBtn);
  connect(OpenFolderBtn, &QPushButton::clicked, this, &TMainForm::OpenFolderClick);
  LogMemo->viewport()->installEventFilter(
      new OpenFolderLinks(LogMemo, [this] { OpenFolderClick(); }));
}

QString TMainForm::CheckDestination() {
  QString text = SaveEdit->text().trimmed();
  if (text == QLatin1String("~") || text.startsWith(QLatin1String("~/")))
    text = QDir::homePath() + text.mid(1);
  if (text.isEmpty()) {
    Log(QStringLiteral("No destination: type a folder or choose one with Browse."));
    return {};
  }
  const QFileInfo info(text);
  if (!info.exists()) {
    if (AskYesNo(QStringLiteral("The folder %1 does not exist. Create it?").arg(text)) !=
        QMessageBox::Yes)
      return {};
    std::error_code error;
    std::filesystem::create_directories(text.toStdString(), error);
    if (error) {
      Log(QStringLiteral("Cannot create %1: %2")
              .arg(text, QString::fromStdString(error.message())));
      return {};
    }
  } else if (!info.isDir()) {
    Log(QStringLiteral("Cannot unerase into %1: it is a file, not a folder.").arg(text));
    return {};
  } else if (!info.isWritable()) {
    Log(QStringLiteral("Cannot unerase into %1: the folder cannot be written to.").arg(text));
    return {};
  }
  const QString folder = destination_text(QFileInfo(text).absoluteFilePath());
  SaveEdit->setText(folder);
  return folder;
}

void TMainForm::OfferOpenFolder(const QString& folder) {
  last_destination_ = folder;
  OpenFolderBtn->setEnabled(true);
  LogMemo->appendHtml(QStringLiteral("<a href=\"%1\">Open folder</a> %2")
                          .arg(kOpenFolderLink, folder.toHtmlEscaped()));
}

void TMainForm::OpenFolderClick() {
  if (!last_destination_.isEmpty() && !shell_open(QUrl::fromLocalFile(last_destination_)))
    Log(QStringLiteral("Could not open the folder: no file manager is set up; it is %1")
            .arg(last_destination_));
}

void TMainForm::RestoreSettings() {
  QSettings settings;
  const QString destination = settings.value(QStringLiteral("destination")).toString();
  if (!destination.isEmpty() && QDir(destination).exists()) SaveEdit->setText(destination);
  KeepFoldersCheck->setChecked(settings.value(QStringLiteral("keepFolders"), false).toBool());
  RestoreDatesCheck->setChecked(settings.value(QStringLiteral("restoreDates"), true).toBool());
  GroupByDate1->setChecked(settings.value(QStringLiteral("groupByDate"), true).toBool());
  restoreGeometry(settings.value(QStringLiteral("geometry")).toByteArray());
  // The divider and the column widths are only remembered once the user has set them.
  divider_dragged_ = settings.value(QStringLiteral("dividerDragged"), false).toBool();
  if (divider_dragged_)
    Splitter->restoreState(settings.value(QStringLiteral("splitter")).toByteArray());
  ListSplitter->restoreState(settings.value(QStringLiteral("listSplitter")).toByteArray());
  columns_dragged_ =
      settings.value(QStringLiteral("columnsDragged"), false).toBool() &&
      ListView->header()->restoreState(settings.value(QStringLiteral("listColumns")).toByteArray());
}

void TMainForm::SaveSettings() const {
  QSettings settings;
  settings.setValue(QStringLiteral("destination"), SaveEdit->text());
  settings.setValue(QStringLiteral("keepFolders"), KeepFoldersCheck->isChecked());
  settings.setValue(QStringLiteral("restoreDates"), RestoreDatesCheck->isChecked());
  settings.setValue(QStringLiteral("groupByDate"), GroupByDate1->isChecked());
  settings.setValue(QStringLiteral("geometry"), saveGeometry());
  settings.setValue(QStringLiteral("dividerDragged"), divider_dragged_);
  settings.setValue(QStringLiteral("splitter"), Splitter->saveState());
  settings.setValue(QStringLiteral("listSplitter"), ListSplitter->saveState());
  settings.setValue(QStringLiteral("columnsDragged"), columns_dragged_);
  settings.setValue(QStringLiteral("listColumns"), ListView->header()->saveState());
}

}  // namespace pyralis::ui
