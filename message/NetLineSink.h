#pragma once

// Where the message writer puts its lines. The TCP connection implements it;
// tests record what reaches it.

#include <string_view>

class TNetLineSink {
public:
    virtual ~TNetLineSink() = default;
    // The bytes unchanged.
    virtual void Write(std::string_view text) = 0;
    // The text followed by CR LF, as one send.
    virtual void WriteLine(std::string_view text) = 0;
};
