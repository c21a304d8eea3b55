// SPDX-License-Identifier: GPL-3.0-or-later
// TSearchForm: the scan-progress dialog (found-files count, elapsed time, gauge, Stop).
#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "ui/gauge.h"
#include "ui/loop_animation.h"
#include "ui/progress_dialog.h"

namespace pyralis::ui {

class TSearchForm : public TProgressDialog {
  Q_OBJECT

 public:
  explicit TSearchForm(QWidget* parent = nullptr);

  // Gauge 0, found files "0", elapsed "00:00:00": the state a scan starts from.
  void Reset();

  QLabel* StaticText1;
  QLineEdit* FilesFoundEdit;
  QLabel* StaticText2;
  QLineEdit* ElapsedEdit;
  TLoopAnimation* SearchAnimate;
  TGauge* SearchProgressBar;
  QPushButton* StopBitBtn;

 public slots:
  // Clears ScanActive; the dialog stays until the main window closes it.
  void StopBitBtnClick();

 protected:
  bool KeepsFocus() const override;
};

// A read-only edit with a silver background, as both progress fields use.
QLineEdit* make_readonly_field(const QString& text, QRect geometry, QWidget* parent);

}  // namespace pyralis::ui
