#include "shell/ImageList.h"

#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <cmath>

namespace {

// Every picture is drawn on a 16-unit canvas and scaled to its size.
using TDrawing = void (*)(QPainter&);

QPen Outline(const QColor& colour, qreal width = 1.0)
{
    QPen pen(colour, width);
    pen.setJoinStyle(Qt::RoundJoin);
    pen.setCapStyle(Qt::RoundCap);
    return pen;
}

void Globe(QPainter& p, const QRectF& r)
{
    QRadialGradient fill(r.center() - QPointF(r.width() / 5, r.height() / 5), r.width() * 0.7);
    fill.setColorAt(0, QColor(120, 190, 255));
    fill.setColorAt(1, QColor(20, 90, 190));
    p.setBrush(fill);
    p.setPen(Outline(QColor(10, 50, 120), r.width() / 14));
    p.drawEllipse(r);
    p.setBrush(Qt::NoBrush);
    p.setPen(Outline(QColor(225, 240, 255), r.width() / 18));
    p.drawEllipse(QRectF(r.center().x() - r.width() / 5, r.top(), r.width() * 2 / 5, r.height()));
    p.drawLine(QPointF(r.left(), r.center().y()), QPointF(r.right(), r.center().y()));
    p.drawLine(QPointF(r.center().x(), r.top()), QPointF(r.center().x(), r.bottom()));
}

void Arrow(QPainter& p, bool up, const QColor& colour)
{
    QPolygonF shape;
    if (up)
        shape << QPointF(8, 1.5) << QPointF(14.5, 8) << QPointF(10.5, 8) << QPointF(10.5, 14.5) << QPointF(5.5, 14.5)
              << QPointF(5.5, 8) << QPointF(1.5, 8);
    else
        shape << QPointF(8, 14.5) << QPointF(14.5, 8) << QPointF(10.5, 8) << QPointF(10.5, 1.5) << QPointF(5.5, 1.5)
              << QPointF(5.5, 8) << QPointF(1.5, 8);
    p.setPen(Outline(colour.darker(160)));
    p.setBrush(colour);
    p.drawPolygon(shape);
}

void Envelope(QPainter& p, const QRectF& r)
{
    p.setPen(Outline(QColor(110, 80, 20), r.width() / 14));
    p.setBrush(QColor(255, 236, 170));
    p.drawRect(r);
    p.setBrush(Qt::NoBrush);
    p.drawPolyline(QPolygonF() << r.topLeft() << QPointF(r.center().x(), r.center().y() + r.height() / 8)
                               << r.topRight());
}

void Badge(QPainter& p, const QPointF& centre, qreal radius, const QColor& colour)
{
    p.setPen(Outline(colour.darker(170)));
    p.setBrush(colour);
    p.drawEllipse(centre, radius, radius);
}

void DrawCheckNow(QPainter& p)
{
    // Two arrows chasing round a circle: look again now.
    const QColor green(30, 150, 40);
    p.setBrush(Qt::NoBrush);
    p.setPen(Outline(green, 2.2));
    p.drawArc(QRectF(2.5, 2.5, 11, 11), 30 * 16, 150 * 16);
    p.drawArc(QRectF(2.5, 2.5, 11, 11), 210 * 16, 150 * 16);
    p.setPen(Outline(green.darker(130)));
    p.setBrush(green);
    p.drawPolygon(QPolygonF() << QPointF(10.5, 0.5) << QPointF(15.5, 4.5) << QPointF(10, 6.5));
    p.drawPolygon(QPolygonF() << QPointF(5.5, 15.5) << QPointF(0.5, 11.5) << QPointF(6, 9.5));
}

void DrawSettings(QPainter& p)
{
    // A gear.
    QPainterPath gear;
    const QPointF c(8, 8);
    for (int i = 0; i < 8; ++i) {
        const qreal a = i * M_PI / 4;
        const QPointF d(std::cos(a), std::sin(a));
        const QPointF n(-d.y(), d.x());
        QPolygonF tooth;
        tooth << c + d * 4.5 + n * 1.3 << c + d * 7.3 + n * 1.0 << c + d * 7.3 - n * 1.0 << c + d * 4.5 - n * 1.3;
        gear.addPolygon(tooth);
        gear.closeSubpath();
    }
    gear.addEllipse(c, 5.2, 5.2);
    gear.setFillRule(Qt::WindingFill);
    QPainterPath hole;
    hole.addEllipse(c, 2.0, 2.0);
    p.setPen(Outline(QColor(60, 60, 70), 0.8));
    p.setBrush(QColor(150, 155, 170));
    p.drawPath(gear.simplified().subtracted(hole));
}

void DrawAbout(QPainter& p)
{
    Badge(p, QPointF(8, 8), 7, QColor(40, 110, 210));
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(8, 4.5), 1.3, 1.3);
    p.drawRoundedRect(QRectF(6.8, 6.8, 2.4, 6.4), 0.8, 0.8);
}

void DrawExit(QPainter& p)
{
    // An open door with an arrow leaving it.
    p.setPen(Outline(QColor(90, 50, 20)));
    p.setBrush(QColor(170, 110, 60));
    p.drawRect(QRectF(1.5, 1.5, 8, 13));
    p.setBrush(QColor(60, 40, 20));
    p.drawPolygon(QPolygonF() << QPointF(1.5, 1.5) << QPointF(6, 3) << QPointF(6, 15.5) << QPointF(1.5, 14.5));
    p.setPen(Outline(QColor(200, 30, 30), 2));
    p.drawLine(QPointF(8, 8), QPointF(14, 8));
    p.drawLine(QPointF(11.5, 5.5), QPointF(14, 8));
    p.drawLine(QPointF(11.5, 10.5), QPointF(14, 8));
}

void DrawOK(QPainter& p)
{
    p.setBrush(Qt::NoBrush);
    p.setPen(Outline(QColor(20, 120, 30), 3.2));
    p.drawPolyline(QPolygonF() << QPointF(2.5, 8.5) << QPointF(6.5, 12.5) << QPointF(13.5, 3.5));
    p.setPen(Outline(QColor(70, 200, 80), 1.4));
    p.drawPolyline(QPolygonF() << QPointF(2.5, 8.5) << QPointF(6.5, 12.5) << QPointF(13.5, 3.5));
}

void DrawCancel(QPainter& p)
{
    p.setBrush(Qt::NoBrush);
    p.setPen(Outline(QColor(150, 20, 20), 3.2));
    p.drawLine(QPointF(3.5, 3.5), QPointF(12.5, 12.5));
    p.drawLine(QPointF(12.5, 3.5), QPointF(3.5, 12.5));
    p.setPen(Outline(QColor(240, 70, 70), 1.4));
    p.drawLine(QPointF(3.5, 3.5), QPointF(12.5, 12.5));
    p.drawLine(QPointF(12.5, 3.5), QPointF(3.5, 12.5));
}

void DrawWebSite(QPainter& p) { Globe(p, QRectF(1, 1, 14, 14)); }

void DrawAddSite(QPainter& p)
{
    Globe(p, QRectF(0.5, 0.5, 12, 12));
    Badge(p, QPointF(11.5, 11.5), 4, QColor(40, 170, 50));
    p.setPen(Outline(Qt::white, 1.6));
    p.drawLine(QPointF(11.5, 9.3), QPointF(11.5, 13.7));
    p.drawLine(QPointF(9.3, 11.5), QPointF(13.7, 11.5));
}

void DrawEditSite(QPainter& p)
{
    Globe(p, QRectF(0.5, 0.5, 11, 11));
    // A pencil across the corner.
    p.setPen(Outline(QColor(90, 60, 10), 0.8));
    p.setBrush(QColor(250, 200, 40));
    p.drawPolygon(QPolygonF() << QPointF(14.8, 6.5) << QPointF(16, 7.7) << QPointF(8.8, 14.9) << QPointF(7.6, 13.7));
    p.setBrush(QColor(60, 40, 20));
    p.drawPolygon(QPolygonF() << QPointF(7.6, 13.7) << QPointF(8.8, 14.9) << QPointF(6.6, 15.6));
}

void DrawView(QPainter& p)
{
    // A magnifying glass.
    p.setPen(Outline(QColor(60, 60, 60), 2.4));
    p.drawLine(QPointF(10.5, 10.5), QPointF(14.5, 14.5));
    p.setPen(Outline(QColor(40, 40, 40), 1.3));
    p.setBrush(QColor(200, 230, 255, 220));
    p.drawEllipse(QPointF(6.5, 6.5), 5, 5);
}

void DrawDelete(QPainter& p)
{
    // A waste bin.
    p.setPen(Outline(QColor(60, 60, 70)));
    p.setBrush(QColor(170, 175, 190));
    p.drawPolygon(QPolygonF() << QPointF(3.5, 4.5) << QPointF(12.5, 4.5) << QPointF(11.5, 15) << QPointF(4.5, 15));
    p.drawRect(QRectF(2, 2.5, 12, 2));
    p.drawRect(QRectF(6.5, 1, 3, 1.5));
    p.drawLine(QPointF(6.5, 7), QPointF(6.7, 13));
    p.drawLine(QPointF(9.5, 7), QPointF(9.3, 13));
}

void DrawPaste(QPainter& p)
{
    p.setPen(Outline(QColor(90, 60, 20)));
    p.setBrush(QColor(190, 140, 70));
    p.drawRoundedRect(QRectF(2, 2.5, 11, 13), 1, 1);
    p.setBrush(Qt::white);
    p.drawRect(QRectF(4, 5, 7, 9));
    p.setBrush(QColor(150, 150, 160));
    p.drawRoundedRect(QRectF(5, 1, 5, 3), 1, 1);
    p.setPen(Outline(QColor(120, 120, 130), 0.7));
    for (qreal y = 7; y < 13; y += 2)
        p.drawLine(QPointF(5.5, y), QPointF(9.5, y));
}

void DrawMoveUp(QPainter& p) { Arrow(p, true, QColor(50, 120, 220)); }
void DrawMoveDown(QPainter& p) { Arrow(p, false, QColor(50, 120, 220)); }

void DrawSendSite(QPainter& p)
{
    Envelope(p, QRectF(0.5, 4.5, 12, 9));
    p.setPen(Outline(QColor(20, 120, 30), 2));
    p.drawLine(QPointF(10, 3), QPointF(15, 3));
    p.drawLine(QPointF(13, 1), QPointF(15, 3));
    p.drawLine(QPointF(13, 5), QPointF(15, 3));
}

void DrawHelp(QPainter& p)
{
    Badge(p, QPointF(8, 8), 7, QColor(40, 110, 210));
    QFont font;
    font.setPixelSize(12);
    font.setBold(true);
    p.setFont(font);
    p.setPen(Qt::white);
    p.drawText(QRectF(0, 0.5, 16, 16), Qt::AlignCenter, QStringLiteral("?"));
}

QIcon Render(TDrawing draw)
{
    QIcon icon;
    for (int size : {16, 24, 32, 48}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        p.setRenderHint(QPainter::TextAntialiasing);
        p.scale(size / 16.0, size / 16.0);
        draw(p);
        p.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

// The tray images on a 32-unit canvas: a globe (the watched web) under a
// state mark: nothing when idle, a clock while busy, a new letter after a
// delivery. The 16-colour set keeps to the sixteen standard colours, without
// shading or smoothing, for panels that show few colours.
void PaintTray(QPainter& p, TTrayImage image, bool lowColour)
{
    const QRectF globe(1, 1, 26, 26);
    if (lowColour) {
        p.setPen(QPen(Qt::black, 2));
        p.setBrush(QColor(0, 0, 255));
        p.drawEllipse(globe);
        p.setPen(QPen(QColor(0, 255, 255), 2));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QRectF(9, 1, 10, 26));
        p.drawLine(QPointF(1, 14), QPointF(27, 14));
    } else {
        Globe(p, globe);
    }
    if (image == TTrayImage::Busy) {
        const QPointF c(23, 23);
        p.setPen(QPen(lowColour ? Qt::black : QColor(120, 60, 0), 1.6));
        p.setBrush(lowColour ? QColor(255, 255, 0) : QColor(255, 190, 40));
        p.drawEllipse(c, 8, 8);
        p.setPen(QPen(Qt::black, 2, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(c, c + QPointF(0, -5.5));
        p.drawLine(c, c + QPointF(4, 0));
    } else if (image == TTrayImage::New) {
        const QRectF r(13, 16, 18, 13);
        p.setPen(QPen(lowColour ? Qt::black : QColor(110, 20, 20), 1.6));
        p.setBrush(lowColour ? QColor(255, 0, 0) : QColor(235, 50, 50));
        p.drawRect(r);
        p.setPen(QPen(Qt::white, 1.6));
        p.setBrush(Qt::NoBrush);
        p.drawPolyline(QPolygonF() << r.topLeft() + QPointF(1, 1) << QPointF(r.center().x(), r.center().y() + 1)
                                   << r.topRight() + QPointF(-1, 1));
    }
}

} // namespace

TImageList::TImageList() : images_(Count)
{
    const std::pair<int, TDrawing> drawings[] = {
        {CheckNow, DrawCheckNow}, {Settings, DrawSettings}, {About, DrawAbout},     {Exit, DrawExit},
        {OK, DrawOK},             {Cancel, DrawCancel},     {AddSite, DrawAddSite}, {WebSite, DrawWebSite},
        {EditSite, DrawEditSite}, {View, DrawView},         {Delete, DrawDelete},   {Paste, DrawPaste},
        {MoveUp, DrawMoveUp},     {MoveDown, DrawMoveDown}, {SendSite, DrawSendSite}, {Help, DrawHelp},
    };
    for (const auto& [index, draw] : drawings)
        images_[static_cast<std::size_t>(index)] = Render(draw);
}

QIcon TImageList::Image(int index) const
{
    if (index < 0 || index >= ImageCount())
        return QIcon();
    return images_[static_cast<std::size_t>(index)];
}

QPixmap TImageList::TrayPixmap(TTrayImage image, bool lowColour, int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing, !lowColour);
    p.scale(size / 32.0, size / 32.0);
    PaintTray(p, image, lowColour);
    return pixmap;
}

QIcon TImageList::TrayImage(TTrayImage image, bool lowColour)
{
    QIcon icon;
    for (int size : {16, 22, 24, 32})
        icon.addPixmap(TrayPixmap(image, lowColour, size));
    return icon;
}

QIcon TImageList::ProgramIcon()
{
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256})
        icon.addPixmap(TrayPixmap(TTrayImage::Normal, false, size));
    return icon;
}
