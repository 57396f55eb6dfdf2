#include "transport/NetIOHandlerTLS.h"

#include "transport/NetErrors.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <chrono>
#include <climits>

namespace {

// A full TLS record's worth of plain text.
constexpr std::size_t HeldRecordSize = 16384;

} // namespace

TNetIOHandlerTLS::~TNetIOHandlerTLS()
{
    FreeTLS();
}

void TNetIOHandlerTLS::FreeTLS()
{
    if (ssl_)
        SSL_free(ssl_);  // frees the BIO too
    ssl_ = nullptr;
    if (ctx_)
        SSL_CTX_free(ctx_);
    ctx_ = nullptr;
    held_.clear();
    holding_ = false;
    link_.Error = 0;
    writeState_ = 1;
}

void TNetIOHandlerTLS::Open()
{
    FreeTLS();
    TNetIOHandlerSocket::Open();
}

void TNetIOHandlerTLS::Close()
{
    if (ssl_ && Connected()) {
        // A polite close_notify when the socket takes it at once; the socket
        // is closed right after, so nothing waits for the answer.
        ERR_clear_error();
        SSL_shutdown(ssl_);
    }
    FreeTLS();
    TNetIOHandlerSocket::Close();
}

int TNetIOHandlerTLS::LimitMs(std::int64_t timeoutMs) const
{
    return timeoutMs > 0 ? static_cast<int>(std::min<std::int64_t>(timeoutMs, INT_MAX)) : NetNoTimeLimit;
}

void TNetIOHandlerTLS::SetSendTimeout(std::int64_t timeoutMs)
{
    sendTimeoutMs_ = timeoutMs;
    TNetIOHandlerSocket::SetSendTimeout(timeoutMs);
}

bool TNetIOHandlerTLS::WaitSocket(bool write, int timeoutMs)
{
    if (!Connected())
        throw ENetClosedSocket();
    TNetSocketSet set{Binding()->Handle()};
    const int ready = write ? GNetStack().Select(nullptr, &set, nullptr, timeoutMs)
                            : GNetStack().Select(&set, nullptr, nullptr, timeoutMs);
    return ready > 0;
}

void TNetIOHandlerTLS::RaiseTLSError(const std::string& what)
{
    throw ENetTLSError(what + TakeOpenSSLReason());
}

void TNetIOHandlerTLS::StartTLS(const std::string& host, const std::string& caFile)
{
    if (!Connected())
        throw ENetClosedSocket();
    FreeTLS();
    ctx_ = NewTLSClientContext(caFile);
    link_.Socket = Binding()->Handle();
    ssl_ = NewTLSClientConnection(ctx_, host, link_);

    auto& stack = GNetStack();
    stack.CheckForSocketError(stack.SetBlocking(Binding()->Handle(), false));
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max<std::int64_t>(TimeoutMs, 0));
    for (;;) {
        ERR_clear_error();
        link_.Error = 0;
        const int result = SSL_connect(ssl_);
        if (result == 1)
            return;
        const int error = SSL_get_error(ssl_, result);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            int wait = NetNoTimeLimit;
            if (TimeoutMs > 0) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
                wait = LimitMs(std::max<std::int64_t>(left.count(), 1));
            }
            if (!WaitSocket(error == SSL_ERROR_WANT_WRITE, wait)) {
                FreeTLS();
                throw ENetReadTimeout();
            }
            continue;
        }
        const std::exception_ptr failure = TLSHandshakeFailure(ssl_, error, link_.Error);
        FreeTLS();
        std::rethrow_exception(failure);
    }
}

std::string TNetIOHandlerTLS::Protocol() const
{
    return ssl_ ? SSL_get_version(ssl_) : "";
}

bool TNetIOHandlerTLS::Readable(int timeoutMs)
{
    if (!ssl_)
        return TNetIOHandlerSocket::Readable(timeoutMs);
    if (!held_.empty())
        return true;  // the receive sends them first, and reports a failure
    // A readable socket may bring only TLS's own records (a session ticket,
    // say); the connection must only be told of data it can have.
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    for (;;) {
        if (SSL_pending(ssl_) > 0)
            return true;
        char byte;
        ERR_clear_error();
        link_.Error = 0;
        const int result = SSL_peek(ssl_, &byte, 1);
        if (result > 0)
            return true;
        const int error = SSL_get_error(ssl_, result);
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE)
            return true;  // the end or a failure: the receive reports it
        int wait = NetNoTimeLimit;
        if (timeoutMs != NetNoTimeLimit) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            wait = static_cast<int>(std::max<long long>(left.count(), 0));
        }
        if (!WaitSocket(error == SSL_ERROR_WANT_WRITE, wait))
            return false;
    }
}

int TNetIOHandlerTLS::Recv(void* buffer, int length)
{
    if (!ssl_)
        return TNetIOHandlerSocket::Recv(buffer, length);
    if (!Connected())
        throw ENetClosedSocket();
    if (const int flushed = FlushHeld(); flushed <= 0)
        return flushed;
    for (;;) {
        ERR_clear_error();
        link_.Error = 0;
        const int result = SSL_read(ssl_, buffer, length);
        if (result > 0)
            return result;
        const int error = SSL_get_error(ssl_, result);
        switch (error) {
        case SSL_ERROR_ZERO_RETURN:
            return 0;
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_WANT_WRITE:
            if (!WaitSocket(error == SSL_ERROR_WANT_WRITE, LimitMs(TimeoutMs)))
                throw ENetReadTimeout();
            continue;
        case SSL_ERROR_SYSCALL:
            // A socket failure keeps the stack's own error for the
            // connection; an end without close_notify is an end all the same.
            ERR_clear_error();
            return link_.Error != 0 ? -1 : 0;
        default:
            RaiseTLSError("TLS error: ");
        }
    }
}

int TNetIOHandlerTLS::WriteAll(const char* data, int length)
{
    if (writeState_ != 1)
        return writeState_;
    const std::int64_t limit = sendTimeoutMs_ > 0 ? sendTimeoutMs_ : TimeoutMs;
    int done = 0;
    while (done < length) {
        ERR_clear_error();
        link_.Error = 0;
        const int result = SSL_write(ssl_, data + done, length - done);
        if (result > 0) {
            done += result;
            continue;
        }
        const int error = SSL_get_error(ssl_, result);
        switch (error) {
        case SSL_ERROR_ZERO_RETURN:
            writeState_ = 0;
            return 0;
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_WANT_WRITE:
            // The BIO's last call left the stack's error at "would block",
            // which the connection reads as the send's time-out.
            if (!WaitSocket(error == SSL_ERROR_WANT_WRITE, LimitMs(limit))) {
                writeState_ = -1;
                return -1;
            }
            continue;
        case SSL_ERROR_SYSCALL:
            ERR_clear_error();
            writeState_ = link_.Error != 0 ? -1 : 0;
            return writeState_;
        default:
            writeState_ = -1;
            RaiseTLSError("TLS error: ");
        }
    }
    return done;
}

int TNetIOHandlerTLS::FlushHeld()
{
    if (held_.empty())
        return 1;
    const int result = WriteAll(held_.data(), static_cast<int>(held_.size()));
    if (result <= 0)
        return result;
    held_.clear();
    return 1;
}

int TNetIOHandlerTLS::Send(const void* buffer, int length)
{
    if (!ssl_)
        return TNetIOHandlerSocket::Send(buffer, length);
    if (!Connected())
        throw ENetClosedSocket();
    const char* data = static_cast<const char*>(buffer);
    if (holding_) {
        held_.append(data, static_cast<std::size_t>(length));
        if (held_.size() >= HeldRecordSize)
            if (const int flushed = FlushHeld(); flushed <= 0)
                return flushed;
        return length;
    }
    if (const int flushed = FlushHeld(); flushed <= 0)
        return flushed;
    return WriteAll(data, length);
}

void TNetIOHandlerTLS::HoldSends(bool hold)
{
    if (!ssl_) {
        TNetIOHandlerSocket::HoldSends(hold);
        return;
    }
    holding_ = hold;
    if (hold)
        return;
    // A failure here is reported by the next send or receive, which tries
    // again with what is still held; releasing must never raise.
    try {
        FlushHeld();
    } catch (const ENetException&) {
    }
}
