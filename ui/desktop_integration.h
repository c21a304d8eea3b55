// SPDX-License-Identifier: GPL-3.0-or-later
// Where the desktop program meets the Linux desktop: its window icon from the installed icon
// theme, and the help that F1 opens.
#pragma once

#include <QIcon>
#include <QStringList>
#include <QUrl>

namespace pyralis::ui {

// The installed icon (by the desktop id, then "pyralis"), else the program's own scan icon.
QIcon window_icon();
// What "Contens and index" opens, first found of: help.chm beside the program, the installed
// README (share/doc/pyralis), the installed manual page (as a man: address), the README of
// the source tree the program was built in. Empty when there is none.
QUrl help_url();
// The places help_url() looks at, in order (for the message when none is there).
QStringList help_places();

}  // namespace pyralis::ui
