#include "shell/MessageBoxes.h"

#include "engine/Product.h"

#include <QMessageBox>

namespace {

TMessageBoxHandler& Handler()
{
    static TMessageBoxHandler handler;
    return handler;
}

QMessageBox::Icon IconOf(TMsgKind kind)
{
    switch (kind) {
    case TMsgKind::Warning:
        return QMessageBox::Warning;
    case TMsgKind::Error:
        return QMessageBox::Critical;
    case TMsgKind::Information:
        return QMessageBox::Information;
    case TMsgKind::Confirmation:
        return QMessageBox::Question;
    case TMsgKind::Plain:
        break;
    }
    return QMessageBox::NoIcon;
}

} // namespace

TModalResult ShowMessageBox(QWidget* owner, const std::string& text, TMsgKind kind, TMsgButtons buttons)
{
    if (const TMessageBoxHandler& handler = Handler())
        return handler(owner, text, kind, buttons);

    QMessageBox box(IconOf(kind), ProductName, QString::fromStdString(text), QMessageBox::NoButton, owner);
    switch (buttons) {
    case TMsgButtons::OK:
        box.setStandardButtons(QMessageBox::Ok);
        break;
    case TMsgButtons::YesNo:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
        break;
    case TMsgButtons::OKCancel:
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        box.setDefaultButton(QMessageBox::Ok);
        break;
    }
    switch (box.exec()) {
    case QMessageBox::Ok:
        return TModalResult::OK;
    case QMessageBox::Yes:
        return TModalResult::Yes;
    case QMessageBox::No:
        return TModalResult::No;
    default:
        // A Yes/No box closed by its close box or Escape answers No.
        return buttons == TMsgButtons::YesNo ? TModalResult::No : TModalResult::Cancel;
    }
}

TMessageBoxHandler SetMessageBoxHandler(TMessageBoxHandler handler)
{
    TMessageBoxHandler previous = std::move(Handler());
    Handler() = std::move(handler);
    return previous;
}
