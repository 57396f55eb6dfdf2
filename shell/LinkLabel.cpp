#include "shell/LinkLabel.h"

#include <QMouseEvent>

TLinkLabel::TLinkLabel(const QString& text, QWidget* parent) : QLabel(text, parent)
{
    QFont f = font();
    f.setUnderline(true);
    setFont(f);
    setCursor(Qt::PointingHandCursor);
    setTextFormat(Qt::PlainText);
    // Only the enabled text turns link blue; a disabled link keeps the
    // palette's grey.
    QPalette p = palette();
    p.setColor(QPalette::Active, QPalette::WindowText, QColor(0, 0, 255));
    p.setColor(QPalette::Inactive, QPalette::WindowText, QColor(0, 0, 255));
    setPalette(p);
}

void TLinkLabel::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
        event->accept();
        emit clicked();
        return;
    }
    QLabel::mouseReleaseEvent(event);
}

