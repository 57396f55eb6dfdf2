#pragma once

// The mail-server values the settings file keeps for the sender.

#include "transport/NetSecurity.h"

#include <optional>
#include <string>

struct TMailServerSettings {
    std::string Host;
    std::string Username;
    std::string Password;
    int Port = 25;
    // 0 or below stands for the default: no wait may last for ever.
    int TimeOutSeconds = 90;
    bool Logon = false;
    TSMTPSecurity Security = ssAuto;
    // Trusted beside the system's certificate store; empty: the store alone.
    std::string CAFile;
    // "SMTPPasswordStore=Keyring": the password lives in the desktop's
    // keyring, and KeyringProblem says why it could not be read from there
    // (empty when it was).
    bool PasswordInKeyring = false;
    std::string KeyringProblem;
    // "SMTPPort" and "SMTPSecurity" as the file held them when they named no
    // port (a whole decimal number from 1 to 65535) or no choice of security
    // that Vendrel knows. Mail is then refused with the reason, never sent
    // to port 25 or under Auto instead, and a save writes the text back as
    // it was until the user chooses anew.
    std::optional<std::string> PortText;
    std::optional<std::string> SecurityText;
};

// The time-out in seconds that a session uses: a value of 0 or below means
// the default of 90 seconds.
inline int EffectiveTimeOutSeconds(const TMailServerSettings& server)
{
    return server.TimeOutSeconds > 0 ? server.TimeOutSeconds : 90;
}
