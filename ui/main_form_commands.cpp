// The long commands of the main window: Scan and Unerase. Both run on the user-interface
// thread while the engines pump events, so both hold the busy flag: while it is set, Scan,
// Unerase, column clicks and drive changes do nothing, and closing the window only stops the
// command and closes once it has unwound.
#include <QCloseEvent>
#include <QHeaderView>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cctype>
#include <exception>

#include "core/drivers/drivers.h"
#include "core/found_files.h"
#include "core/process_state.h"
#include "core/recovery_command.h"
#include "ntfs/ntfs_engine.h"
#include "ui/main_form.h"
#include "ui/search_form.h"
#include "ui/wait_form.h"

namespace pyralis::ui {

namespace {

const QString kChooseDrive =
    QStringLiteral("No drive is chosen: choose a drive in the tree first.");

QString drive_root(char letter) {
  return QStringLiteral("%1:\\").arg(
      QLatin1Char(static_cast<char>(std::toupper(static_cast<unsigned char>(letter)))));
}

QString error_text(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return QString::fromStdString(e.what());
  } catch (...) {
    return QStringLiteral("unknown error");
  }
}

}  // namespace

class TMainForm::BusyScope {
 public:
  explicit BusyScope(TMainForm& form) : form_(form) { form_.busy_ = true; }
  ~BusyScope() {
    form_.busy_ = false;
    if (form_.close_requested_) QTimer::singleShot(0, &form_, &QWidget::close);
  }

 private:
  TMainForm& form_;
};

void TMainForm::Scan1Click() {
  if (busy_ || search_form_ == nullptr) return;
  if (SelectedDrive == 0) {
    Log(kChooseDrive);
    return;
  }
  BusyScope busy(*this);
  const char letter = SelectedDrive;
  scanned_drive_ = letter;

  SetUneraseEnabled(false);
  LogMemo->clear();
  SortToggle.fill(false);
  model_->ClearMarks();

  ScanStartTime = std::chrono::steady_clock::now();

  search_form_->Reset();
  search_form_->show();
  search_form_->repaint();

  // Rows are held back from painting until the scan has ended.
  ListView->setUpdatesEnabled(false);
  model_->SetRowCount(0);

  FoundFiles.clear();
  ntfs_clear_name_cache();

  QThread::msleep(50);
  Log(QStringLiteral("Scan ") + drive_root(letter) + QStringLiteral(" ..."));

  std::exception_ptr error;
  try {
    scan_drive(letter);
  } catch (...) {
    error = std::current_exception();
  }
  if (error)
    Log(QStringLiteral("Scan of %1 ended by an error: %2")
            .arg(drive_root(letter), error_text(error)));
  else
    Log(ScanActive ? QStringLiteral("End scan") : QStringLiteral("Process interrupted"));

  model_->SetRowCount(FoundFiles.Count());
  file_column_narrowing_ += 15;
  FitFileColumn();

  ListView->setUpdatesEnabled(true);
  search_form_->hide();
}

void TMainForm::Unerase1Click() {
  if (busy_ || wait_form_ == nullptr) return;
  // The drive that was scanned, not whatever the tree shows now.
  const char letter = scanned_drive_ ? scanned_drive_ : SelectedDrive;
  if (letter == 0) {
    Log(kChooseDrive);
    return;
  }
  const std::string folder = SaveEdit->text().toStdString();
  const bool same_drive = SameDriveCheck && SameDriveCheck(folder, letter);
  if (same_drive) {
    const QString question = QStringLiteral("We don't recommend you saving file(s) to drive ") +
                             drive_root(letter) + QStringLiteral(". Do you want to proceed?");
    if (AskYesNo(question) == QMessageBox::No) return;
  }
  BusyScope busy(*this);
  // The selected rows are one command: the drive is opened once and its tables are loaded
  // once, unless the files go onto the scanned drive itself and change those tables.
  const RecoveryCommand command(!same_drive);

  RecoveryActive = true;
  wait_form_->show();
  wait_form_->repaint();
  QThread::msleep(10);

  QModelIndexList selected = ListView->selectionModel()->selectedRows();
  std::sort(selected.begin(), selected.end(),
            [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
  for (const QModelIndex& row : selected) {
    int result = 0;
    try {
      result = undelete_found_file(letter, row.row(), folder);
    } catch (...) {
      Log(QStringLiteral("Could not recover %1: %2")
              .arg(QString::fromStdString(FoundFiles[row.row()].Name),
                   error_text(std::current_exception())));
    }
    if (result > 0)
      ListView->selectionModel()->select(row,
                                         QItemSelectionModel::Deselect | QItemSelectionModel::Rows);
  }

  RecoveryActive = false;
  wait_form_->hide();
}

void TMainForm::ListViewSelectItem() {
  // A scan empties the list; that is no choice of the user's.
  if (!busy_) SetUneraseEnabled(true);
}

void TMainForm::ListViewColumnClick(int column) {
  if (busy_) return;
  model_->SortByColumn(column);
}

void TMainForm::closeEvent(QCloseEvent* event) {
  if (busy_) {
    ScanActive = false;
    RecoveryActive = false;
    close_requested_ = true;
    event->ignore();
    return;
  }
  if (search_form_) search_form_->hide();
  if (wait_form_) wait_form_->hide();
  event->accept();
}

}  // namespace pyralis::ui
