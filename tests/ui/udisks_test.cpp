// SPDX-License-Identifier: GPL-3.0-or-later
// The drive tree from udisks2, against the mock that udisks2_bus.py serves on a private system
// bus: captions and tooltips, a scan through the descriptor OpenDevice hands out, the line of
// a refused device, and a stick plugged in and pulled while the window is up.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QtTest>
#include <memory>

#include "core/found_files.h"
#include "core/process_state.h"
#include "platform/drive_table.h"
#include "platform/volume_access.h"
#include "ui/drive_sources.h"
#include "ui/main_form.h"

using namespace pyralis;

namespace {

QTreeWidgetItem* node_named(ui::TMainForm& form, const QString& part) {
  for (int i = 0; i < form.DriveTreeView->topLevelItemCount(); ++i)
    if (form.DriveTreeView->topLevelItem(i)->text(0).contains(part))
      return form.DriveTreeView->topLevelItem(i);
  return nullptr;
}

bool greyed(const QTreeWidgetItem* node) {
  return node->foreground(0).color() ==
         QApplication::palette().color(QPalette::Disabled, QPalette::Text);
}

void call_mock(const QString& method, const QVariantList& arguments) {
  QDBusMessage call = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.UDisks2"), QStringLiteral("/org/freedesktop/UDisks2"),
      QStringLiteral("org.freedesktop.UDisks2.Mock"), method);
  call.setArguments(arguments);
  QCOMPARE(QDBusConnection::systemBus().call(call).type(), QDBusMessage::ReplyMessage);
}

}  // namespace

class UdisksTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    image_ = qEnvironmentVariable("PYRALIS_MOCK_IMAGE");
    QVERIFY2(!image_.isEmpty(), "run through udisks2_bus.py");
    platform::reset_drive_table();
    // An image given as argument comes first.
    platform::attach_sources({image_.toStdString()});
    QVERIFY(ui::attach_udisks_volumes());
    windows_ = ui::create_program_windows();
    form_ = windows_.MainForm.get();
  }

  void CaptionsAndTooltipsFromUdisks() {
    QCOMPARE(form_->DriveTreeView->topLevelItemCount(), 3);
    QVERIFY(form_->DriveTreeView->topLevelItem(0)->text(0).startsWith(QStringLiteral("C:\\ stick.img")));
    QCOMPARE(form_->DriveTreeView->topLevelItem(1)->text(0),
             QStringLiteral("D:\\ SanDisk Cruzer Blade \u2014 HOLIDAY (sdy1, 4.19 Mb)"));
    QCOMPARE(form_->DriveTreeView->topLevelItem(2)->text(0),
             QStringLiteral("E:\\ Kingston DataTraveler \u2014 WORK (sdz1, 31.00 Gb)"));
    const QTreeWidgetItem* stick = form_->DriveTreeView->topLevelItem(1);
    const QString tip = stick->toolTip(0);
    for (const char* part :
         {"Device: /dev/sdy1", "Size: 4.19 Mb (4194304 bytes)", "File system: vfat",
          "Label: HOLIDAY", "Cannot be read: cannot open /dev/sdy1: No such file or directory"})
      QVERIFY2(tip.contains(QLatin1String(part)), qPrintable(tip));
    QVERIFY(greyed(stick));
    QVERIFY(!greyed(form_->DriveTreeView->topLevelItem(0)));
  }

  void ScanReadsThroughTheDescriptor() {
    form_->SelectDriveNode('d');
    form_->Scan1Click();
    bool found = false;
    for (int i = 0; i < FoundFiles.Count(); ++i)
      found |= FoundFiles[i].Size == 12345 &&
               QString::fromStdString(FoundFiles[i].Name).contains(QStringLiteral("oliday"));
    QVERIFY2(found, qPrintable(form_->LogMemo->toPlainText()));
    QVERIFY(platform::find_drive('D')->source.descriptor != nullptr);
    QVERIFY(!greyed(node_named(*form_, QStringLiteral("sdy1"))));
  }

  void RefusalLogsOneLine() {
    const QString before = form_->LogMemo->toPlainText();
    const int rows = FoundFiles.Count();
    form_->SelectDriveNode('e');
    form_->Scan1Click();
    QCOMPARE(form_->LogMemo->toPlainText(),
             before + QStringLiteral("\nDrive E: Kingston DataTraveler (sdz1) was not opened: "
                                     "not authorized."));
    QCOMPARE(FoundFiles.Count(), rows);
    QVERIFY(greyed(node_named(*form_, QStringLiteral("sdz1"))));
  }

  void HotPlugAddsAndRemoves() {
    call_mock(QStringLiteral("AddDevice"), {QStringLiteral("sdw1"), QStringLiteral("Generic"),
                                            QStringLiteral("SD Card"), QStringLiteral("CAMERA")});
    QTRY_VERIFY(node_named(*form_, QStringLiteral("F:\\ Generic SD Card \u2014 CAMERA (sdw1")));
    call_mock(QStringLiteral("RemoveDevice"), {QStringLiteral("sdw1")});
    QTRY_VERIFY(!node_named(*form_, QStringLiteral("sdw1")));
    QVERIFY(form_->LogMemo->toPlainText().endsWith(
        QStringLiteral("Drive F: Generic SD Card (sdw1) was removed.")));
    QCOMPARE(platform::find_drive('F'), nullptr);
  }

  // A current daemon whose device object lacks OpenDevice: OpenForBackup is tried instead.
  void MissingOpenDeviceFallsBackToOpenForBackup() {
    call_mock(QStringLiteral("AddDevice"), {QStringLiteral("sdu1"), QStringLiteral("Generic"),
                                            QStringLiteral("New Reader"), QStringLiteral("NEW")});
    QTRY_VERIFY(node_named(*form_, QStringLiteral("sdu1")));
    const char letter =
        node_named(*form_, QStringLiteral("sdu1"))->text(0).at(0).toLower().toLatin1();
    form_->SelectDriveNode(letter);
    form_->Scan1Click();
    QVERIFY2(platform::find_drive(letter)->source.descriptor != nullptr,
             qPrintable(form_->LogMemo->toPlainText()));
    QVERIFY(!form_->LogMemo->toPlainText().contains(QStringLiteral("No such method")));
    call_mock(QStringLiteral("RemoveDevice"), {QStringLiteral("sdu1")});
    QTRY_VERIFY(!node_named(*form_, QStringLiteral("sdu1")));
  }

  void OlderDaemonOpensForBackup() {
    QDBusMessage set = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.UDisks2"), QStringLiteral("/org/freedesktop/UDisks2/Manager"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Set"));
    set << QStringLiteral("org.freedesktop.UDisks2.Manager") << QStringLiteral("Version")
        << QVariant::fromValue(QDBusVariant(QStringLiteral("2.7.2")));
    QCOMPARE(QDBusConnection::systemBus().call(set).type(), QDBusMessage::ReplyMessage);
    call_mock(QStringLiteral("AddDevice"), {QStringLiteral("sdv1"), QStringLiteral("Generic"),
                                            QStringLiteral("Old Reader"), QStringLiteral("OLD")});
    QTRY_VERIFY(node_named(*form_, QStringLiteral("sdv1")));
    const char letter = node_named(*form_, QStringLiteral("sdv1"))->text(0).at(0).toLower().toLatin1();
    form_->SelectDriveNode(letter);
    form_->Scan1Click();  // the added stick opens only through OpenForBackup
    QVERIFY2(FoundFiles.Count() > 0, qPrintable(form_->LogMemo->toPlainText()));
    QVERIFY2(platform::find_drive(letter)->source.descriptor != nullptr,
             qPrintable(form_->LogMemo->toPlainText()));
    // A mounted device: the old daemon opens it exclusively and fails; the line says why.
    form_->SelectDriveNode('e');
    form_->Scan1Click();
    QVERIFY2(form_->LogMemo->toPlainText().endsWith(QStringLiteral(
                 "Drive E: Kingston DataTraveler (sdz1) was not opened: Error opening /dev/sdz1: "
                 "Device or resource busy (this udisks2 is older than 2.7.3 and opens a device "
                 "only while it is not mounted).")),
             qPrintable(form_->LogMemo->toPlainText()));
    call_mock(QStringLiteral("RemoveDevice"), {QStringLiteral("sdv1")});
    QTRY_VERIFY(!node_named(*form_, QStringLiteral("sdv1")));
    set.setArguments({QStringLiteral("org.freedesktop.UDisks2.Manager"), QStringLiteral("Version"),
                      QVariant::fromValue(QDBusVariant(QStringLiteral("2.9.4")))});
    QCOMPARE(QDBusConnection::systemBus().call(set).type(), QDBusMessage::ReplyMessage);
  }

 private:
  QString image_;
  ui::TProgramWindows windows_;
  ui::TMainForm* form_ = nullptr;
};

QTEST_MAIN(UdisksTest)
#include "udisks_test.moc"
