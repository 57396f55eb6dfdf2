#include "transport/NetTLS.h"

#include "transport/NetErrors.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <mutex>

namespace {

int LinkWrite(BIO* bio, const char* data, int length)
{
    auto* link = static_cast<TNetTLSSocketLink*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    auto& stack = GNetStack();
    const int sent = stack.Send(link->Socket, data, length, 0);
    if (sent < 0) {
        const int error = stack.PlatformLastError();
        if (error == NetWSAEWOULDBLOCK)
            BIO_set_retry_write(bio);
        else
            link->Error = error;
    }
    return sent;
}

int LinkRead(BIO* bio, char* data, int length)
{
    auto* link = static_cast<TNetTLSSocketLink*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    auto& stack = GNetStack();
    const int received = stack.Recv(link->Socket, data, length, 0);
    if (received < 0) {
        const int error = stack.PlatformLastError();
        if (error == NetWSAEWOULDBLOCK)
            BIO_set_retry_read(bio);
        else
            link->Error = error;
    }
    return received;
}

long LinkCtrl(BIO*, int command, long, void*)
{
    // Nothing is buffered below OpenSSL, so a flush has nothing to do.
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

BIO_METHOD* SocketStackBioMethod()
{
    static BIO_METHOD* method = nullptr;
    static std::once_flag once;
    std::call_once(once, [] {
        method = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "vendrel socket stack");
        BIO_meth_set_write(method, &LinkWrite);
        BIO_meth_set_read(method, &LinkRead);
        BIO_meth_set_ctrl(method, &LinkCtrl);
    });
    return method;
}

[[noreturn]] void RaiseTLSError(const std::string& what)
{
    throw ENetTLSError(what + TakeOpenSSLReason());
}

} // namespace

std::string TakeOpenSSLReason()
{
    const unsigned long error = ERR_peek_last_error();
    const char* reason = error != 0 ? ERR_reason_error_string(error) : nullptr;
    std::string text = reason != nullptr ? reason : "unknown error";
    ERR_clear_error();
    return text;
}

SSL_CTX* NewTLSClientContext(const std::string& caFile)
{
    ERR_clear_error();
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (!context)
        RaiseTLSError("TLS error: ");
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_mode(context, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_default_verify_paths(context);
    if (!caFile.empty() && SSL_CTX_load_verify_locations(context, caFile.c_str(), nullptr) != 1) {
        ERR_clear_error();
        SSL_CTX_free(context);
        throw ENetTLSVerifyError("cannot read the trusted CA file \"" + caFile + "\"");
    }
    return context;
}

SSL* NewTLSClientConnection(SSL_CTX* context, const std::string& host, TNetTLSSocketLink& link)
{
    SSL* ssl = SSL_new(context);
    if (!ssl)
        RaiseTLSError("TLS error: ");
    BIO* bio = BIO_new(SocketStackBioMethod());
    if (!bio) {
        SSL_free(ssl);
        RaiseTLSError("TLS error: ");
    }
    BIO_set_data(bio, &link);
    BIO_set_init(bio, 1);
    SSL_set_bio(ssl, bio, bio);

    // The certificate must name the host the user gave, as typed: an address
    // typed as digits must be in the certificate as that address.
    if (TNetStack::IsIP(host)) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str());
    } else {
        SSL_set_tlsext_host_name(ssl, host.c_str());
        SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        SSL_set1_host(ssl, host.c_str());
    }
    return ssl;
}

std::exception_ptr TLSHandshakeFailure(SSL* ssl, int sslError, int socketError)
{
    const long verify = SSL_get_verify_result(ssl);
    const std::string reason = TakeOpenSSLReason();
    try {
        if (verify != X509_V_OK)
            throw ENetTLSVerifyError(X509_verify_cert_error_string(verify));
        if (socketError != 0)
            GNetStack().RaiseSocketError(socketError);
        if (sslError == SSL_ERROR_SYSCALL || sslError == SSL_ERROR_ZERO_RETURN)
            throw ENetTLSError("TLS handshake failed: the server closed the connection");
        throw ENetTLSError("TLS handshake failed: " + reason);
    } catch (...) {
        return std::current_exception();
    }
}
