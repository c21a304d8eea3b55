// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/main_form.h"

#include <QApplication>
#include <QCompleter>
#include <QDir>
#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMenuBar>
#include <QScreen>
#include <QStatusBar>
#include <QStyle>
#include <QVBoxLayout>
#include <algorithm>
#include <cctype>

#include "core/found_files.h"
#include "core/process_state.h"
#include "platform/drive_table.h"
#include "platform/system_paths.h"
#include "rawdisk/raw_disk_access.h"
#include "ui/about_box.h"
#include "ui/browse_for_folder.h"
#include "ui/content_checker.h"
#include "ui/desktop_integration.h"
#include "ui/drive_sources.h"
#include "ui/flow_layout.h"
#include "ui/gallery_view.h"
#include "ui/icons.h"
#include "ui/qt_engine_window.h"
#include "ui/search_form.h"
#include "ui/shell_open.h"
#include "ui/wait_form.h"

namespace pyralis::ui {

namespace {

// Drive-type codes of the raw disk layer.
constexpr uint32_t kRemovable = 2;
constexpr uint32_t kRemote = 4;
constexpr uint32_t kCdRom = 5;
constexpr uint32_t kRamDisk = 6;

QLabel* bold_label(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  QFont bold = label->font();
  bold.setBold(true);
  label->setFont(bold);
  return label;
}

TLinkLabel* bold_link(const QString& text, QWidget* parent) {
  auto* label = new TLinkLabel(text, parent);
  QFont bold = label->font();
  bold.setBold(true);
  label->setFont(bold);
  QPalette colours = label->palette();
  colours.setColor(QPalette::WindowText, colours.color(QPalette::Highlight));
  label->setPalette(colours);
  return label;
}

// "C:\ disk.img [LABEL]": the letter as the tree always showed it, then which disk it is.
QString drive_caption(const platform::Drive& drive) {
  QString caption = QStringLiteral("%1:\\").arg(QLatin1Char(drive.letter));
  QString source = drive.source.block_device
                       ? QString::fromStdString(drive.source.path)
                       : QFileInfo(QString::fromStdString(drive.source.path)).fileName();
  if (drive.source.partition > 0) source += QStringLiteral(" #%1").arg(drive.source.partition);
  if (!source.isEmpty()) caption += QLatin1Char(' ') + source;
  if (drive.source.problem.empty()) {
    const std::string label = GetMediaIdentifier(drive.letter).VolumeName;
    if (!label.empty()) caption += QStringLiteral(" [%1]").arg(QString::fromStdString(label));
  }
  return caption;
}

}  // namespace

TMainForm::TMainForm(QWidget* parent) : QMainWindow(parent) {
  init_resources();
  setObjectName(QStringLiteral("MainForm"));
  setWindowTitle(QStringLiteral("Pyralis"));
  setWindowIcon(window_icon());
  resize(869, 620);
  if (QScreen* screen = QApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());

  SameDriveCheck = [](const std::string& folder, char letter) {
    return platform::folder_on_drive(folder, letter);
  };
  AskScanFile = [this](bool save) {
    const QString filter = QStringLiteral("Pyralis scans (*.pyralis-scan);;All files (*)");
    return save
               ? QFileDialog::getSaveFileName(this, QStringLiteral("Save scan"), QString(), filter)
               : QFileDialog::getOpenFileName(this, QStringLiteral("Open scan"), QString(), filter);
  };
  AskYesNo = [this](const QString& question) {
    return QMessageBox::question(this, QStringLiteral("Confirm"), question,
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
  };

  model_ = new FoundFilesModel(this);
  BuildMenus();
  BuildToolBar();
  BuildStatusBar();

  auto* main_panel = new QWidget(this);
  main_panel->setObjectName(QStringLiteral("MainPanel"));
  auto* main_layout = new QHBoxLayout(main_panel);
  main_layout->setContentsMargins(0, 0, 0, 0);
  Splitter = new QSplitter(Qt::Horizontal, main_panel);
  Splitter->setHandleWidth(1);
  Splitter->setChildrenCollapsible(false);
  Splitter->addWidget(BuildLeftPanel());

  RightPanel = new QWidget(Splitter);
  auto* right_layout = new QVBoxLayout(RightPanel);
  right_layout->setContentsMargins(0, 0, 0, 0);
  right_layout->setSpacing(0);
  auto* top_panel = new QWidget(RightPanel);
  top_panel->setObjectName(QStringLiteral("TopPanel"));
  auto* top_layout = new QVBoxLayout(top_panel);
  top_layout->setContentsMargins(0, 0, 0, 0);
  top_layout->setSpacing(0);
  top_layout->addWidget(BuildAdvPanel());
  top_layout->addWidget(BuildFindBar());
  top_layout->addWidget(BuildListArea(), 1);
  right_layout->addWidget(top_panel, 1);
  right_layout->addWidget(BuildBottomPanel());
  Splitter->addWidget(RightPanel);
  Splitter->setStretchFactor(1, 1);
  Splitter->setSizes({153, 869 - 154});
  main_layout->addWidget(Splitter);
  setCentralWidget(main_panel);

  FormCreate();
  RestoreSettings();
  FitDriveTree();
  // Keyboard: Tab goes from the drive tree through the filter bar to the list and the
  // destination row; every list and field shows where the focus is.
  setStyleSheet(
      QStringLiteral("QTreeView:focus, QTreeWidget:focus, QListView:focus, QPlainTextEdit:focus { "
                     "border: 2px solid palette(highlight); }"));
  QWidget::setTabOrder(DriveTreeView, FindBar->FindEdit);
  QWidget::setTabOrder(FindBar->SizeButton, ListView);
  QWidget::setTabOrder(ListView, Gallery);  // whichever of the two is shown
  QWidget::setTabOrder(Gallery, SaveEdit);
  QWidget::setTabOrder(SaveEdit, BrowseBitBtn);
  DriveTreeView->setFocus();
  connect(Splitter, &QSplitter::splitterMoved, this, [this] { divider_dragged_ = true; });
}

TMainForm::~TMainForm() {
  if (engine_window_) SetEngineWindow(nullptr);
}

void TMainForm::AttachDialogs(TAboutBox* about_box, TSearchForm* search_form,
                              TWaitForm* wait_form) {
  about_box_ = about_box;
  search_form_ = search_form;
  wait_form_ = wait_form;
  engine_window_ = std::make_unique<QtEngineWindow>(*search_form, *StatusPanels[1], *LogMemo);
  SetEngineWindow(engine_window_.get());
}

void TMainForm::BuildMenus() {
  QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
  Scan1 = file->addAction(svg_icon(QStringLiteral("scan")), QStringLiteral("&Scan"));
  DeepScan1 = file->addAction(svg_icon(QStringLiteral("scan")), QStringLiteral("&Deep scan"));
  DeepScan1->setToolTip(QStringLiteral(
      "Read the whole volume for folders, entries and records its tree no longer reaches"));
  SearchByContent1 = file->addAction(QStringLiteral("Search by &content"));
  SearchByContent1->setCheckable(true);
  SearchByContent1->setToolTip(
      QStringLiteral("Also find files by their own bytes (signatures), in free space"));
  Unerase1 = file->addAction(svg_icon(QStringLiteral("unerase")), QStringLiteral("&Unerase"));
  file->addSeparator();
  SaveScan1 = file->addAction(QStringLiteral("Save scan\u2026"));
  OpenScan1 = file->addAction(QStringLiteral("Open scan\u2026"));
  file->addSeparator();
  Exit1 = file->addAction(svg_icon(QStringLiteral("exit")), QStringLiteral("&Exit"));
  BuildViewMenu();
  QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
  ContensIndex1 =
      help->addAction(svg_icon(QStringLiteral("help")), QStringLiteral("Contens and index"));
  ContensIndex1->setShortcut(QKeySequence(Qt::Key_F1));
  help->addSeparator();
  GotoQuorelsite1 = help->addAction(svg_icon(QStringLiteral("web")),
                                    QStringLiteral("Go to Quorel Data Recovery site"));
  help->addSeparator();
  About1 = help->addAction(svg_icon(QStringLiteral("about")), QStringLiteral("&About Pyralis"));

  PopupMenu1 = new QMenu(this);
  Unerase2 = PopupMenu1->addAction(svg_icon(QStringLiteral("unerase")), QStringLiteral("&Unerase"));

  Scan1->setShortcuts({QKeySequence(Qt::Key_F5), QKeySequence(Qt::CTRL | Qt::Key_R)});
  DeepScan1->setShortcuts(
      {QKeySequence(Qt::SHIFT | Qt::Key_F5), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_R)});
  Unerase1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_U));
  connect(DeepScan1, &QAction::triggered, this, &TMainForm::DeepScan1Click);
  connect(SaveScan1, &QAction::triggered, this, &TMainForm::SaveScan1Click);
  connect(OpenScan1, &QAction::triggered, this, &TMainForm::OpenScan1Click);
  Exit1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  connect(Scan1, &QAction::triggered, this, &TMainForm::Scan1Click);
  connect(Unerase1, &QAction::triggered, this, &TMainForm::Unerase1Click);
  connect(Unerase2, &QAction::triggered, this, &TMainForm::Unerase1Click);
  connect(Exit1, &QAction::triggered, this, &TMainForm::Exit1Click);
  connect(ContensIndex1, &QAction::triggered, this, &TMainForm::ContensIndex1Click);
  connect(GotoQuorelsite1, &QAction::triggered, this, &TMainForm::GotoQuorelsite1Click);
  connect(About1, &QAction::triggered, this, &TMainForm::About1Click);
}

void TMainForm::BuildToolBar() {
  MainToolBar = addToolBar(QStringLiteral("MainToolBar"));
  MainToolBar->setObjectName(QStringLiteral("MainToolBar"));
  MainToolBar->setMovable(false);
  MainToolBar->setFloatable(false);
  MainToolBar->toggleViewAction()->setVisible(false);
  MainToolBar->setIconSize(QSize(32, 32));
  auto button = [this](const QString& icon, const QString& hint) {
    auto* b = new QToolButton(MainToolBar);
    b->setIcon(svg_icon(icon, QSize(32, 32)));
    b->setIconSize(QSize(32, 32));
    b->setToolTip(hint);
    b->setAutoRaise(true);
    b->setFixedSize(39, 38);
    // Reached by their menu short-cuts; the Tab chain starts at the drive tree.
    b->setFocusPolicy(Qt::NoFocus);
    MainToolBar->addWidget(b);
    return b;
  };
  ToolButton1 = button(QStringLiteral("scan"), QStringLiteral("Start scan"));
  ToolButton2 = button(QStringLiteral("unerase"), QStringLiteral("Unerase selected file(s)"));
  auto* separator = new QWidget(MainToolBar);
  separator->setFixedWidth(8);
  MainToolBar->addWidget(separator);
  ToolButton4 = button(QStringLiteral("exit"), QStringLiteral("Exit program"));
  connect(ToolButton1, &QToolButton::clicked, this, &TMainForm::Scan1Click);
  connect(ToolButton2, &QToolButton::clicked, this, &TMainForm::Unerase1Click);
  connect(ToolButton4, &QToolButton::clicked, this, &TMainForm::Exit1Click);
}

void TMainForm::BuildStatusBar() {
  QStatusBar* bar = statusBar();
  bar->setObjectName(QStringLiteral("MainStatusBar"));
  bar->setSizeGripEnabled(true);
  const QString texts[2] = {QStringLiteral("Version"), QStringLiteral("Files: 0")};
  for (int i = 0; i < 2; ++i) {
    StatusPanels[i] = new QLabel(texts[i], bar);
    StatusPanels[i]->setMinimumWidth(100);
    StatusPanels[i]->setFrameShape(QFrame::Panel);
    StatusPanels[i]->setFrameShadow(QFrame::Sunken);
    bar->addWidget(StatusPanels[i]);
  }
  ContentLabel = new QLabel(bar);
  ContentStopBtn = new QToolButton(bar);
  ContentStopBtn->setText(QStringLiteral("Stop"));
  ContentStopBtn->setToolTip(QStringLiteral("Stop checking the found files' content"));
  bar->addPermanentWidget(ContentLabel);
  bar->addPermanentWidget(ContentStopBtn);
  ContentLabel->hide();
  ContentStopBtn->hide();
  Checker = new ContentChecker(this);
  Checker->Paused = [this] { return busy_; };
  Checker->PreferredRows = [this] { return VisibleRecords(); };
  connect(ContentStopBtn, &QToolButton::clicked, Checker, &ContentChecker::Stop);
  // The list reads each verdict as it paints; a change signal for every row would make the
  // filter test all of them again at each step.
  const auto show_verdicts = [this] {
    if (filter_->Filter().intact_only)
      filter_->invalidate();
    else
      ListView->viewport()->update();
  };
  connect(Checker, &ContentChecker::Progress, this, [this, show_verdicts](int done, int total) {
    ContentLabel->setText(QStringLiteral("Checking content: %1 of %2").arg(done).arg(total));
    show_verdicts();
  });
  connect(
      Checker, &ContentChecker::DecodeProgress, this, [this, show_verdicts](int done, int total) {
        ContentLabel->setText(QStringLiteral("Decoding pictures: %1 of %2").arg(done).arg(total));
        show_verdicts();
      });
  connect(Checker, &ContentChecker::Finished, this, [this] {
    ContentLabel->hide();
    ContentStopBtn->hide();
    model_->ContentChanged(0, model_->rowCount() - 1);
    if (filter_->Filter().intact_only) filter_->invalidate();
    // The verdicts' dates: each tile under its day.
    if (GroupByDate1->isChecked()) RegroupGallery();
  });
}

void TMainForm::StartContentCheck(char letter) {
  if (FoundFiles.Count() == 0) return;
  ContentLabel->setText(QStringLiteral("Checking content ..."));
  ContentLabel->show();
  ContentStopBtn->show();
  Checker->Start(letter);
}

std::vector<int> TMainForm::VisibleRecords() const {
  if (Thumbnails1->isChecked()) return Gallery->VisibleRecords();
  std::vector<int> rows;
  const QModelIndex top = ListView->indexAt(QPoint(1, 1));
  if (!top.isValid()) return rows;
  const int height = ListView->viewport()->height();
  for (QModelIndex at = top; at.isValid(); at = ListView->indexBelow(at)) {
    if (ListView->visualRect(at).top() > height) break;
    rows.push_back(filter_->RecordRow(at));
  }
  return rows;
}

QWidget* TMainForm::BuildLeftPanel() {
  LeftPanel = new QWidget;
  LeftPanel->setObjectName(QStringLiteral("LeftPanel"));
  auto* layout = new QVBoxLayout(LeftPanel);
  layout->setContentsMargins(0, 0, 0, 0);
  DriveTreeView = new QTreeWidget(LeftPanel);
  DriveTreeView->setObjectName(QStringLiteral("DriveTreeView"));
  DriveTreeView->setHeaderHidden(true);
  DriveTreeView->setIndentation(20);
  DriveTreeView->setRootIsDecorated(false);
  DriveTreeView->setEditTriggers(QAbstractItemView::NoEditTriggers);
  DriveTreeView->setSelectionBehavior(QAbstractItemView::SelectRows);
  DriveTreeView->setSelectionMode(QAbstractItemView::SingleSelection);
  // The selection stays visible when the tree loses the focus.
  QPalette colours = DriveTreeView->palette();
  colours.setColor(QPalette::Inactive, QPalette::Highlight,
                   colours.color(QPalette::Active, QPalette::Highlight));
  colours.setColor(QPalette::Inactive, QPalette::HighlightedText,
                   colours.color(QPalette::Active, QPalette::HighlightedText));
  DriveTreeView->setPalette(colours);
  layout->addWidget(DriveTreeView);
  LeftPanel->resize(153, LeftPanel->height());
  connect(DriveTreeView, &QTreeWidget::currentItemChanged, this,
          [this](QTreeWidgetItem* node) { DriveTreeViewChange(node); });
  return LeftPanel;
}

QWidget* TMainForm::BuildAdvPanel() {
  AdvPanel = new QWidget;
  AdvPanel->setObjectName(QStringLiteral("AdvPanel"));
  AdvPanel->setMinimumHeight(57);
  AdvPanel->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Minimum);
  // Two lines of notice; where the desktop's bold font makes them wider than the list, they
  // wrap between labels rather than widen the window.
  auto* layout = new FlowLayout(AdvPanel, 4);
  layout->setContentsMargins(8, 6, 8, 6);
  StaticText2 = bold_label(QStringLiteral("Quorel Data Recovery Centre "), AdvPanel);
  QPalette red = StaticText2->palette();
  red.setColor(QPalette::WindowText, Qt::red);
  StaticText2->setPalette(red);
  StaticText4 = bold_label(
      QStringLiteral(
          "Recovery service for corrupted or damaged files (*.xls,*.mdb,*.ppt *.zip and other)"),
      AdvPanel);
  StaticText5 = bold_label(QStringLiteral("To get free recovery report go to"), AdvPanel);
  StaticText3 = bold_link(QString::fromLatin1(kWebAddress), AdvPanel);
  StaticText6 = bold_label(QStringLiteral("or send your file to"), AdvPanel);
  StaticText7 = bold_link(QString::fromLatin1(kRepairMailAddress), AdvPanel);
  layout->addWidget(StaticText2);
  layout->addWidget(StaticText4);
  layout->addLineBreak();
  for (QWidget* w : {static_cast<QWidget*>(StaticText5), static_cast<QWidget*>(StaticText3),
                     static_cast<QWidget*>(StaticText6), static_cast<QWidget*>(StaticText7)})
    layout->addWidget(w);
  connect(StaticText3, &TLinkLabel::clicked, this, &TMainForm::StaticText3Click);
  connect(StaticText7, &TLinkLabel::clicked, this, &TMainForm::StaticText7Click);
  return AdvPanel;
}

QWidget* TMainForm::BuildListView() {
  ListView = new QTreeView;
  ListView->setObjectName(QStringLiteral("ListView"));
  filter_ = new FoundFilesFilter(this);
  filter_->setSourceModel(model_);
  ListView->setModel(filter_);
  ListView->setRootIsDecorated(false);
  ListView->setItemsExpandable(false);
  ListView->setUniformRowHeights(true);
  ListView->setAllColumnsShowFocus(true);
  ListView->setSelectionMode(QAbstractItemView::ExtendedSelection);
  ListView->setSelectionBehavior(QAbstractItemView::SelectRows);
  ListView->setEditTriggers(QAbstractItemView::NoEditTriggers);
  ListView->setIconSize(QSize(10, 10));
  ListView->setContextMenuPolicy(Qt::CustomContextMenu);
  QHeaderView* header = ListView->header();
  header->setSectionsClickable(true);
  header->setSortIndicatorShown(false);
  header->setStretchLastSection(false);
  header->setMinimumSectionSize(0);
  header->setSectionsMovable(false);
  // The date columns are never narrower than a whole date in the desktop's font.
  const int date_width =
      QFontMetrics(font()).horizontalAdvance(QStringLiteral("30-Sep-2000 00:00")) + 10;
  const int status_width =
      QFontMetrics(font()).horizontalAdvance(QStringLiteral("Overwritten")) + 18;
  const int content_width =
      QFontMetrics(font()).horizontalAdvance(QStringLiteral("Damaged (at 99 %)")) + 10;
  for (int c = 1; c < kListColumns; ++c) {
    int width = FoundFilesModel::DefaultWidth(c);
    if (c == 4 || c == 5) width = std::max(width, date_width);
    if (c == 2) width = std::max(width, status_width);
    if (c == kContentColumn) width = std::max(width, content_width);
    header->resizeSection(c, width);
  }
  path_width_ = header->sectionSize(1);
  created_width_ = header->sectionSize(5);
  // A column edge dragged with the mouse: the user's widths are kept from then on.
  connect(header, &QHeaderView::sectionResized, this, [this] {
    if (QApplication::mouseButtons() & Qt::LeftButton) columns_dragged_ = true;
  });
  // Sector and Inode are hidden until the header's menu shows them.
  header->setSectionHidden(6, true);
  header->setSectionHidden(7, true);
  header->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(header, &QWidget::customContextMenuRequested, this, &TMainForm::ShowColumnsMenu);
  ListView->viewport()->installEventFilter(this);
  connect(header, &QHeaderView::sectionClicked, this, &TMainForm::ListViewColumnClick);
  connect(ListView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
          &TMainForm::ListViewSelectItem);
  connect(ListView, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& at) { PopupMenu1->popup(ListView->viewport()->mapToGlobal(at)); });
  return ListView;
}

QWidget* TMainForm::BuildBottomPanel() {
  BottomPanel = new QWidget;
  BottomPanel->setObjectName(QStringLiteral("BottomPanel"));
  auto* layout = new QVBoxLayout(BottomPanel);
  layout->setContentsMargins(4, 4, 4, 4);
  layout->setSpacing(4);
  auto* row = new QHBoxLayout;
  StaticText1 = new QLabel(QStringLiteral("Unerase selected file(s) to:"), BottomPanel);
  SaveEdit = new QLineEdit(QStringLiteral("C:\\"), BottomPanel);
  SaveEdit->setObjectName(QStringLiteral("SaveEdit"));
  SaveEdit->setToolTip(QStringLiteral("Type a folder or choose one with Browse"));
  auto* folders = new QFileSystemModel(SaveEdit);
  folders->setFilter(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Drives);
  folders->setRootPath(QString());
  auto* completer = new QCompleter(folders, SaveEdit);
  completer->setCompletionMode(QCompleter::PopupCompletion);
  SaveEdit->setCompleter(completer);
  BrowseBitBtn =
      new QPushButton(svg_icon(QStringLiteral("folder")), QStringLiteral("Browse"), BottomPanel);
  BrowseBitBtn->setToolTip(QStringLiteral("Choose other undeleted file(s) location"));
  row->addWidget(StaticText1);
  row->addWidget(SaveEdit, 1);
  row->addWidget(BrowseBitBtn);
  LogMemo = new QPlainTextEdit(BottomPanel);
  LogMemo->setObjectName(QStringLiteral("LogMemo"));
  LogMemo->setReadOnly(true);
  AddUneraseOptions(row);
  layout->addLayout(row);
  layout->addWidget(LogMemo, 1);
  // The panel keeps its 119 pixels (more only when the font needs it for the destination row
  // and four log lines): the text box's own size hint would take room from the list.
  const QMargins margins = layout->contentsMargins();
  const int frame =
      2 * LogMemo->frameWidth() + 2 * static_cast<int>(LogMemo->document()->documentMargin());
  BottomPanel->setFixedHeight(std::max(119, margins.top() + margins.bottom() +
                                                row->sizeHint().height() + layout->spacing() +
                                                4 * LogMemo->fontMetrics().lineSpacing() + frame));
  connect(BrowseBitBtn, &QPushButton::clicked, this, &TMainForm::BrowseBitBtnClick);
  return BottomPanel;
}

void TMainForm::FormCreate() {
  SetUneraseEnabled(false);
  FillDriveTree();
  SelectDriveNode('c');
  SaveEdit->setText(destination_text(QString::fromStdString(platform::documents_folder())));
  version_reader_ = new TVersionInfoReader(this);
  StatusPanels[0]->setText(QStringLiteral("Version: ") + version_reader_->FileVersion());
}

// The drive table in letter order. Network, optical and RAM drives are left out; the
// image is the floppy one for removable drives A to C, the removable one for later
// letters, the fixed-disk one otherwise.
void TMainForm::FillDriveTree() {
  DriveTreeView->clear();
  const QIcon images[3] = {svg_icon(QStringLiteral("floppy")), svg_icon(QStringLiteral("fixed")),
                           svg_icon(QStringLiteral("removable"))};
  for (const platform::Drive& drive : platform::drives()) {
    const uint32_t type = GetDriveTypeCode(drive.letter);
    if (type == kRemote || type == kCdRom || type == kRamDisk) continue;
    const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(drive.letter)));
    int image = 1;
    if (type == kRemovable) image = lower <= 'c' ? 0 : 2;
    auto* node = new QTreeWidgetItem(DriveTreeView, QStringList(drive_caption(drive)));
    node->setIcon(0, images[image]);
    node->setToolTip(0, node->text(0));
    node->setData(0, Qt::UserRole, QVariant::fromValue(static_cast<int>(lower)));
    describe_drive_node(*node, drive);
  }
}

void TMainForm::RefreshDriveTree() {
  const QSignalBlocker hold(DriveTreeView);
  FillDriveTree();
  SelectDriveNode(SelectedDrive);
  if (DriveTreeView->currentItem() == nullptr && !busy_) {
    SelectedDrive = 0;
    Scan1->setText(QStringLiteral("&Scan"));
  }
  FitDriveTree();
}

void TMainForm::SelectDriveNode(char letter) {
  for (int i = 0; i < DriveTreeView->topLevelItemCount(); ++i) {
    QTreeWidgetItem* node = DriveTreeView->topLevelItem(i);
    if (node->data(0, Qt::UserRole).toInt() == letter) {
      DriveTreeView->setCurrentItem(node);
      return;
    }
  }
}

void TMainForm::DriveTreeViewChange(QTreeWidgetItem* node) {
  if (node == nullptr) return;
  if (busy_) {
    // The drive stays as it is while a command runs.
    QSignalBlocker hold(DriveTreeView);
    SelectDriveNode(SelectedDrive);
    return;
  }
  const QChar first = node->text(0).at(0);
  SelectedDrive = static_cast<char>(std::tolower(first.toLatin1()));
  Scan1->setText(QStringLiteral("&Scan ") + first + QStringLiteral(":\\"));
}

void TMainForm::BrowseBitBtnClick() {
  const QString initial = QDir(SaveEdit->text()).exists()
                              ? SaveEdit->text()
                              : QString::fromStdString(platform::documents_folder());
  QString chosen;
  if (browse_for_folder(QStringLiteral("Select a folder"), initial, chosen))
    SaveEdit->setText(destination_text(chosen));
}

void TMainForm::SetUneraseEnabled(bool enabled) {
  Unerase1->setEnabled(enabled);
  Unerase2->setEnabled(enabled);
  ToolButton2->setEnabled(enabled);
}

void TMainForm::FitFileColumn() {
  if (columns_dragged_) return;
  constexpr int kFileFloor = 100;
  QHeaderView* header = ListView->header();
  const int viewport = ListView->viewport()->width();
  const bool path_shown = !header->isSectionHidden(1);
  const bool created_shown = !header->isSectionHidden(5);
  int fixed = 0;  // every shown column but File, Path and Date created
  for (int c = 2; c < kListColumns; ++c)
    if (c != 5 && !header->isSectionHidden(c)) fixed += header->sectionSize(c);
  int path = path_shown ? path_width_ : 0;
  int created = created_shown ? created_width_ : 0;
  int file = viewport - fixed - path - created;
  // File wants its longest name: Path gives up to 5/8 of its width for it; to keep File at
  // its floor, Path gives up to 3/4 and Date created up to half of its own too (it elides
  // its time first).
  const int need =
      std::max(kFileFloor, static_cast<QAbstractItemView*>(ListView)->sizeHintForColumn(0));
  if (file < need && path_shown) {
    const int give = std::min(path - path_width_ * 3 / 8, need - file);
    path -= give;
    file += give;
  }
  if (file < kFileFloor && path_shown) {
    const int give = std::max(0, std::min(path - path_width_ / 4, kFileFloor - file));
    path -= give;
    file += give;
  }
  if (file < kFileFloor && created_shown) {
    const int give = std::max(0, std::min(created - created_width_ / 2, kFileFloor - file));
    created -= give;
    file += give;
  }
  if (path_shown) header->resizeSection(1, path);
  if (created_shown) header->resizeSection(5, created);
  header->resizeSection(0, std::max(kFileFloor, file));
}

void TMainForm::FitDriveTree() {
  if (divider_dragged_) return;
  const QFontMetrics metrics(DriveTreeView->font());
  // What the tree's items ask for (icon, margins and their whole captions), less what the
  // device and size in brackets take: "C:\ Vendor Model — LABEL" must show; the rest may be
  // cut (the tooltip has it).
  int cut = 0;
  for (int i = 0; i < DriveTreeView->topLevelItemCount(); ++i) {
    const QString text = DriveTreeView->topLevelItem(i)->text(0);
    const QString shown = text.section(QStringLiteral(" ("), 0, 0);
    cut = std::max(cut, metrics.horizontalAdvance(text) - metrics.horizontalAdvance(shown));
  }
  const int caption = static_cast<QAbstractItemView*>(DriveTreeView)->sizeHintForColumn(0) - cut +
                      2 * DriveTreeView->frameWidth() + 4;
  // The splitter fills the window's width, but has not been laid out yet at the first show.
  const int total = width();
  // The list keeps room for its columns at their narrowest (FitFileColumn): File at its
  // floor, Path at a quarter, Date created at half, the others whole, and a scroll bar.
  QHeaderView* header = ListView->header();
  int list = 100 + 2 * ListView->frameWidth() +
             ListView->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, ListView);
  for (int c = 1; c < kListColumns; ++c) {
    if (header->isSectionHidden(c)) continue;
    list += c == 1 ? path_width_ / 4 : c == 5 ? created_width_ / 2 : header->sectionSize(c);
  }
  const int room = total - Splitter->handleWidth() - list;
  const int left = std::clamp(std::min(caption, room), 153, std::max(153, width() * 3 / 10));
  Splitter->setSizes({left, std::max(1, total - left - Splitter->handleWidth())});
}

void TMainForm::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  FitDriveTree();
  FitFileColumn();
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
  if (watched == ListView->viewport() && event->type() == QEvent::Resize) FitFileColumn();
  return QMainWindow::eventFilter(watched, event);
}

void TMainForm::Log(const QString& line) {
  LogMemo->appendPlainText(line);
}

void TMainForm::Exit1Click() {
  close();
}

void TMainForm::About1Click() {
  if (about_box_) about_box_->exec();
}

void TMainForm::ContensIndex1Click() {
  const QUrl help = help_url();
  if (help.isEmpty())
    Log(QStringLiteral("No help is installed; looked for ") +
        help_places().join(QStringLiteral(", ")));
  else if (!shell_open(help))
    Log(QStringLiteral("Could not open the help: no program to show it is set up; it is %1")
            .arg(help.toLocalFile().isEmpty() ? help.toString() : help.toLocalFile()));
}

void TMainForm::GotoQuorelsite1Click() {
  shell_open(QUrl(QString::fromLatin1(kWebAddress)));
}

void TMainForm::StaticText3Click() {
  GotoQuorelsite1Click();
}

void TMainForm::StaticText7Click() {
  shell_open(QUrl(QStringLiteral("mailto:") + QString::fromLatin1(kRepairMailAddress)));
}

TProgramWindows create_program_windows() {
  TProgramWindows windows;
  windows.MainForm = std::make_unique<TMainForm>();
  TMainForm* main = windows.MainForm.get();
  windows.AboutBox = new TAboutBox(main->VersionReader(), main);
  windows.SearchForm = new TSearchForm(main);
  windows.WaitForm = new TWaitForm(main);
  main->AttachDialogs(windows.AboutBox, windows.SearchForm, windows.WaitForm);
  new DriveSources(*main);
  return windows;
}

}  // namespace pyralis::ui
