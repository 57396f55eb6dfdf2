#pragma once

// A TCP proxy on loopback that makes a near server look far away: each chunk
// reaches the other side RTT/2 after it was sent, in either direction, and
// the connection to the server is opened one RTT after the client connected
// (the handshake a real distance costs). One thread, one poll loop, for any
// number of listening addresses and connections.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class TLatencyProxy {
public:
    explicit TLatencyProxy(int rttMs);
    ~TLatencyProxy();
    TLatencyProxy(const TLatencyProxy&) = delete;
    TLatencyProxy& operator=(const TLatencyProxy&) = delete;

    // Listens on address (a free port) and forwards to 127.0.0.1:upstreamPort;
    // gives the port. Call before Start.
    int Listen(const std::string& address, int upstreamPort);
    void Start();

private:
    struct TImpl;
    void Loop();
    std::unique_ptr<TImpl> impl_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};
