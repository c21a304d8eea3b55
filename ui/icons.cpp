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
  for (QSize s : {QSize(16, 16), QSize(32, 32), size}) icon.addPixmap(svg_pixmap(name, s));
  return icon;
}

}  // namespace pyralis::ui
