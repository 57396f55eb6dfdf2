#pragma once

// The main window's tray icon (TrayIcon) and its popup menu (popTask), kept
// in step with the image, tip and "display an icon" choice the window holds.

#include "shell/NotifyIcon.h"
#include "shell/TrayMenu.h"

#include <QObject>

class TfrmMain;

class TMainTray : public QObject, public TTrayOwner {
public:
    explicit TMainTray(TfrmMain& window);

    TNotifyIcon TrayIcon;
    TTrayMenu Menu;

    // TTrayOwner
    const TSiteList& TraySites() const override;
    void btnChangeNowClick() override;
    void SendSiteOfIndex(int index) override;
    void SettingsClick() override;
    void OpenMakerWebSite() override;
    QIcon MenuImage(int imageIndex) const override;

private:
    void ShowTrayState();

    TfrmMain& window_;
    // The picture is redrawn only when the image changes, not with each tip.
    int shownImage_ = -1;
};
