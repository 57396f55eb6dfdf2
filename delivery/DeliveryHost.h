#pragma once

// What page delivery and the download need of the main window. The window
// implements it; tests implement it with a recording double.

#include "transport/NetSecurity.h"

#include <string>

enum class TMsgKind { Plain, Warning, Error, Information, Confirmation };
enum class TMsgButtons { OK, YesNo, OKCancel };
enum class TModalResult { OK, Cancel, Yes, No };
enum class TCursor { Default, HourGlass };

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
};
