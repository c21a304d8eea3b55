// SPDX-License-Identifier: GPL-3.0-or-later
// The udisks2 daemon on the D-Bus system bus: the volumes it knows (block devices holding
// FAT, exFAT or NTFS) and opening one of them read-only on the user's behalf, polkit asking
// for the password through the desktop's agent.
#pragma once

#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QString>
#include <optional>
#include <vector>

namespace pyralis::ui {

struct UdisksVolume {
  QString object_path;  // the block device's object
  QString device;       // "/dev/sdb1"
  QString name;         // the drive's vendor and model, "SanDisk Cruzer Blade"; may be empty
  QString label;        // the file system's label; may be empty
  QString file_system;  // vfat, exfat or ntfs
  quint64 size = 0;     // bytes
  bool removable = false;

  // "sdb1"
  QString KernelName() const;
};

// The daemon's volumes in device order; nullopt when udisks2 does not answer on the bus.
std::optional<std::vector<UdisksVolume>> udisks_volumes();

// Asks the daemon to open the volume's device read-only (OpenDevice, or OpenForBackup on
// daemons before 2.7.3), letting polkit ask for the password. On refusal or failure returns
// false with the reason in *why ("not authorized", or the daemon's own words).
bool udisks_open_device(const UdisksVolume& volume, QDBusUnixFileDescriptor* fd, QString* why);

// Emits Changed whenever the daemon adds or removes objects (a stick plugged in or pulled).
class UdisksWatcher : public QObject {
  Q_OBJECT

 public:
  explicit UdisksWatcher(QObject* parent);

 signals:
  void Changed();

 private slots:
  void OnInterfacesChanged(const QDBusMessage& message);
};

}  // namespace pyralis::ui
