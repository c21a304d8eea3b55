// SPDX-License-Identifier: GPL-3.0-or-later
// TWaitForm: the recovery-progress dialog (an animation and Stop).
#pragma once

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include "ui/loop_animation.h"
#include "ui/progress_dialog.h"

namespace pyralis::ui {

class TWaitForm : public TProgressDialog {
  Q_OBJECT

 public:
  explicit TWaitForm(QWidget* parent = nullptr);

  TLoopAnimation* Animate1;
  QPushButton* StopBitBtn;
  QLabel* FileLabel;
  QProgressBar* FilesBar;

  // "File n of m" and the bytes of the files done so far, against those of all m.
  void SetFileProgress(int n, int m, int64_t bytes_done, int64_t bytes_total);

 public slots:
  // Clears RecoveryActive; the dialog stays until the main window closes it.
  void StopBitBtnClick();

 protected:
  bool KeepsFocus() const override;
};

}  // namespace pyralis::ui
