#pragma once

// A connection that opens itself to Host:Port.

#include "transport/NetTCPConnection.h"

#include <functional>
#include <string>

class TNetTCPClient : public TNetTCPConnection {
public:
    // timeoutMs -1: ConnectTimeout, or the platform's own wait when that is 0;
    // -2: no limit.
    virtual void Open(int timeoutMs = -1);

    std::string Host;
    int Port = 0;
    std::string BoundIP;
    int BoundPort = 0;
    int BoundPortMin = 0;
    int BoundPortMax = 0;
    // Milliseconds a connect may take when Open is given -1; 0 leaves the
    // wait to the platform. A server that never answers must not block for ever.
    int ConnectTimeout = 0;
    // Given to the transport that Open creates. Every line is one send; with
    // Nagle's algorithm on, the last short line before a reply can wait for
    // the server's delayed acknowledgement.
    bool UseNagle = true;
    std::function<void()> OnConnected;
};
