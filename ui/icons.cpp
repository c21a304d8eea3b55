// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/icons.h"

#include <QPainter>
#include <QSvgRenderer>

static void init_icons_resource() {
  Q_INIT_RESOURCE(icons);
}

namespace pyralis::ui {

void init_resources() {
  static bool done = false;
  if (!done) {
    init_icons_resource();
    done = true;
  }
}

QPixmap svg_pixmap(const QString& name, QSize size) {
  init_resources();
  QPixmap pixmap(size);
  pixmap.fill(Qt::transparent);
  QSvgRenderer renderer(QStringLiteral(":/icons/%1.svg").arg(name));
  if (renderer.isValid()) {
    QPainter painter(&pixmap);
    renderer.render(&painter);
  }
  return pixmap;
}

QIcon svg_icon(const QString& name, QSize size) {
  QIcon icon;
  // Each size also at 1.5 and 2 device pixels per pixel, for high-density screens.
  for (QSize s : {QSize(16, 16), QSize(32, 32), size}) {
    for (const qreal ratio : {1.0, 1.5, 2.0}) {
      QPixmap pixmap = svg_pixmap(name, s * ratio);
      pixmap.setDevicePixelRatio(ratio);
      icon.addPixmap(pixmap);
    }
  }
  return icon;
}

QIcon tinted_svg_icon(const QString& name, QSize size, const QColor& colour) {
  QIcon icon;
  for (const qreal ratio : {1.0, 1.5, 2.0}) {
    QPixmap pixmap = svg_pixmap(name, size * ratio);
    {
      QPainter painter(&pixmap);
      painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
      painter.fillRect(pixmap.rect(), colour);
    }
    pixmap.setDevicePixelRatio(ratio);
    icon.addPixmap(pixmap);
  }
  return icon;
}

}  // namespace pyralis::ui
