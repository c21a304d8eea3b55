// SPDX-License-Identifier: GPL-3.0-or-later
// TMainForm: the program's main window. Drive tree on the left, the found-files list with
// the maker's notice above it, destination folder and log below; every command starts here.
#pragma once

#include <QAction>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QStackedWidget>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "drivers/drivers.h"
#include "ui/found_files_filter.h"
#include "ui/found_files_model.h"
#include "ui/link_label.h"
#include "ui/version_info.h"

namespace pyralis::ui {

class ContentChecker;
class FolderTree;
class GalleryView;
class ThumbnailLoader;
class PreviewPane;
class TAboutBox;
class TSearchForm;
class TWaitForm;
class QtEngineWindow;

class TMainForm : public QMainWindow {
  Q_OBJECT

 public:
  explicit TMainForm(QWidget* parent = nullptr);
  ~TMainForm() override;

  // The dialogs made after the main window; the engines reach the scan dialog, the status
  // bar and the log from here on.
  void AttachDialogs(TAboutBox* about_box, TSearchForm* search_form, TWaitForm* wait_form);

  const TVersionInfoReader& VersionReader() const { return *version_reader_; }
  FoundFilesModel& Model() { return *model_; }
  // The rows the list shows: the catalogue through the filter bar's filter.
  FoundFilesFilter& Filter() { return *filter_; }
  // True while Scan or Unerase runs.
  bool Busy() const { return busy_; }
  // The drive the last Scan read (lower case), 0 before the first scan.
  char ScannedDrive() const { return scanned_drive_; }
  // Appends one line to LogMemo.
  void Log(const QString& line);
  // What the engines report to, from the worker that runs Scan and Unerase.
  QtEngineWindow* EngineAdapter() { return engine_window_.get(); }

  // Replaceable for tests: whether a destination lies on the scanned drive, and the
  // Yes/No question asked then.
  std::function<bool(const std::string& folder, char letter)> SameDriveCheck;
  std::function<QMessageBox::StandardButton(const QString& question)> AskYesNo;
  // Run by Scan before it starts; false stops it (a drive that could not be opened).
  std::function<bool(char letter)> BeforeScan;
  // The file chooser of Save scan / Open scan (tests answer it); empty = cancelled.
  std::function<QString(bool save)> AskScanFile;
  // Fills the tree again from the drive table, keeping the chosen drive when it is still there.
  void RefreshDriveTree();
  void SelectDriveNode(char letter);

  QToolBar* MainToolBar;
  QToolButton* ToolButton1;
  QToolButton* ToolButton2;
  QToolButton* ToolButton4;
  QLabel* StatusPanels[2];
  // The content check's progress and its Stop, in the status bar while it runs.
  QLabel* ContentLabel;
  QToolButton* ContentStopBtn;
  ContentChecker* Checker;
  QSplitter* Splitter;
  QWidget* LeftPanel;
  QTreeWidget* DriveTreeView;
  QWidget* RightPanel;
  QWidget* AdvPanel;
  QLabel* StaticText2;
  QLabel* StaticText4;
  QLabel* StaticText5;
  TLinkLabel* StaticText3;
  QLabel* StaticText6;
  TLinkLabel* StaticText7;
  FilterBar* FindBar;
  QTreeView* ListView;
  QSplitter* ListSplitter;
  FolderTree* FolderTree1;
  PreviewPane* Preview1;
  QAction* Preview2;
  QAction* GroupByFolder1;
  // The gallery: the list's rows as thumbnails, in place of the list (View > Thumbnails),
  // with the list's selection.
  QStackedWidget* ListPages;
  GalleryView* Gallery;
  ThumbnailLoader* Thumbnails;
  QAction* Thumbnails1;
  QAction* SortByDateTaken1;
  // View > "Group by date taken": the gallery's tiles under a header per day (remembered).
  QAction* GroupByDate1;
  QCheckBox* KeepFoldersCheck;
  QCheckBox* RestoreDatesCheck;
  QPushButton* OpenFolderBtn;
  QWidget* BottomPanel;
  QLabel* StaticText1;
  QLineEdit* SaveEdit;
  QPushButton* BrowseBitBtn;
  QPlainTextEdit* LogMemo;
  QAction* Scan1;
  // Deep scan: the whole volume besides its tree; Search by content adds carving to both
  // scans. Save scan / Open scan keep a scan's catalogue in a file.
  QAction* DeepScan1;
  QAction* SearchByContent1;
  QAction* SaveScan1;
  QAction* OpenScan1;
  QAction* Unerase1;
  QAction* Exit1;
  QAction* ContensIndex1;
  QAction* GotoQuorelsite1;
  QAction* About1;
  QMenu* PopupMenu1;
  QAction* Unerase2;

 public slots:
  void DriveTreeViewChange(QTreeWidgetItem* node);
  void BrowseBitBtnClick();
  void Scan1Click();
  void DeepScan1Click();
  void SaveScan1Click();
  void OpenScan1Click();
  void Unerase1Click();
  void ListViewSelectItem();
  void ListViewColumnClick(int column);
  void Exit1Click();
  void About1Click();
  void ContensIndex1Click();
  void GotoQuorelsite1Click();
  void StaticText3Click();
  void StaticText7Click();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  class BusyScope;

  void FormCreate();
  void BuildMenus();
  void BuildToolBar();
  void BuildStatusBar();
  QWidget* BuildLeftPanel();
  QWidget* BuildAdvPanel();
  QWidget* BuildListView();
  QWidget* BuildBottomPanel();
  void FillDriveTree();
  // The rows of FoundFiles that the list shows now, top to bottom.
  std::vector<int> VisibleRecords() const;
  void StartContentCheck(char letter);
  void SetUneraseEnabled(bool enabled);
  // Column 0 takes the width the other shown columns leave, never less than 100 pixels, so
  // that Status, Size, the dates and Content stay in view; Path gives up to 5/8 of its width
  // for a long name, and to keep File at its floor up to 3/4, then Date created up to half.
  // Nothing once the user has dragged a column's edge.
  void FitFileColumn();

 public:
  bool ColumnsDragged() const { return columns_dragged_; }

 private:
  // The drive tree as wide as its longest caption up to the device and size in brackets
  // ("C:\ Vendor Model — LABEL"), within 30 % of the window and what the list leaves at its
  // narrowest; nothing once the user has dragged the divider (or the remembered divider is
  // restored).
  void FitDriveTree();
  // The filter bar and what it drives (main_form_find.cpp).
  QWidget* BuildFindBar();
  void ApplyFilter(const FileFilter& filter);
  void ShowFilesCount();
  // The list header's menu: the columns to show.
  void ShowColumnsMenu(const QPoint& at);
  // The list with the folder tree before it and the preview after it, and the View menu
  // that shows them (main_form_views.cpp).
  QWidget* BuildListArea();
  void BuildViewMenu();
 public:
  // Reads the current row into the preview pane (shown by then).
  void PreviewCurrent();
  // The list or the gallery, whichever is shown.
  QAbstractItemView* FilesView() const;
  // Groups the gallery by the days the rows have now (or ends that), keeping the current
  // tile in view.
  void RegroupGallery();
  // Shows only the files of `path` (all for an empty path) and selects them.
  void ChooseFolder(const QString& path);
  // Where the window, its splitters, columns and the destination were left (QSettings).
  void RestoreSettings();
  void SaveSettings() const;

 private:
  // The destination row's options and the folder the last Unerase wrote to
  // (main_form_options.cpp).
  void AddUneraseOptions(QHBoxLayout* row);

 public:
  // The destination as typed or chosen, made ready for Unerase: "~/" stands for the home
  // folder; a missing folder is made after asking; a file, a refused folder or one that
  // cannot be written gives one log line and an empty result.
  QString CheckDestination();

 private:
  void OfferOpenFolder(const QString& folder);
  void OpenFolderClick();

  TVersionInfoReader* version_reader_;
  FoundFilesModel* model_;
  FoundFilesFilter* filter_;
  TAboutBox* about_box_ = nullptr;
  TSearchForm* search_form_ = nullptr;
  TWaitForm* wait_form_ = nullptr;
  std::unique_ptr<QtEngineWindow> engine_window_;
  bool busy_ = false;
  bool close_requested_ = false;
  char scanned_drive_ = 0;
  QString last_destination_;
  // The user has sized the columns or moved the tree's divider: those widths win.
  bool columns_dragged_ = false;
  bool divider_dragged_ = false;
  ScanOptions scan_options_;
  int path_width_ = 200;
  int created_width_ = 105;
};

// The log's closing line of an Unerase: "Recovered 17,400 of 17,400 files (29.8 MB) into
// /media/backup/", with ", N partial" and ", N failed" when there are any.
QString recovery_summary(int complete, int chosen, int64_t bytes, int partial, int failed,
                         const QString& folder);

// The program's four windows, made in start-up order: main window, about box, scan dialog,
// recovery dialog. The dialogs belong to the main window.
struct TProgramWindows {
  std::unique_ptr<TMainForm> MainForm;
  TAboutBox* AboutBox = nullptr;
  TSearchForm* SearchForm = nullptr;
  TWaitForm* WaitForm = nullptr;
};
TProgramWindows create_program_windows();

}  // namespace pyralis::ui
