#pragma once

// A stream over a connection for the message writer's encoders: writes go
// out at once, reads take exactly the bytes asked for, seeking is refused.

#include "transport/NetTCPConnection.h"

#include <cstdint>
#include <cstring>

class TNetTCPStream {
public:
    explicit TNetTCPStream(TNetTCPConnection& connection) : connection_(connection) {}

    std::int64_t Write(const void* bytes, std::int64_t count)
    {
        connection_.WriteBytes(bytes, static_cast<std::size_t>(count));
        return count;
    }
    std::int64_t Read(void* buffer, std::int64_t count)
    {
        const std::string bytes = connection_.ReadString(static_cast<std::size_t>(count));
        std::memcpy(buffer, bytes.data(), bytes.size());
        return count;
    }
    std::int64_t Seek(std::int64_t, int) { return -1; }

private:
    TNetTCPConnection& connection_;
};
