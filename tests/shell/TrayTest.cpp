// The tray icon and its popup menu, offscreen, against a stand-in window.

#include "engine/HeadlessHost.h"
#include "engine/SiteList.h"
#include "engine/BusyDisplay.h"
#include "shell/NotifyIcon.h"
#include "shell/TrayMenu.h"
#include "tests/support/ManualClock.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QMenu>
#include <QPointer>
#include <QWidget>
#include <functional>
#include <string>
#include <vector>

namespace {

// Lets events run until the condition holds or the time is up.
bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 3000)
{
    QElapsedTimer t;
    t.start();
    while (!condition()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// A main window with a close query that the test answers.
class TQueryWindow : public QWidget {
public:
    int Queries = 0;
    bool AllowClose = false;

protected:
    void closeEvent(QCloseEvent* e) override
    {
        ++Queries;
        if (AllowClose)
            e->accept();
        else
            e->ignore();
    }
};

class TOwner : public TTrayOwner {
public:
    TSiteList Sites;
    std::vector<std::string> Calls;
    std::vector<int> ImagesAsked;
    std::function<void()> DuringCheckNow;

    const TSiteList& TraySites() const override { return Sites; }
    void btnChangeNowClick() override
    {
        Calls.push_back("check");
        if (DuringCheckNow)
            DuringCheckNow();
    }
    void SendSiteOfIndex(int index) override { Calls.push_back("send " + std::to_string(index)); }
    void SettingsClick() override { Calls.push_back("settings"); }
    void OpenMakerWebSite() override { Calls.push_back("web site"); }
    QIcon MenuImage(int imageIndex) const override
    {
        const_cast<TOwner*>(this)->ImagesAsked.push_back(imageIndex);
        QPixmap pm(16, 16);
        pm.fill(Qt::red);
        return QIcon(pm);
    }
};

class TrayMenuTest : public ::testing::Test {
protected:
    ~TrayMenuTest() override
    {
        menu.popTask()->hide();
        QApplication::processEvents();
    }

    QAction* Item(const QString& text) const
    {
        for (QAction* a : menu.popTask()->actions())
            if (a->text() == text)
                return a;
        return nullptr;
    }
    QMenu* DeliverMenu() const
    {
        QAction* deliver = Item("Deliver Site Now");
        return deliver ? deliver->menu() : nullptr;
    }

    TOwner owner;
    TQueryWindow window;
    TTrayMenu menu{owner, &window};
};

std::vector<QString> Captions(const QMenu* m)
{
    std::vector<QString> out;
    for (const QAction* a : m->actions())
        out.push_back(a->isSeparator() ? QString("-") : a->text());
    return out;
}

} // namespace

TEST_F(TrayMenuTest, EmptyListShowsEveryItemWithDeliverSiteNowDisabled)
{
    menu.popTaskPopup();
    EXPECT_EQ(Captions(menu.popTask()),
              (std::vector<QString>{"Check Now", "Deliver Site Now", "-", "Settings...", "Go to quorvan.example", "-",
                                    "Exit Vendrel"}));
    EXPECT_EQ(owner.ImagesAsked, (std::vector<int>{0, 17, 1, 9, 5}));
    ASSERT_TRUE(DeliverMenu());
    EXPECT_FALSE(Item("Deliver Site Now")->isEnabled());
    EXPECT_TRUE(DeliverMenu()->actions().isEmpty());
    for (const char* always : {"Check Now", "Settings...", "Go to quorvan.example", "Exit Vendrel"}) {
        EXPECT_TRUE(Item(always)->isEnabled()) << always;
        // An item without its own hint shows its caption.
        EXPECT_EQ(Item(always)->toolTip(), QString(always));
    }
}

TEST_F(TrayMenuTest, UntickedRowsAreLeftOutAndItemsCarryFullListIndices)
{
    owner.Sites.Add(MakeSiteEntry("Alpha", "http://a.test/", -2), true);
    owner.Sites.Add(MakeSiteEntry("Bravo", "http://b.test/", -2), false);
    owner.Sites.Add(MakeSiteEntry("Charlie", "http://c.test/x", 50), true);
    owner.Sites.Add(MakeSiteEntry("Delta", "http://d.test/", -2), false);
    owner.Sites.Add(MakeSiteEntry("Echo & Sons", "http://e.test/", -1), true);
    menu.popTaskPopup();

    EXPECT_TRUE(Item("Deliver Site Now")->isEnabled());
    QMenu* sub = DeliverMenu();
    ASSERT_TRUE(sub);
    ASSERT_EQ(sub->actions().size(), 3);
    EXPECT_EQ(Captions(sub), (std::vector<QString>{"Alpha", "Charlie", "Echo && Sons"}));
    EXPECT_EQ(sub->actions()[1]->toolTip(), "http://c.test/x");
    EXPECT_TRUE(sub->actions()[1]->icon().isNull());
    EXPECT_EQ(sub->actions()[1]->data().toInt(), 2);
    EXPECT_EQ(sub->actions()[2]->data().toInt(), 4);

    // The click delivers the row in the whole list, not the submenu position.
    sub->actions()[1]->trigger();
    sub->actions()[2]->trigger();
    EXPECT_EQ(owner.Calls, (std::vector<std::string>{"send 2", "send 4"}));
}

TEST_F(TrayMenuTest, RowsWithNoneTickedGiveAnEnabledEmptySubmenu)
{
    owner.Sites.Add(MakeSiteEntry("Alpha", "http://a.test/", -2), false);
    menu.popTaskPopup();
    EXPECT_TRUE(Item("Deliver Site Now")->isEnabled());
    EXPECT_TRUE(DeliverMenu()->actions().isEmpty());
}

TEST_F(TrayMenuTest, IsRebuiltFromTheListEachTimeItOpens)
{
    menu.popTask()->popup(QPoint(10, 10));
    ASSERT_TRUE(WaitFor([&] { return menu.popTask()->isVisible(); }));
    EXPECT_FALSE(Item("Deliver Site Now")->isEnabled());
    menu.popTask()->hide();

    owner.Sites.Add(MakeSiteEntry("Alpha", "http://a.test/", -2), true);
    menu.popTask()->popup(QPoint(10, 10));
    ASSERT_TRUE(WaitFor([&] { return menu.popTask()->isVisible(); }));
    EXPECT_EQ(menu.popTask()->actions().size(), 7);
    EXPECT_TRUE(Item("Deliver Site Now")->isEnabled());
    EXPECT_EQ(Captions(DeliverMenu()), std::vector<QString>{"Alpha"});
}

TEST_F(TrayMenuTest, ItemsRunTheWindowsHandlers)
{
    menu.popTaskPopup();
    Item("Check Now")->trigger();
    Item("Settings...")->trigger();
    Item("Go to quorvan.example")->trigger();
    EXPECT_EQ(owner.Calls, (std::vector<std::string>{"check", "settings", "web site"}));
}

TEST_F(TrayMenuTest, ExitRunsTheCloseQuery)
{
    window.show();
    menu.popTaskPopup();
    Item("Exit Vendrel")->trigger();
    EXPECT_EQ(window.Queries, 1);
    EXPECT_TRUE(window.isVisible());

    window.AllowClose = true;
    menu.popTaskPopup();
    Item("Exit Vendrel")->trigger();
    EXPECT_EQ(window.Queries, 2);
    EXPECT_FALSE(window.isVisible());
}

TEST_F(TrayMenuTest, ReopeningWhileAnItemRunsKeepsThatItemAlive)
{
    menu.popTaskPopup();
    QPointer<QAction> running = Item("Check Now");
    bool aliveDuringRebuild = false;
    owner.DuringCheckNow = [&] {
        // The user opens the menu again while the check lets events through.
        menu.popTaskPopup();
        aliveDuringRebuild = !running.isNull();
    };
    running->trigger();
    EXPECT_TRUE(aliveDuringRebuild);
    // Freed once back in the event loop, and not part of the menu any more.
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(running.isNull());
    EXPECT_EQ(menu.popTask()->actions().size(), 7);
}

class NotifyIconTest : public ::testing::Test {
protected:
    NotifyIconTest()
    {
        icon.PopupMenu = menu.popTask();
        icon.OnDblClick = [this] { ++doubleClicks; };
        icon.HostAvailable = [this] { return hostAvailable; };
    }
    ~NotifyIconTest() override
    {
        menu.popTask()->hide();
        QApplication::processEvents();
    }

    TOwner owner;
    TQueryWindow window;
    TTrayMenu menu{owner, &window};
    TNotifyIcon icon{&window};
    bool hostAvailable = true;
    int doubleClicks = 0;
};

TEST_F(NotifyIconTest, TipIsCutTo127CharactersWhileTheHintStaysWhole)
{
    const QString longText = QString("Vendrel - ") + QString(150, 'x');
    icon.SetHint(longText);
    EXPECT_EQ(icon.Hint(), longText);
    EXPECT_EQ(icon.Tip(), longText.left(127));
    EXPECT_EQ(icon.SystemIcon()->toolTip(), longText.left(127));

    const QString exact(127, 'y');
    icon.SetHint(exact);
    EXPECT_EQ(icon.Tip(), exact);

    // A character outside the basic plane is not split at the cut.
    const QString wide = QString(126, 'z') + QString::fromUtf8("\xF0\x9F\x93\xA7") + "tail";
    EXPECT_EQ(TrayTipText(wide), QString(126, 'z'));
    EXPECT_EQ(TrayTipText(""), "");
}

TEST_F(NotifyIconTest, StatusTextIsCutInTheTipButWholeInTheCaption)
{
    // The engine's display call, with the caption on the window and the tip
    // on the icon, as the main window wires them.
    class TShownHost : public THeadlessHost {
    public:
        TShownHost(const TClock& clock, QWidget& w, TNotifyIcon& i) : THeadlessHost(clock), window(w), icon(i) {}
        void SetCaption(const std::string& caption) override { window.setWindowTitle(QString::fromStdString(caption)); }
        void SetTrayTip(const std::string& tip) override { icon.SetHint(QString::fromStdString(tip)); }
        QWidget& window;
        TNotifyIcon& icon;
    };
    TManualClock clock;
    TShownHost host(clock, window, icon);
    TEngineFlags flags;
    TBusyDisplay display(host, flags);
    const std::string status = "Downloading " + std::string(140, 'p') + " 3 of 9";
    display.SetDisplay(status, status);
    EXPECT_EQ(window.windowTitle().toStdString(), "Vendrel - " + status);
    EXPECT_EQ(icon.Tip().toStdString(), ("Vendrel - " + status).substr(0, 127));
}

TEST_F(NotifyIconTest, RightClickOpensTheMenuAtOnce)
{
    icon.Activated(QSystemTrayIcon::Context);
    EXPECT_TRUE(menu.popTask()->isVisible());
    EXPECT_EQ(menu.popTask()->actions().size(), 7);
}

TEST_F(NotifyIconTest, LeftClickOpensTheMenuOnceNoSecondPressFollows)
{
    icon.Activated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(WaitFor([&] { return menu.popTask()->isVisible(); }));
    EXPECT_EQ(doubleClicks, 0);
}

TEST_F(NotifyIconTest, DoubleClickRunsItsHandlerOnceAndOpensNoMenu)
{
    // As an X11 tray reports it: a click, then the double-click.
    icon.Activated(QSystemTrayIcon::Trigger);
    icon.Activated(QSystemTrayIcon::DoubleClick);
    EXPECT_EQ(doubleClicks, 1);
    // As others do: two clicks, then the double-click.
    icon.Activated(QSystemTrayIcon::Trigger);
    icon.Activated(QSystemTrayIcon::Trigger);
    icon.Activated(QSystemTrayIcon::DoubleClick);
    EXPECT_EQ(doubleClicks, 2);
    EXPECT_FALSE(WaitFor([&] { return menu.popTask()->isVisible(); }, QApplication::doubleClickInterval() + 300));
}

TEST_F(NotifyIconTest, LeftPopupOffLeavesTheLeftButtonAlone)
{
    icon.LeftPopup = false;
    icon.Activated(QSystemTrayIcon::Trigger);
    EXPECT_FALSE(WaitFor([&] { return menu.popTask()->isVisible(); }, QApplication::doubleClickInterval() + 300));
}

TEST_F(NotifyIconTest, MinimisingHidesTheWindowToTheTrayWhateverTheSetting)
{
    icon.SetIconVisible(false);
    window.show();
    ASSERT_TRUE(WaitFor([&] { return window.isVisible(); }));
    window.showMinimized();
    EXPECT_TRUE(WaitFor([&] { return !window.isVisible(); }));
    EXPECT_TRUE(icon.IconVisible());

    icon.ShowMainWindow();
    EXPECT_TRUE(window.isVisible());
    EXPECT_FALSE(window.isMinimized());
}

TEST_F(NotifyIconTest, WithoutANotificationAreaMinimisingLeavesTheWindowMinimised)
{
    hostAvailable = false;
    window.show();
    ASSERT_TRUE(WaitFor([&] { return window.isVisible(); }));
    window.showMinimized();
    // Hidden now, the window could only come back by starting the program again.
    EXPECT_FALSE(WaitFor([&] { return !window.isVisible(); }, 300));
    EXPECT_TRUE(window.isMinimized());
}
