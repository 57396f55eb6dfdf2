#pragma once

// The hourglass for one long operation; the cursor the user had comes back
// whichever way the operation ends.

#include "delivery/DeliveryHost.h"
#include "platform/ScopeExit.h"

class TCursorScope {
public:
    explicit TCursorScope(TDeliveryHost& host)
        : restore_([&host, saved = host.Cursor()] { host.SetCursor(saved); })
    {
        host.SetCursor(TCursor::HourGlass);
    }

private:
    TScopeAction restore_;
};
