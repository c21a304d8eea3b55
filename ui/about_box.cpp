// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/about_box.h"

#include <algorithm>

#include "platform/version_text.h"
#include "ui/shell_open.h"

namespace pyralis::ui {

namespace {

// Labels keep their place and take the width their caption needs.
// Labels keep their place and take the width their caption needs; a label that follows
// another on its line moves right when the desktop font makes the first one wider.
template <typename Label>
Label* place(Label* label, int left, int top, const QWidget* after = nullptr) {
  if (after) left = std::max(left, after->geometry().right() + 6);
  label->move(left, top);
  label->adjustSize();
  return label;
}

void link_style(QLabel* label) {
  QPalette colours = label->palette();
  colours.setColor(QPalette::WindowText, colours.color(QPalette::Highlight));
  colours.setColor(QPalette::Window, colours.color(QPalette::Light));
  label->setPalette(colours);
  label->setAutoFillBackground(true);
}

}  // namespace

TAboutBox::TAboutBox(const TVersionInfoReader& reader, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint) {
  setObjectName(QStringLiteral("AboutBox"));
  setWindowTitle(QStringLiteral("Pyralis - About"));
  setFixedSize(356, 166);
  QFont box_font = font();
  box_font.setPointSize(8);
  setFont(box_font);

  Label1 = place(new QLabel(QStringLiteral("Pyralis"), this), 24, 9);
  Version = place(new QLabel(QStringLiteral("Version"), this), 24, 29);
  VersionLabel = place(new QLabel(QStringLiteral("1.0.0.0"), this), 65, 29, Version);
  Label2 = place(new QLabel(QStringLiteral("Copyright © 2004"), this), 24, 49);
  Label4 = place(new QLabel(QString::fromLatin1(kMakerName), this), 112, 49, Label2);
  SiteLabel = new TLinkLabel(QString::fromLatin1(kWebAddress), this);
  link_style(place(SiteLabel, 24, 69));
  Label3 =
      new TLinkLabel(QStringLiteral("mailto:") + QString::fromLatin1(kSupportMailAddress), this);
  link_style(place(Label3, 24, 89));
  // A bevel showing only its bottom edge.
  Bevel1 = new QFrame(this);
  Bevel1->setFrameShape(QFrame::HLine);
  Bevel1->setFrameShadow(QFrame::Sunken);
  Bevel1->setGeometry(2, 105 + 17 - 2, 351, 2);
  LicenceLabel = place(
      new QLabel(QStringLiteral("Licence: ") + QString::fromLatin1(platform::kLicenceName), this),
      24, 135);
  OKButton = new QPushButton(QStringLiteral("OK"), this);
  OKButton->setGeometry(277, 129, 75, 25);
  OKButton->setDefault(true);

  connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);
  connect(SiteLabel, &TLinkLabel::clicked, this, &TAboutBox::SiteLabelClick);
  connect(Label3, &TLinkLabel::clicked, this, &TAboutBox::Label3Click);
  FormCreate(reader);
}

void TAboutBox::FormCreate(const TVersionInfoReader& reader) {
  VersionLabel->setText(reader.FileVersion());
  VersionLabel->adjustSize();
}

void TAboutBox::SiteLabelClick() {
  shell_open(QUrl(QString::fromLatin1(kWebAddress)));
}

void TAboutBox::Label3Click() {
  shell_open(QUrl(Label3->text()));
}

}  // namespace pyralis::ui
