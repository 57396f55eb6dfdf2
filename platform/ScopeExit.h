#pragma once

// Runs a clean-up when the scope it lives in ends, by return or by exception,
// so that state changed for one run is restored on every path without a
// catch-and-rethrow.

#include <utility>

template <class F>
class TScopeExit {
public:
    explicit TScopeExit(F action) : action_(std::move(action)) {}
    ~TScopeExit()
    {
        if (armed_)
            action_();
    }
    TScopeExit(const TScopeExit&) = delete;
    TScopeExit& operator=(const TScopeExit&) = delete;

    // The clean-up is not wanted after all (the work it undoes was kept).
    void Release() { armed_ = false; }

private:
    F action_;
    bool armed_ = true;
};

// A clean-up that must not let an error of its own replace the one that is
// already leaving the scope (closing a connection that has just failed).
template <class F>
auto QuietScopeExit(F action)
{
    auto quiet = [action = std::move(action)]() mutable {
        try {
            action();
        } catch (...) {
        }
    };
    return TScopeExit<decltype(quiet)>(std::move(quiet));
}
