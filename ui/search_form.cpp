// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/search_form.h"

#include "core/process_state.h"

namespace pyralis::ui {

QLineEdit* make_readonly_field(const QString& text, QRect geometry, QWidget* parent) {
  auto* edit = new QLineEdit(text, parent);
  edit->setReadOnly(true);
  edit->setGeometry(geometry);
  QPalette silver = edit->palette();
  silver.setColor(QPalette::Base, QColor(192, 192, 192));
  // Black on silver whatever the theme: a dark theme's light text would hardly show.
  silver.setColor(QPalette::Text, Qt::black);
  edit->setPalette(silver);
  return edit;
}

TSearchForm::TSearchForm(QWidget* parent)
    : TProgressDialog(QStringLiteral("Pyralis - Search Progress"), QSize(256, 148), parent) {
  setObjectName(QStringLiteral("SearchForm"));
  StaticText1 = new QLabel(QStringLiteral("Files Found:"), this);
  StaticText1->move(8, 34);
  StaticText1->adjustSize();  // the desktop font may be wider than the 61 x 17 box
  FilesFoundEdit = make_readonly_field(QStringLiteral("0"), QRect(96, 27, 57, 21), this);
  StaticText2 = new QLabel(QStringLiteral("Time Elapsed:"), this);
  StaticText2->move(8, 54);
  StaticText2->adjustSize();
  ElapsedEdit = make_readonly_field(QStringLiteral("00:00:00"), QRect(96, 48, 57, 21), this);
  SearchAnimate = new TLoopAnimation(TLoopAnimation::Clip::FindFolder, 29, this);
  SearchAnimate->setGeometry(160, 24, 80, 50);
  SearchProgressBar = new TGauge(this);
  SearchProgressBar->setGeometry(8, 88, 233, 17);
  SearchProgressBar->SetForeColor(QColor(191, 239, 191));
  SearchProgressBar->SetMaxValue(0);
  SearchProgressBar->SetProgress(0);
  StopBitBtn = MakeStopButton(QRect(160, 112, 81, 25));
  connect(StopBitBtn, &QPushButton::clicked, this, &TSearchForm::StopBitBtnClick);
  StopBitBtn->setFocus();
}

void TSearchForm::Reset() {
  SearchProgressBar->SetProgress(0);
  FilesFoundEdit->setText(QStringLiteral("0"));
  ElapsedEdit->setText(QStringLiteral("00:00:00"));
}

void TSearchForm::StopBitBtnClick() {
  ScanActive = false;
}

bool TSearchForm::KeepsFocus() const {
  return ScanActive && isVisible() && isEnabled();
}

}  // namespace pyralis::ui
