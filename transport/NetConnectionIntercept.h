#pragma once

// A filter that may see and rewrite every buffer a connection sends or
// receives. The program sets none; the connection consults it when set.

#include <string>

class TNetTCPConnection;

class TNetConnectionIntercept {
public:
    virtual ~TNetConnectionIntercept() = default;
    virtual void Connect(TNetTCPConnection& connection) { (void)connection; }
    virtual void Disconnect() {}
    virtual void Receive(std::string& bytes) { (void)bytes; }
    virtual void Send(std::string& bytes) { (void)bytes; }
};
