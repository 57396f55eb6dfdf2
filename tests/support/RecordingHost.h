#pragma once

// The headless host with a closer record, for tests: every message handed to
// the log as it came (no time stamp, no clean-up, no trimming), every change
// of the cursor, and how often pending input was let through.

#include "engine/HeadlessHost.h"
#include "tests/support/ManualClock.h"

#include <string>
#include <vector>

// Built before the host, which keeps a reference to it for its log.
struct TRecordingHostClock {
    TManualClock Clock;
};

class TRecordingHost : private TRecordingHostClock, public THeadlessHost {
public:
    TRecordingHost() : THeadlessHost(Clock) {}

    void AddToLog(const std::string& message) override
    {
        Messages.push_back(message);
        THeadlessHost::AddToLog(message);
    }
    void SetCursor(TCursor cursor) override
    {
        CursorChanges.push_back(cursor);
        THeadlessHost::SetCursor(cursor);
    }
    void ProcessMessages() override
    {
        ++EventRuns;
        THeadlessHost::ProcessMessages();
    }

    std::vector<std::string> Messages;
    std::vector<TCursor> CursorChanges;
    long EventRuns = 0;
};
