// The tray program: comes up with its window, or hidden when the system
// starts it at log-on ("/start"), and runs until its window is closed.

#include "platform/Clock.h"
#include "engine/DataFolder.h"
#include "engine/Product.h"
#include "engine/Settings.h"
#include "shell/MainWindow.h"

#include <QApplication>
#include <QSessionManager>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(ProductName);
    QApplication::setApplicationDisplayName(ProductName);
    QApplication::setOrganizationName(MakerName);
    QApplication::setDesktopFileName("Vendrel");
    // The window hides to the tray; only its close ends the program.
    QApplication::setQuitOnLastWindowClosed(false);

    const QStringList args = QApplication::arguments();
    const QString first = args.size() > 1 ? args.at(1) : QString();
    const bool hidden = first.toUpper() == "/START";

    TSystemClock clock;
    TfrmMain frmMain(clock, DefaultSettingsFiles(DataFolder()));
    QObject::connect(&frmMain, &TfrmMain::ProgramEnd, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &frmMain, [&frmMain](QSessionManager&) {
        frmMain.QueryEndSession();
    });

    // Started with an argument (the log-on start gives "/start"): the first
    // check follows once the desktop and the network have had time to come up.
    if (!first.isEmpty())
        frmMain.Engine().ArmFirstCheck();
    // Hidden, the program lives in the notification area.
    if (!hidden)
        frmMain.show();
    return QApplication::exec();
}
