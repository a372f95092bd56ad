#include "AppIcon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace sarnovelle {

namespace {

QPixmap paintIcon(int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 128.0, size / 128.0); // the SVG's view box
    painter.setPen(Qt::NoPen);

    painter.setBrush(QColor(0x1F, 0x4E, 0x79));
    painter.drawRoundedRect(QRectF(8, 8, 112, 112), 24, 24);
    painter.setBrush(QColor(0xC8, 0xCD, 0xD2));
    painter.drawRoundedRect(QRectF(50, 88, 28, 24), 2, 2);
    painter.setBrush(QColor(0x1F, 0x4E, 0x79));
    painter.drawRect(QRectF(56, 96, 6, 6));
    painter.drawRect(QRectF(66, 96, 6, 6));
    painter.setBrush(QColor(0xF4, 0xF6, 0xF8));
    painter.drawRoundedRect(QRectF(38, 24, 52, 66), 8, 8);

    QPen check(QColor(0x2E, 0x9E, 0x4F), 9, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(check);
    painter.setBrush(Qt::NoBrush);
    QPainterPath mark;
    mark.moveTo(50, 58);
    mark.lineTo(61, 70);
    mark.lineTo(80, 44);
    painter.drawPath(mark);
    return pixmap;
}

} // namespace

QIcon appIcon()
{
    QIcon icon;
    for (const int size : {16, 24, 32, 48, 64, 128, 256}) {
        icon.addPixmap(paintIcon(size));
    }
    return icon;
}

} // namespace sarnovelle
