#include "transport/NetComponent.h"

std::string TNetComponent::StatusText(TNetStatus status, const std::string& argument)
{
    switch (status) {
    case hsResolving: return "Resolving hostname " + argument + ".";
    case hsConnecting: return "Connecting to " + argument + ".";
    case hsConnected: return "Connected.";
    case hsDisconnecting: return "Disconnecting.";
    case hsDisconnected: return "Disconnected.";
    case hsStatusText: return argument;
    }
    return {};
}

void TNetComponent::DoStatus(TNetStatus status, const std::string& argument)
{
    if (OnStatus)
        OnStatus(status, StatusText(status, argument));
}

void TNetComponent::BeginWork(TWorkMode mode, std::int64_t expected)
{
    auto& w = work_[mode];
    if (++w.Level == 1) {
        w.Expected = expected;
        w.Total = 0;
        if (OnWorkBegin)
            OnWorkBegin(mode, expected);
    }
}

void TNetComponent::DoWork(TWorkMode mode, std::int64_t count)
{
    auto& w = work_[mode];
    if (w.Level > 0) {
        w.Total += count;
        if (OnWork)
            OnWork(mode, w.Total);
    }
}

void TNetComponent::EndWork(TWorkMode mode)
{
    auto& w = work_[mode];
    if (w.Level == 1 && OnWorkEnd)
        OnWorkEnd(mode);
    if (w.Level > 0)
        --w.Level;
}
