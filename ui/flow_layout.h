// SPDX-License-Identifier: GPL-3.0-or-later
// A layout that places its widgets left to right and starts a new line when the next one
// does not fit, so a row of labels wraps between labels instead of widening the window.
#pragma once

#include <QLayout>
#include <QList>

namespace pyralis::ui {

class FlowLayout : public QLayout {
 public:
  explicit FlowLayout(QWidget* parent, int spacing = 4);
  ~FlowLayout() override;

  // Ends the current line after the last widget added (a line break of the text).
  void addLineBreak();

  void addItem(QLayoutItem* item) override;
  int count() const override { return static_cast<int>(items_.size()); }
  QLayoutItem* itemAt(int index) const override { return items_.value(index); }
  QLayoutItem* takeAt(int index) override;
  Qt::Orientations expandingDirections() const override { return {}; }
  bool hasHeightForWidth() const override { return true; }
  int heightForWidth(int width) const override;
  QSize minimumSize() const override;
  QSize sizeHint() const override;
  void setGeometry(const QRect& rect) override;

 private:
  // Lays the items out in `rect` (only measures when `apply` is false); the height used.
  int Arrange(const QRect& rect, bool apply) const;

  QList<QLayoutItem*> items_;
  QList<int> breaks_;  // item indexes that start a new line
};

}  // namespace pyralis::ui
