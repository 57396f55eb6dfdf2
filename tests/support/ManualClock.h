#pragma once

// A clock the test sets and advances; scheduling is tested by moving it, never
// by sleeping.

#include "platform/Clock.h"

#include <ctime>

// A local date and time (the test pins TZ when it matters).
inline TDateTime LocalDateTime(int year, int month, int day, int hour, int minute, int second)
{
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&tm));
}

class TManualClock : public TClock {
public:
    TDateTime Now() const override { return now_; }
    // Each reading of the tick counter moves it on by TickStepMs, so that a
    // test can let any run outlast its time limit.
    std::int64_t TickMs() const override
    {
        const auto t = tickMs_;
        tickMs_ += TickStepMs;
        return t;
    }
    std::int64_t TickStepMs = 0;
    void SetTickMs(std::int64_t ms) { tickMs_ = ms; }
    void Set(TDateTime t) { now_ = t; }
    template <class Duration> void Advance(Duration d) { now_ += std::chrono::duration_cast<TDateTime::duration>(d); }
    void SetLocal(int year, int month, int day, int hour, int minute, int second, int millis = 0)
    {
        now_ = LocalDateTime(year, month, day, hour, minute, second) + std::chrono::milliseconds(millis);
    }

private:
    TDateTime now_{};
    mutable std::int64_t tickMs_ = 0;
};
