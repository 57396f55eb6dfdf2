#include "platform/Clock.h"

std::int64_t TClock::TickMs() const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

const TClock& SystemClock()
{
    static const TSystemClock clock;
    return clock;
}
