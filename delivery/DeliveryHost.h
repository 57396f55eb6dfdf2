#pragma once

// What page delivery and the download need of the main window. The window
// implements it; tests implement it with a recording double.

#include "transport/NetSecurity.h"

#include <string>

enum class TMsgKind { Plain, Warning, Error, Information, Confirmation };
enum class TMsgButtons { OK, YesNo, OKCancel };
enum class TModalResult { OK, Cancel, Yes, No };
enum class TCursor { Default, HourGlass };

// The mail-server values the settings file keeps for the sender.
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
};

class TDeliveryHost {
public:
    virtual ~TDeliveryHost() = default;

    // One activity-log entry; the log adds the time stamp.
    virtual void AddToLog(const std::string& message) = 0;
    virtual TModalResult MessageBox(const std::string& text, TMsgKind kind, TMsgButtons buttons) = 0;
    virtual TCursor Cursor() const = 0;
    virtual void SetCursor(TCursor cursor) = 0;
    // Lets the user interface handle whatever input and painting is pending.
    virtual void ProcessMessages() = 0;
    virtual TMailServerSettings MailServer() const = 0;
};
