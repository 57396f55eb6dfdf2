#include "shell/MainTray.h"

#include "shell/MainWindow.h"

#include <exception>

TMainTray::TMainTray(TfrmMain& window)
    : TrayIcon(&window), Menu(*this, &window), window_(window)
{
    TrayIcon.PopupMenu = Menu.popTask();
    TrayIcon.OnDblClick = [this] { window_.TrayIconDblClick(); };
    TrayIcon.HostAvailable = [this] { return window_.TrayAvailable(); };
    connect(&window_, &TfrmMain::TrayStateChanged, this, [this] { ShowTrayState(); });
    connect(&window_, &TfrmMain::TrayMessage, this, [this](const QString& title, const QString& text) {
        TrayIcon.ShowMessage(title, text);
    });
    connect(&window_, &TfrmMain::TrayIconVisibilityChanged, this, [this](bool visible) {
        TrayIcon.SetIconVisible(visible);
    });
    // The window has loaded its settings and set the normal image already.
    ShowTrayState();
    TrayIcon.SetIconVisible(window_.TrayIconWanted());
}

const TSiteList& TMainTray::TraySites() const
{
    return window_.Sites();
}

void TMainTray::btnChangeNowClick()
{
    window_.btnChangeNowClick();
}

void TMainTray::SendSiteOfIndex(int index)
{
    try {
        window_.Engine().SendSiteOfIndex(index, true);
    } catch (const std::exception& e) {
        window_.MessageBox(e.what(), TMsgKind::Error, TMsgButtons::OK);
    }
    window_.UpdateDisplay();
}

void TMainTray::SettingsClick()
{
    window_.DisplayWindow();
}

void TMainTray::OpenMakerWebSite()
{
    window_.lnkQuorvanClick();
}

QIcon TMainTray::MenuImage(int imageIndex) const
{
    return window_.Images().Image(imageIndex);
}

void TMainTray::ShowTrayState()
{
    const int image = static_cast<int>(window_.TrayImageKind()) * 2 + (window_.Flags().LowColourIcons ? 1 : 0);
    if (image != shownImage_) {
        shownImage_ = image;
        TrayIcon.SetIcon(window_.TrayIconImage());
    }
    TrayIcon.SetHint(window_.TrayTip());
}
