#include "tests/support/ScriptedServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

TScriptedPeer::~TScriptedPeer()
{
    Close();
}

bool TScriptedPeer::Fill(int timeoutMs)
{
    if (socket_ < 0)
        return false;
    pollfd p{socket_, POLLIN, 0};
    int r;
    do
        r = ::poll(&p, 1, timeoutMs);
    while (r < 0 && errno == EINTR);
    if (r <= 0)
        return false;
    char buffer[65536];
    const ssize_t n = ::recv(socket_, buffer, sizeof buffer, 0);
    if (n <= 0) {
        closed_ = true;
        return false;
    }
    pending_.append(buffer, static_cast<std::size_t>(n));
    return true;
}

std::string TScriptedPeer::ReadLine(int timeoutMs)
{
    for (;;) {
        const auto lf = pending_.find('\n');
        if (lf != std::string::npos) {
            std::string line = pending_.substr(0, lf);
            pending_.erase(0, lf + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            lines_.push_back(line);
            return line;
        }
        if (!Fill(timeoutMs)) {
            closed_ = true;
            return {};
        }
    }
}

std::string TScriptedPeer::ReadData(int timeoutMs)
{
    for (;;) {
        const auto end = pending_.find("\r\n.\r\n");
        if (end != std::string::npos) {
            std::string data = pending_.substr(0, end + 5);
            pending_.erase(0, end + 5);
            return data;
        }
        if (!Fill(timeoutMs)) {
            closed_ = true;
            return {};
        }
    }
}

bool TScriptedPeer::Quiet(int timeoutMs)
{
    if (!pending_.empty())
        return false;
    Fill(timeoutMs);
    return pending_.empty();
}

void TScriptedPeer::Send(std::string_view bytes)
{
    while (!bytes.empty() && socket_ >= 0) {
        const ssize_t n = ::send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0)
            return;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

void TScriptedPeer::Close()
{
    if (socket_ >= 0) {
        ::close(socket_);
        socket_ = -1;
    }
}

bool TScriptedPeer::WaitForClose(int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!closed_) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            return false;
        if (!Fill(static_cast<int>(left)) && !closed_)
            return false;
    }
    return true;
}

TScriptedServer::TScriptedServer(TScript script, int connections, bool concurrent) : script_(std::move(script))
{
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0)
        throw std::runtime_error("socket failed");
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(listener_, 16) != 0
        || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        ::close(listener_);
        throw std::runtime_error("cannot listen on loopback");
    }
    port_ = ntohs(sa.sin_port);
    thread_ = std::thread([this, connections, concurrent] { Run(connections, concurrent); });
}

TScriptedServer::~TScriptedServer()
{
    stop_ = true;
    Finish();
}

void TScriptedServer::Run(int connections, bool concurrent)
{
    for (int i = 0; i < connections; ++i) {
        // A test that failed before connecting must not keep its server waiting long.
        bool ready = false;
        for (int slice = 0; slice < 200 && !stop_ && !ready; ++slice) {
            pollfd p{listener_, POLLIN, 0};
            ready = ::poll(&p, 1, 100) > 0;
        }
        if (!ready) {
            std::lock_guard lock(lock_);
            failure_ = "no client connected";
            break;
        }
        const int s = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (s < 0)
            break;
        if (concurrent)
            peers_.emplace_back([this, s] { Serve(s); });
        else
            Serve(s);
    }
    for (auto& peer : peers_)
        peer.join();
}

void TScriptedServer::Serve(int socket)
{
    TScriptedPeer peer(socket);
    try {
        script_(peer);
    } catch (const std::exception& e) {
        std::lock_guard lock(lock_);
        failure_ = e.what();
    }
    std::lock_guard lock(lock_);
    lines_.insert(lines_.end(), peer.Lines().begin(), peer.Lines().end());
}

std::vector<std::string> TScriptedServer::Finish()
{
    if (thread_.joinable())
        thread_.join();
    if (listener_ >= 0) {
        ::close(listener_);
        listener_ = -1;
    }
    std::lock_guard lock(lock_);
    return lines_;
}
