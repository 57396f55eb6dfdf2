#pragma once

// Time is read through a clock so that scheduling, time stamps, the mail's
// Date header and time limits can be tested without waiting. The program
// start makes one and hands it to everything that reads the time.

#include <chrono>
#include <cstdint>

using TDateTime = std::chrono::system_clock::time_point;

class TClock {
public:
    virtual ~TClock() = default;
    // The wall-clock time.
    virtual TDateTime Now() const = 0;
    // Milliseconds from a fixed point that never steps back, for measuring
    // how long something took; the system's steady clock unless replaced.
    virtual std::int64_t TickMs() const;
};

class TSystemClock final : public TClock {
public:
    TDateTime Now() const override { return std::chrono::system_clock::now(); }
};

// The one system clock, for owners that are not handed another.
const TClock& SystemClock();
