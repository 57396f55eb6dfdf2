#include "engine/ActivityLog.h"

#include "platform/Utilities.h"

void TActivityLog::AddToLog(const std::string& message)
{
    const TDateTime now = clock_.Now();
    const std::string stamp = StampText ? StampText(now) : DateTimeText(now);
    Append(stamp + " " + message);
    if (lines_.size() > MaxLines) {
        lines_.pop_front();
        if (OnFirstLineRemoved)
            OnFirstLineRemoved();
    }
}

void TActivityLog::AddSeparator()
{
    Append(std::string());
}

void TActivityLog::Append(std::string line)
{
    lines_.push_back(std::move(line));
    if (OnLineAdded)
        OnLineAdded(lines_.back());
}
