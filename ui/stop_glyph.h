// SPDX-License-Identifier: GPL-3.0-or-later
// The glyph of the progress dialogs' Stop buttons: a 16 x 16 red rounded square, darker
// toward its lower edge, with a light pink power symbol; the corners are transparent.
#pragma once

#include <QPixmap>

namespace pyralis::ui {

// `ratio` device pixels per logical pixel (2 for a 200 % screen).
QPixmap stop_glyph(qreal ratio = 1.0);

}  // namespace pyralis::ui
