#pragma once

// A label that acts as a link: blue underlined text, the hand cursor, and a
// click anywhere on it runs its handler. A disabled link greys out and does
// not react.

#include <QLabel>

class TLinkLabel : public QLabel {
    Q_OBJECT
public:
    explicit TLinkLabel(const QString& text, QWidget* parent = nullptr);

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
};
