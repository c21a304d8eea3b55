// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/wait_form.h"

#include <QLocale>

#include "core/found_files.h"
#include "core/process_state.h"

namespace pyralis::ui {

TWaitForm::TWaitForm(QWidget* parent)
    : TProgressDialog(QStringLiteral("Pyralis - Wait Form"), QSize(283, 150), parent) {
  setObjectName(QStringLiteral("WaitForm"));
  Animate1 = new TLoopAnimation(TLoopAnimation::Clip::CopyFiles, 31, this);
  Animate1->setGeometry(4, 6, 272, 60);
  StopBitBtn = MakeStopButton(QRect(200, 114, 75, 25));
  FileLabel = new QLabel(this);
  FileLabel->setGeometry(8, 70, 268, 16);
  FilesBar = new QProgressBar(this);
  FilesBar->setGeometry(8, 90, 268, 17);
  FilesBar->setTextVisible(false);
  connect(StopBitBtn, &QPushButton::clicked, this, &TWaitForm::StopBitBtnClick);
}

void TWaitForm::SetFileProgress(int n, int m, int64_t bytes_done, int64_t bytes_total) {
  // Sizes in the list's units ("Kb", "Mb").
  FileLabel->setText(QStringLiteral("File %1 of %2, %3 of %4 written")
                         .arg(n)
                         .arg(m)
                         .arg(QString::fromStdString(size_to_text(bytes_done, '.')),
                              QString::fromStdString(size_to_text(bytes_total, '.'))));
  // Per mille of the bytes, so one large file among small ones shows its weight.
  FilesBar->setRange(0, 1000);
  FilesBar->setValue(bytes_total > 0 ? static_cast<int>(bytes_done * 1000 / bytes_total)
                                     : (m > 0 ? (n - 1) * 1000 / m : 0));
}

void TWaitForm::StopBitBtnClick() {
  RecoveryActive = false;
}

bool TWaitForm::KeepsFocus() const {
  return RecoveryActive;
}

}  // namespace pyralis::ui
