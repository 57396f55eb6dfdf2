// The real program on an X11 desktop, as a user meets it: a virtual display
// with a window manager (openbox) and, for most cases, a notification area
// (trayer). What counts is what the screen shows: which of the program's
// windows are mapped, their captions, and whether the window is painted.

#include "tests/support/DesktopProgram.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// ICCCM window states as WM_STATE holds them.
constexpr long WithdrawnState = 0;
constexpr long NormalState = 1;
constexpr long IconicState = 3;

constexpr int MainWidth = 495;
constexpr int MainHeight = 567;

class Desktop : public TDesktopProgramTest {
protected:
    void Begin(bool withTray) { TDesktopProgramTest::Begin(withTray, withTray, "ConfirmClose=False\r\n"); }
    unsigned long MainWindow() const { return desktop_->WindowOfSize(copy_.FileName(), MainWidth, MainHeight); }
    // Any window of the program on screen other than its tray icon.
    bool AnyWindowShown() const
    {
        for (unsigned long w : desktop_->WindowsOf(copy_.FileName()))
            if (desktop_->Viewable(w) && w != desktop_->TrayIconOf(copy_.FileName()))
                return true;
        return false;
    }
    void DoubleClick(unsigned long window) const
    {
        int x = 0, y = 0;
        desktop_->Centre(window, x, y);
        desktop_->Xdotool({"mousemove", std::to_string(x), std::to_string(y)});
        desktop_->Xdotool({"click", "--repeat", "2", "--delay", "80", "1"});
    }
};

} // namespace

TEST_F(Desktop, MinimisingLeavesNothingOnScreenAndTheIconBringsThePaintedWindowBack)
{
    Begin(true);
    StartProgram({});
    ASSERT_TRUE(WaitUntil([&] { return desktop_->Viewable(MainWindow()); })) << "the window never showed";
    const unsigned long window = MainWindow();
    ASSERT_TRUE(WaitUntil([&] { return desktop_->PaintedShare(window) > 0.5; }));
    ASSERT_TRUE(WaitUntil([&] { return desktop_->TrayIconOf(copy_.FileName()) != 0; })) << "no icon in the tray";

    desktop_->Iconify(window);
    ASSERT_TRUE(WaitUntil([&] { return !AnyWindowShown(); }, 5000)) << "the window stayed on screen";
    EXPECT_TRUE(Stays([&] { return !AnyWindowShown(); })) << "a window came back on screen by itself";
    EXPECT_EQ(desktop_->WmState(window), WithdrawnState) << "hidden in the tray, not a minimised window";

    DoubleClick(desktop_->TrayIconOf(copy_.FileName()));
    ASSERT_TRUE(WaitUntil([&] { return desktop_->Viewable(window); }, 5000)) << "the double-click showed nothing";
    EXPECT_EQ(desktop_->WmState(window), NormalState);
    EXPECT_TRUE(WaitUntil([&] { return desktop_->PaintedShare(window) > 0.5; }, 5000))
        << "the window came back unpainted: " << desktop_->PaintedShare(window);

    // Minimised again, it goes again.
    desktop_->Iconify(window);
    EXPECT_TRUE(WaitUntil([&] { return !AnyWindowShown(); }, 5000));
    EXPECT_TRUE(Stays([&] { return !AnyWindowShown(); }));
}

TEST_F(Desktop, CaptionsAreTheWindowsOwnWithNothingAdded)
{
    Begin(true);
    StartProgram({});
    ASSERT_TRUE(WaitUntil([&] { return desktop_->Viewable(MainWindow()); }));
    const unsigned long window = MainWindow();
    EXPECT_EQ(desktop_->Caption(window), "Vendrel, Web Site Delivery Software");

    // Alt+A is Add Site...: the editor's caption is its own too.
    desktop_->Xdotool({"windowactivate", "--sync", std::to_string(window)});
    desktop_->Xdotool({"key", "alt+a"});
    unsigned long editor = 0;
    ASSERT_TRUE(WaitUntil([&] {
        for (unsigned long w : desktop_->WindowsOf(copy_.FileName()))
            if (w != window && desktop_->Viewable(w) && desktop_->Caption(w).find("Edit Site") == 0)
                editor = w;
        return editor != 0;
    }, 5000)) << "Alt+A opened no editor";
    EXPECT_EQ(desktop_->Caption(editor), "Edit Site");
    desktop_->Xdotool({"key", "Escape"});
    EXPECT_TRUE(WaitUntil([&] { return !desktop_->Viewable(editor); }, 5000)) << "Escape left the editor open";
}

TEST_F(Desktop, WithoutANotificationAreaTheLogOnStartIsAMinimisedWindow)
{
    Begin(false);
    StartProgram({"/start"});
    ASSERT_TRUE(WaitUntil([&] { return MainWindow() != 0 && desktop_->WmState(MainWindow()) != WithdrawnState; }))
        << "the window is nowhere: hidden into a tray that does not exist";
    const unsigned long window = MainWindow();
    EXPECT_EQ(desktop_->WmState(window), IconicState);
    EXPECT_FALSE(desktop_->Viewable(window));

    // The taskbar's way back: activating the window restores it.
    desktop_->Xdotool({"windowactivate", std::to_string(window)});
    ASSERT_TRUE(WaitUntil([&] { return desktop_->Viewable(window); }, 5000));
    EXPECT_TRUE(WaitUntil([&] { return desktop_->PaintedShare(window) > 0.5; }, 5000));
    // Minimised by the user, it stays a minimised window.
    desktop_->Iconify(window);
    EXPECT_TRUE(WaitUntil([&] { return desktop_->WmState(window) == IconicState; }, 5000));
    EXPECT_TRUE(Stays([&] { return desktop_->WmState(window) == IconicState; }));
}
