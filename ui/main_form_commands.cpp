// SPDX-License-Identifier: GPL-3.0-or-later
// The long commands of the main window: Scan and Unerase. Both run on the user-interface
// thread while the engines pump events, so both hold the busy flag: while it is set, Scan,
// Unerase, column clicks and drive changes do nothing, and closing the window only stops the
// command and closes once it has unwound.
#include <QCloseEvent>
#include <QHeaderView>
#include <QLocale>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cctype>
#include <exception>

#include "cli/recovery_paths.h"
#include "core/engine_window.h"
#include "core/found_files.h"
#include "core/process_state.h"
#include "core/recovery_command.h"
#include "drivers/drivers.h"
#include "ntfs/ntfs_engine.h"
#include "ui/content_checker.h"
#include "ui/main_form.h"
#include "ui/qt_engine_window.h"
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

QString recovery_summary(int complete, int chosen, int64_t bytes, int partial, int failed,
                         const QString& folder) {
  const QLocale english(QLocale::English, QLocale::UnitedStates);
  const QString size =
      bytes >= 1000000
          ? english.toString(static_cast<double>(bytes) / 1e6, 'f', 1) + QStringLiteral(" MB")
          : english.toString(static_cast<double>(bytes) / 1e3, 'f', 1) + QStringLiteral(" kB");
  QString line = QStringLiteral("Recovered %1 of %2 files (%3) into %4")
                     .arg(english.toString(complete), english.toString(chosen), size, folder);
  if (partial > 0) line += QStringLiteral(", %1 partial").arg(english.toString(partial));
  if (failed > 0) line += QStringLiteral(", %1 failed").arg(english.toString(failed));
  return line;
}

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
  Checker->Stop();
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
  Log((scan_options_.deep ? QStringLiteral("Deep scan ") : QStringLiteral("Scan ")) +
      drive_root(letter) + QStringLiteral(" ..."));

  std::exception_ptr error;
  ScanResult result = ScanResult::kNotScanned;
  ScanOptions options = scan_options_;
  options.carve = SearchByContent1->isChecked();
  scan_options_ = {};
  // The engines fill FoundFiles in the worker; the list shows no rows until it has ended.
  engine_window_->RunInWorker([&] {
    try {
      result = scan_drive(letter, options);
    } catch (...) {
      error = std::current_exception();
    }
  });
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
  if (!error && result != ScanResult::kNotScanned) StartContentCheck(letter);
}

void TMainForm::DeepScan1Click() {
  if (busy_) return;
  scan_options_.deep = true;
  Scan1Click();
  scan_options_ = {};
}

void TMainForm::SaveScan1Click() {
  if (busy_) return;
  if (scanned_drive_ == 0 || model_->rowCount() == 0) {
    Log(QStringLiteral("Nothing to save: scan a drive first."));
    return;
  }
  const QString path = AskScanFile(true);
  if (path.isEmpty()) return;
  std::string error;
  if (save_scan(scanned_drive_, path.toStdString(), &error))
    Log(QStringLiteral("Saved the scan to %1").arg(path));
  else
    Log(QStringLiteral("Could not save the scan to %1: %2")
            .arg(path, QString::fromStdString(error)));
}

void TMainForm::OpenScan1Click() {
  if (busy_) return;
  if (SelectedDrive == 0) {
    Log(kChooseDrive);
    return;
  }
  const QString path = AskScanFile(false);
  if (path.isEmpty()) return;
  const char letter = SelectedDrive;
  Checker->Stop();
  // The list lets go of the catalogue while it is read; on failure it is as it was.
  const int rows = model_->rowCount();
  model_->SetRowCount(0);
  std::string error;
  if (open_scan(letter, path.toStdString(), &error)) {
    scanned_drive_ = letter;
    SortToggle.fill(false);
    model_->ClearMarks();
    model_->SetRowCount(FoundFiles.Count());
    Log(QStringLiteral("Opened the scan %1 for %2: %3 files")
            .arg(path, drive_root(letter))
            .arg(FoundFiles.Count()));
  } else {
    model_->SetRowCount(rows);
    Log(QStringLiteral("Could not open the scan %1: %2").arg(path, QString::fromStdString(error)));
  }
  FitFileColumn();
  ShowFilesCount();
}

void TMainForm::Unerase1Click() {
  if (busy_ || wait_form_ == nullptr) return;
  // The drive that was scanned, not whatever the tree shows now.
  const char letter = scanned_drive_ ? scanned_drive_ : SelectedDrive;
  if (letter == 0) {
    Log(kChooseDrive);
    return;
  }
  const QString destination = CheckDestination();
  if (destination.isEmpty()) return;
  const std::string folder = destination.toStdString();
  const bool same_drive = SameDriveCheck && SameDriveCheck(folder, letter);
  if (same_drive) {
    const QString question = QStringLiteral("We don't recommend you saving file(s) to drive ") +
                             drive_root(letter) + QStringLiteral(". Do you want to proceed?");
    if (AskYesNo(question) == QMessageBox::No) return;
  }
  Checker->Stop();
  BusyScope busy(*this);
  // The selected rows are one command: the drive is opened once and its tables are loaded
  // once, unless the files go onto the scanned drive itself and change those tables.
  const RecoveryCommand command(!same_drive);

  RecoveryActive = true;
  wait_form_->show();
  wait_form_->repaint();

  QModelIndexList selected = ListView->selectionModel()->selectedRows();
  std::sort(selected.begin(), selected.end(),
            [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
  // The rows as files (records) and as places in the list, fixed before the worker starts:
  // sorting is refused while it runs, and the selection may move under the user's hands.
  std::vector<int> records;
  std::vector<QPersistentModelIndex> places;
  for (const QModelIndex& row : selected) {
    records.push_back(filter_->RecordRow(row));
    places.emplace_back(row);
  }
  RestoreDates = RestoreDatesCheck->isChecked();
  const bool keep_folders = KeepFoldersCheck->isChecked();
  int64_t bytes_total = 0;
  for (int record : records) bytes_total += FoundFiles[record].Size;
  const int chosen = static_cast<int>(records.size());
  std::atomic<int> done{0};
  std::atomic<int64_t> bytes_done{0};
  engine_window_->OnFlush = [&] {
    wait_form_->SetFileProgress(std::min(done.load() + 1, chosen), chosen, bytes_done.load(),
                                bytes_total);
  };
  // Only rows written completely are unselected: partial, failed and stopped rows stay
  // selected so that the user sees them (and can try them again).
  std::vector<RecoveryOutcome> outcomes(records.size());
  engine_window_->RunInWorker([&] {
    // The selected rows are one command: the drive is opened once and its tables are
    // loaded once, unless the files go onto the scanned drive itself and change those tables.
    // Files and their folders are made through descriptors of the destination, never
    // through a symbolic link planted in it: nothing lands outside the destination.
    RecoveryCommand command(!same_drive);
    cli::FolderMaker folders(command);
    std::string why;
    const bool opened = folders.open_root(folder, &why);
    if (!opened) Window().LogLine("Cannot write into " + folder + ": " + why);
    for (size_t i = 0; opened && i < records.size(); ++i) {
      const FoundFileRecord& file = FoundFiles[records[i]];
      const std::string row_folder = folders.folder_for(file.Path, keep_folders, &why);
      if (row_folder.empty())
        Window().LogLine("Cannot create " + cli::engine_folder(folder, file.Path, keep_folders) +
                         ": " + why);
      if (!row_folder.empty()) {
        try {
          outcomes[i] = undelete_found_file(letter, records[i], row_folder);
        } catch (...) {
          Window().LogLine("Could not recover " + file.Name + ": " +
                           error_text(std::current_exception()).toStdString());
        }
      }
      bytes_done += file.Size;
      ++done;
      if (outcomes[i].result == RecoveryResult::kStopped) {
        // Stop: the rows after this one are not tried.
        for (size_t j = i + 1; j < records.size(); ++j)
          outcomes[j].result = RecoveryResult::kStopped;
        break;
      }
    }
  });
  engine_window_->OnFlush = nullptr;

  int complete = 0, partial = 0, failed = 0, written = 0;
  int64_t complete_bytes = 0;
  bool stopped = false;
  // The rows written completely, unselected in one step (runs of neighbours as one range):
  // a selection change per row would cost a repaint per row.
  QItemSelection whole;
  for (size_t i = 0; i < outcomes.size(); ++i) {
    const RecoveryOutcome& outcome = outcomes[i];
    if (outcome.complete()) {
      ++complete;
      complete_bytes += FoundFiles[records[i]].Size;
      if (places[i].isValid()) {
        const QModelIndex place(places[i]);
        if (!whole.isEmpty() && whole.last().bottom() + 1 == place.row() &&
            whole.last().parent() == place.parent())
          whole.last() = QItemSelectionRange(whole.last().topLeft(), place);
        else
          whole.select(place, place);
      }
    } else if (outcome.result == RecoveryResult::kPartial) {
      ++partial;
    } else if (outcome.result == RecoveryResult::kStopped) {
      stopped = true;
    } else {
      ++failed;
    }
    if (outcome.complete() || outcome.result == RecoveryResult::kPartial) ++written;
  }
  if (!whole.isEmpty())
    ListView->selectionModel()->select(whole,
                                       QItemSelectionModel::Deselect | QItemSelectionModel::Rows);
  Log(recovery_summary(complete, chosen, complete_bytes, partial, failed, destination));
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
    if (GroupByDate1->isChecked()) RegroupGallery();  // the days' order, oldest or newest first
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
