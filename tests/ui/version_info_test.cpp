// SPDX-License-Identifier: GPL-3.0-or-later
// TVersionInfoReader and TAboutBox, with the version block this binary carries and with a
// file that has none.
#include <QtTest>

#include "tests/support/test_files.h"
#include "ui/about_box.h"
#include "ui/shell_open.h"
#include "ui/version_info.h"

using pyralis::ui::TAboutBox;
using pyralis::ui::TVersionInfoReader;
using pyralis::ui::TVersionType;

class VersionInfoTest : public QObject {
  Q_OBJECT

 private slots:
  void readsTheEmbeddedBlock() {
#ifndef PYRALIS_HAVE_VERSION_BLOCK
    QSKIP("built without the version block");
#endif
    TVersionInfoReader reader(nullptr);
    QCOMPARE(reader.FileVersion(), QStringLiteral("1.1.5.10"));
    QCOMPARE(reader.ProductVersion(), QStringLiteral("1.0.0.0"));
    QCOMPARE(reader.CompanyName(), QStringLiteral("Quorel Data Recovery Centre"));
    // The block names these keys "LegalTrademarks" and "OriginalFilename"; the reader asks
    // for "LegalTradeMark" and "OriginalFileName", so both stay empty.
    QCOMPARE(reader.LegalTradeMark(), QString());
    QCOMPARE(reader.OriginalFileName(), QString());
    QCOMPARE(reader.Comments(), QString());
    QCOMPARE(reader.GetVersionString(TVersionType::vtFileVersion), reader.FileVersion());

    TAboutBox box(reader);
    QCOMPARE(box.VersionLabel->text(), QStringLiteral("1.1.5.10"));
  }

  void fileWithoutBlockGivesEmptyTexts() {
    pyralis::test::TempDir dir;
    const std::string plain = dir.file("plain");
    QVERIFY(pyralis::test::write_file(plain, std::string(4096, 'x')));
    for (const std::string& path : {plain, dir.file("missing")}) {
      TVersionInfoReader reader(nullptr, path);
      for (int t = 0; t < pyralis::ui::kVersionTypeCount; ++t)
        QCOMPARE(reader.GetVersionString(static_cast<TVersionType>(t)), QString());
      TAboutBox box(reader);
      QCOMPARE(box.VersionLabel->text(), QString());
    }
  }

  void keysAreSpeltAsTheValueNames() {
    QCOMPARE(QString(TVersionInfoReader::KeyOf(TVersionType::vtLegalTradeMark)),
             QStringLiteral("LegalTradeMark"));
    QCOMPARE(QString(TVersionInfoReader::KeyOf(TVersionType::vtOriginalFileName)),
             QStringLiteral("OriginalFileName"));
    QCOMPARE(QString(TVersionInfoReader::KeyOf(TVersionType::vtComments)),
             QStringLiteral("Comments"));
  }

  void aboutBoxLayoutAndLinks() {
    TVersionInfoReader reader(nullptr, "/nonexistent");
    TAboutBox box(reader);
    QCOMPARE(box.windowTitle(), QStringLiteral("Pyralis - About"));
    QCOMPARE(box.size(), QSize(356, 166));
    QCOMPARE(box.Label1->text(), QStringLiteral("Pyralis"));
    QCOMPARE(box.Label4->text(), QStringLiteral("Quorel Data Recovery Centre"));
    QCOMPARE(box.OKButton->geometry(), QRect(277, 129, 75, 25));
    QVERIFY(box.OKButton->isDefault());
    QCOMPARE(box.LicenceLabel->text(), QStringLiteral("Licence: GPL-3.0-or-later"));
    QVERIFY(!box.LicenceLabel->geometry().intersects(box.OKButton->geometry()));
    QVERIFY(box.Label3->text().startsWith(QStringLiteral("mailto:")));

    QList<QUrl> opened;
    pyralis::ui::set_shell_opener([&](const QUrl& url) { opened.append(url); });
    QTest::mouseClick(box.SiteLabel, Qt::LeftButton);
    QTest::mouseClick(box.Label3, Qt::LeftButton);
    pyralis::ui::set_shell_opener(nullptr);
    QCOMPARE(opened.size(), 2);
    QCOMPARE(opened[0], QUrl(box.SiteLabel->text()));
    QCOMPARE(opened[1], QUrl(box.Label3->text()));
    QCOMPARE(opened[1].scheme(), QStringLiteral("mailto"));
  }
};

QTEST_MAIN(VersionInfoTest)
#include "version_info_test.moc"
