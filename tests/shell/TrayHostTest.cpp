// The icon in a real notification area: a virtual X desktop with trayer as
// the tray host. When the tray host goes away and comes back (a restarted
// panel), the icon must dock again.

#include "engine/SiteChecks.h"
#include "engine/SiteList.h"
#include "tests/support/DesktopProgram.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

class TrayHostTest : public TDesktopProgramTest {
protected:
    // With or without the notification area at first.
    void Begin(bool withTray) { TDesktopProgramTest::Begin(withTray, true); }
    void StartProgram() { TDesktopProgramTest::StartProgram({"/start"}); }
    bool Docked() const { return desktop_->TrayIconOf(copy_.FileName()) != 0; }

    // Sizes of the program's windows now on screen, icon included.
    std::vector<std::pair<int, int>> VisibleWindowSizes() const
    {
        std::vector<std::pair<int, int>> sizes;
        for (unsigned long w : desktop_->WindowsOf(copy_.FileName())) {
            if (!desktop_->Viewable(w))
                continue;
            int width = 0, height = 0;
            desktop_->Size(w, width, height);
            sizes.emplace_back(width, height);
        }
        return sizes;
    }
    bool MenuOpen() const
    {
        for (auto [w, h] : VisibleWindowSizes())
            if (w > 100 && h > 60 && h < 300)
                return true;
        return false;
    }
    bool WindowShown() const
    {
        for (auto [w, h] : VisibleWindowSizes())
            if (h >= 300)
                return true;
        return false;
    }
};

} // namespace

TEST_F(TrayHostTest, IconDocksAndDocksAgainAfterTheTrayHostRestarts)
{
    Begin(true);
    StartProgram();
    ASSERT_TRUE(WaitUntil([&] { return Docked(); })) << "the icon never reached the tray";

    // A panel may restart more than once in a session.
    for (int restart = 1; restart <= 3; ++restart) {
        SCOPED_TRACE("restart " + std::to_string(restart));
        ASSERT_TRUE(desktop_->StopTray()) << "the tray host did not go";
        ASSERT_TRUE(WaitUntil([&] { return !Docked(); }));
        ASSERT_TRUE(desktop_->StartTray());
        ASSERT_TRUE(WaitUntil([&] { return Docked(); })) << "the icon did not come back to the restarted tray";
    }
    EXPECT_EQ(kill(pid_, 0), 0);
}

TEST_F(TrayHostTest, ProgramStartedBeforeTheTrayHostDocksWhenItAppears)
{
    Begin(false);
    StartProgram();
    // Up without a tray: the log-on start leaves a minimised window then.
    ASSERT_TRUE(WaitUntil([&] {
        for (unsigned long w : desktop_->WindowsOf(copy_.FileName()))
            if (desktop_->WmState(w) == 3)
                return true;
        return false;
    })) << "the program never came up";
    ASSERT_TRUE(desktop_->StartTray());
    EXPECT_TRUE(WaitUntil([&] { return Docked(); }));
}

TEST_F(TrayHostTest, ClicksOnTheDockedIconOpenTheMenuOrTheWindow)
{
    Begin(true);
    StartProgram();
    ASSERT_TRUE(WaitUntil([&] { return Docked(); }));
    int x = 0, y = 0;
    desktop_->Centre(desktop_->TrayIconOf(copy_.FileName()), x, y);
    desktop_->Xdotool({"mousemove", std::to_string(x), std::to_string(y)});

    desktop_->Xdotool({"click", "1"});
    EXPECT_TRUE(WaitUntil([&] { return MenuOpen(); }, 5000)) << "a left click opened no menu";
    desktop_->Xdotool({"key", "Escape"});
    ASSERT_TRUE(WaitUntil([&] { return !MenuOpen(); }, 5000));

    desktop_->Xdotool({"click", "3"});
    EXPECT_TRUE(WaitUntil([&] { return MenuOpen(); }, 5000)) << "a right click opened no menu";
    desktop_->Xdotool({"key", "Escape"});
    ASSERT_TRUE(WaitUntil([&] { return !MenuOpen(); }, 5000));

    EXPECT_FALSE(WindowShown());
    desktop_->Xdotool({"click", "--repeat", "2", "--delay", "80", "1"});
    EXPECT_TRUE(WaitUntil([&] { return WindowShown(); }, 5000)) << "a double-click did not show the window";
    // The second press was the double-click's, not the start of a menu.
    EXPECT_TRUE(Stays([&] { return !MenuOpen(); }, 800));
}

TEST_F(TrayHostTest, ASiteFailingItsThirdCheckInARowIsToldFromTheIcon)
{
    Begin(true);
    // Two failed checks are on record, so the check ten seconds after a
    // start by the system is the third. The notice mail finds no server.
    WriteFile(home_.DataFolder() + "HTML/Quiet.checks", "Failures=2\r\n");
    WriteFile(home_.DataFolder() + "Settings.dat",
              "[Server]\r\nSMTPServer=127.0.0.1\r\nSMTPPort=9\r\n[Settings]\r\nDestEmail=me@example.test\r\n"
              "ActiveNetConnection=False\r\nTrayIcon=True\r\n");
    // The message is a balloon of the program's own, an X tooltip window.
    auto messageShown = [&] {
        for (unsigned long w : desktop_->WindowsOf(copy_.FileName()))
            if (desktop_->Viewable(w) && desktop_->HasWindowType(w, "_NET_WM_WINDOW_TYPE_TOOLTIP"))
                return true;
        return false;
    };
    StartProgram();
    ASSERT_TRUE(WaitUntil([&] { return Docked(); }));
    EXPECT_FALSE(messageShown());
    EXPECT_TRUE(WaitUntil(messageShown, 40000)) << "no message came from the icon";
    EXPECT_EQ(ReadSiteChecks(home_.DataFolder() + "HTML/Quiet.checks").Failures, 3);
}
