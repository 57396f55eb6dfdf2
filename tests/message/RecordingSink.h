#pragma once

// A line sink that keeps every call, so a test can compare the exact bytes
// that would have gone onto the connection.

#include "message/NetLineSink.h"

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

class TRecordingSink : public TNetLineSink {
public:
    void Write(std::string_view text) override
    {
        Wire.append(text);
        ++Writes;
    }
    void WriteLine(std::string_view text) override
    {
        Wire.append(text);
        Wire.append("\r\n");
        ++WriteLines;
    }

    std::string Wire;
    int Writes = 0;
    int WriteLines = 0;
};

// Lines each followed by CR LF, for writing expected wire text legibly.
inline std::string CrLf(std::initializer_list<std::string_view> lines)
{
    std::string out;
    for (const auto line : lines) {
        out.append(line);
        out.append("\r\n");
    }
    return out;
}
