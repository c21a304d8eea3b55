// SPDX-License-Identifier: GPL-3.0-or-later
// Where the drive tree's drives come from besides the command line: the volumes udisks2
// knows (with their vendor, model and label, opened through the daemon when the user may not
// open the device), File > Open image or device..., image files dropped on the window, and
// sticks plugged in or pulled while the program runs.
#pragma once

#include <QObject>
#include <QStringList>
#include <QTimer>

#include "platform/drive_table.h"

class QTreeWidgetItem;

namespace pyralis::ui {

class TMainForm;
struct UdisksVolume;

// Attaches the volumes udisks2 lists, after the drives already attached (a device given
// already keeps its letter and gains the daemon's description). False, attaching nothing,
// when udisks2 is not on the system bus.
bool attach_udisks_volumes();

// Caption, tooltip, image and colour of a drive tree node: what udisks2 knows of the drive,
// and a greyed node with a lock and the reason for a drive that cannot be read.
void describe_drive_node(QTreeWidgetItem& node, const platform::Drive& drive);

class DriveSources : public QObject {
  Q_OBJECT

 public:
  explicit DriveSources(TMainForm& form);

  // Attaches image files or devices as the next letters and selects the first of them.
  void AddSources(const QStringList& paths);
  // Run before a scan: a udisks2 volume the program cannot open itself is opened by the
  // daemon. On refusal logs one line and returns false.
  bool OpenForScan(char letter);
  void OpenImageOrDevice();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // Brings the tree in line with udisks2: removed volumes at once (later reads fail), added
  // ones and the tree itself once no command runs.
  void Synchronise();

  TMainForm& form_;
  QTimer sync_timer_;
  bool opening_ = false;
};

}  // namespace pyralis::ui
