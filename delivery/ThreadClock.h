#pragma once

// The calling thread's processor time, as a clock: a time budget measured in
// it is not eaten by other programs that keep a busy machine's processors.

#include <chrono>
#include <ctime>

struct TThreadClock {
    using duration = std::chrono::nanoseconds;
    using rep = duration::rep;
    using period = duration::period;
    using time_point = std::chrono::time_point<TThreadClock>;
    static constexpr bool is_steady = true;

    static time_point now() noexcept
    {
        timespec ts{};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return time_point(std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec));
    }
};
