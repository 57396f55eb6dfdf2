#pragma once

// The transport's exceptions below the root. Each carries a fixed English
// message; users read these texts in the activity log when a delivery fails.

#include "transport/NetException.h"

#include <string>

// Errors that end a conversation without being a fault of the program, such
// as the peer having closed its end.
class ENetSilentException : public ENetException {
public:
    using ENetException::ENetException;
};

// --- socket layer ---------------------------------------------------------

class ENetSocketError : public ENetException {
public:
    ENetSocketError(int lastError, const std::string& message) : ENetException(message), lastError_(lastError) {}
    int LastError() const { return lastError_; }

private:
    int lastError_;
};

class ENetInvalidSocket : public ENetException {
public:
    ENetInvalidSocket() : ENetException("Cannot allocate socket.") {}
};

class ENetStackError : public ENetException {
public:
    using ENetException::ENetException;
};

class ENetStackInitializationFailed : public ENetStackError {
public:
    ENetStackInitializationFailed() : ENetStackError("Winsock Initialization Error.") {}
};

class ENetStackSetSizeExceeded : public ENetStackError {
public:
    ENetStackSetSizeExceeded() : ENetStackError("Set Size Exceeded.") {}
};

class ENetInvalidIPAddress : public ENetStackError {
public:
    explicit ENetInvalidIPAddress(const std::string& text) : ENetStackError(text + " is not a valid IP address.") {}
};

// Failure to bind the socket library at run time. This platform links its
// sockets directly, so nothing raises it here; it stays for callers that
// name it.
class ENetWS2StubError : public ENetException {
public:
    ENetWS2StubError(const std::string& title, int errorCode, const std::string& systemMessage)
        : ENetException(errorCode == 0 ? title : title + ": " + systemMessage)
        , title_(title), errorCode_(errorCode), errorMessage_(systemMessage) {}
    const std::string& Title() const { return title_; }
    int Win32Error() const { return errorCode_; }
    const std::string& Win32ErrorMessage() const { return errorMessage_; }

private:
    std::string title_;
    int errorCode_;
    std::string errorMessage_;
};

// --- socket transport -----------------------------------------------------

class ENetClosedSocket : public ENetException {
public:
    ENetClosedSocket() : ENetException("Disconnected.") {}
};

class ENetConnClosedGracefully : public ENetSilentException {
public:
    ENetConnClosedGracefully() : ENetSilentException("Connection Closed Gracefully.") {}
};

class ENetConnectTimeout : public ENetException {
public:
    ENetConnectTimeout() : ENetException("Connect timed out.") {}
};

// Carries the message of the error the timed connect met.
class ENetConnectException : public ENetException {
public:
    using ENetException::ENetException;
};

class ENetSocketHandleError : public ENetException {
public:
    using ENetException::ENetException;
};

class ENetCouldNotBindSocket : public ENetSocketHandleError {
public:
    ENetCouldNotBindSocket() : ENetSocketHandleError("Could not bind socket. Address and port are already in use.") {}
};

class ENetInvalidPortRange : public ENetSocketHandleError {
public:
    ENetInvalidPortRange(int min, int max)
        : ENetSocketHandleError("Invalid Port Range (" + std::to_string(min) + " - " + std::to_string(max) + ")") {}
};

class ENetCanNotBindPortInRange : public ENetSocketHandleError {
public:
    ENetCanNotBindPortInRange(int min, int max)
        : ENetSocketHandleError("Can not bind in port range (" + std::to_string(min) + " - " + std::to_string(max) + ")") {}
};

// --- connection -----------------------------------------------------------

// The reply's text lines, each followed by CR LF, with the numeric code apart.
class ENetProtocolReplyError : public ENetException {
public:
    ENetProtocolReplyError(int replyErrorCode, const std::string& message)
        : ENetException(message), replyErrorCode_(replyErrorCode) {}
    int ReplyErrorCode() const { return replyErrorCode_; }

private:
    int replyErrorCode_;
};

class ENetReadTimeout : public ENetException {
public:
    ENetReadTimeout() : ENetException("Read Timeout") {}
};

// A reply longer than a server has any reason to send.
class ENetReplyTooLong : public ENetException {
public:
    ENetReplyTooLong() : ENetException("Server reply too long.") {}
};

class ENetReadLnMaxLineLengthExceeded : public ENetException {
public:
    ENetReadLnMaxLineLengthExceeded() : ENetException("Max line length exceeded.") {}
};

class ENetAlreadyConnected : public ENetException {
public:
    ENetAlreadyConnected() : ENetException("Already connected.") {}
};

class ENetTCPConnectionError : public ENetException {
public:
    using ENetException::ENetException;
};

class ENetNotConnected : public ENetTCPConnectionError {
public:
    ENetNotConnected() : ENetTCPConnectionError("Not Connected") {}
};

class ENetNotEnoughDataInBuffer : public ENetTCPConnectionError {
public:
    ENetNotEnoughDataInBuffer() : ENetTCPConnectionError("Not enough data in buffer.") {}
};

class ENetNoDataToRead : public ENetTCPConnectionError {
public:
    ENetNoDataToRead() : ENetTCPConnectionError("No data to read.") {}
};
