#pragma once

// The SMTP client session through which every message leaves: greeting,
// EHLO (or HELO), optional AUTH LOGIN, envelope, DATA and the message.
// Each message gets a session of its own: Open, Transmit, Close.

#include "transport/NetMessageClient.h"

#include <string>

enum TAuthenticationType { atNone, atLogin };

class TNetSMTP : public TNetMessageClient {
public:
    TNetSMTP();
    ~TNetSMTP() override;

    // Connects to Host:Port and greets the server. timeoutMs goes to the
    // connection's open; -1 is the default.
    void Open(int timeoutMs = -1) override;
    // Sends one message over the open session.
    void Transmit(TNetMessage& message);
    // Writes QUIT when the connection is still open, then closes it; never
    // waits for a reply.
    void Close() override;
    // Runs the login exchange of AuthenticationType; true when one ran.
    bool LogIn();
    bool MechanismAvailable(TAuthenticationType type) const;
    int Expand(const std::string& argument);
    int Verify(const std::string& argument);

    TAuthenticationType AuthenticationType() const { return authenticationType_; }
    // atLogin also turns UseEhlo on.
    void SetAuthenticationType(TAuthenticationType type);
    bool UseEhlo() const { return useEhlo_; }
    // Turning it off also sets AuthenticationType to atNone.
    void SetUseEhlo(bool useEhlo);

    // The mechanisms the server announced in its EHLO reply, upper case.
    const TLines& AuthMechanisms() const { return authMechanisms_; }
    bool LoggedIn() const { return loggedIn_; }

    std::string Username;
    std::string Password;
    std::string MailAgent;
    std::string HeloName;

private:
    void ReadMechanisms();

    TAuthenticationType authenticationType_ = atNone;
    bool useEhlo_ = true;
    TLines authMechanisms_;
    bool loggedIn_ = false;
};
