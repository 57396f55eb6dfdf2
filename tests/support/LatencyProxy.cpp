#include "tests/support/LatencyProxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <stdexcept>

namespace {

using TClock = std::chrono::steady_clock;

struct TChunk {
    TClock::time_point Due;
    std::string Bytes; // empty: the sender closed its side
    std::size_t Sent = 0;
};

// One direction of a connection: what is on its way to `to`.
struct TPipe {
    std::deque<TChunk> Chunks;
    bool ReadClosed = false;
    bool WriteClosed = false;
};

struct TLink {
    int Client = -1;
    int Server = -1;
    int UpstreamPort = 0;
    TClock::time_point ConnectDue;
    TPipe Up;   // client to server
    TPipe Down; // server to client
};

void NonBlocking(int fd)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

} // namespace

struct TLatencyProxy::TImpl {
    std::chrono::milliseconds Half;
    std::chrono::milliseconds Rtt;
    struct TListener {
        int Fd;
        int UpstreamPort;
    };
    std::vector<TListener> Listeners;
    std::vector<std::unique_ptr<TLink>> Links;
};

TLatencyProxy::TLatencyProxy(int rttMs) : impl_(std::make_unique<TImpl>())
{
    impl_->Rtt = std::chrono::milliseconds(rttMs);
    impl_->Half = std::chrono::milliseconds(rttMs / 2);
}

TLatencyProxy::~TLatencyProxy()
{
    stopping_ = true;
    if (thread_.joinable())
        thread_.join();
    for (auto& l : impl_->Listeners)
        ::close(l.Fd);
    for (auto& link : impl_->Links) {
        if (link->Client >= 0)
            ::close(link->Client);
        if (link->Server >= 0)
            ::close(link->Server);
    }
}

int TLatencyProxy::Listen(const std::string& address, int upstreamPort)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    ::inet_pton(AF_INET, address.c_str(), &addr.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 512) != 0)
        throw std::runtime_error("proxy cannot listen on " + address);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    impl_->Listeners.push_back({fd, upstreamPort});
    return ntohs(addr.sin_port);
}

void TLatencyProxy::Start()
{
    thread_ = std::thread([this] { Loop(); });
}

void TLatencyProxy::Loop()
{
    TImpl& m = *impl_;
    std::vector<pollfd> fds;
    // What each pollfd stands for: a listener, or a link's side.
    struct TRole {
        int Listener = -1;
        TLink* Link = nullptr;
        bool Client = false;
    };
    std::vector<TRole> roles;
    char buffer[65536];

    // Writes what is due of a pipe to fd; gives false when the pipe waits
    // for fd to take more.
    auto drain = [](TPipe& pipe, int fd, TClock::time_point now) {
        while (!pipe.Chunks.empty() && pipe.Chunks.front().Due <= now) {
            TChunk& c = pipe.Chunks.front();
            if (c.Bytes.empty()) {
                ::shutdown(fd, SHUT_WR);
                pipe.WriteClosed = true;
                pipe.Chunks.pop_front();
                continue;
            }
            const ssize_t n = ::send(fd, c.Bytes.data() + c.Sent, c.Bytes.size() - c.Sent, MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EAGAIN)
                    return false;
                pipe.Chunks.clear();
                pipe.WriteClosed = true;
                return true;
            }
            c.Sent += static_cast<std::size_t>(n);
            if (c.Sent < c.Bytes.size())
                return false;
            pipe.Chunks.pop_front();
        }
        return true;
    };

    while (!stopping_) {
        const auto now = TClock::now();
        // Connections whose handshake time has passed reach the server.
        for (auto& link : m.Links)
            if (link->Server < 0 && link->Client >= 0 && link->ConnectDue <= now) {
                const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                sockaddr_in addr{};
                addr.sin_family = AF_INET;
                addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                addr.sin_port = htons(static_cast<std::uint16_t>(link->UpstreamPort));
                if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
                    ::close(fd);
                    ::close(link->Client);
                    link->Client = -1;
                    continue;
                }
                NonBlocking(fd);
                link->Server = fd;
            }
        // Due chunks are written; the earliest chunk still to come sets the wait.
        auto next = now + std::chrono::milliseconds(50);
        for (auto& link : m.Links) {
            if (link->Server >= 0) {
                drain(link->Up, link->Server, now);
                drain(link->Down, link->Client, now);
            }
            for (TPipe* p : {&link->Up, &link->Down})
                if (!p->Chunks.empty() && p->Chunks.front().Due < next)
                    next = p->Chunks.front().Due;
            if (link->Server < 0 && link->Client >= 0 && link->ConnectDue < next)
                next = link->ConnectDue;
        }
        // Links closed both ways go.
        for (auto it = m.Links.begin(); it != m.Links.end();) {
            TLink& l = **it;
            const bool done = l.Client < 0 || (l.Up.WriteClosed && l.Down.WriteClosed);
            if (done) {
                if (l.Client >= 0)
                    ::close(l.Client);
                if (l.Server >= 0)
                    ::close(l.Server);
                it = m.Links.erase(it);
            } else {
                ++it;
            }
        }

        fds.clear();
        roles.clear();
        for (std::size_t i = 0; i < m.Listeners.size(); ++i) {
            fds.push_back({m.Listeners[i].Fd, POLLIN, 0});
            roles.push_back({static_cast<int>(i), nullptr, false});
        }
        for (auto& link : m.Links) {
            short clientEvents = link->Up.ReadClosed ? 0 : POLLIN;
            if (link->Server >= 0 && !link->Down.Chunks.empty() && link->Down.Chunks.front().Due <= now)
                clientEvents |= POLLOUT;
            // A side with nothing to wait for is left out: a closed socket
            // would report its hang-up on every turn.
            fds.push_back({clientEvents ? link->Client : -1, clientEvents, 0});
            roles.push_back({-1, link.get(), true});
            if (link->Server >= 0) {
                short serverEvents = link->Down.ReadClosed ? 0 : POLLIN;
                if (!link->Up.Chunks.empty() && link->Up.Chunks.front().Due <= now)
                    serverEvents |= POLLOUT;
                fds.push_back({serverEvents ? link->Server : -1, serverEvents, 0});
                roles.push_back({-1, link.get(), false});
            }
        }
        const auto waitMs = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
        ::poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(0, std::min<long long>(waitMs, 50))));
        const auto arrived = TClock::now();
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (!fds[i].revents)
                continue;
            const TRole& role = roles[i];
            if (role.Listener >= 0) {
                for (;;) {
                    const int fd = ::accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
                    if (fd < 0)
                        break;
                    NonBlocking(fd);
                    auto link = std::make_unique<TLink>();
                    link->Client = fd;
                    link->UpstreamPort = m.Listeners[static_cast<std::size_t>(role.Listener)].UpstreamPort;
                    link->ConnectDue = arrived + m.Rtt;
                    m.Links.push_back(std::move(link));
                }
                continue;
            }
            TLink& link = *role.Link;
            TPipe& in = role.Client ? link.Up : link.Down;
            const int fd = role.Client ? link.Client : link.Server;
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
                if (!in.ReadClosed) {
                    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                    if (n > 0) {
                        in.Chunks.push_back({arrived + m.Half, std::string(buffer, static_cast<std::size_t>(n))});
                    } else if (n == 0 || errno != EAGAIN) {
                        in.ReadClosed = true;
                        in.Chunks.push_back({arrived + m.Half, std::string()});
                    }
                }
            }
        }
    }
}
