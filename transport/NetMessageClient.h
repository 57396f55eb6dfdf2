#pragma once

// A client that writes mail messages onto its connection.

#include "message/MessageWriter.h"
#include "message/NetMessage.h"
#include "transport/NetTCPClient.h"

class TNetMessageClient : public TNetTCPClient {
public:
    // The message's header lines, an empty line, and its body unless headersOnly.
    void WriteMessage(TNetMessage& message, bool headersOnly = false)
    {
        MessageWriter.WriteMessage(*this, message, headersOnly);
    }

    TNetMessageWriter MessageWriter;
};
