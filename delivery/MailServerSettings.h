#pragma once

// The six mail-server values the settings file keeps for the sender.

#include <string>

struct TMailServerSettings {
    std::string Host;
    std::string Username;
    std::string Password;
    int Port = 25;
    int TimeOutSeconds = 90;
    bool Logon = false;
};
