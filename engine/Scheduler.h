#pragma once

// The check timer and its schedule: when the next check is due, from the
// schedule settings as the window's controls hold them, and arming the
// window's timer for it. Intervals longer than one timer run are reached in
// steps.

#include "platform/Clock.h"
#include "engine/WindowHost.h"
#include "platform/ScopeExit.h"

#include <cstdint>

struct TTimeOfDay;

class TScheduler {
public:
    static constexpr std::uint32_t NoConnectionRetryMs = 600000;
    static constexpr std::uint32_t FirstCheckDelayMs = 10000;
    // The longest period one timer run is given; longer due times re-arm.
    static constexpr std::uint64_t MaxTimerStepMs = 2147483647;

    TScheduler(TWindowHost& host, const TClock& clock);
    TScheduler(const TScheduler&) = delete;
    TScheduler& operator=(const TScheduler&) = delete;

    // Arms the timer from the schedule settings.
    void EnableTimer();
    void DisableTimer();
    // Arms the timer for a fixed delay (the first check after OK, the retry
    // without a connection).
    void Arm(std::uint64_t intervalMs);
    // OK and Cancel: ten seconds in interval mode, the daily time otherwise.
    void ArmAfterSettings();
    // One firing of the timer: true when the check is due now; false when the
    // timer was stopped meanwhile or one step of a longer wait has passed
    // (the timer is then armed for the rest).
    bool Fired();

    std::int64_t SecondsUntilCheckTime(const TTimeOfDay& checkTime) const;
    // The interval of the schedule settings, exact in 64 bits.
    std::uint64_t ScheduleIntervalMs() const;

    // When the armed check is due (for intervals longer than one timer run).
    TDateTime DueTime() const { return due_; }
    bool Enabled() const { return enabled_; }

private:
    TWindowHost& host_;
    const TClock& clock_;
    bool enabled_ = false;
    std::uint64_t interval_ = 0;
    TDateTime due_{};
};

// Arms the timer from the schedule when a run ends, on every path out of it.
class TRearmScope {
public:
    explicit TRearmScope(TScheduler& scheduler) : rearm_([&scheduler] { scheduler.EnableTimer(); }) {}

private:
    TScopeAction rearm_;
};
