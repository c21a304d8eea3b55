// SPDX-License-Identifier: GPL-3.0-or-later
// What the two progress dialogs share: a fixed dialog without title-bar buttons, always on
// top, centred on the main window, that takes the focus back while its operation runs.
#pragma once

#include <QDialog>
#include <QPushButton>

namespace pyralis::ui {

class TProgressDialog : public QDialog {
  Q_OBJECT

 public:
  TProgressDialog(const QString& caption, QSize client_size, QWidget* parent);

 protected:
  // True while the dialog should keep the focus (its operation's flag is set, ...).
  virtual bool KeepsFocus() const = 0;
  // A "Stop" button with the stop glyph at the given place.
  QPushButton* MakeStopButton(QRect geometry);
  void changeEvent(QEvent* event) override;
  // Escape and the window manager's close do not end the dialog; only its owner hides it.
  void reject() override {}
};

}  // namespace pyralis::ui
