// SPDX-License-Identifier: GPL-3.0-or-later
// The program's own images (SVG in Qt resources), rendered to pixmaps.
#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QSize>
#include <QString>

namespace pyralis::ui {

// Makes the resources of this static library available; safe to call more than once.
void init_resources();
// ":/icons/<name>.svg" rendered at `size`.
QPixmap svg_pixmap(const QString& name, QSize size);
// The same image at 16, 32 and `size` pixels.
QIcon svg_icon(const QString& name, QSize size = QSize(16, 16));
// The same drawn wholly in `colour` (a one-colour glyph that must follow the theme's text).
QIcon tinted_svg_icon(const QString& name, QSize size, const QColor& colour);

}  // namespace pyralis::ui
