#include "transport/NetReplyReader.h"

#include "platform/Text.h"
#include "transport/NetErrors.h"

#include <algorithm>
#include <cstdint>

void CheckReplyCode(const TNetRFCReply& reply, const TNetReplyCodes& allowed)
{
    if (allowed.empty())
        return;
    const auto code = static_cast<std::int16_t>(reply.NumericCode());
    if (std::find(allowed.begin(), allowed.end(), code) == allowed.end())
        throw ENetProtocolReplyError(reply.NumericCode(), JoinLines(reply.Text));
}

void TNetReplyReader::Feed(std::string_view bytes)
{
    // Consumed bytes are dropped once they outweigh what is left, so a long
    // session does not keep every reply it ever read.
    if (offset_ > 0 && offset_ >= pending_.size() - offset_) {
        pending_.erase(0, offset_);
        offset_ = 0;
    }
    pending_.append(bytes);
}

void TNetReplyReader::Clear()
{
    pending_.clear();
    offset_ = 0;
    lines_.clear();
    bytes_ = 0;
    count_ = 0;
}

bool TNetReplyReader::NextLine(std::string& line)
{
    const std::size_t lf = pending_.find('\n', offset_);
    const std::size_t length = (lf == std::string::npos ? pending_.size() : lf) - offset_;
    // The CR before the LF counts against the maximum, as it does for ReadLine.
    if (MaxLineLength > 0 && length > static_cast<std::size_t>(MaxLineLength))
        throw ENetReadLnMaxLineLengthExceeded();
    if (lf == std::string::npos)
        return false;
    line.assign(pending_, offset_, length);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    offset_ = lf + 1;
    return true;
}

bool TNetReplyReader::Next(TNetRFCReply& reply)
{
    std::string line;
    while (NextLine(line)) {
        // A server that never ends its reply, or sends nothing but empty
        // lines, must not fill the memory.
        bytes_ += line.size() + 1;
        ++count_;
        if (bytes_ > MaxReplyBytes || count_ > MaxReplyLines)
            throw ENetReplyTooLong();
        line = Trim(line);
        if (line.empty())
            continue;
        lines_.push_back(line);
        const std::string& first = lines_.front();
        bool complete = true;
        if (first.size() > 3 && first[3] == '-') {
            // The reply goes on until a line that is too short to continue it
            // or that begins with its code and a blank.
            const std::string endMarker = first.substr(0, 3) + " ";
            const std::string& last = lines_.back();
            complete = lines_.size() > 1
                       && (last.size() < 4 || SameText(std::string_view(last).substr(0, 4), endMarker));
        }
        if (complete) {
            reply.ParseLines(lines_);
            lines_.clear();
            bytes_ = 0;
            count_ = 0;
            return true;
        }
    }
    return false;
}
