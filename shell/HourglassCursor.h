#pragma once

#include "delivery/DeliveryHost.h"

// The hourglass for the life of one scope: the cursor that was showing comes
// back when the scope ends, also when it ends by an error.
class THourglassCursor {
public:
    explicit THourglassCursor(TDeliveryHost& host) : host_(host), saved_(host.Cursor())
    {
        host_.SetCursor(TCursor::HourGlass);
    }
    ~THourglassCursor() { host_.SetCursor(saved_); }
    THourglassCursor(const THourglassCursor&) = delete;
    THourglassCursor& operator=(const THourglassCursor&) = delete;

private:
    TDeliveryHost& host_;
    TCursor saved_;
};
