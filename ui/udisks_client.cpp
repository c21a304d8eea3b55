// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/udisks_client.h"

#include <fcntl.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusVariant>
#include <QVersionNumber>
#include <algorithm>

namespace pyralis::ui {

namespace {

const QString kService = QStringLiteral("org.freedesktop.UDisks2");
const QString kRoot = QStringLiteral("/org/freedesktop/UDisks2");
const QString kObjectManager = QStringLiteral("org.freedesktop.DBus.ObjectManager");
const QString kBlock = QStringLiteral("org.freedesktop.UDisks2.Block");
const QString kDrive = QStringLiteral("org.freedesktop.UDisks2.Drive");

using InterfaceProperties = QMap<QString, QVariantMap>;
using ManagedObjects = QMap<QDBusObjectPath, InterfaceProperties>;

// A password dialog can stay open a long while; the call waits for it.
constexpr int kAuthorizationWait = 5 * 60 * 1000;

void register_types() {
  static const bool done = [] {
    qDBusRegisterMetaType<InterfaceProperties>();
    qDBusRegisterMetaType<ManagedObjects>();
    return true;
  }();
  (void)done;
}

// Device paths are NUL-terminated byte strings (`ay`).
QString byte_string(const QVariant& value) {
  QByteArray bytes = value.toByteArray();
  while (bytes.endsWith('\0')) bytes.chop(1);
  return QString::fromLocal8Bit(bytes);
}

QString object_path(const QVariant& value) {
  return value.value<QDBusObjectPath>().path();
}

// OpenDevice takes options (flags) from 2.7.3 on; older daemons only have OpenForBackup.
bool daemon_has_open_device(const QDBusConnection& bus) {
  QDBusMessage get = QDBusMessage::createMethodCall(
      kService, kRoot + QStringLiteral("/Manager"), QStringLiteral("org.freedesktop.DBus.Properties"),
      QStringLiteral("Get"));
  get << QStringLiteral("org.freedesktop.UDisks2.Manager") << QStringLiteral("Version");
  const QDBusReply<QDBusVariant> version = bus.call(get);
  if (!version.isValid()) return true;
  return QVersionNumber::fromString(version.value().variant().toString()) >=
         QVersionNumber(2, 7, 3);
}

}  // namespace

QString UdisksVolume::KernelName() const {
  return device.section(QLatin1Char('/'), -1);
}

std::optional<std::vector<UdisksVolume>> udisks_volumes() {
  register_types();
  const QDBusConnection bus = QDBusConnection::systemBus();
  if (!bus.isConnected()) return std::nullopt;
  const QDBusMessage call = QDBusMessage::createMethodCall(kService, kRoot, kObjectManager,
                                                           QStringLiteral("GetManagedObjects"));
  const QDBusReply<ManagedObjects> reply = bus.call(call);
  if (!reply.isValid()) return std::nullopt;
  const ManagedObjects objects = reply.value();
  std::vector<UdisksVolume> volumes;
  for (auto it = objects.begin(); it != objects.end(); ++it) {
    const auto block = it.value().find(kBlock);
    if (block == it.value().end()) continue;
    const QString type = block->value(QStringLiteral("IdType")).toString();
    if (type != QLatin1String("vfat") && type != QLatin1String("exfat") &&
        type != QLatin1String("ntfs"))
      continue;
    UdisksVolume v;
    v.object_path = it.key().path();
    v.device = byte_string(block->value(QStringLiteral("Device")));
    v.label = block->value(QStringLiteral("IdLabel")).toString();
    v.file_system = type;
    v.size = block->value(QStringLiteral("Size")).toULongLong();
    const QDBusObjectPath drive_path(object_path(block->value(QStringLiteral("Drive"))));
    const auto drive = objects.find(drive_path);
    if (drive != objects.end() && drive->contains(kDrive)) {
      const QVariantMap d = drive->value(kDrive);
      v.name = (d.value(QStringLiteral("Vendor")).toString() + QLatin1Char(' ') +
                d.value(QStringLiteral("Model")).toString())
                   .simplified();
      v.removable = d.value(QStringLiteral("Removable")).toBool() ||
                    d.value(QStringLiteral("MediaRemovable")).toBool();
    }
    if (!v.device.isEmpty()) volumes.push_back(v);
  }
  std::sort(volumes.begin(), volumes.end(),
            [](const UdisksVolume& a, const UdisksVolume& b) { return a.device < b.device; });
  return volumes;
}

bool udisks_open_device(const UdisksVolume& volume, QDBusUnixFileDescriptor* fd, QString* why) {
  const QDBusConnection bus = QDBusConnection::systemBus();
  if (!(bus.connectionCapabilities() & QDBusConnection::UnixFileDescriptorPassing)) {
    *why = QStringLiteral("the system bus cannot pass file descriptors");
    return false;
  }
  bool open_device = daemon_has_open_device(bus);
  auto open = [&bus, &volume](bool with_open_device) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        kService, volume.object_path, kBlock,
        with_open_device ? QStringLiteral("OpenDevice") : QStringLiteral("OpenForBackup"));
    // The flags must travel as a 32-bit signed integer (`i`), or the daemon ignores them.
    if (with_open_device)
      call << QStringLiteral("r")
           << QVariantMap{{QStringLiteral("flags"), QVariant(int{O_CLOEXEC})}};
    else
      call << QVariantMap();
    call.setInteractiveAuthorizationAllowed(true);
    return bus.call(call, QDBus::BlockWithGui, kAuthorizationWait);
  };
  QDBusMessage reply = open(open_device);
  // A device object without OpenDevice (some current daemons' objects lack it): the older
  // method does the same for an unmounted device.
  if (open_device && reply.type() == QDBusMessage::ErrorMessage &&
      reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.UnknownMethod")) {
    open_device = false;
    reply = open(false);
  }
  if (reply.type() == QDBusMessage::ErrorMessage) {
    const bool refused =
        reply.errorName().startsWith(QStringLiteral("org.freedesktop.UDisks2.Error.NotAuthorized"));
    if (refused)
      *why = QStringLiteral("not authorized");
    else
      *why = reply.errorMessage().isEmpty() ? reply.errorName() : reply.errorMessage();
    if (!open_device && !refused)
      *why += QStringLiteral(
          " (this udisks2 is older than 2.7.3 and opens a device only while it is not mounted)");
    return false;
  }
  *fd = reply.arguments().value(0).value<QDBusUnixFileDescriptor>();
  if (!fd->isValid()) {
    *why = QStringLiteral("udisks2 returned no file descriptor");
    return false;
  }
  return true;
}

UdisksWatcher::UdisksWatcher(QObject* parent) : QObject(parent) {
  QDBusConnection bus = QDBusConnection::systemBus();
  for (const char* name : {"InterfacesAdded", "InterfacesRemoved"})
    bus.connect(kService, kRoot, kObjectManager, QLatin1String(name), this,
                SLOT(OnInterfacesChanged(QDBusMessage)));
}

void UdisksWatcher::OnInterfacesChanged(const QDBusMessage&) {
  emit Changed();
}

}  // namespace pyralis::ui
