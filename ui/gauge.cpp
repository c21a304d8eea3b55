// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/gauge.h"

#include <QFontMetrics>
#include <QPainter>
#include <cmath>
#include <cstdio>
#include <limits>

namespace pyralis::ui {

namespace {

std::string range_message(int64_t low, int64_t high) {
  char text[80];
  std::snprintf(text, sizeof text, "Value must be between %lld and %lld",
                static_cast<long long>(low), static_cast<long long>(high));
  return text;
}

// image := image xor other, colour channels only.
void xor_into(QImage& image, const QImage& other) {
  for (int y = 0; y < image.height(); ++y) {
    auto* dst = reinterpret_cast<QRgb*>(image.scanLine(y));
    const auto* src = reinterpret_cast<const QRgb*>(other.constScanLine(y));
    for (int x = 0; x < image.width(); ++x)
      dst[x] = 0xFF000000u | ((dst[x] ^ src[x]) & 0x00FFFFFFu);
  }
}

// A logical `size` image of size x ratio pixels: painting on it is scaled by the ratio, so
// the gauge is drawn sharp on a high-density screen.
QImage black_image(QSize size, qreal ratio) {
  QImage image(size * ratio, QImage::Format_RGB32);
  image.setDevicePixelRatio(ratio);
  image.fill(Qt::black);
  return image;
}

}  // namespace

TGauge::TGauge(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  resize(100, 100);
}

int32_t TGauge::PercentDone() const {
  int64_t range = int64_t{max_value_} - min_value_;
  if (range == 0) return 0;
  return static_cast<int32_t>((int64_t{progress_} - min_value_) * 100 / range);
}

void TGauge::Repaint() {
  ++repaint_requests_;
  update();
}

template <typename T>
void TGauge::Store(T& field, T value) {
  if (field == value) return;
  field = value;
  Repaint();
}

void TGauge::SetKind(TGaugeKind kind) {
  Store(kind_, kind);
}
void TGauge::SetShowText(bool show) {
  Store(show_text_, show);
}
void TGauge::SetBorderStyle(TGaugeBorderStyle style) {
  Store(border_style_, style);
}
void TGauge::SetForeColor(QColor color) {
  Store(fore_color_, color);
}
void TGauge::SetBackColor(QColor color) {
  Store(back_color_, color);
}

void TGauge::SetMinValue(int32_t value) {
  if (value == min_value_) return;
  if (value > max_value_ && !loading_)
    throw TGaugeRangeError(range_message(-2147483647, int64_t{max_value_} - 1));
  min_value_ = value;
  if (progress_ < value) progress_ = value;
  Repaint();
}

void TGauge::SetMaxValue(int32_t value) {
  if (value == max_value_) return;
  if (value < min_value_ && !loading_)
    throw TGaugeRangeError(range_message(int64_t{min_value_} + 1, 2147483647));
  max_value_ = value;
  if (progress_ > value) progress_ = value;
  Repaint();
}

void TGauge::SetProgress(int32_t value) {
  if (value < min_value_)
    value = min_value_;
  else if (value > max_value_)
    value = max_value_;
  if (value == progress_) return;
  int32_t before = PercentDone();
  progress_ = value;
  if (PercentDone() != before) Repaint();
}

// The paint area is kept as left/top/right/bottom with right and bottom exclusive; W and H
// are right - left + 1 and bottom - top + 1, one more than the area's pixel size, and the
// bar and text positions below are taken from those values.
QImage TGauge::Render(qreal ratio) const {
  QImage image = black_image(size(), ratio);
  int left = 0, top = 0, right = width(), bottom = height();
  if (border_style_ == TGaugeBorderStyle::bsSingle) {
    ++left, ++top, --right, --bottom;
  }
  QImage overlay = black_image(size(), ratio);
  DrawBar(overlay, left, top, right, bottom);
  xor_into(image, overlay);
  if (show_text_) {
    QImage text = black_image(size(), ratio);
    DrawText(text, left, top, right, bottom);
    xor_into(image, text);
  }
  return image;
}

void TGauge::DrawBar(QImage& image, int left, int top, int right, int bottom) const {
  QPainter painter(&image);
  const int w = right - left + 1;
  const int h = bottom - top + 1;
  const int percent = PercentDone();
  const QRect area(QPoint(left, top), QPoint(right - 1, bottom - 1));
  switch (kind_) {
    case TGaugeKind::gkText:
      painter.fillRect(area, back_color_);
      break;
    case TGaugeKind::gkHorizontalBar: {
      painter.fillRect(area, back_color_);
      int fill = std::min(w, static_cast<int>(std::floor(w * percent * 0.01)));
      if (fill >= 1)
        painter.fillRect(QRect(QPoint(left, top), QPoint(fill - 1, h - 1)), fore_color_);
      break;
    }
    case TGaugeKind::gkVerticalBar: {
      painter.fillRect(area, back_color_);
      int fill = std::min(h - 1, static_cast<int>(std::floor(h * percent * 0.01)));
      if (fill >= 1) painter.fillRect(QRect(left, bottom - fill, right - left, fill), fore_color_);
      break;
    }
    case TGaugeKind::gkPie: {
      painter.fillRect(area, palette().color(QPalette::Window));
      painter.setPen(fore_color_);
      painter.setBrush(back_color_);
      painter.drawEllipse(area.adjusted(0, 0, -1, -1));
      if (percent > 0) {
        painter.setBrush(fore_color_);
        painter.drawPie(area.adjusted(0, 0, -1, -1), 90 * 16, -percent * 360 * 16 / 100);
      }
      break;
    }
    case TGaugeKind::gkNeedle: {
      painter.fillRect(area, palette().color(QPalette::Window));
      painter.setPen(fore_color_);
      painter.setBrush(back_color_);
      QRect dial(left, top, right - left - 1, 2 * (bottom - top) - 2);
      painter.drawChord(dial, 0, 180 * 16);
      painter.drawLine(left, bottom - 1, right - 1, bottom - 1);
      if (percent > 0) {
        double angle = percent * M_PI / 100.0;
        QPointF centre(left + (right - left) / 2.0, bottom - 1);
        double radius = std::min((right - left) / 2.0, double(bottom - top));
        painter.drawLine(centre,
                         centre + QPointF(-radius * std::cos(angle), -radius * std::sin(angle)));
      }
      break;
    }
  }
}

void TGauge::DrawText(QImage& image, int left, int top, int right, int bottom) const {
  QFont text_font = font();
  text_font.setStyleStrategy(QFont::NoAntialias);  // xor needs solid pixels
  const QFontMetrics metrics(text_font);
  const QString text = QStringLiteral("%1%").arg(PercentDone());
  const int w = right - left + 1;
  const int h = bottom - top + 1;
  const int x = (w - metrics.horizontalAdvance(text)) / 2;
  const int y = (h - metrics.height()) / 2;
  QPainter painter(&image);
  painter.setClipRect(QRect(QPoint(left, top), QPoint(right - 1, bottom - 1)));
  painter.setFont(text_font);
  painter.setPen(Qt::white);
  painter.drawText(x, y + metrics.ascent(), text);
}

void TGauge::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.drawImage(0, 0, Render(devicePixelRatioF()));
}

}  // namespace pyralis::ui
