#include "engine/HeadlessHost.h"
#include "engine/SiteMonitor.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TempDataFolder.h"

#include <gtest/gtest.h>

namespace {
struct BusyState : ::testing::Test {
    TTempDataFolder tmp{TDesktopHome::Untouched};
    TManualClock clock;
    THeadlessHost host{clock};
    TSiteMonitor monitor{host, clock, tmp.DataFolder()};
};
} // namespace

TEST_F(BusyState, FlashShowsNewAndNormalForSixtyOneTicksAndEndsNormal)
{
    host.Settings.FlashIcon = true;
    monitor.SetProcessing(true);
    EXPECT_EQ(host.TrayImage, TTrayImage::Busy);
    EXPECT_EQ(host.CurrentCursor, TCursor::HourGlass);
    monitor.Flags.DeliveredWhileBusy = true;
    host.TrayImages.clear();
    monitor.SetProcessing(false);
    EXPECT_TRUE(host.AnimRunning);
    EXPECT_EQ(host.CurrentCursor, TCursor::Default);
    int ticks = 0;
    while (host.AnimRunning && ticks < 100) {
        monitor.TimerAnimTimer();
        ++ticks;
    }
    EXPECT_EQ(ticks, 61);
    ASSERT_EQ(host.TrayImages.size(), 62u) << "61 ticks and the final normal image";
    EXPECT_EQ(host.TrayImages[0], TTrayImage::New);
    EXPECT_EQ(host.TrayImages[1], TTrayImage::Normal);
    EXPECT_EQ(host.TrayImages[60], TTrayImage::New);
    EXPECT_EQ(host.TrayImages.back(), TTrayImage::Normal);
    EXPECT_EQ(monitor.FlashCounter(), 0);
}

TEST_F(BusyState, HideFlashingIconEndsTheFlashAtTheNextTick)
{
    host.Settings.FlashIcon = true;
    monitor.SetProcessing(true);
    monitor.Flags.DeliveredWhileBusy = true;
    monitor.SetProcessing(false);
    monitor.TimerAnimTimer();
    monitor.TimerAnimTimer();
    monitor.HideFlashingIcon();
    monitor.TimerAnimTimer();
    EXPECT_FALSE(host.AnimRunning);
    EXPECT_EQ(host.TrayImage, TTrayImage::Normal);
}

TEST_F(BusyState, NoDeliveryOrNoFlashGoesStraightToNormal)
{
    host.Settings.FlashIcon = true;
    monitor.SetProcessing(true);
    monitor.SetProcessing(false);
    EXPECT_FALSE(host.AnimRunning);
    EXPECT_EQ(host.TrayImage, TTrayImage::Normal);

    host.Settings.FlashIcon = false;
    monitor.SetProcessing(true);
    monitor.Flags.DeliveredWhileBusy = true;
    monitor.SetProcessing(false);
    EXPECT_FALSE(host.AnimRunning);
    EXPECT_EQ(host.TrayImage, TTrayImage::Normal);
}

TEST_F(BusyState, DisplayWordsGoToCaptionAndTip)
{
    monitor.SetDisplay("Downloading Site 1 of 3: News", "Downloading Site 1 of 3");
    EXPECT_EQ(host.Caption, "Vendrel - Downloading Site 1 of 3: News");
    EXPECT_EQ(host.TrayTip, "Vendrel - Downloading Site 1 of 3");
    monitor.SetDisplay("", "");
    EXPECT_EQ(host.Caption, "Vendrel, Web Site Delivery Software");
    EXPECT_EQ(host.TrayTip, "Vendrel, Web Site Delivery Software");
}

TEST(DestEmail, AcceptsAnAtAndADotNotInFirstPlace)
{
    EXPECT_TRUE(IsValidDestEmail("me@example.org"));
    EXPECT_TRUE(IsValidDestEmail("a.b@c")) << "the dot need not follow the @";
    EXPECT_TRUE(IsValidDestEmail("me@example.org, you@example.org"));
    EXPECT_FALSE(IsValidDestEmail("me@example"));
    EXPECT_FALSE(IsValidDestEmail("@example.org"));
    EXPECT_FALSE(IsValidDestEmail(".me@example"));
    EXPECT_FALSE(IsValidDestEmail(""));
    EXPECT_FALSE(IsValidDestEmail("me@QUORVAN.example"));
    EXPECT_TRUE(IsValidDestEmail("Development@quorvan.example"));
}

TEST_F(BusyState, InvalidDestinationShowsTheErrorBox)
{
    host.Settings.DestEmail = "nobody";
    EXPECT_FALSE(monitor.CheckDestEmail());
    ASSERT_EQ(host.Boxes.size(), 1u);
    EXPECT_EQ(host.Boxes[0].Text, "You have not specified a destination e-mail address for delivery of your sites.");
    EXPECT_EQ(host.Boxes[0].Kind, TMsgKind::Error);
}
