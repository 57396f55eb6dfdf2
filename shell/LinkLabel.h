#pragma once

#include <QLabel>

// A text that acts as a link: blue, underlined, the hand cursor, its hint
// always shown, and a click that runs its handler.
class TLinkLabel : public QLabel {
    Q_OBJECT
public:
    explicit TLinkLabel(const QString& text, QWidget* parent = nullptr);

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
};
