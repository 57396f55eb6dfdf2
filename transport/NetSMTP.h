#pragma once

// The SMTP client session through which every message leaves: greeting,
// EHLO (or HELO), TLS when Security asks for it, optional AUTH LOGIN (or
// PLAIN), envelope, DATA and the message.
// Each message gets a session of its own: Open, Transmit, Close.

#include "transport/NetMessageClient.h"
#include "transport/NetSecurity.h"

#include <string>

enum TAuthenticationType { atNone, atLogin };

class TNetSMTP : public TNetMessageClient {
public:
    TNetSMTP();
    ~TNetSMTP() override;

    // Connects to Host:Port and greets the server, over TLS as Security
    // says. timeoutMs goes to the connection's open; -1 is the default.
    // Under Auto, a server without STARTTLS that a login is due to ends the
    // session with SMTPNoTLSLoginText before any AUTH.
    void Open(int timeoutMs = -1) override;
    // Sends one message over the open session.
    void Transmit(TNetMessage& message);
    // Writes QUIT when the connection is still open, then closes it; never
    // waits for a reply.
    void Close() override;
    // Runs the login exchange of AuthenticationType; true when one ran.
    bool LogIn();
    // atLogin: the server offers LOGIN, or PLAIN in its place.
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
    // Whether this session runs over TLS, and the protocol ("TLSv1.3").
    bool TLSActive() const;
    std::string TLSProtocol() const;

    std::string Username;
    std::string Password;
    std::string MailAgent;
    std::string HeloName;
    TSMTPSecurity Security = ssAuto;
    // A CA file trusted beside the system's store; empty: the store alone.
    std::string CAFile;

private:
    void ReadMechanisms();
    bool Offers(std::string_view mechanism) const;
    bool ServerAnnounces(std::string_view keyword);
    // Says hello (EHLO, else HELO); true when the EHLO reply was 250.
    bool Greet(const std::string& name);
    void StartTLS();

    TAuthenticationType authenticationType_ = atNone;
    bool useEhlo_ = true;
    TLines authMechanisms_;
    bool loggedIn_ = false;
};
