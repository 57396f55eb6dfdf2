#include "engine/HeadlessHost.h"
#include "engine/SiteMonitor.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TempDataFolder.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <stdexcept>

namespace {

struct Scheduler : ::testing::Test {
    TTempDataFolder tmp{TDesktopHome::Untouched};
    TManualClock clock;
    THeadlessHost host{clock};
    TSiteMonitor monitor{host, clock, tmp.DataFolder()};
    std::string oldTz;

    Scheduler()
    {
        if (const char* tz = std::getenv("TZ"))
            oldTz = tz;
        setenv("TZ", "UTC", 1);
        tzset();
        host.Log.StampText = [](TDateTime) { return std::string("t"); };
        monitor.IsConnected = [] { return true; };
        clock.SetLocal(2026, 12, 8, 7, 0, 30);
    }
    ~Scheduler() override
    {
        if (oldTz.empty())
            unsetenv("TZ");
        else
            setenv("TZ", oldTz.c_str(), 1);
        tzset();
    }
};

} // namespace

TEST_F(Scheduler, DailyCheckEndingAfterTheTimeWaitsForTomorrow)
{
    host.Settings.OncePerDay = true;
    host.Settings.CheckTime = {7, 0, 0};
    EXPECT_EQ(monitor.SecondsUntilCheckTime({7, 0, 0}), 86370);
    monitor.EnableTimer();
    ASSERT_TRUE(host.Timer1Interval);
    EXPECT_EQ(*host.Timer1Interval, 86370000u);
}

TEST_F(Scheduler, DailyCheckAtOrJustBeforeTheTimeFiresOneSecondLater)
{
    clock.SetLocal(2026, 12, 8, 7, 0, 0);
    EXPECT_EQ(monitor.SecondsUntilCheckTime({7, 0, 0}), 1);
    clock.SetLocal(2026, 12, 8, 6, 59, 59, 600);
    EXPECT_EQ(monitor.SecondsUntilCheckTime({7, 0, 0}), 1);
    clock.SetLocal(2026, 12, 8, 6, 59, 58, 500);
    EXPECT_EQ(monitor.SecondsUntilCheckTime({7, 0, 0}), 2) << "1.5 s rounds to the even 2";
    clock.SetLocal(2026, 12, 8, 6, 59, 57, 500);
    EXPECT_EQ(monitor.SecondsUntilCheckTime({7, 0, 0}), 2) << "2.5 s rounds to the even 2";
}

TEST_F(Scheduler, IntervalModeArmsTenSecondsAfterOkThenTheFullInterval)
{
    host.Settings.OncePerDay = false;
    host.Settings.CheckFrequency = 3;
    host.Settings.CheckFrequencyScale = 1;
    host.Settings.ActiveNetConnection = false;
    monitor.ArmAfterSettings();
    ASSERT_TRUE(host.Timer1Interval);
    EXPECT_EQ(*host.Timer1Interval, 10000u);
    clock.Advance(std::chrono::seconds(10));
    monitor.Timer1Timer();
    ASSERT_TRUE(host.Timer1Interval);
    EXPECT_EQ(*host.Timer1Interval, 10800000u);
}

TEST_F(Scheduler, UnitsAreMinutesHoursDaysAndNoneMeansHours)
{
    host.Settings.OncePerDay = false;
    host.Settings.CheckFrequency = 2;
    host.Settings.CheckFrequencyScale = 0;
    EXPECT_EQ(monitor.ScheduleIntervalMs(), 120000u);
    host.Settings.CheckFrequencyScale = 2;
    EXPECT_EQ(monitor.ScheduleIntervalMs(), 172800000u);
    host.Settings.CheckFrequencyScale = -1;
    EXPECT_EQ(monitor.ScheduleIntervalMs(), 7200000u);
}

TEST_F(Scheduler, FiftyDaysReallyMeansFiftyDays)
{
    host.Settings.OncePerDay = false;
    host.Settings.CheckFrequency = 50;
    host.Settings.CheckFrequencyScale = 2;
    host.Settings.ActiveNetConnection = false;
    host.SiteList.Add("x                  {http://127.0.0.1:9/}-2", false);
    monitor.EnableTimer();
    const std::uint64_t total = 50ull * 86400000ull;
    std::uint64_t elapsed = 0;
    int firings = 0;
    while (host.Log.Lines().empty()) {
        ASSERT_TRUE(host.Timer1Interval);
        const std::uint32_t step = *host.Timer1Interval;
        EXPECT_LE(step, TSiteMonitor::MaxTimerStepMs);
        clock.Advance(std::chrono::milliseconds(step));
        elapsed += step;
        monitor.Timer1Timer();
        ASSERT_LT(++firings, 10);
    }
    EXPECT_EQ(elapsed, total) << "the pass runs when the fifty days are over, not before";
    EXPECT_GT(firings, 1);
}

TEST_F(Scheduler, NoConnectionRetriesInTenMinutesWithoutTouchingTheList)
{
    host.Settings.ActiveNetConnection = true;
    host.SiteList.Add("x                  {http://127.0.0.1:9/}-2", true);
    monitor.IsConnected = [] { return false; };
    monitor.CheckForSites();
    ASSERT_TRUE(host.Timer1Interval);
    EXPECT_EQ(*host.Timer1Interval, 600000u);
    EXPECT_TRUE(host.Log.Lines().empty());
    EXPECT_TRUE(host.TrayImages.empty()) << "no busy state";
    EXPECT_TRUE(monitor.LastPass().NoConnection);
}

TEST_F(Scheduler, PassWithNothingTickedStillEndsWithASeparatorAndReArms)
{
    host.Settings.ActiveNetConnection = false;
    host.Settings.OncePerDay = false;
    host.SiteList.Add("x                  {http://127.0.0.1:9/}-2", false);
    monitor.CheckForSites();
    ASSERT_EQ(host.Log.Lines().size(), 1u);
    EXPECT_EQ(host.Log.Lines()[0], "");
    EXPECT_EQ(host.TrayImages, (std::vector<TTrayImage>{TTrayImage::Busy, TTrayImage::Normal}));
    ASSERT_TRUE(host.Timer1Interval);
    EXPECT_EQ(*host.Timer1Interval, 3600000u);
}

TEST_F(Scheduler, AnotherProcessHoldingTheFolderDefersThePass)
{
    host.Settings.ActiveNetConnection = false;
    host.SiteList.Add("x                  {http://127.0.0.1:9/}-2", true);
    TFolderLock other;
    std::filesystem::create_directories(tmp.DataFolder());
    // A second open file description conflicts just as another process would.
    ASSERT_TRUE(other.TryLock(tmp.DataFolder()));
    monitor.CheckForSites();
    EXPECT_TRUE(monitor.LastPass().FolderBusy);
    ASSERT_EQ(host.Log.Lines().size(), 1u);
    EXPECT_EQ(host.Log.Lines()[0], "t Another Vendrel is checking these sites; checking again later");
    EXPECT_TRUE(host.Timer1Interval);
    other.Unlock();
}


TEST_F(Scheduler, AnUnusableLockFileIsReportedAsItselfNotAsAnotherProcess)
{
    host.Settings.ActiveNetConnection = false;
    host.SiteList.Add("x                  {http://127.0.0.1:9/}-2", true);
    // A folder in the lock file's place cannot be opened, also by root.
    std::filesystem::create_directories(tmp.DataFolder() + TFolderLock::FileName);
    monitor.CheckForSites();
    EXPECT_FALSE(monitor.LastPass().FolderBusy);
    EXPECT_NE(monitor.LastPass().FolderError.find("Is a directory"), std::string::npos)
        << monitor.LastPass().FolderError;
    ASSERT_EQ(host.Log.Lines().size(), 1u);
    EXPECT_EQ(host.Log.Lines()[0], "t Cannot check these sites: " + monitor.LastPass().FolderError +
                                       "; checking again later");
    EXPECT_TRUE(host.Timer1Interval) << "the pass is tried again at its time";

    host.Boxes.clear();
    EXPECT_FALSE(monitor.SendSiteOfIndex(0));
    ASSERT_EQ(host.Boxes.size(), 1u);
    EXPECT_EQ(host.Boxes[0].Text, "Vendrel cannot use its data folder: " + monitor.LastPass().FolderError + ".");
}

namespace {
// A window whose log fails at the end of the pass.
struct TFailingSeparatorHost : THeadlessHost {
    using THeadlessHost::THeadlessHost;
    void AddLogSeparator() override { throw std::runtime_error("the log is gone"); }
};
} // namespace

TEST_F(Scheduler, AnErrorEscapingThePassStillLeavesEverythingAsAfterAPass)
{
    TFailingSeparatorHost failing{clock};
    TSiteMonitor second{failing, clock, tmp.DataFolder()};
    failing.Settings.ActiveNetConnection = false;
    failing.Settings.OncePerDay = false;
    failing.SiteList.Add("x                  {http://127.0.0.1:9/}-2", false);
    failing.CurrentCursor = TCursor::HourGlass;
    EXPECT_THROW(second.CheckForSites(), std::runtime_error);
    EXPECT_EQ(failing.TrayImages, (std::vector<TTrayImage>{TTrayImage::Busy, TTrayImage::Normal}));
    EXPECT_EQ(failing.CurrentCursor, TCursor::Default);
    ASSERT_TRUE(failing.Timer1Interval) << "re-armed from the schedule";
    EXPECT_EQ(*failing.Timer1Interval, 3600000u);
    TFolderLock other;
    EXPECT_TRUE(other.TryLock(tmp.DataFolder())) << "the folder is given back";
}
