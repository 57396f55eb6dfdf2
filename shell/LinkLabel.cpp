#include "shell/LinkLabel.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFocusRect>

TLinkLabel::TLinkLabel(const QString& text, QWidget* parent) : QLabel(text, parent)
{
    QFont f = font();
    f.setUnderline(true);
    setFont(f);
    setCursor(Qt::PointingHandCursor);
    setTextFormat(Qt::PlainText);
    // Tab only: a click runs the link without taking the focus from the
    // field the user was typing in.
    setFocusPolicy(Qt::TabFocus);
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

void TLinkLabel::keyPressEvent(QKeyEvent* event)
{
    const Qt::KeyboardModifiers mods = event->modifiers() & ~Qt::KeypadModifier;
    const int key = event->key();
    if (mods == Qt::NoModifier && !event->isAutoRepeat()
        && (key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Select)) {
        // Taken here, so Enter does not also press the window's OK button.
        event->accept();
        emit clicked();
        return;
    }
    QLabel::keyPressEvent(event);
}

void TLinkLabel::paintEvent(QPaintEvent* event)
{
    QLabel::paintEvent(event);
    if (!hasFocus())
        return;
    // The frame hugs the text where the alignment puts it.
    const QRect area = contentsRect();
    QSize textSize = fontMetrics().size(Qt::TextSingleLine, text());
    textSize = textSize.boundedTo(area.size() - QSize(2, 0));
    QStyleOptionFocusRect option;
    option.initFrom(this);
    option.rect = QStyle::alignedRect(layoutDirection(), alignment(), textSize + QSize(2, 0), area);
    QPainter painter(this);
    style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
}
