// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/progress_dialog.h"

#include <QEvent>
#include <QTimer>

#include "ui/stop_glyph.h"

namespace pyralis::ui {

TProgressDialog::TProgressDialog(const QString& caption, QSize client_size, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowStaysOnTopHint | Qt::MSWindowsFixedSizeDialogHint) {
  setWindowTitle(caption);
  setFixedSize(client_size);
  setModal(false);
  // The fields sit at fixed places, laid out for this size.
  QFont dialog_font = font();
  dialog_font.setPointSize(8);
  setFont(dialog_font);
}

QPushButton* TProgressDialog::MakeStopButton(QRect geometry) {
  auto* button = new QPushButton(QStringLiteral("Stop"), this);
  button->setObjectName(QStringLiteral("StopBitBtn"));
  button->setGeometry(geometry);
  QIcon glyph;
  for (const qreal ratio : {1.0, 1.5, 2.0, 3.0}) glyph.addPixmap(stop_glyph(ratio));
  button->setIcon(glyph);
  button->setIconSize(QSize(16, 16));
  button->setDefault(true);
  return button;
}

void TProgressDialog::changeEvent(QEvent* event) {
  QDialog::changeEvent(event);
  if (event->type() != QEvent::ActivationChange || isActiveWindow() || !KeepsFocus()) return;
  // Take the focus back once the activation change has settled.
  QTimer::singleShot(0, this, [this] {
    if (!isActiveWindow() && KeepsFocus()) {
      raise();
      activateWindow();
    }
  });
}

}  // namespace pyralis::ui
