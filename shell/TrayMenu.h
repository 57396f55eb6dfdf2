#pragma once

// The tray icon's popup menu popTask: rebuilt from nothing each time it opens,
// from the site list as the main window holds it at that moment.

#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>
#include <vector>

class QAction;
class QMenu;
class QWidget;
class TSiteList;

// What the menu needs of the main window.
class TTrayOwner {
public:
    virtual ~TTrayOwner() = default;
    virtual const TSiteList& TraySites() const = 0;
    // The "Check Now!" button's handler.
    virtual void btnChangeNowClick() = 0;
    // Delivers the site at this row of the full list now.
    virtual void SendSiteOfIndex(int index) = 0;
    // DisplayWindow.
    virtual void SettingsClick() = 0;
    // What the maker link on the window does.
    virtual void OpenMakerWebSite() = 0;
    // An image of the window's shared image list; a null icon for none.
    virtual QIcon MenuImage(int imageIndex) const = 0;
};

// Indices into the shared image list.
namespace TrayMenuImage {
inline constexpr int CheckNow = 0;
inline constexpr int Settings = 1;
inline constexpr int Exit = 5;
inline constexpr int WebSite = 9;
inline constexpr int SendSite = 17;
}

// The maker's web-site host name, as the web-site item shows it.
QString MakerHostName();

class TTrayMenu : public QObject {
public:
    // mainWindow receives the close request of "Exit Vendrel".
    TTrayMenu(TTrayOwner& owner, QWidget* mainWindow, QObject* parent = nullptr);
    ~TTrayMenu() override;

    QMenu* popTask() const { return popTask_; }

    // Builds the menu; runs each time it opens.
    void popTaskPopup();

    // Appends an item to parent. An empty hint takes the caption; an image
    // index below 0 means no image.
    QAction* AddMenuItem(QMenu* parent, const QString& caption, const QString& hint, std::function<void()> onClick,
                         int tag, int imageIndex, bool checked, bool enabled);
    void ClearMenu(QMenu* menu);

private:
    void SiteMenuItemClick(QAction* item);
    void ExitClick();
    // Runs an item's handler. Long work inside it lets events through, so the
    // menu can open again and be rebuilt while the handler runs: the items
    // it drops are freed only after every running handler has returned.
    void RunClick(const std::function<void()>& handler);

    TTrayOwner& owner_;
    QWidget* window_;
    QMenu* popTask_;
    int clicksRunning_ = 0;
    std::vector<QPointer<QObject>> dropped_;
};
