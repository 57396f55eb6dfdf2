#include "shell/DialogFrame.h"

#include <QDialog>
#include <QScreen>

void SetupDialogFrame(QDialog* dialog, int clientWidth, int clientHeight)
{
    dialog->setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    dialog->setFixedSize(clientWidth, clientHeight);
    dialog->setSizeGripEnabled(false);
    dialog->setModal(true);
}

void CentreOnScreen(QWidget* window)
{
    const QScreen* screen = window->screen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    QRect frame = window->frameGeometry();
    frame.moveCenter(area.center());
    window->move(frame.topLeft());
}
