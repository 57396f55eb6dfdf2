#include "transport/NetIOHandlerSocket.h"

#include "transport/NetAntiFreeze.h"
#include "transport/NetErrors.h"

#include <sys/socket.h>

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
    // A connect that would block for the system's own time must not freeze a
    // window: it gets a limit, and its wait lets the window work.
    if ((timeoutMs == -1 || timeoutMs == 0) && TNetAntiFreezeBase::ForCaller())
        timeoutMs = TNetAntiFreezeBase::UnlimitedConnectTimeOutMs;
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
            int ready = 0;
            NetWaitResponsively(timeoutMs, [&](int sliceMs) {
                // The window may have closed the transport while it worked.
                if (!Connected()) {
                    ready = -1;
                    return true;
                }
                TNetSocketSet writable{socket};
                ready = stack.Select(nullptr, &writable, nullptr, sliceMs);
                return ready != 0;
            });
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
    return NetWaitResponsively(timeoutMs, [&](int sliceMs) { return binding_->Readable(sliceMs); });
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
    if (!TNetAntiFreezeBase::ForCaller())
        return binding_->Send(buffer, length);
    // A server that reads slowly would block a whole send: wait until the
    // socket takes data, working the window meanwhile, and send what it takes.
    auto& stack = GNetStack();
    for (;;) {
        NetWaitResponsively(NetNoTimeLimit, [&](int sliceMs) {
            if (!Connected())
                throw ENetClosedSocket();
            TNetSocketSet writable{binding_->Handle()};
            return stack.Select(nullptr, &writable, nullptr, sliceMs) != 0;
        });
        if (!Connected())
            throw ENetClosedSocket();
        const int sent = stack.Send(binding_->Handle(), buffer, length, MSG_DONTWAIT);
        if (sent == NetSocketError && stack.PlatformLastError() == NetWSAEWOULDBLOCK)
            continue;
        return sent;
    }
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
