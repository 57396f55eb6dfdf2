#pragma once

// What every TLS client connection of the transport shares: a context that
// trusts the system's store (and a CA file beside it), the check of the
// server's name, a BIO that carries the records through the socket stack,
// and the exceptions a failed handshake becomes.

#include "transport/NetException.h"
#include "transport/NetStack.h"

#include <exception>
#include <string>

struct bio_st;
struct ssl_st;
struct ssl_ctx_st;

class ENetTLSError : public ENetException {
public:
    using ENetException::ENetException;
};

// The server's certificate could not be trusted for the host it was asked for.
class ENetTLSVerifyError : public ENetTLSError {
public:
    explicit ENetTLSVerifyError(const std::string& reason)
        : ENetTLSError("TLS certificate verification failed: " + reason)
    {
    }
};

// The socket under one TLS connection. Error keeps the stack's error number
// met by the last BIO call (0: none); a call that would block is left to
// OpenSSL's retry instead.
struct TNetTLSSocketLink {
    TNetSocket Socket = NetInvalidSocket;
    int Error = 0;
};

// A client context: TLS 1.2 at least, the peer verified against the system's
// store and caFile (when not empty). There is deliberately no way to skip the
// check. Raises ENetTLSError, or ENetTLSVerifyError for an unreadable caFile.
ssl_ctx_st* NewTLSClientContext(const std::string& caFile);
// A connection of the context over the link's socket, whose certificate must
// name host as the user typed it. Raises ENetTLSError.
ssl_st* NewTLSClientConnection(ssl_ctx_st* context, const std::string& host, TNetTLSSocketLink& link);
// The exception a failed SSL_connect means (sslError from SSL_get_error,
// socketError the link's): read while the connection still exists.
std::exception_ptr TLSHandshakeFailure(ssl_st* ssl, int sslError, int socketError);
// The reason of OpenSSL's newest error, without its codes; clears the queue.
std::string TakeOpenSSLReason();
