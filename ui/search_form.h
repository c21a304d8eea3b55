// SPDX-License-Identifier: GPL-3.0-or-later
// TSearchForm: the scan-progress dialog (found-files count, elapsed time, gauge, Stop).
#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <cstdint>

#include "ui/gauge.h"
#include "ui/loop_animation.h"
#include "ui/progress_dialog.h"

namespace pyralis::ui {

class TSearchForm : public TProgressDialog {
  Q_OBJECT

 public:
  explicit TSearchForm(QWidget* parent = nullptr);

  // Gauge 0, found files "0", elapsed "00:00:00", no read line: the state a scan starts from.
  void Reset();
  // The line under the gauge while a pass reads the whole volume (deep scan, search by
  // content): read_progress_text(); shown from the first call on.
  void SetReadProgress(const QString& text);

  QLabel* StaticText1;
  QLineEdit* FilesFoundEdit;
  QLabel* StaticText2;
  QLineEdit* ElapsedEdit;
  TLoopAnimation* SearchAnimate;
  TGauge* SearchProgressBar;
  QLabel* ReadProgressText;
  QPushButton* StopBitBtn;

 public slots:
  // Clears ScanActive; the dialog stays until the main window closes it.
  void StopBitBtnClick();

 protected:
  bool KeepsFocus() const override;
};

// "Read 1,234 of 4,000 Mb, 85 Mb/s, 00:00:33 left": what a pass over the whole volume has
// read of `total` bytes, its rate and the time still needed at that rate (left out while
// `seconds_left` is negative), as the command line says it, in the list's units (1 Mb =
// 1,000,000 bytes).
QString read_progress_text(uint64_t done, uint64_t total, double bytes_per_second,
                           double seconds_left);

// A read-only edit with a silver background, as both progress fields use.
QLineEdit* make_readonly_field(const QString& text, QRect geometry, QWidget* parent);

}  // namespace pyralis::ui
