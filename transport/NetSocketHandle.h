#pragma once

// One socket with its local and peer address and port.

#include "transport/NetStack.h"

#include <string>

class TNetSocketHandle {
public:
    TNetSocketHandle() = default;
    ~TNetSocketHandle();
    TNetSocketHandle(const TNetSocketHandle&) = delete;
    TNetSocketHandle& operator=(const TNetSocketHandle&) = delete;

    // Closes any socket the handle has, then creates a new one.
    void AllocateSocket(int type = NetSockStream, int protocol = 0);
    // Binds to IP and Port, or to the first free port of the range.
    void Bind();
    // The stack's result of the connect to PeerIP:PeerPort (-1 on failure).
    int Connect(int family = NetFamilyIPv4);
    bool Readable(int timeoutMs);
    int Recv(void* buffer, int length);
    int Send(const void* buffer, int length);
    // Shuts the sending side down and closes the socket.
    void CloseSocket();
    void SetSockOpt(int level, int option, int value);
    void UpdateBindingLocal();
    void UpdateBindingPeer();
    void Reset(bool resetLocal);

    TNetSocket Handle() const { return handle_; }
    bool HandleAllocated() const { return allocated_; }

    std::string IP;
    int Port = 0;
    std::string PeerIP;
    int PeerPort = 0;
    int ClientPortMin = 0;
    int ClientPortMax = 0;

private:
    bool TryBind(const std::string& ip, int port);

    TNetSocket handle_ = NetInvalidSocket;
    bool allocated_ = false;
};
