// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/drive_sources.h"

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QMenuBar>
#include <QMimeData>
#include <QPalette>
#include <QTreeWidgetItem>
#include <QUrl>
#include <cctype>
#include <map>

#include "core/found_files.h"
#include "ui/icons.h"
#include "ui/main_form.h"
#include "ui/udisks_client.h"

namespace pyralis::ui {

namespace {

// The udisks2 volume behind each drive letter (upper case) that came from the daemon.
std::map<char, UdisksVolume>& udisks_drives() {
  static std::map<char, UdisksVolume> drives;
  return drives;
}

char upper(char letter) {
  return static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
}

// "15.60 Gb": the list's units, as `pyralis-cli drives` gives them.
QString decimal_size(quint64 bytes) {
  return QString::fromStdString(volume_size_text(bytes));
}

// "Drive D: SanDisk Cruzer Blade (sdb1)"
QString drive_title(char letter, const UdisksVolume& v) {
  QString title = QStringLiteral("Drive %1: ").arg(QLatin1Char(upper(letter)));
  if (!v.name.isEmpty()) title += v.name + QLatin1Char(' ');
  return title + QLatin1Char('(') + v.KernelName() + QLatin1Char(')');
}

// "C:\ SanDisk Cruzer Blade — HOLIDAY (sdb1, 15.60 Gb)"
QString udisks_caption(char letter, const UdisksVolume& v) {
  QStringList what;
  if (!v.name.isEmpty()) what << v.name;
  if (!v.label.isEmpty()) what << v.label;
  QString caption = QStringLiteral("%1:\\ ").arg(QLatin1Char(upper(letter)));
  if (what.isEmpty()) return caption + v.KernelName() + QStringLiteral(" (") + decimal_size(v.size) + QLatin1Char(')');
  return caption + what.join(QStringLiteral(" \u2014 ")) + QStringLiteral(" (") + v.KernelName() +
         QStringLiteral(", ") + decimal_size(v.size) + QLatin1Char(')');
}

// Letters of the attached drives read from `device`.
std::vector<char> letters_of(const QString& device) {
  std::vector<char> letters;
  for (const platform::Drive& d : platform::drives())
    if (QString::fromStdString(d.source.path) == device) letters.push_back(d.letter);
  return letters;
}

void attach_udisks_volume(const UdisksVolume& v) {
  std::vector<char> letters = letters_of(v.device);
  if (letters.empty() && !platform::is_attached(v.device.toStdString()))
    letters = platform::attach_sources({v.device.toStdString()});
  for (char letter : letters) udisks_drives()[letter] = v;
}

// Gives drives attached from a path the description of the udisks2 volume on that device.
void describe_from_udisks(const std::vector<char>& letters) {
  const auto volumes = udisks_volumes();
  if (!volumes) return;
  for (char letter : letters) {
    const platform::Drive* drive = platform::find_drive(letter);
    for (const UdisksVolume& v : *volumes)
      if (drive && drive->source.path == v.device.toStdString()) udisks_drives()[letter] = v;
  }
}

}  // namespace

bool attach_udisks_volumes() {
  const auto volumes = udisks_volumes();
  if (!volumes) return false;
  for (const UdisksVolume& v : *volumes) attach_udisks_volume(v);
  return true;
}

void describe_drive_node(QTreeWidgetItem& node, const platform::Drive& drive) {
  QString tooltip = node.toolTip(0);
  QString reason = QString::fromStdString(drive.source.problem);
  const auto it = udisks_drives().find(drive.letter);
  if (it != udisks_drives().end()) {
    const UdisksVolume& v = it->second;
    node.setText(0, udisks_caption(drive.letter, v));
    if (v.removable) node.setIcon(0, svg_icon(QStringLiteral("removable")));
    tooltip = QStringLiteral("Device: %1\nSize: %2 (%3 bytes)\nFile system: %4\nLabel: %5")
                  .arg(v.device, decimal_size(v.size), QString::number(v.size), v.file_system,
                       v.label.isEmpty() ? QStringLiteral("(none)") : v.label);
    if (!reason.isEmpty())
      reason += QStringLiteral(
          ".\nScan asks udisks2 to open it for reading; the desktop may ask for your password");
  }
  if (!reason.isEmpty()) {
    tooltip += QStringLiteral("\nCannot be read: ") + reason + QLatin1Char('.');
    node.setIcon(0, svg_icon(QStringLiteral("lock")));
    node.setForeground(0, QApplication::palette().color(QPalette::Disabled, QPalette::Text));
  }
  node.setToolTip(0, tooltip);
}

DriveSources::DriveSources(TMainForm& form) : QObject(&form), form_(form) {
  auto* open = new QAction(svg_icon(QStringLiteral("folder")),
                           QStringLiteral("&Open image or device\u2026"), &form);
  open->setObjectName(QStringLiteral("OpenImage1"));
  open->setShortcut(QKeySequence::Open);
  if (QMenu* file = form.menuBar()->actions().value(0) ? form.menuBar()->actions()[0]->menu() : nullptr) {
    file->insertAction(form.Scan1, open);
    file->insertSeparator(form.Scan1);
  }
  connect(open, &QAction::triggered, this, &DriveSources::OpenImageOrDevice);

  form.setAcceptDrops(true);
  form.installEventFilter(this);
  form.BeforeScan = [this](char letter) { return OpenForScan(letter); };

  // One plug brings several signals (drive, disk, partitions); they are handled together.
  sync_timer_.setSingleShot(true);
  sync_timer_.setInterval(300);
  connect(&sync_timer_, &QTimer::timeout, this, &DriveSources::Synchronise);
  auto* watcher = new UdisksWatcher(this);
  connect(watcher, &UdisksWatcher::Changed, this, [this] { sync_timer_.start(); });
}

void DriveSources::AddSources(const QStringList& paths) {
  if (form_.Busy() || paths.isEmpty()) return;
  std::vector<std::string> list;
  for (const QString& path : paths) list.push_back(path.toStdString());
  const std::vector<char> letters = platform::attach_sources(list);
  describe_from_udisks(letters);
  form_.RefreshDriveTree();
  if (!letters.empty())
    form_.SelectDriveNode(static_cast<char>(std::tolower(static_cast<unsigned char>(letters[0]))));
}

void DriveSources::OpenImageOrDevice() {
  if (form_.Busy()) return;
  // Qt's own dialog: it takes a typed /dev path, which portal dialogs may not.
  QFileDialog dialog(&form_, QStringLiteral("Open image or device"), QDir::homePath());
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setFileMode(QFileDialog::ExistingFiles);
  dialog.setFilter(dialog.filter() | QDir::System);  // device files show when browsing /dev
  dialog.setNameFilters({QStringLiteral("All files (*)"),
                         QStringLiteral("Disk images (*.img *.ima *.dd *.raw *.bin *.iso)")});
  dialog.setLabelText(QFileDialog::FileName, QStringLiteral("Image or device:"));
  if (dialog.exec() == QDialog::Accepted) AddSources(dialog.selectedFiles());
}

bool DriveSources::OpenForScan(char letter) {
  const platform::Drive* drive = platform::find_drive(letter);
  const auto it = udisks_drives().find(upper(letter));
  if (!drive || it == udisks_drives().end() || drive->source.descriptor) return true;
  // The daemon is asked only when the program cannot open the device itself.
  const int own = ::open(drive->source.path.c_str(), O_RDONLY | O_CLOEXEC);
  if (own >= 0) {
    ::close(own);
    return true;
  }
  if (opening_) return false;  // a password dialog is already up
  opening_ = true;
  QDBusUnixFileDescriptor fd;
  QString why;
  const bool opened = udisks_open_device(it->second, &fd, &why);
  opening_ = false;
  if (!opened || !platform::attach_source_fd(letter, fd.fileDescriptor())) {
    if (opened) why = QStringLiteral("the drive is gone");
    form_.Log(drive_title(letter, it->second) + QStringLiteral(" was not opened: ") + why +
              QLatin1Char('.'));
    return false;
  }
  form_.RefreshDriveTree();
  return true;
}

bool DriveSources::eventFilter(QObject* watched, QEvent* event) {
  if (watched != &form_) return false;
  if (event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove) {
    auto* drag = static_cast<QDropEvent*>(event);
    if (drag->mimeData()->hasUrls() && !form_.Busy()) drag->acceptProposedAction();
    return true;
  }
  if (event->type() == QEvent::Drop) {
    auto* drop = static_cast<QDropEvent*>(event);
    QStringList paths;
    for (const QUrl& url : drop->mimeData()->urls())
      if (url.isLocalFile()) paths << url.toLocalFile();
    AddSources(paths);
    drop->acceptProposedAction();
    return true;
  }
  return false;
}

void DriveSources::Synchronise() {
  const auto volumes = udisks_volumes();
  if (!volumes) return;
  auto& known = udisks_drives();
  for (auto it = known.begin(); it != known.end();) {
    const bool present = std::any_of(volumes->begin(), volumes->end(), [&](const UdisksVolume& v) {
      return v.object_path == it->second.object_path;
    });
    if (present) {
      ++it;
      continue;
    }
    // Reads of a scan or recovery still running fail from here on and end it.
    platform::detach_drive(it->first);
    form_.Log(drive_title(it->first, it->second) + QStringLiteral(" was removed."));
    it = known.erase(it);
  }
  if (form_.Busy()) {
    sync_timer_.start(500);  // the tree changes once the command is over
    return;
  }
  for (const UdisksVolume& v : *volumes) {
    const bool listed = std::any_of(known.begin(), known.end(), [&](const auto& entry) {
      return entry.second.object_path == v.object_path;
    });
    if (!listed) attach_udisks_volume(v);
  }
  form_.RefreshDriveTree();
}

}  // namespace pyralis::ui
