// SPDX-License-Identifier: GPL-3.0-or-later
// TAboutBox: the modal about dialog (product, version, the maker's notice and two links).
#pragma once

#include <QDialog>
#include <QFrame>
#include <QLabel>
#include <QPushButton>

#include "ui/link_label.h"
#include "ui/version_info.h"

namespace pyralis::ui {

class TAboutBox : public QDialog {
  Q_OBJECT

 public:
  // `reader` is the main window's version reader; its FileVersion is shown.
  TAboutBox(const TVersionInfoReader& reader, QWidget* parent = nullptr);

  QLabel* Label1;
  QLabel* Version;
  QLabel* VersionLabel;
  QLabel* Label2;
  QLabel* Label4;
  TLinkLabel* SiteLabel;
  TLinkLabel* Label3;
  QLabel* LicenceLabel;  // "Licence: GPL-3.0-or-later", beside the OK button
  QFrame* Bevel1;
  QPushButton* OKButton;

 public slots:
  void SiteLabelClick();
  void Label3Click();

 private:
  void FormCreate(const TVersionInfoReader& reader);
};

}  // namespace pyralis::ui
