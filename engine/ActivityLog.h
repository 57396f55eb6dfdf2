#pragma once

// The activity log: what the program did, one time-stamped line per entry,
// kept in memory only and trimmed to about 250 lines. The window's memo and
// the one-pass command mirror it through the two notifications.

#include "platform/Clock.h"

#include <deque>
#include <functional>
#include <string>

// The message as a log line shows it: a line break (CR LF, CR or LF) becomes
// a blank, breaks at its end are dropped, and every other control character
// but the tab becomes "?": C0, DEL, C1 (U+0080 to U+009F, or such a byte in
// text that is not UTF-8) and the bidirectional embedding, override and
// isolate controls.
std::string LogLineText(const std::string& message);

class TActivityLog {
public:
    static constexpr std::size_t MaxLines = 250;

    explicit TActivityLog(const TClock& clock) : clock_(clock) {}

    // Appends the time stamp, a blank and the message (LogLineText); then,
    // when the log holds more than 250 lines, drops its first line.
    void AddToLog(const std::string& message);
    // An empty line without a time stamp, trimmed like an entry.
    void AddSeparator();

    const std::deque<std::string>& Lines() const { return lines_; }
    void Clear() { lines_.clear(); }

    std::function<void(const std::string& line)> OnLineAdded;
    std::function<void()> OnFirstLineRemoved;

    // The stamp format; replaceable so tests can pin it.
    std::function<std::string(TDateTime)> StampText;

private:
    void Append(std::string line);

    const TClock& clock_;
    std::deque<std::string> lines_;
};
