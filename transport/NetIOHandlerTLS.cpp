#include "transport/NetIOHandlerTLS.h"

#include "transport/NetErrors.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <mutex>

namespace {

// A full TLS record's worth of plain text.
constexpr std::size_t HeldRecordSize = 16384;

BIO_METHOD* SocketStackBioMethod(int (*write)(BIO*, const char*, int), int (*read)(BIO*, char*, int),
                                 long (*ctrl)(BIO*, int, long, void*))
{
    static BIO_METHOD* method = nullptr;
    static std::once_flag once;
    std::call_once(once, [&] {
        method = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "vendrel socket stack");
        BIO_meth_set_write(method, write);
        BIO_meth_set_read(method, read);
        BIO_meth_set_ctrl(method, ctrl);
    });
    return method;
}

// The reason of the newest OpenSSL error, without its codes.
std::string OpenSSLReason()
{
    const unsigned long error = ERR_peek_last_error();
    const char* reason = error != 0 ? ERR_reason_error_string(error) : nullptr;
    return reason != nullptr ? reason : "unknown error";
}

} // namespace

TNetIOHandlerTLS::~TNetIOHandlerTLS()
{
    FreeTLS();
}

int TNetIOHandlerTLS::BioWrite(BIO* bio, const char* data, int length)
{
    auto* self = static_cast<TNetIOHandlerTLS*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    auto& stack = GNetStack();
    const int sent = stack.Send(self->Binding()->Handle(), data, length, 0);
    if (sent < 0) {
        const int error = stack.PlatformLastError();
        if (error == NetWSAEWOULDBLOCK)
            BIO_set_retry_write(bio);
        else
            self->bioError_ = error;
    }
    return sent;
}

int TNetIOHandlerTLS::BioRead(BIO* bio, char* data, int length)
{
    auto* self = static_cast<TNetIOHandlerTLS*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    auto& stack = GNetStack();
    const int received = stack.Recv(self->Binding()->Handle(), data, length, 0);
    if (received < 0) {
        const int error = stack.PlatformLastError();
        if (error == NetWSAEWOULDBLOCK)
            BIO_set_retry_read(bio);
        else
            self->bioError_ = error;
    }
    return received;
}

long TNetIOHandlerTLS::BioCtrl(BIO*, int command, long, void*)
{
    // Nothing is buffered below OpenSSL, so a flush has nothing to do.
    return command == BIO_CTRL_FLUSH ? 1 : 0;
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
    bioError_ = 0;
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
    const std::string reason = OpenSSLReason();
    ERR_clear_error();
    throw ENetTLSError(what + reason);
}

void TNetIOHandlerTLS::StartTLS(const std::string& host, const std::string& caFile)
{
    if (!Connected())
        throw ENetClosedSocket();
    FreeTLS();
    ERR_clear_error();
    ctx_ = SSL_CTX_new(TLS_client_method());
    if (!ctx_)
        RaiseTLSError("TLS error: ");
    SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
    SSL_CTX_set_mode(ctx_, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_default_verify_paths(ctx_);
    if (!caFile.empty() && SSL_CTX_load_verify_locations(ctx_, caFile.c_str(), nullptr) != 1) {
        ERR_clear_error();
        FreeTLS();
        throw ENetTLSVerifyError("cannot read the trusted CA file \"" + caFile + "\"");
    }

    ssl_ = SSL_new(ctx_);
    if (!ssl_)
        RaiseTLSError("TLS error: ");
    BIO* bio = BIO_new(SocketStackBioMethod(&BioWrite, &BioRead, &BioCtrl));
    if (!bio)
        RaiseTLSError("TLS error: ");
    BIO_set_data(bio, this);
    BIO_set_init(bio, 1);
    SSL_set_bio(ssl_, bio, bio);

    // The certificate must name the host the user gave, as typed: an address
    // typed as digits must be in the certificate as that address.
    if (TNetStack::IsIP(host)) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), host.c_str());
    } else {
        SSL_set_tlsext_host_name(ssl_, host.c_str());
        SSL_set_hostflags(ssl_, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        SSL_set1_host(ssl_, host.c_str());
    }

    auto& stack = GNetStack();
    stack.CheckForSocketError(stack.SetBlocking(Binding()->Handle(), false));
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max<std::int64_t>(TimeoutMs, 0));
    for (;;) {
        ERR_clear_error();
        bioError_ = 0;
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
        const long verify = SSL_get_verify_result(ssl_);
        const int socketError = bioError_;
        const std::string reason = OpenSSLReason();
        ERR_clear_error();
        FreeTLS();
        if (verify != X509_V_OK)
            throw ENetTLSVerifyError(X509_verify_cert_error_string(verify));
        if (socketError != 0)
            stack.RaiseSocketError(socketError);
        if (error == SSL_ERROR_SYSCALL || error == SSL_ERROR_ZERO_RETURN)
            throw ENetTLSError("TLS handshake failed: the server closed the connection");
        throw ENetTLSError("TLS handshake failed: " + reason);
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
        bioError_ = 0;
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
        bioError_ = 0;
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
            return bioError_ != 0 ? -1 : 0;
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
        bioError_ = 0;
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
            writeState_ = bioError_ != 0 ? -1 : 0;
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
