#include "engine/Settings.h"
#include "engine/SiteList.h"
#include "engine/SiteMonitor.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace {

std::uint64_t UnitMs(int scaleIndex)
{
    switch (scaleIndex) {
    case 0:
        return 60000;
    case 2:
        return 86400000;
    default: // hours, also when no unit is selected
        return 3600000;
    }
}

} // namespace

std::uint64_t TSiteMonitor::ScheduleIntervalMs() const
{
    const TSettings& s = host_.CurrentSettings();
    if (s.OncePerDay)
        return static_cast<std::uint64_t>(SecondsUntilCheckTime(s.CheckTime)) * 1000;
    const std::uint64_t frequency = s.CheckFrequency > 0 ? static_cast<std::uint64_t>(s.CheckFrequency) : 1;
    return UnitMs(s.CheckFrequencyScale) * frequency;
}

void TSiteMonitor::EnableTimer()
{
    ArmTimer1(ScheduleIntervalMs());
}

void TSiteMonitor::DisableTimer()
{
    timer1Enabled_ = false;
    host_.StopTimer1();
}

void TSiteMonitor::ArmTimer1(std::uint64_t intervalMs)
{
    if (intervalMs == 0)
        intervalMs = 1;
    timer1Interval_ = intervalMs;
    timer1Due_ = clock_.Now() + std::chrono::milliseconds(intervalMs);
    timer1Enabled_ = true;
    // Every interval one timer run can hold is given exactly; a longer one is
    // reached in steps, each firing re-arming for what remains.
    host_.StartTimer1(static_cast<std::uint32_t>(intervalMs < MaxTimerStepMs ? intervalMs : MaxTimerStepMs));
}

void TSiteMonitor::Timer1Timer()
{
    if (!timer1Enabled_)
        return;
    if (timer1Interval_ > MaxTimerStepMs) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(timer1Due_ - clock_.Now()).count();
        if (left > 0) {
            const std::uint64_t step = static_cast<std::uint64_t>(left) < MaxTimerStepMs
                                           ? static_cast<std::uint64_t>(left)
                                           : MaxTimerStepMs;
            host_.StartTimer1(static_cast<std::uint32_t>(step));
            return;
        }
    }
    CheckForSites();
}

void TSiteMonitor::ArmFirstCheck()
{
    ArmTimer1(FirstCheckDelayMs);
}

void TSiteMonitor::ArmAfterSettings()
{
    if (host_.CurrentSettings().OncePerDay)
        EnableTimer();
    else
        ArmTimer1(FirstCheckDelayMs);
}

std::int64_t TSiteMonitor::SecondsUntilCheckTime(const TTimeOfDay& t) const
{
    const TDateTime now = clock_.Now();
    const std::time_t nowT = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&nowT, &local);
    auto at = [&](int dayOffset) {
        std::tm next = local;
        next.tm_mday += dayOffset;
        next.tm_hour = t.Hour;
        next.tm_min = t.Minute;
        next.tm_sec = t.Second;
        next.tm_isdst = -1;
        return std::chrono::system_clock::from_time_t(std::mktime(&next));
    };
    TDateTime next = at(0);
    if (now > next)
        next = at(1);
    const double seconds = std::chrono::duration<double>(next - now).count();
    // Halves go to the even neighbour, as the platform's rounding did.
    const auto rounded = static_cast<std::int64_t>(std::nearbyint(seconds));
    return rounded < 1 ? 1 : rounded;
}

void TSiteMonitor::CheckForSites()
{
    // Asked for from an event handled inside a running pass or send: a
    // second pass would share the one download, message and SMTP session
    // with the first. Both stopping is what the user gets either way, so the
    // running one is asked to stop at its next site (its fetch ends at once)
    // and re-arms the timer when it leaves.
    if (runDepth_ > 0) {
        Flags.AbortRequested = true;
        return;
    }
    DisableTimer();
    Flags.AbortRequested = false;
    const TSettings& settings = host_.CurrentSettings();
    lastPass_ = TPassResult{};
    if (settings.ActiveNetConnection && !IsConnected()) {
        lastPass_.NoConnection = true;
        ArmTimer1(NoConnectionRetryMs);
        return;
    }
    if (!EnterFolderLock()) {
        lastPass_.FolderBusy = true;
        host_.AddToLog("Another Vendrel is checking these sites; checking again later");
        EnableTimer();
        return;
    }

    ++runDepth_;
    SetProcessing(true);
    try {
        TSiteList& sites = host_.Sites();
        const int count = sites.Count();
        bool stopped = false;
        // The list may shrink while events are processed during a site.
        for (int i = 0; i < count && i < sites.Count(); ++i) {
            if (!SiteSelected(sites, i))
                continue;
            if (Flags.AbortRequested) {
                stopped = true;
                break;
            }
            char progress[48];
            std::snprintf(progress, sizeof progress, " %d of %d", i + 1, sites.Count());
            const std::string entry = sites.Entry(i);
            ++lastPass_.Processed;
            if (!ProcessSite(SiteNameOf(entry), SiteAddressOf(entry), progress, false, SiteThresholdOf(entry)))
                ++lastPass_.Failed;
        }
        if (!stopped) {
            lastPass_.RanToEnd = true;
            host_.AddLogSeparator();
        }
    } catch (...) {
        --runDepth_;
        SetProcessing(false);
        LeaveFolderLock();
        EnableTimer();
        throw;
    }
    --runDepth_;
    SetProcessing(false);
    LeaveFolderLock();
    EnableTimer();
}

void TSiteMonitor::CheckNow()
{
    if (!CheckDestEmail())
        return;
    host_.SetCursor(TCursor::HourGlass);
    try {
        CheckForSites();
    } catch (...) {
        host_.SetCursor(TCursor::Default);
        throw;
    }
    if (host_.WindowVisible())
        host_.RedrawSiteList();
    host_.SetCursor(TCursor::Default);
}
