#pragma once

// TLS between the socket and the connection. Until StartTLS it is the plain
// socket transport; afterwards every byte the connection receives or sends
// goes through OpenSSL, over the same socket and through the same socket
// stack, so socket errors reach the connection exactly as before.

#include "transport/NetIOHandlerSocket.h"
#include "transport/NetTLS.h"

#include <cstdint>
#include <string>

class TNetIOHandlerTLS : public TNetIOHandlerSocket {
public:
    TNetIOHandlerTLS() = default;
    ~TNetIOHandlerTLS() override;
    TNetIOHandlerTLS(const TNetIOHandlerTLS&) = delete;
    TNetIOHandlerTLS& operator=(const TNetIOHandlerTLS&) = delete;

    // Handshakes over the connected socket. The server's certificate must
    // chain to the system's store or to caFile (when not empty) and name
    // host. There is deliberately no way to skip the check.
    void StartTLS(const std::string& host, const std::string& caFile);
    bool TLSActive() const { return ssl_ != nullptr; }
    // The protocol agreed on ("TLSv1.3"); empty before StartTLS.
    std::string Protocol() const;

    void Open() override;
    void Close() override;
    bool Readable(int timeoutMs) override;
    int Recv(void* buffer, int length) override;
    int Send(const void* buffer, int length) override;
    // Held sends are gathered into full TLS records instead of one record
    // (and its authentication tag) per line.
    void HoldSends(bool hold) override;
    void SetSendTimeout(std::int64_t timeoutMs) override;

    // Milliseconds the handshake and a record cut in two may wait, and a
    // blocked send when no send time-out was set; 0 waits without limit.
    std::int64_t TimeoutMs = 0;

private:
    void FreeTLS();
    // Waits for the socket until it can be read (or written); false at the
    // time-out. timeoutMs as Readable's.
    bool WaitSocket(bool write, int timeoutMs);
    int LimitMs(std::int64_t timeoutMs) const;
    // SSL_write of all of data; -1 with the stack's error when the socket
    // failed, or NetWSAEWOULDBLOCK when the send time-out passed. A failure
    // sticks: a TLS stream cut inside a record cannot go on.
    int WriteAll(const char* data, int length);
    // Sends what HoldSends gathered: 1 when nothing is left, else WriteAll's 0 or -1.
    int FlushHeld();
    // Raises ENetTLSError for an OpenSSL failure that is not the socket's.
    [[noreturn]] void RaiseTLSError(const std::string& what);

    ssl_ctx_st* ctx_ = nullptr;
    ssl_st* ssl_ = nullptr;
    // The socket under OpenSSL, with the stack's error its last call met.
    TNetTLSSocketLink link_;
    bool holding_ = false;
    std::string held_;
    std::int64_t sendTimeoutMs_ = 0;
    // 1 while writes succeed, else the failed write's result (0 or -1).
    int writeState_ = 1;
};
