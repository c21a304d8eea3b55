// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/search_form.h"

#include <algorithm>

#include <QLocale>

#include "core/process_state.h"

namespace pyralis::ui {

QString read_progress_text(uint64_t done, uint64_t total, double bytes_per_second,
                           double seconds_left) {
  const QLocale english(QLocale::English, QLocale::UnitedStates);
  constexpr uint64_t kMb = 1000000;
  QString text = QStringLiteral("Read %1 of %2 Mb, %3 Mb/s")
                     .arg(english.toString(static_cast<qulonglong>(done / kMb)),
                          english.toString(static_cast<qulonglong>(total / kMb)),
                          english.toString(static_cast<qulonglong>(
                              bytes_per_second > 0 ? bytes_per_second / kMb : 0)));
  if (seconds_left >= 0) {
    const auto s = static_cast<qulonglong>(seconds_left + 0.5);
    text += QStringLiteral(", %1:%2:%3 left")
                .arg(s / 3600, 2, 10, QLatin1Char('0'))
                .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
                .arg(s % 60, 2, 10, QLatin1Char('0'));
  }
  return text;
}

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
  // The desktop font may need more than 57 pixels for "00:00:00" and the field's margins: both
  // fields grow (by at most 12 pixels) and the animation moves right by as much.
  const int grow = std::clamp(
      ElapsedEdit->fontMetrics().horizontalAdvance(QStringLiteral("00:00:00")) + 10 - 57, 0, 12);
  if (grow > 0) {
    FilesFoundEdit->resize(57 + grow, 21);
    ElapsedEdit->resize(57 + grow, 21);
    SearchAnimate->move(160 + grow, 24);
  }
  SearchProgressBar = new TGauge(this);
  SearchProgressBar->setGeometry(8, 88, 233, 17);
  SearchProgressBar->SetForeColor(QColor(191, 239, 191));
  SearchProgressBar->SetMaxValue(0);
  SearchProgressBar->SetProgress(0);
  // Two short lines left of Stop: what a pass over the whole volume has read.
  ReadProgressText = new QLabel(this);
  ReadProgressText->setObjectName(QStringLiteral("ReadProgressText"));
  ReadProgressText->setGeometry(8, 107, 148, 36);
  ReadProgressText->setWordWrap(true);
  ReadProgressText->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  QFont small = ReadProgressText->font();
  small.setPointSizeF(small.pointSizeF() * 0.9);
  ReadProgressText->setFont(small);
  ReadProgressText->hide();
  StopBitBtn = MakeStopButton(QRect(160, 112, 81, 25));
  connect(StopBitBtn, &QPushButton::clicked, this, &TSearchForm::StopBitBtnClick);
  StopBitBtn->setFocus();
}

void TSearchForm::Reset() {
  SearchProgressBar->SetProgress(0);
  FilesFoundEdit->setText(QStringLiteral("0"));
  ElapsedEdit->setText(QStringLiteral("00:00:00"));
  ReadProgressText->clear();
  ReadProgressText->hide();
}

void TSearchForm::SetReadProgress(const QString& text) {
  ReadProgressText->setText(text);
  ReadProgressText->show();
}

void TSearchForm::StopBitBtnClick() {
  ScanActive = false;
}

bool TSearchForm::KeepsFocus() const {
  return ScanActive && isVisible() && isEnabled();
}

}  // namespace pyralis::ui
