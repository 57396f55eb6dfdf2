#include "engine/Scheduler.h"

#include "engine/Settings.h"

#include <cmath>
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

TScheduler::TScheduler(TWindowHost& host, const TClock& clock) : host_(host), clock_(clock) {}

std::uint64_t TScheduler::ScheduleIntervalMs() const
{
    const TSettings s = host_.CurrentSettings();
    if (s.OncePerDay)
        return static_cast<std::uint64_t>(SecondsUntilCheckTime(s.CheckTime)) * 1000;
    const std::uint64_t frequency = s.CheckFrequency > 0 ? static_cast<std::uint64_t>(s.CheckFrequency) : 1;
    return UnitMs(s.CheckFrequencyScale) * frequency;
}

void TScheduler::EnableTimer()
{
    Arm(ScheduleIntervalMs());
}

void TScheduler::DisableTimer()
{
    enabled_ = false;
    host_.StopTimer1();
}

void TScheduler::Arm(std::uint64_t intervalMs)
{
    if (intervalMs == 0)
        intervalMs = 1;
    interval_ = intervalMs;
    due_ = clock_.Now() + std::chrono::milliseconds(intervalMs);
    enabled_ = true;
    // Every interval one timer run can hold is given exactly; a longer one is
    // reached in steps, each firing re-arming for what remains.
    host_.StartTimer1(static_cast<std::uint32_t>(intervalMs < MaxTimerStepMs ? intervalMs : MaxTimerStepMs));
}

bool TScheduler::Fired()
{
    if (!enabled_)
        return false;
    if (interval_ > MaxTimerStepMs) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due_ - clock_.Now()).count();
        if (left > 0) {
            const std::uint64_t step = static_cast<std::uint64_t>(left) < MaxTimerStepMs
                                           ? static_cast<std::uint64_t>(left)
                                           : MaxTimerStepMs;
            host_.StartTimer1(static_cast<std::uint32_t>(step));
            return false;
        }
    }
    return true;
}

void TScheduler::ArmAfterSettings()
{
    if (host_.CurrentSettings().OncePerDay)
        EnableTimer();
    else
        Arm(FirstCheckDelayMs);
}

std::int64_t TScheduler::SecondsUntilCheckTime(const TTimeOfDay& t) const
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
