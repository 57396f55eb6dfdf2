#include "shell/TrayImages.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

// An envelope with a mark in its corner: a page watched (normal), a page
// being fetched (busy), a page just delivered (new).
QPixmap Draw(TTrayImage image, bool lowColour)
{
    QPixmap pm(32, 32);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    // The 16-colour set keeps to the classic palette and hard edges.
    p.setRenderHint(QPainter::Antialiasing, !lowColour);
    const QColor paper = lowColour ? QColor(Qt::white) : QColor(250, 250, 245);
    const QColor ink = lowColour ? QColor(Qt::darkBlue) : QColor(30, 60, 140);
    QColor mark;
    switch (image) {
    case TTrayImage::Normal:
        mark = lowColour ? QColor(Qt::blue) : QColor(40, 110, 220);
        break;
    case TTrayImage::Busy:
        mark = lowColour ? QColor(Qt::darkYellow) : QColor(230, 150, 20);
        break;
    case TTrayImage::New:
        mark = lowColour ? QColor(Qt::red) : QColor(220, 40, 40);
        break;
    }

    p.setPen(QPen(ink, 2));
    p.setBrush(paper);
    p.drawRect(2, 7, 27, 19);
    QPainterPath flap;
    flap.moveTo(3, 8);
    flap.lineTo(15.5, 18);
    flap.lineTo(28, 8);
    p.setBrush(Qt::NoBrush);
    p.drawPath(flap);

    p.setPen(QPen(lowColour ? QColor(Qt::black) : mark.darker(150), 1));
    p.setBrush(mark);
    p.drawEllipse(QRectF(18, 16, 13, 13));
    p.setPen(QPen(Qt::white, 2));
    switch (image) {
    case TTrayImage::Normal: // a tick
        p.drawLine(QPointF(21, 22.5), QPointF(23.5, 25));
        p.drawLine(QPointF(23.5, 25), QPointF(28, 19.5));
        break;
    case TTrayImage::Busy: // clock hands
        p.drawLine(QPointF(24.5, 22.5), QPointF(24.5, 18.5));
        p.drawLine(QPointF(24.5, 22.5), QPointF(27.5, 22.5));
        break;
    case TTrayImage::New: // an exclamation mark
        p.drawLine(QPointF(24.5, 18.5), QPointF(24.5, 23.5));
        p.drawPoint(QPointF(24.5, 26.5));
        break;
    }
    return pm;
}

} // namespace

QIcon TrayImage(TTrayImage image, bool lowColour)
{
    return QIcon(Draw(image, lowColour));
}
