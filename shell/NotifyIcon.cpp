#include "shell/NotifyIcon.h"

#include <QApplication>
#include <QCursor>
#include <QEvent>
#include <QMenu>
#include <QTimer>
#include <QWidget>
#include <QWindowStateChangeEvent>

QString TrayTipText(const QString& hint)
{
    if (hint.size() <= MaxTipLength)
        return hint;
    QString tip = hint.left(MaxTipLength);
    // Never half a character.
    if (tip.back().isHighSurrogate())
        tip.chop(1);
    return tip;
}

TNotifyIcon::TNotifyIcon(QWidget* mainWindow, QObject* parent)
    : QObject(parent), window_(mainWindow), tray_(new QSystemTrayIcon(this)), clickTimer_(new QTimer(this))
{
    clickTimer_->setSingleShot(true);
    // A left click opens the menu once the double-click time has passed
    // without a second press: an open menu would take that press itself.
    connect(clickTimer_, &QTimer::timeout, this, [this] {
        if (LeftPopup)
            Popup(clickAt_);
    });
    HostAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) { Activated(r); });
    if (window_)
        window_->installEventFilter(this);
}

TNotifyIcon::~TNotifyIcon()
{
    // Removed from the notification area with its owner.
    tray_->hide();
}

void TNotifyIcon::SetIconVisible(bool visible)
{
    visible_ = visible;
    // A notification area that refuses the icon is ignored: the program can
    // still be reached by starting it again.
    tray_->setVisible(visible);
}

void TNotifyIcon::ShowMessage(const QString& title, const QString& text)
{
    if (visible_ && tray_->isVisible() && QSystemTrayIcon::supportsMessages())
        tray_->showMessage(title, text, QSystemTrayIcon::Warning);
}

void TNotifyIcon::SetHint(const QString& hint)
{
    hint_ = hint;
    tray_->setToolTip(Tip());
}

QString TNotifyIcon::Tip() const
{
    return TrayTipText(hint_);
}

void TNotifyIcon::SetIcon(const QIcon& icon)
{
    icon_ = icon;
    tray_->setIcon(icon);
}

void TNotifyIcon::ShowMainWindow()
{
    if (!window_)
        return;
    if (window_->isMinimized())
        window_->showNormal();
    window_->show();
    window_->raise();
    window_->activateWindow();
}

void TNotifyIcon::HideMainWindow()
{
    if (window_)
        window_->hide();
}

void TNotifyIcon::Activated(QSystemTrayIcon::ActivationReason reason)
{
    switch (reason) {
    case QSystemTrayIcon::Trigger:
        // Some desktops report the second press of a double-click as a
        // click of its own, others only as the double-click that follows.
        if (clickTimer_->isActive()) {
            clickTimer_->stop();
            doubleSeen_ = true;
            if (OnDblClick)
                OnDblClick();
            return;
        }
        doubleSeen_ = false;
        clickAt_ = QCursor::pos();
        clickTimer_->start(QApplication::doubleClickInterval());
        return;
    case QSystemTrayIcon::DoubleClick:
        clickTimer_->stop();
        if (doubleSeen_) {
            doubleSeen_ = false;
            return;
        }
        if (OnDblClick)
            OnDblClick();
        return;
    case QSystemTrayIcon::Context:
        Popup(QCursor::pos());
        return;
    default:
        return;
    }
}

void TNotifyIcon::Popup(const QPoint& at)
{
    if (!PopupMenu)
        return;
    // The menu is rebuilt as it opens (its aboutToShow) and closes by itself
    // when the user clicks elsewhere.
    PopupMenu->popup(at);
    PopupMenu->activateWindow();
}

bool TNotifyIcon::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == window_) {
        if (event->type() == QEvent::WindowStateChange && MinimizeToTray && window_->isMinimized()
            && HostAvailable()) {
            // Hiding inside the state change confuses some window managers.
            // The window stays minimised while hidden: changing its state
            // would have the window system map it again, an empty frame
            // left on screen. Showing it makes it normal again.
            QTimer::singleShot(0, this, [this] {
                if (!window_->isMinimized() || !window_->isVisible())
                    return;
                window_->hide();
                SetIconVisible(true);
            });
        } else if (event->type() == QEvent::Show) {
            window_->raise();
            window_->activateWindow();
        }
    }
    return QObject::eventFilter(watched, event);
}
