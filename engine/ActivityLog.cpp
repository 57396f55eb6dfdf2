#include "engine/ActivityLog.h"

#include "platform/Utilities.h"

namespace {

// The length of the valid UTF-8 sequence at text[i] and its code point;
// 0 when the bytes there are not one.
std::size_t Utf8Sequence(const std::string& text, std::size_t i, unsigned& code)
{
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t length;
    unsigned minimum;
    if ((c & 0xE0) == 0xC0) {
        length = 2, minimum = 0x80, code = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        length = 3, minimum = 0x800, code = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        length = 4, minimum = 0x10000, code = c & 0x07;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    for (std::size_t k = 1; k < length; ++k) {
        const auto d = static_cast<unsigned char>(text[i + k]);
        if ((d & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (d & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

// C1 controls drive terminals as ESC sequences do; the embedding and
// isolate controls reorder the rest of the line, so a server could make a
// log line read as something it is not.
bool Unshown(unsigned code)
{
    return (code >= 0x80 && code <= 0x9F) || (code >= 0x202A && code <= 0x202E)
           || (code >= 0x2066 && code <= 0x2069);
}

} // namespace

std::string LogLineText(const std::string& message)
{
    // Server replies and error texts arrive here as they came: an escape
    // sequence would drive the terminal of the one-pass command, and a line
    // break would forge a line of its own. A reply's lines read on as one
    // line, as a sentence would.
    std::size_t end = message.size();
    while (end > 0 && (message[end - 1] == '\r' || message[end - 1] == '\n'))
        --end;
    std::string text;
    text.reserve(end);
    for (std::size_t i = 0; i < end; ++i) {
        const char c = message[i];
        const auto b = static_cast<unsigned char>(c);
        if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < end && message[i + 1] == '\n')
                ++i;
            text += ' ';
        } else if ((b < 0x20 && b != '\t') || b == 0x7f) {
            text += '?';
        } else if (b < 0x80) {
            text += c;
        } else {
            unsigned code = 0;
            const std::size_t length = Utf8Sequence(message, i, code);
            if (length == 0) {
                // Text that is not UTF-8 is read byte by byte, as Latin-1.
                text += b <= 0x9F ? '?' : c;
            } else {
                if (Unshown(code))
                    text += '?';
                else
                    text.append(message, i, length);
                i += length - 1;
            }
        }
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
