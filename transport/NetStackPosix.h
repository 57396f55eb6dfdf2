#pragma once

// The socket stack over the POSIX socket interface and getaddrinfo. Error
// numbers of the platform and its resolver are reported as the stack's own
// (WinSock) numbers, so the messages read the same everywhere.

#include "transport/NetStack.h"

class TNetStackPosix : public TNetStack {
public:
    // Raises ENetStackInitializationFailed when the socket service cannot start.
    TNetStackPosix();

    TNetSocket CreateSocket(int type, int protocol) override;
    int Bind(TNetSocket socket, int family, const std::string& address, int port) override;
    int Connect(TNetSocket socket, int family, const std::string& address, int port) override;
    int Recv(TNetSocket socket, void* buffer, int length, int flags) override;
    int Send(TNetSocket socket, const void* buffer, int length, int flags) override;
    int Select(TNetSocketSet* read, TNetSocketSet* write, TNetSocketSet* error, int timeoutMs) override;
    int Shutdown(TNetSocket socket, int how) override;
    int CloseSocket(TNetSocket socket) override;
    TNetSockName GetSockName(TNetSocket socket) override;
    TNetSockName GetPeerName(TNetSocket socket) override;
    int SetSockOpt(TNetSocket socket, int level, int option, const void* value, int length) override;
    int SetSendTimeout(TNetSocket socket, std::int64_t timeoutMs) override;
    int SetBlocking(TNetSocket socket, bool blocking) override;
    int PendingConnectError(TNetSocket socket) override;
    std::string ResolveByName(const std::string& host) override;
    std::string LocalHostName() override;
    int PlatformLastError() override;

    std::string TranslateError(int error) override;

    // Whether the socket service has been started in this process.
    static bool Started();
};

// The stack's number for an errno value; values without a counterpart pass unchanged.
int NetErrorFromErrno(int error);
// The stack's number for a getaddrinfo result (errnoValue for EAI_SYSTEM).
int NetErrorFromResolver(int result, int errnoValue);
