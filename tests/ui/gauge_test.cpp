// SPDX-License-Identifier: GPL-3.0-or-later
// TGauge: percentages, the setters' clamping and refusals, and the xor-drawn bar.
#include <QtTest>

#include "ui/gauge.h"

using pyralis::ui::TGauge;
using pyralis::ui::TGaugeRangeError;

namespace {

constexpr QRgb kGreen = 0xFFBFEFBF;
constexpr QRgb kWhite = 0xFFFFFFFF;
constexpr QRgb kBlack = 0xFF000000;

// A gauge as the scan dialog has it.
void make_scan_gauge(TGauge& gauge) {
  gauge.resize(233, 17);
  gauge.SetForeColor(QColor(191, 239, 191));
}

}  // namespace

class GaugeTest : public QObject {
  Q_OBJECT

 private slots:
  void defaults() {
    TGauge gauge;
    QCOMPARE(gauge.size(), QSize(100, 100));
    QVERIFY(gauge.Kind() == pyralis::ui::TGaugeKind::gkHorizontalBar);
    QVERIFY(gauge.ShowText());
    QVERIFY(gauge.BorderStyle() == pyralis::ui::TGaugeBorderStyle::bsSingle);
    QCOMPARE(gauge.ForeColor(), QColor(Qt::black));
    QCOMPARE(gauge.BackColor(), QColor(Qt::white));
    QCOMPARE(gauge.MinValue(), 0);
    QCOMPARE(gauge.MaxValue(), 100);
    QCOMPARE(gauge.Progress(), 0);
  }

  void percentages() {
    TGauge gauge;
    gauge.SetMaxValue(0);
    gauge.SetProgress(50);
    QCOMPARE(gauge.Progress(), 0);
    QCOMPARE(gauge.PercentDone(), 0);
    gauge.SetMaxValue(19);
    gauge.SetProgress(7);
    QCOMPARE(gauge.PercentDone(), 36);
    gauge.SetProgress(25);
    QCOMPARE(gauge.Progress(), 19);
    QCOMPARE(gauge.PercentDone(), 100);
    gauge.SetProgress(-3);
    QCOMPARE(gauge.Progress(), 0);
    // Worked out in 64 bits: 2147483000 * 100 does not fit 32.
    gauge.SetMaxValue(2147483647);
    gauge.SetProgress(2147483000);
    QCOMPARE(gauge.PercentDone(), 99);
    gauge.SetMinValue(-2147483647);
    QCOMPARE(gauge.PercentDone(), 99);
  }

  void boundsMoveProgress() {
    TGauge gauge;
    gauge.SetProgress(80);
    gauge.SetMaxValue(50);
    QCOMPARE(gauge.Progress(), 50);
    gauge.SetMinValue(60 - 20);
    QCOMPARE(gauge.Progress(), 50);
    gauge.SetMinValue(50);
    QCOMPARE(gauge.Progress(), 50);
    QCOMPARE(gauge.PercentDone(), 0);
  }

  void refusals() {
    TGauge gauge;
    gauge.SetMinValue(10);
    gauge.SetMaxValue(20);
    try {
      gauge.SetMaxValue(5);
      QFAIL("a maximum below the minimum was taken");
    } catch (const TGaugeRangeError& e) {
      QCOMPARE(QString(e.what()), QStringLiteral("Value must be between 11 and 2147483647"));
    }
    try {
      gauge.SetMinValue(30);
      QFAIL("a minimum above the maximum was taken");
    } catch (const TGaugeRangeError& e) {
      QCOMPARE(QString(e.what()), QStringLiteral("Value must be between -2147483647 and 19"));
    }
    QCOMPARE(gauge.MinValue(), 10);
    QCOMPARE(gauge.MaxValue(), 20);
    // Equal bounds are allowed; while loading, crossing ones too.
    gauge.SetMaxValue(10);
    QCOMPARE(gauge.PercentDone(), 0);
    gauge.SetLoading(true);
    gauge.SetMaxValue(5);
    QCOMPARE(gauge.MaxValue(), 5);
  }

  void repaintsOnlyWhenPercentChanges() {
    TGauge gauge;
    gauge.SetMaxValue(1000);
    const int before = gauge.RepaintRequests();
    for (int v = 1; v < 10; ++v) gauge.SetProgress(v);
    QCOMPARE(gauge.RepaintRequests(), before);
    gauge.SetProgress(10);
    QCOMPARE(gauge.RepaintRequests(), before + 1);
    gauge.SetProgress(10);
    QCOMPARE(gauge.RepaintRequests(), before + 1);
    gauge.SetForeColor(Qt::red);
    QCOMPARE(gauge.RepaintRequests(), before + 2);
  }

  void barGeometry() {
    TGauge gauge;
    make_scan_gauge(gauge);
    gauge.SetShowText(false);
    gauge.SetProgress(50);
    const QImage image = gauge.Render();
    // The frame stays black.
    for (int x = 0; x < 233; ++x) {
      QCOMPARE(image.pixel(x, 0), kBlack);
      QCOMPARE(image.pixel(x, 16), kBlack);
    }
    QCOMPARE(image.pixel(0, 8), kBlack);
    QCOMPARE(image.pixel(232, 8), kBlack);
    // W = 232, so 50% fills up to x 116 exclusive.
    for (int y = 1; y <= 15; ++y) {
      QCOMPARE(image.pixel(1, y), kGreen);
      QCOMPARE(image.pixel(115, y), kGreen);
      QCOMPARE(image.pixel(116, y), kWhite);
      QCOMPARE(image.pixel(231, y), kWhite);
    }
    gauge.SetProgress(100);
    const QImage full = gauge.Render();
    QCOMPARE(full.pixel(231, 15), kGreen);
    QCOMPARE(full.pixel(232, 15), kBlack);
    gauge.SetProgress(0);
    QCOMPARE(gauge.Render().pixel(1, 1), kWhite);
  }

  void textIsXored() {
    TGauge gauge;
    make_scan_gauge(gauge);
    gauge.resize(233, 40);
    gauge.SetProgress(50);
    gauge.SetShowText(false);
    const QImage bar = gauge.Render();
    gauge.SetShowText(true);
    const QImage text = gauge.Render();
    int over_green = 0, over_white = 0;
    for (int y = 0; y < bar.height(); ++y) {
      for (int x = 0; x < bar.width(); ++x) {
        if (bar.pixel(x, y) == text.pixel(x, y)) continue;
        QVERIFY(x >= 1 && x <= 231 && y >= 1 && y <= 38);
        QCOMPARE(text.pixel(x, y), 0xFF000000u | (bar.pixel(x, y) ^ 0x00FFFFFFu));
        (bar.pixel(x, y) == kGreen ? over_green : over_white)++;
      }
    }
    // "50%" sits in the middle, across the end of the fill.
    QVERIFY(over_green > 0);
    QVERIFY(over_white > 0);
  }
};

QTEST_MAIN(GaugeTest)
#include "gauge_test.moc"
