#pragma once

// The mail-server values the settings file keeps for the sender.

#include "transport/NetSecurity.h"

#include <string>

struct TMailServerSettings {
    std::string Host;
    std::string Username;
    std::string Password;
    int Port = 25;
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
};
