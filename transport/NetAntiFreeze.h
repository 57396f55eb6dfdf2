#pragma once

// The hook that keeps a user interface responsive while the transport waits:
// with an active instance, a wait on the thread that created it is cut into
// slices of at most IdleTimeOutMs, and the instance's Process runs between
// them. A program with a window creates one; without one every wait blocks
// for its whole time, as a command-line program wants.

#include <thread>

class TNetAntiFreezeBase {
public:
    static constexpr int DefaultIdleTimeOutMs = 50;
    // The limit a connect without its own limit gets when it must not block.
    static constexpr int UnlimitedConnectTimeOutMs = 120000;

    // Becomes the process's instance, bound to the calling thread.
    TNetAntiFreezeBase();
    virtual ~TNetAntiFreezeBase();
    TNetAntiFreezeBase(const TNetAntiFreezeBase&) = delete;
    TNetAntiFreezeBase& operator=(const TNetAntiFreezeBase&) = delete;

    bool Active = true;
    // The longest slice of a wait between two calls of Process.
    int IdleTimeOutMs = DefaultIdleTimeOutMs;

    // Lets the user interface handle what is pending. It may run anything the
    // user starts, so callers check their own state afterwards.
    virtual void Process() = 0;

    // The active instance when the caller runs on its thread; null otherwise.
    static TNetAntiFreezeBase* ForCaller();

private:
    std::thread::id thread_;
};

// Waits for ready(sliceMs) to answer true for at most timeoutMs (-2: no
// limit), cut into the anti-freeze instance's slices with its Process between
// them; without an instance for the caller one call of ready gets the whole
// time. True when ready answered true.
template <typename TReady>
bool NetWaitResponsively(int timeoutMs, TReady&& ready);

#include "transport/NetAntiFreeze.inl"
