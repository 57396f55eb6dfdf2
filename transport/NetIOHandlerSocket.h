#pragma once

// The transport over one socket: binds and connects it (with a time-out when
// asked), waits for it to become readable, receives, sends and closes.

#include "transport/NetIOHandler.h"
#include "transport/NetSocketHandle.h"

#include <memory>
#include <string>

// Proxy settings; they name no proxy unless set, and the program never sets them.
struct TNetSocksInfo {
    std::string Host;
    int Port = 0;
    bool Enabled() const { return !Host.empty(); }
};

class TNetIOHandlerSocket : public TNetIOHandler {
public:
    TNetIOHandlerSocket() = default;

    void Open() override;
    void Close() override;
    bool Connected() override;
    void ConnectClient(const std::string& host, int port, const std::string& boundIP, int boundPort,
                       int boundPortMin, int boundPortMax, int timeoutMs) override;
    bool Readable(int timeoutMs) override;
    int Recv(void* buffer, int length) override;
    int Send(const void* buffer, int length) override;
    void HoldSends(bool hold) override;
    void SetSendTimeout(std::int64_t timeoutMs) override;

    TNetSocketHandle* Binding() { return binding_.get(); }

    bool UseNagle = true;
    TNetSocksInfo SocksInfo;

private:
    // Connects with a limit of timeoutMs (NetNoTimeLimit: none).
    void ConnectWithTimeout(int timeoutMs);

    std::unique_ptr<TNetSocketHandle> binding_;
};
