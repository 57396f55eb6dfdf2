#pragma once

#include <algorithm>
#include <chrono>

template <typename TReady>
bool NetWaitResponsively(int timeoutMs, TReady&& ready)
{
    TNetAntiFreezeBase* freeze = TNetAntiFreezeBase::ForCaller();
    if (!freeze)
        return ready(timeoutMs);
    using Clock = std::chrono::steady_clock;
    const bool unlimited = timeoutMs < 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(unlimited ? 0 : timeoutMs);
    const int slice = std::max(1, freeze->IdleTimeOutMs);
    for (;;) {
        int wait = slice;
        if (!unlimited) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            wait = static_cast<int>(std::clamp<long long>(left, 0, slice));
        }
        if (ready(wait))
            return true;
        if (!unlimited && Clock::now() >= deadline)
            return false;
        freeze->Process();
        // Process may have ended the instance (the window closed).
        freeze = TNetAntiFreezeBase::ForCaller();
        if (!freeze)
            return ready(unlimited ? -2 : static_cast<int>(std::max<long long>(
                                          0, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                 deadline - Clock::now()).count())));
    }
}
