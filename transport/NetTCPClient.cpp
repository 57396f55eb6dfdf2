#include "transport/NetTCPClient.h"

#include "platform/ScopeExit.h"
#include "transport/NetErrors.h"
#include "transport/NetIOHandlerSocket.h"

void TNetTCPClient::Open(int timeoutMs)
{
    if (ioHandler_ && ioHandler_->Connected())
        throw ENetAlreadyConnected();
    if (!ioHandler_) {
        auto handler = std::make_unique<TNetIOHandlerSocket>();
        handler->OnStatus = OnStatus;
        handler->UseNagle = UseNagle;
        AdoptIOHandler(std::move(handler));
    }
    // A connection that fails half-way is dropped, not left half open.
    auto dropOnFailure = FailureScopeExit([this] { DropSocket(); });
    ioHandler_->Open();
    PendingInput().Clear();
    peerClosed_ = false;
    const int timeout = timeoutMs == -1 && ConnectTimeout != 0 ? ConnectTimeout : timeoutMs;
    {
        THandlerCall call(handlerCalls_);
        ioHandler_->ConnectClient(Host, Port, BoundIP, BoundPort, BoundPortMin, BoundPortMax, timeout);
    }
    BeginSession();
    if (Intercept)
        Intercept->Connect(*this);
    DoStatus(hsConnected, Host);
    if (OnConnected)
        OnConnected();
}
