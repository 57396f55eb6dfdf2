#include "transport/NetSocketHandle.h"

#include "transport/NetErrors.h"

TNetSocketHandle::~TNetSocketHandle()
{
    if (allocated_) {
        try {
            CloseSocket();
        } catch (...) {
        }
    }
}

void TNetSocketHandle::AllocateSocket(int type, int protocol)
{
    if (allocated_)
        CloseSocket();
    handle_ = GNetStack().CreateSocket(type, protocol);
    allocated_ = true;
}

bool TNetSocketHandle::TryBind(const std::string& ip, int port)
{
    auto& stack = GNetStack();
    return !stack.CheckForSocketError(stack.Bind(handle_, NetFamilyIPv4, ip, port), {NetWSAEADDRINUSE});
}

void TNetSocketHandle::Bind()
{
    if (Port == 0 && ClientPortMin != 0 && ClientPortMax != 0) {
        if (ClientPortMin > ClientPortMax)
            throw ENetInvalidPortRange(ClientPortMin, ClientPortMax);
        bool bound = false;
        for (int port = ClientPortMax; port >= ClientPortMin && !bound; --port) {
            try {
                bound = TryBind(IP, port);
            } catch (const ENetSocketError&) {
                bound = false;
            }
        }
        if (!bound)
            throw ENetCanNotBindPortInRange(ClientPortMin, ClientPortMax);
    } else if (!TryBind(IP, Port)) {
        throw ENetCouldNotBindSocket();
    }
    UpdateBindingLocal();
}

int TNetSocketHandle::Connect(int family)
{
    return GNetStack().Connect(handle_, family, PeerIP, PeerPort);
}

bool TNetSocketHandle::Readable(int timeoutMs)
{
    if (!allocated_)
        throw ENetConnClosedGracefully();
    TNetSocketSet set{handle_};
    return GNetStack().Select(&set, nullptr, nullptr, timeoutMs) == 1;
}

int TNetSocketHandle::Recv(void* buffer, int length)
{
    return GNetStack().Recv(handle_, buffer, length, 0);
}

int TNetSocketHandle::Send(const void* buffer, int length)
{
    return GNetStack().Send(handle_, buffer, length, 0);
}

void TNetSocketHandle::CloseSocket()
{
    if (!allocated_)
        return;
    allocated_ = false;
    const TNetSocket socket = handle_;
    // A closed handle value may be reused by the platform at once.
    handle_ = NetInvalidSocket;
    auto& stack = GNetStack();
    // The peer may already be gone; the close below is what matters.
    stack.Shutdown(socket, NetShutdownSend);
    stack.CloseSocket(socket);
}

void TNetSocketHandle::SetSockOpt(int level, int option, int value)
{
    auto& stack = GNetStack();
    stack.CheckForSocketError(stack.SetSockOpt(handle_, level, option, &value, sizeof value));
}

void TNetSocketHandle::UpdateBindingLocal()
{
    const TNetSockName name = GNetStack().GetSockName(handle_);
    IP = name.Address;
    Port = name.Port;
}

void TNetSocketHandle::UpdateBindingPeer()
{
    const TNetSockName name = GNetStack().GetPeerName(handle_);
    PeerIP = name.Address;
    PeerPort = name.Port;
}

void TNetSocketHandle::Reset(bool resetLocal)
{
    if (allocated_)
        CloseSocket();
    allocated_ = false;
    handle_ = NetInvalidSocket;
    PeerIP.clear();
    PeerPort = 0;
    if (resetLocal) {
        IP.clear();
        Port = 0;
    }
}
