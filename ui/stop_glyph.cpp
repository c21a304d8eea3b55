// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/stop_glyph.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace pyralis::ui {

QPixmap stop_glyph(qreal ratio) {
  QPixmap glyph(QSize(16, 16) * ratio);
  glyph.setDevicePixelRatio(ratio);
  glyph.fill(Qt::transparent);
  QPainter painter(&glyph);
  painter.setRenderHint(QPainter::Antialiasing);

  QLinearGradient shade(0, 0, 0, 16);
  shade.setColorAt(0.0, QColor(250, 90, 80));
  shade.setColorAt(0.5, QColor(215, 30, 25));
  shade.setColorAt(1.0, QColor(130, 10, 10));
  QPainterPath square;
  square.addRoundedRect(QRectF(0.5, 0.5, 15, 15), 3.5, 3.5);
  painter.fillPath(square, shade);
  painter.setPen(QPen(QColor(110, 0, 0), 1));
  painter.drawPath(square);

  // The power symbol: a ring open at the top and a bar through the gap.
  QPen pink(QColor(255, 200, 205), 1.7, Qt::SolidLine, Qt::RoundCap);
  painter.setPen(pink);
  painter.drawArc(QRectF(3.5, 4.0, 9, 9), 125 * 16, 290 * 16);
  painter.drawLine(QPointF(8, 2.8), QPointF(8, 8));
  return glyph;
}

}  // namespace pyralis::ui
