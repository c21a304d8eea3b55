// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/flow_layout.h"

#include <QWidget>
#include <algorithm>

namespace pyralis::ui {

FlowLayout::FlowLayout(QWidget* parent, int spacing) : QLayout(parent) {
  setSpacing(spacing);
}

FlowLayout::~FlowLayout() {
  while (QLayoutItem* item = takeAt(0)) delete item;
}

void FlowLayout::addLineBreak() {
  breaks_.append(static_cast<int>(items_.size()));
}

void FlowLayout::addItem(QLayoutItem* item) {
  items_.append(item);
}

QLayoutItem* FlowLayout::takeAt(int index) {
  if (index < 0 || index >= items_.size()) return nullptr;
  return items_.takeAt(index);
}

int FlowLayout::heightForWidth(int width) const {
  return Arrange(QRect(0, 0, width, 0), false);
}

QSize FlowLayout::minimumSize() const {
  QSize size;
  for (const QLayoutItem* item : items_) size = size.expandedTo(item->minimumSize());
  const QMargins m = contentsMargins();
  return size + QSize(m.left() + m.right(), m.top() + m.bottom());
}

QSize FlowLayout::sizeHint() const {
  // One line per explicit break, as wide as the widest of them.
  int width = 0, line = 0, height = 0, line_height = 0;
  for (int i = 0; i < items_.size(); ++i) {
    if (i > 0 && breaks_.contains(i)) {
      width = std::max(width, line);
      height += line_height + spacing();
      line = line_height = 0;
    }
    const QSize hint = items_[i]->sizeHint();
    line += (line > 0 ? spacing() : 0) + hint.width();
    line_height = std::max(line_height, hint.height());
  }
  width = std::max(width, line);
  height += line_height;
  const QMargins m = contentsMargins();
  return {width + m.left() + m.right(), height + m.top() + m.bottom()};
}

void FlowLayout::setGeometry(const QRect& rect) {
  QLayout::setGeometry(rect);
  Arrange(rect, true);
}

int FlowLayout::Arrange(const QRect& rect, bool apply) const {
  const QMargins m = contentsMargins();
  const QRect area = rect.adjusted(m.left(), m.top(), -m.right(), -m.bottom());
  int x = area.x(), y = area.y(), line_height = 0;
  for (int i = 0; i < items_.size(); ++i) {
    QLayoutItem* item = items_[i];
    const QSize hint = item->sizeHint();
    const bool forced = i > 0 && breaks_.contains(i);
    if (x > area.x() && (forced || x + hint.width() > area.right() + 1)) {
      x = area.x();
      y += line_height + spacing();
      line_height = 0;
    }
    if (apply) item->setGeometry(QRect(QPoint(x, y), hint));
    x += hint.width() + spacing();
    line_height = std::max(line_height, hint.height());
  }
  return y + line_height - rect.y() + m.bottom();
}

}  // namespace pyralis::ui
