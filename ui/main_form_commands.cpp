// SPDX-License-Identifier: GPL-3.0-or-later
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

#include "core/found_files.h"
#include "core/process_state.h"
#include "drivers/drivers.h"
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
  if (BeforeScan && !BeforeScan(SelectedDrive)) return;
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
  ScanResult result = ScanResult::kNotScanned;
  try {
    result = scan_drive(letter);
  } catch (...) {
    error = std::current_exception();
  }
  // A drive that could not be scanned has said why; that line ends the scan.
  if (error)
    Log(QStringLiteral("Scan of %1 ended by an error: %2")
            .arg(drive_root(letter), error_text(error)));
  else if (result != ScanResult::kNotScanned)
    Log(result == ScanResult::kScanned ? QStringLiteral("End scan")
                                       : QStringLiteral("Process interrupted"));

  model_->SetRowCount(FoundFiles.Count());
  FitFileColumn();
  ShowFilesCount();

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
  RestoreDates = RestoreDatesCheck->isChecked();
  int64_t bytes_total = 0, bytes_done = 0;
  for (const QModelIndex& row : selected) bytes_total += FoundFiles[filter_->RecordRow(row)].Size;
  // Only rows written completely are unselected: partial, failed and stopped rows stay
  // selected so that the user sees them (and can try them again).
  int complete = 0, written = 0, done = 0;
  bool stopped = false;
  for (const QModelIndex& row : selected) {
    RecoveryOutcome outcome;
    wait_form_->SetFileProgress(++done, static_cast<int>(selected.size()), bytes_done, bytes_total);
    bytes_done += FoundFiles[filter_->RecordRow(row)].Size;
    const std::string row_folder = RowFolder(filter_->RecordRow(row), folder);
    if (row_folder.empty()) continue;
    try {
      outcome = undelete_found_file(letter, filter_->RecordRow(row), row_folder);
    } catch (...) {
      Log(QStringLiteral("Could not recover %1: %2")
              .arg(QString::fromStdString(FoundFiles[filter_->RecordRow(row)].Name),
                   error_text(std::current_exception())));
    }
    if (outcome.complete()) {
      ++complete;
      ListView->selectionModel()->select(row,
                                         QItemSelectionModel::Deselect | QItemSelectionModel::Rows);
    }
    if (outcome.complete() || outcome.result == RecoveryResult::kPartial) ++written;
    stopped = stopped || outcome.result == RecoveryResult::kStopped;
  }
  const int chosen = static_cast<int>(selected.size());
  if (stopped)
    Log(QStringLiteral("Recovery stopped: %1 of %2 chosen files were written.")
            .arg(written)
            .arg(chosen));
  if (complete < chosen)
    Log(QStringLiteral("%1 of %2 chosen files were not recovered completely; they stay selected.")
            .arg(chosen - complete)
            .arg(chosen));

  RecoveryActive = false;
  wait_form_->hide();
  if (written > 0) OfferOpenFolder(QString::fromStdString(folder));
}

void TMainForm::ListViewSelectItem() {
  // A scan empties the list; that is no choice of the user's.
  if (!busy_) SetUneraseEnabled(true);
}

void TMainForm::ListViewColumnClick(int column) {
  if (busy_) return;
  // The catalogue itself is re-ordered (the selection follows the files); a filter then
  // picks its rows again, and the current file is brought into view.
  if (model_->SortByColumn(column)) {
    if (filter_->Filter().Active()) filter_->invalidate();
    if (ListView->currentIndex().isValid()) ListView->scrollTo(ListView->currentIndex());
  }
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
  SaveSettings();
  event->accept();
}

}  // namespace pyralis::ui
