#pragma once

// The base of every network component: status and work-progress events, and
// a share in the process-wide socket stack for the component's lifetime.

#include "transport/NetStack.h"

#include <cstdint>
#include <functional>
#include <string>

enum TNetStatus { hsResolving, hsConnecting, hsConnected, hsDisconnecting, hsDisconnected, hsStatusText };
enum TWorkMode { wmRead, wmWrite };

using TNetStatusEvent = std::function<void(TNetStatus status, const std::string& text)>;
using TNetWorkBeginEvent = std::function<void(TWorkMode mode, std::int64_t expected)>;
using TNetWorkEvent = std::function<void(TWorkMode mode, std::int64_t count)>;
using TNetWorkEndEvent = std::function<void(TWorkMode mode)>;

class TNetBaseComponent {
public:
    virtual ~TNetBaseComponent() = default;
};

class TNetComponent : public TNetBaseComponent {
public:
    TNetComponent() = default;
    TNetComponent(const TNetComponent&) = delete;
    TNetComponent& operator=(const TNetComponent&) = delete;

    TNetStatusEvent OnStatus;
    TNetWorkBeginEvent OnWorkBegin;
    TNetWorkEvent OnWork;
    TNetWorkEndEvent OnWorkEnd;

    // Reports the status with its text; argument fills the "%s" of the texts that have one.
    void DoStatus(TNetStatus status, const std::string& argument = {});
    static std::string StatusText(TNetStatus status, const std::string& argument);

    void BeginWork(TWorkMode mode, std::int64_t expected = 0);
    void DoWork(TWorkMode mode, std::int64_t count);
    void EndWork(TWorkMode mode);
    std::int64_t WorkTotal(TWorkMode mode) const { return work_[mode].Total; }

private:
    struct TWorkInfo {
        int Level = 0;
        std::int64_t Expected = 0;
        std::int64_t Total = 0;
    };

    TNetStackShare stackShare_;
    TWorkInfo work_[2];
};
