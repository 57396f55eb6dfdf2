#pragma once

// The hourglass for one long operation; the cursor the user had comes back
// whichever way the operation ends.

#include "delivery/DeliveryHost.h"

class TCursorScope {
public:
    explicit TCursorScope(TDeliveryHost& host) : host_(host), saved_(host.Cursor())
    {
        host_.SetCursor(TCursor::HourGlass);
    }
    ~TCursorScope() { host_.SetCursor(saved_); }
    TCursorScope(const TCursorScope&) = delete;
    TCursorScope& operator=(const TCursorScope&) = delete;

private:
    TDeliveryHost& host_;
    TCursor saved_;
};
