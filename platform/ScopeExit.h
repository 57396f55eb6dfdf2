#pragma once

// Runs a clean-up when the scope it lives in ends, by return or by exception,
// so that state changed for one run is restored on every path without a
// catch-and-rethrow.
//
// On a normal exit an error of the clean-up reaches the caller, as it would
// from a call written at the end of the scope. While an error is already
// leaving the scope, that error is what the caller must see: an error of the
// clean-up is then dropped (it could not be thrown anyway).

#include <exception>
#include <functional>
#include <utility>

template <class F>
class TScopeExit {
public:
    explicit TScopeExit(F action) : action_(std::move(action)) {}
    ~TScopeExit() noexcept(false)
    {
        if (!armed_)
            return;
        if (std::uncaught_exceptions() == uncaught_) {
            action_();
            return;
        }
        try {
            action_();
        } catch (...) {
        }
    }
    TScopeExit(const TScopeExit&) = delete;
    TScopeExit& operator=(const TScopeExit&) = delete;

    // The clean-up is not wanted after all (the work it undoes is kept).
    void Release() { armed_ = false; }

private:
    F action_;
    int uncaught_ = std::uncaught_exceptions();
    bool armed_ = true;
};

// A clean-up whose own errors never reach the caller, on either path
// (closing a connection whose failure nobody can act on).
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

// A clean-up that runs only when the scope is left by an error (undoing work
// that is kept when everything went well); its own errors are dropped.
template <class F>
auto FailureScopeExit(F action)
{
    const int uncaught = std::uncaught_exceptions();
    auto onFailure = [action = std::move(action), uncaught]() mutable {
        if (std::uncaught_exceptions() > uncaught)
            action();
    };
    return TScopeExit<decltype(onFailure)>(std::move(onFailure));
}

// For a scope class that names its clean-up's type.
using TScopeAction = TScopeExit<std::function<void()>>;
