#include "transport/NetIOHandlerSocket.h"

#include "transport/NetErrors.h"

void TNetIOHandlerSocket::Open()
{
    TNetIOHandler::Open();
    if (!binding_)
        binding_ = std::make_unique<TNetSocketHandle>();
    else
        binding_->Reset(true);
}

void TNetIOHandlerSocket::Close()
{
    TNetIOHandler::Close();
    if (binding_)
        binding_->CloseSocket();
}

bool TNetIOHandlerSocket::Connected()
{
    return binding_ && binding_->HandleAllocated();
}

void TNetIOHandlerSocket::ConnectClient(const std::string& host, int port, const std::string& boundIP, int boundPort,
                                        int boundPortMin, int boundPortMax, int timeoutMs)
{
    if (!binding_)
        binding_ = std::make_unique<TNetSocketHandle>();
    auto& stack = GNetStack();
    const std::string targetHost = SocksInfo.Enabled() ? SocksInfo.Host : host;
    const int targetPort = SocksInfo.Enabled() ? SocksInfo.Port : port;

    binding_->AllocateSocket(NetSockStream, 0);
    binding_->IP = boundIP;
    binding_->Port = boundPort;
    binding_->ClientPortMin = boundPortMin;
    binding_->ClientPortMax = boundPortMax;
    binding_->Bind();

    if (!TNetStack::IsIP(targetHost))
        DoStatus(hsResolving, targetHost);
    binding_->PeerIP = stack.ResolveHost(targetHost);
    binding_->PeerPort = targetPort;

    if (!UseNagle)
        binding_->SetSockOpt(NetLevelTCP, NetTCPNoDelay, 1);

    DoStatus(hsConnecting, binding_->PeerIP);
    if (timeoutMs == -1 || timeoutMs == 0)
        stack.CheckForSocketError(binding_->Connect());
    else
        ConnectWithTimeout(timeoutMs);

    binding_->UpdateBindingLocal();
    binding_->UpdateBindingPeer();
    // A proxy would be negotiated with here; none is ever named.
}

void TNetIOHandlerSocket::ConnectWithTimeout(int timeoutMs)
{
    // A non-blocking connect watched by the stack's select: the caller gets
    // the connect's own error, or a time-out with the socket closed.
    auto& stack = GNetStack();
    const TNetSocket socket = binding_->Handle();
    stack.CheckForSocketError(stack.SetBlocking(socket, false));
    int error = 0;
    if (binding_->Connect() == NetSocketError) {
        error = stack.PlatformLastError();
        if (error == NetWSAEINPROGRESS || error == NetWSAEWOULDBLOCK) {
            TNetSocketSet writable{socket};
            const int ready = stack.Select(nullptr, &writable, nullptr, timeoutMs);
            if (ready == 0) {
                Close();
                throw ENetConnectTimeout();
            }
            error = ready < 0 ? stack.PlatformLastError() : stack.PendingConnectError(socket);
            if (error < 0)
                error = stack.PlatformLastError();
        }
    }
    if (error != 0)
        throw ENetConnectException(stack.SocketErrorMessage(error));
    stack.CheckForSocketError(stack.SetBlocking(socket, true));
}

bool TNetIOHandlerSocket::Readable(int timeoutMs)
{
    if (!binding_)
        throw ENetConnClosedGracefully();
    return binding_->Readable(timeoutMs);
}

int TNetIOHandlerSocket::Recv(void* buffer, int length)
{
    if (!Connected())
        throw ENetClosedSocket();
    return binding_->Recv(buffer, length);
}

int TNetIOHandlerSocket::Send(const void* buffer, int length)
{
    if (!Connected())
        throw ENetClosedSocket();
    return binding_->Send(buffer, length);
}

void TNetIOHandlerSocket::SetSendTimeout(std::int64_t timeoutMs)
{
    if (Connected())
        GNetStack().CheckForSocketError(GNetStack().SetSendTimeout(binding_->Handle(), timeoutMs));
}

void TNetIOHandlerSocket::HoldSends(bool hold)
{
    // Only an optimisation: a socket that refuses the option sends as before.
    if (!Connected())
        return;
    const int value = hold ? 1 : 0;
    GNetStack().SetSockOpt(binding_->Handle(), NetLevelTCP, NetTCPCork, &value, sizeof value);
}
