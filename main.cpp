// The tray program: comes up with its window, or hidden when the system
// starts it at log-on ("/start"), and runs until its window is closed. One
// copy runs per user: a later start hands its arguments to the running copy
// and ends before it has a window or touches the data folder.

#include "engine/DataFolder.h"
#include "engine/Product.h"
#include "engine/Settings.h"
#include "platform/Clock.h"
#include "platform/EndSignals.h"
#include "platform/InstanceGuard.h"
#include "platform/Memory.h"
#include "shell/InstanceNotifier.h"
#include "shell/MainTray.h"
#include "shell/MainWindow.h"
#include "shell/QtText.h"

#include <QApplication>
#include <QMessageBox>
#include <QSessionManager>
#include <QSocketNotifier>

#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace {

// A new start without arguments is the user asking for the window.
void InstanceGuard1InstanceStarted(TfrmMain& frmMain, const std::vector<std::string>& params)
{
    if (params.empty())
        frmMain.DisplayWindow();
}

} // namespace

int main(int argc, char** argv)
{
    // Decided before anything else: a copy that hands over needs no display.
    const std::vector<std::string> params(argv + 1, argv + argc);
    TInstanceGuard InstanceGuard1(OwnInstanceNames());
    TInstanceRole role = TInstanceRole::Unguarded;
    std::string guardError;
    try {
        role = InstanceGuard1.Start(params);
    } catch (const std::exception& e) {
        guardError = e.what();
    }
    if (role == TInstanceRole::NewCopy)
        return 0;

    // From here on SIGTERM and SIGINT end the program the ordinary way, which
    // removes the named objects a killed copy would leave behind.
    TEndSignals endSignals;
    KeepFreedMemoryDuringPasses();
    QApplication app(argc, argv);
    if (!guardError.empty()) {
        QMessageBox::critical(nullptr, ProductName, QtText(guardError));
        return 1;
    }
    // Held for the program's life; nothing waits on it.
    const TNamedMutex programMutex(ProgramMutexName());

    // No display name: Qt would add it to every caption (" — Vendrel").
    QApplication::setApplicationName(ProductName);
    QApplication::setOrganizationName(MakerName);
    QApplication::setDesktopFileName("Vendrel");
    // The window hides to the tray; only its close ends the program.
    QApplication::setQuitOnLastWindowClosed(false);

    const QStringList args = QApplication::arguments();
    const QString first = args.size() > 1 ? args.at(1) : QString();

    // Without its own folder the program has no settings it may trust: one
    // in a shared place could hold sites and an address someone else chose.
    std::string dataFolder;
    try {
        dataFolder = DataFolder();
    } catch (const EDataFolderError& e) {
        std::fprintf(stderr, "vendrel: %s\n", e.what());
        QMessageBox::critical(nullptr, ProductName, QString::fromLocal8Bit(e.what()));
        return 2;
    }

    TSystemClock clock;
    TfrmMain frmMain(clock, DefaultSettingsFiles(dataFolder));
    TMainTray tray(frmMain);
    QObject::connect(&frmMain, &TfrmMain::ProgramEnd, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &frmMain, [&frmMain](QSessionManager&) {
        frmMain.QueryEndSession();
    });

    InstanceGuard1.OnBringForward = [&frmMain] {
        // A window in the tray, or minimised where there is no tray, stays
        // there: only a start without arguments asks for it (DisplayWindow).
        if (!frmMain.isVisible() || frmMain.isMinimized())
            return;
        frmMain.raise();
        frmMain.activateWindow();
    };
    InstanceGuard1.OnInstanceStarted = [&frmMain](const std::vector<std::string>& got) {
        InstanceGuard1InstanceStarted(frmMain, got);
    };
    TInstanceNotifier instanceNotifier(InstanceGuard1);

    std::unique_ptr<QSocketNotifier> endNotifier;
    if (endSignals.Handle() >= 0) {
        endNotifier = std::make_unique<QSocketNotifier>(endSignals.Handle(), QSocketNotifier::Read);
        QObject::connect(endNotifier.get(), &QSocketNotifier::activated, &frmMain, [&endSignals, &frmMain] {
            // Either signal ends the program the same way.
            endSignals.Take();
            frmMain.EndProgram();
        });
    }

    // Started with an argument (the log-on start gives "/start"): the first
    // check follows once the desktop and the network have had time to come up.
    frmMain.ComeUp(first);
    return QApplication::exec();
}
