#pragma once

// Time is read through a clock so that scheduling and time stamps can be
// tested without waiting.

#include <chrono>

using TDateTime = std::chrono::system_clock::time_point;

class TClock {
public:
    virtual ~TClock() = default;
    virtual TDateTime Now() const = 0;
};

class TSystemClock final : public TClock {
public:
    TDateTime Now() const override { return std::chrono::system_clock::now(); }
};
