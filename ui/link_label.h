// SPDX-License-Identifier: GPL-3.0-or-later
// A label that looks and acts like a link: hand cursor, underlined, clicked signal.
#pragma once

#include <QLabel>

namespace pyralis::ui {

class TLinkLabel : public QLabel {
  Q_OBJECT

 public:
  TLinkLabel(const QString& text, QWidget* parent = nullptr);

 signals:
  void clicked();

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;
};

}  // namespace pyralis::ui
