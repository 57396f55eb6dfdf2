#pragma once

// A clock the test sets and advances; scheduling is tested by moving it, never
// by sleeping.

#include "engine/Clock.h"

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
    void Set(TDateTime t) { now_ = t; }
    template <class Duration> void Advance(Duration d) { now_ += std::chrono::duration_cast<TDateTime::duration>(d); }
    void SetLocal(int year, int month, int day, int hour, int minute, int second, int millis = 0)
    {
        now_ = LocalDateTime(year, month, day, hour, minute, second) + std::chrono::milliseconds(millis);
    }

private:
    TDateTime now_{};
};
