// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/loop_animation.h"

#include <QPainter>
#include <QPainterPath>
#include <cmath>

namespace pyralis::ui {

namespace {

void paint_folder(QPainter& painter, QRectF box, QColor face) {
  QPainterPath shape;
  const double tab = box.width() * 0.4;
  shape.moveTo(box.left(), box.top());
  shape.lineTo(box.left() + tab, box.top());
  shape.lineTo(box.left() + tab + 3, box.top() + 4);
  shape.lineTo(box.right(), box.top() + 4);
  shape.lineTo(box.right(), box.bottom());
  shape.lineTo(box.left(), box.bottom());
  shape.closeSubpath();
  painter.setPen(QPen(QColor(120, 90, 10), 1));
  painter.setBrush(face);
  painter.drawPath(shape);
  painter.drawLine(QPointF(box.left(), box.top() + 8), QPointF(box.right(), box.top() + 8));
}

void paint_page(QPainter& painter, QPointF centre, double tilt) {
  painter.save();
  painter.translate(centre);
  painter.rotate(tilt);
  painter.setPen(QPen(QColor(90, 90, 90), 1));
  painter.setBrush(Qt::white);
  painter.drawRect(QRectF(-7, -9, 14, 18));
  painter.setPen(QColor(150, 150, 200));
  for (int line = 0; line < 4; ++line)
    painter.drawLine(QPointF(-4, -5 + 3 * line), QPointF(4, -5 + 3 * line));
  painter.restore();
}

}  // namespace

TLoopAnimation::TLoopAnimation(Clip clip, int frames, QWidget* parent)
    : QWidget(parent), clip_(clip), frames_(frames < 1 ? 1 : frames) {
  timer_.setInterval(70);
  connect(&timer_, &QTimer::timeout, this, [this] {
    frame_ = (frame_ + 1) % frames_;
    update();
  });
}

void TLoopAnimation::showEvent(QShowEvent*) {
  frame_ = 0;
  timer_.start();
}

void TLoopAnimation::hideEvent(QHideEvent*) {
  timer_.stop();
}

void TLoopAnimation::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const double phase = double(frame_) / frames_;
  if (clip_ == Clip::FindFolder)
    PaintFindFolder(painter, phase);
  else
    PaintCopyFiles(painter, phase);
}

void TLoopAnimation::PaintFindFolder(QPainter& painter, double phase) {
  const double w = width(), h = height();
  paint_folder(painter, QRectF(w * 0.2, h * 0.3, w * 0.55, h * 0.6), QColor(240, 200, 80));
  // The magnifier circles over the folder.
  const double angle = phase * 2 * M_PI;
  const QPointF lens(w * 0.5 + w * 0.18 * std::cos(angle), h * 0.45 + h * 0.18 * std::sin(angle));
  const double r = h * 0.2;
  painter.setPen(QPen(QColor(110, 70, 30), 3.5, Qt::SolidLine, Qt::RoundCap));
  painter.drawLine(lens + QPointF(r * 0.7, r * 0.7), lens + QPointF(r * 1.5, r * 1.5));
  painter.setPen(QPen(QColor(40, 60, 120), 2));
  painter.setBrush(QColor(210, 235, 255, 190));
  painter.drawEllipse(lens, r, r);
}

void TLoopAnimation::PaintCopyFiles(QPainter& painter, double phase) {
  const double w = width(), h = height();
  const QColor face(240, 200, 80);
  paint_folder(painter, QRectF(8, h * 0.35, 48, h * 0.55), face);
  paint_folder(painter, QRectF(w - 56, h * 0.35, 48, h * 0.55), face);
  // A page flies along an arc from the left folder to the right one.
  const double x0 = 32, x1 = w - 32, span = x1 - x0;
  const double x = x0 + span * phase;
  const double y = h * 0.55 - std::sin(phase * M_PI) * h * 0.4;
  paint_page(painter, QPointF(x, y), -30 + 60 * phase);
}

}  // namespace pyralis::ui
