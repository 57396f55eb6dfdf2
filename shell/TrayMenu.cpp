#include "shell/TrayMenu.h"

#include "engine/Product.h"
#include "engine/SiteList.h"
#include "shell/QtText.h"

#include <QAction>
#include <QMenu>
#include <QPointer>
#include <QUrl>
#include <QWidget>

namespace {

// A caption is shown as typed: "&" would otherwise mark a shortcut letter.
QString MenuText(const QString& caption)
{
    QString text = caption;
    return text.replace('&', "&&");
}

} // namespace

QString MakerHostName()
{
    return QUrl(QString::fromLatin1(MakerWebAddress)).host();
}

TTrayMenu::TTrayMenu(TTrayOwner& owner, QWidget* mainWindow, QObject* parent)
    : QObject(parent), owner_(owner), window_(mainWindow), popTask_(new QMenu)
{
    popTask_->setObjectName("popTask");
    popTask_->setToolTipsVisible(true);
    connect(popTask_, &QMenu::aboutToShow, this, [this] { popTaskPopup(); });
}

TTrayMenu::~TTrayMenu()
{
    for (const auto& o : dropped_)
        delete o.data();
    delete popTask_;
}

void TTrayMenu::popTaskPopup()
{
    ClearMenu(popTask_);
    const TSiteList& sites = owner_.TraySites();

    AddMenuItem(popTask_, "Check Now", "", [this] { owner_.btnChangeNowClick(); }, 0, TrayMenuImage::CheckNow, false,
                true);
    QAction* deliver = AddMenuItem(popTask_, "Deliver Site Now", "", {}, 0, TrayMenuImage::SendSite, false,
                                   sites.Count() > 0);
    auto* submenu = new QMenu(popTask_);
    submenu->setToolTipsVisible(true);
    deliver->setMenu(submenu);
    for (int i = 0; i < sites.Count(); ++i)
        if (SiteSelected(sites, i))
            // The tag is the row in the whole list, so rows left out above
            // it do not shift which site a click delivers.
            AddMenuItem(submenu, QtText(SiteNameOf(sites, i)), QtText(SiteAddressOf(sites, i)), {}, i, -1, false, true);
    connect(submenu, &QMenu::triggered, this, [this](QAction* item) { SiteMenuItemClick(item); });

    popTask_->addSeparator();
    AddMenuItem(popTask_, "Settings...", "", [this] { owner_.SettingsClick(); }, 0, TrayMenuImage::Settings, false,
                true);
    AddMenuItem(popTask_, "Go to " + MakerHostName(), "", [this] { owner_.OpenMakerWebSite(); }, 0,
                TrayMenuImage::WebSite, false, true);
    popTask_->addSeparator();
    AddMenuItem(popTask_, "Exit Vendrel", "", [this] { ExitClick(); }, 0, TrayMenuImage::Exit, false, true);
}

QAction* TTrayMenu::AddMenuItem(QMenu* parent, const QString& caption, const QString& hint,
                                std::function<void()> onClick, int tag, int imageIndex, bool checked, bool enabled)
{
    auto* item = new QAction(MenuText(caption), parent);
    const QString shownHint = hint.isEmpty() ? caption : hint;
    item->setToolTip(shownHint);
    item->setStatusTip(shownHint);
    item->setData(tag);
    if (imageIndex >= 0)
        item->setIcon(owner_.MenuImage(imageIndex));
    if (checked) {
        item->setCheckable(true);
        item->setChecked(true);
    }
    item->setEnabled(enabled);
    if (onClick)
        connect(item, &QAction::triggered, this, [this, onClick = std::move(onClick)] { RunClick(onClick); });
    parent->addAction(item);
    return item;
}

void TTrayMenu::ClearMenu(QMenu* menu)
{
    while (!menu->actions().isEmpty()) {
        QAction* item = menu->actions().first();
        menu->removeAction(item);
        if (QMenu* sub = item->menu())
            ClearMenu(sub);
        if (clicksRunning_ > 0) {
            dropped_.push_back(item);
            if (QMenu* sub = item->menu())
                dropped_.push_back(sub);
        } else {
            QMenu* sub = item->menu();
            delete item;
            if (sub && sub != menu)
                sub->deleteLater();
        }
    }
}

void TTrayMenu::SiteMenuItemClick(QAction* item)
{
    const int index = item->data().toInt();
    RunClick([this, index] { owner_.SendSiteOfIndex(index); });
}

void TTrayMenu::ExitClick()
{
    // A close request: the window's close query decides.
    if (window_)
        window_->close();
}

void TTrayMenu::RunClick(const std::function<void()>& handler)
{
    struct TDepth {
        TTrayMenu& Menu;
        explicit TDepth(TTrayMenu& m) : Menu(m) { ++Menu.clicksRunning_; }
        ~TDepth()
        {
            if (--Menu.clicksRunning_ > 0)
                return;
            // Still inside the menu's own click handling: free on return to
            // the event loop.
            for (const auto& o : Menu.dropped_)
                if (o)
                    o->deleteLater();
            Menu.dropped_.clear();
        }
    } depth(*this);
    handler();
}
