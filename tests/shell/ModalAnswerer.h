#pragma once

// Answers the message boxes a window shows while a test drives it: each box
// is recorded (text, icon, buttons) and answered with the next queued button,
// or with its escape button when nothing is queued. Other modal dialogs are
// handed to a callback.

#include <QDialog>
#include <QMessageBox>
#include <QObject>
#include <QSet>
#include <QTimer>
#include <deque>
#include <functional>
#include <vector>

struct TSeenBox {
    QString Text;
    QMessageBox::Icon Icon;
    QMessageBox::StandardButtons Buttons;
    QString Title;
};

class TModalAnswerer : public QObject {
    Q_OBJECT
public:
    TModalAnswerer();

    void Answer(QMessageBox::StandardButton button) { answers_.push_back(button); }
    std::vector<TSeenBox> Seen;
    // Runs for each modal dialog that is not a message box, once, while it is open.
    std::function<void(QDialog*)> OnDialog;
    // Texts of the boxes seen, in order.
    QStringList Texts() const;
    void Clear() { Seen.clear(); }

private:
    void Poll();
    QTimer timer_;
    std::deque<QMessageBox::StandardButton> answers_;
    QSet<QObject*> handled_;
};
