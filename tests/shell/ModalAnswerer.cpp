#include "tests/shell/ModalAnswerer.h"

#include <QAbstractButton>
#include <QApplication>
#include <QPushButton>

TModalAnswerer::TModalAnswerer()
{
    timer_.setInterval(5);
    connect(&timer_, &QTimer::timeout, this, &TModalAnswerer::Poll);
    timer_.start();
}

QStringList TModalAnswerer::Texts() const
{
    QStringList texts;
    for (const TSeenBox& box : Seen)
        texts << box.Text;
    return texts;
}

void TModalAnswerer::Poll()
{
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || handled_.contains(modal))
        return;
    handled_.insert(modal);
    connect(modal, &QObject::destroyed, this, [this, modal] { handled_.remove(modal); });
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        Seen.push_back({box->text(), box->icon(), box->standardButtons(), box->windowTitle()});
        QAbstractButton* button = nullptr;
        if (!answers_.empty()) {
            button = box->button(answers_.front());
            answers_.pop_front();
        }
        if (!button)
            button = box->escapeButton() ? box->escapeButton() : static_cast<QAbstractButton*>(box->defaultButton());
        if (button)
            button->click();
        else
            box->reject();
        return;
    }
    if (auto* dialog = qobject_cast<QDialog*>(modal)) {
        if (OnDialog)
            OnDialog(dialog);
        else
            dialog->reject();
    }
}
