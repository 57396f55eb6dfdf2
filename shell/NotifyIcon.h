#pragma once

// The program's icon in the notification area, over Qt's tray icon. It shows
// an image and a tip, opens its popup menu on a left or right click, reports
// a double-click, and hides the main window to the tray when it is minimised.

#include <QIcon>
#include <QObject>
#include <QPoint>
#include <QString>
#include <QSystemTrayIcon>
#include <functional>

class QMenu;
class QTimer;
class QWidget;

// At most this many characters of the hint reach the notification area.
inline constexpr int MaxTipLength = 127;
// The hint as the notification area gets it.
QString TrayTipText(const QString& hint);

class TNotifyIcon : public QObject {
public:
    explicit TNotifyIcon(QWidget* mainWindow, QObject* parent = nullptr);
    ~TNotifyIcon() override;

    // Adds the icon to the notification area or removes it.
    void SetIconVisible(bool visible);
    bool IconVisible() const { return visible_; }
    // The whole hint is kept; the tip shows its first 127 characters.
    void SetHint(const QString& hint);
    const QString& Hint() const { return hint_; }
    QString Tip() const;
    void SetIcon(const QIcon& icon);
    // A warning balloon or notification from the icon; nothing while the icon
    // is not in a notification area.
    void ShowMessage(const QString& title, const QString& text);
    QIcon Icon() const { return icon_; }

    QMenu* PopupMenu = nullptr;
    bool LeftPopup = true;
    bool MinimizeToTray = true;
    std::function<void()> OnDblClick;
    // Whether the desktop has a notification area to hide into; without one
    // a minimised window stays minimised.
    std::function<bool()> HostAvailable;

    // Restores, shows and brings forward the main window.
    void ShowMainWindow();
    void HideMainWindow();

    // What a mouse action on the icon does; Qt's tray icon calls it, tests too.
    void Activated(QSystemTrayIcon::ActivationReason reason);
    // Opens the popup menu at a screen position (the cursor's for a click).
    void Popup(const QPoint& at);

    QSystemTrayIcon* SystemIcon() const { return tray_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* window_;
    QSystemTrayIcon* tray_;
    QTimer* clickTimer_;
    QPoint clickAt_;
    bool visible_ = false;
    bool doubleSeen_ = false;
    QString hint_;
    QIcon icon_;
};
