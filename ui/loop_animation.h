// SPDX-License-Identifier: GPL-3.0-or-later
// A small looping animation drawn by the program itself: a magnifier searching over a
// folder (scan dialog) or pages flying from one folder to another (recovery dialog). It
// plays from a timer while shown, so it moves whenever the event loop runs.
#pragma once

#include <QTimer>
#include <QWidget>

namespace pyralis::ui {

class TLoopAnimation : public QWidget {
  Q_OBJECT

 public:
  enum class Clip { FindFolder, CopyFiles };
  // `frames` frames, shown one after the other and then again from the first.
  TLoopAnimation(Clip clip, int frames, QWidget* parent = nullptr);

  int Frame() const { return frame_; }
  bool Playing() const { return timer_.isActive(); }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void PaintFindFolder(class QPainter& painter, double phase);
  void PaintCopyFiles(class QPainter& painter, double phase);

  Clip clip_;
  int frames_;
  int frame_ = 0;
  QTimer timer_;
};

}  // namespace pyralis::ui
