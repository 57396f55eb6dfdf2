#pragma once

// Server replies assembled from bytes as they arrive, for a connection that
// never waits: the same lines, limits and continuation rules as the blocking
// connection's ReadReply, fed in whatever pieces the socket hands over.

#include "transport/NetRFCReply.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Reply codes a command accepts; empty accepts any.
using TNetReplyCodes = std::vector<int>;

// Raises ENetProtocolReplyError when the reply's code is not allowed.
void CheckReplyCode(const TNetRFCReply& reply, const TNetReplyCodes& allowed);

class TNetReplyReader {
public:
    // Appends received bytes.
    void Feed(std::string_view bytes);
    // The next complete reply, false when its end has not arrived yet. Raises
    // ENetReadLnMaxLineLengthExceeded or ENetReplyTooLong as ReadReply does.
    bool Next(TNetRFCReply& reply);
    // Forgets whatever arrived and is not yet a reply.
    void Clear();
    bool Empty() const { return pending_.size() == offset_; }

    int MaxLineLength = 16384;
    std::size_t MaxReplyBytes = 64 * 1024;
    int MaxReplyLines = 500;

private:
    // The next line without its LF (and a CR before it), false when it has
    // not all arrived.
    bool NextLine(std::string& line);

    std::string pending_;
    std::size_t offset_ = 0;
    // The reply being assembled.
    std::vector<std::string> lines_;
    std::size_t bytes_ = 0;
    int count_ = 0;
};
