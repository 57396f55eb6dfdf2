#pragma once

// A label that acts as a link: blue underlined text, the hand cursor, and a
// click anywhere on it runs its handler. Tab reaches it, a dotted frame shows
// it has the focus, and Enter or Space then act as the click. A disabled link
// greys out and does not react.

#include <QLabel>

class TLinkLabel : public QLabel {
    Q_OBJECT
public:
    explicit TLinkLabel(const QString& text, QWidget* parent = nullptr);

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
};
