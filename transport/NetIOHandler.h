#pragma once

// The transport under a connection: open, close, connect, wait for input,
// receive and send. This base only keeps whether it is active.

#include "transport/NetComponent.h"

#include <cstdint>
#include <string>

class TNetIOHandler : public TNetComponent {
public:
    virtual void Open() { active_ = true; }
    virtual void Close() { active_ = false; }
    virtual bool Connected() { return active_; }
    virtual void ConnectClient(const std::string& host, int port, const std::string& boundIP, int boundPort,
                               int boundPortMin, int boundPortMax, int timeoutMs)
    {
        (void)host; (void)port; (void)boundIP; (void)boundPort; (void)boundPortMin; (void)boundPortMax; (void)timeoutMs;
    }
    // timeoutMs NetNoTimeLimit waits without limit.
    virtual bool Readable(int timeoutMs) = 0;
    // The byte count, 0 at the end of the stream, -1 on failure.
    virtual int Recv(void* buffer, int length) = 0;
    virtual int Send(const void* buffer, int length) = 0;
    // The most one Send may block, in milliseconds (0: no limit); a send
    // that could hand over nothing by then fails with NetWSAEWOULDBLOCK.
    virtual void SetSendTimeout(std::int64_t timeoutMs) { (void)timeoutMs; }
    // While held, sent bytes may wait to fill whole packets; releasing sends
    // what waits. Every send is still one call.
    virtual void HoldSends(bool hold) { (void)hold; }

    bool Active() const { return active_; }

protected:
    bool active_ = false;
};
