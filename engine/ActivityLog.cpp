#include "engine/ActivityLog.h"

#include "platform/Utilities.h"

std::string LogLineText(const std::string& message)
{
    // Server replies and error texts arrive here as they came: an escape
    // sequence would drive the terminal of the one-pass command, and a line
    // break would forge a line of its own.
    std::string text = message;
    for (char& c : text) {
        const auto b = static_cast<unsigned char>(c);
        if ((b < 0x20 && b != '\t') || b == 0x7f)
            c = '?';
    }
    return text;
}

void TActivityLog::AddToLog(const std::string& message)
{
    const TDateTime now = clock_.Now();
    const std::string stamp = StampText ? StampText(now) : DateTimeText(now);
    Append(LogLineText(stamp + " " + message));
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
    // Separators count too: trimming only after entries let one separator
    // per pass pile up without bound.
    if (lines_.size() > MaxLines) {
        lines_.pop_front();
        if (OnFirstLineRemoved)
            OnFirstLineRemoved();
    }
}
