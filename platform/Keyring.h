#pragma once

// The desktop's keyring (the Secret Service on the session bus) as the mail
// password needs it: one secret per mail server and user name. Every call
// answers within a few seconds: a keyring that does not answer counts as
// unreachable, never as a hang.

#include <optional>
#include <stdexcept>
#include <string>

class EKeyringError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TPasswordKeyring {
public:
    virtual ~TPasswordKeyring() = default;
    // A Secret Service is running on the session bus, or can be started there.
    virtual bool Available() = 0;
    // Throws EKeyringError when the keyring cannot be reached or refuses.
    virtual void Store(const std::string& server, const std::string& user, const std::string& password) = 0;
    // Nothing when the keyring holds no password for that server and user;
    // throws EKeyringError when it cannot be reached or is locked.
    virtual std::optional<std::string> Lookup(const std::string& server, const std::string& user) = 0;
};

// The session's Secret Service, reached through libsecret.
class TSecretServiceKeyring : public TPasswordKeyring {
public:
    bool Available() override;
    void Store(const std::string& server, const std::string& user, const std::string& password) override;
    std::optional<std::string> Lookup(const std::string& server, const std::string& user) override;
};

// The one the programs use.
TPasswordKeyring& SystemKeyring();
