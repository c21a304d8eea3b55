// The glyph of the progress dialogs' Stop buttons: a 16 x 16 red rounded square, darker
// toward its lower edge, with a light pink power symbol; the corners are transparent.
#pragma once

#include <QPixmap>

namespace pyralis::ui {

QPixmap stop_glyph();

}  // namespace pyralis::ui
