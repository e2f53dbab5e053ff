#include "ui/app_icon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace quayside {

namespace {

// Draws the 64 x 64 design of data/quayside.svg scaled to `size`.
QPixmap drawIcon(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.scale(size / 64.0, size / 64.0);

  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(0x1f, 0x4e, 0x79));
  painter.drawRoundedRect(QRectF(4, 4, 56, 56), 10, 10);

  painter.setBrush(QColor(0xf2, 0xb1, 0x34));
  painter.drawRect(QRectF(16, 20, 6, 10));
  painter.drawRect(QRectF(42, 20, 6, 10));
  painter.setBrush(QColor(0xe8, 0xe8, 0xe8));
  painter.drawRect(QRectF(10, 29, 44, 8));

  QPen wave(QColor(0x7f, 0xc4, 0xff), 3);
  wave.setCapStyle(Qt::RoundCap);
  painter.setPen(wave);
  painter.setBrush(Qt::NoBrush);
  for (const double y : {46.0, 53.0}) {
    QPainterPath path(QPointF(10, y));
    for (int step = 0; step < 4; ++step) {
      const double x = 10 + step * 11;
      path.quadTo(QPointF(x + 2.75, y - 3), QPointF(x + 5.5, y));
      path.quadTo(QPointF(x + 8.25, y + 3), QPointF(x + 11, y));
    }
    painter.drawPath(path);
  }
  return pixmap;
}

}  // namespace

QIcon applicationIcon() {
  QIcon icon;
  for (const int size : {16, 22, 24, 32, 48, 64, 128}) {
    icon.addPixmap(drawIcon(size));
  }
  return icon;
}

}  // namespace quayside
