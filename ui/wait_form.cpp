#include "ui/wait_form.h"

#include "core/process_state.h"

namespace pyralis::ui {

TWaitForm::TWaitForm(QWidget* parent)
    : TProgressDialog(QStringLiteral("Pyralis - Wait Form"), QSize(283, 108), parent) {
  setObjectName(QStringLiteral("WaitForm"));
  Animate1 = new TLoopAnimation(TLoopAnimation::Clip::CopyFiles, 31, this);
  Animate1->setGeometry(4, 6, 272, 60);
  StopBitBtn = MakeStopButton(QRect(200, 72, 75, 25));
  connect(StopBitBtn, &QPushButton::clicked, this, &TWaitForm::StopBitBtnClick);
}

void TWaitForm::StopBitBtnClick() {
  RecoveryActive = false;
}

bool TWaitForm::KeepsFocus() const {
  return RecoveryActive;
}

}  // namespace pyralis::ui
