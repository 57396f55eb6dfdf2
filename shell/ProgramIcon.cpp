#include "shell/ProgramIcon.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

QImage ProgramImage(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    // The shapes are laid out on a 64-unit square, as in the SVG.
    p.scale(size / 64.0, size / 64.0);

    const QColor outline(0x12, 0x3e, 0x80);
    QLinearGradient face(0, 3, 0, 61);
    face.setColorAt(0, QColor(0x3b, 0x7b, 0xe0));
    face.setColorAt(1, QColor(0x1a, 0x4e, 0xa6));
    p.setPen(QPen(outline, 2));
    p.setBrush(face);
    p.drawRoundedRect(QRectF(3, 3, 58, 58), 11, 11);

    p.setPen(QPen(outline, 1.5));
    p.setBrush(Qt::white);
    p.drawRoundedRect(QRectF(8, 25, 40, 28), 2, 2);
    p.setPen(QPen(outline, 2.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    const QPointF flap[] = {{8.5, 26}, {28, 41}, {47.5, 26}};
    p.drawPolyline(flap, 3);

    p.setPen(QPen(Qt::white, 2.5));
    p.setBrush(QColor(0x2f, 0xa8, 0x4f));
    p.drawEllipse(QPointF(45, 19), 13, 13);
    p.setPen(QPen(Qt::white, 1.6));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QPointF(45, 19), 5.5, 12);
    p.drawLine(QPointF(32.5, 19), QPointF(57.5, 19));
    return image;
}

QIcon ProgramIcon()
{
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256})
        icon.addPixmap(QPixmap::fromImage(ProgramImage(size)));
    return icon;
}
