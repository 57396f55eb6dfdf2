#include "shell/MessageBoxes.h"

#include "engine/Product.h"
#include "shell/QtText.h"

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

    // The texts break their lines the file way, with CR LF.
    QString shown = QtText(text);
    shown.replace("\r\n", "\n");
    QMessageBox box(IconOf(kind), ProductName, shown, QMessageBox::NoButton, owner);
    box.setObjectName("MessageBox");
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
        // A box closed by its close box or Escape gives its cancel answer:
        // No for Yes/No, Cancel for OK/Cancel; a lone OK can only be OK.
        if (buttons == TMsgButtons::YesNo)
            return TModalResult::No;
        return buttons == TMsgButtons::OK ? TModalResult::OK : TModalResult::Cancel;
    }
}

TMessageBoxHandler SetMessageBoxHandler(TMessageBoxHandler handler)
{
    TMessageBoxHandler previous = std::move(Handler());
    Handler() = std::move(handler);
    return previous;
}
