#include "tests/support/LoopbackServers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool SendAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool SendAll(int fd, const std::string& s)
{
    return SendAll(fd, s.data(), s.size());
}

// Reads lines from a socket with one buffer, for the SMTP sink. Replies
// wait in Reply until the sink would wait for more input, then leave in one
// write, as a pipelining server sends them (RFC 2920): written one by one, a
// client's delayed acknowledgement holds each small reply after the first.
class TLineReader {
public:
    explicit TLineReader(int fd) : fd_(fd) {}
    std::string Reply;
    bool Flush()
    {
        const bool sent = SendAll(fd_, Reply);
        Reply.clear();
        return sent;
    }
    bool Line(std::string& line)
    {
        for (;;) {
            const auto nl = buf_.find('\n', pos_);
            if (nl != std::string::npos) {
                line.assign(buf_, pos_, nl + 1 - pos_);
                pos_ = nl + 1;
                if (pos_ > 65536) {
                    buf_.erase(0, pos_);
                    pos_ = 0;
                }
                return true;
            }
            if (!Reply.empty() && !Flush())
                return false;
            char tmp[65536];
            const ssize_t n = ::recv(fd_, tmp, sizeof tmp, 0);
            if (n <= 0)
                return false;
            buf_.append(tmp, static_cast<std::size_t>(n));
        }
    }

private:
    int fd_;
    std::string buf_;
    std::size_t pos_ = 0;
};

} // namespace

TLoopbackServer::TLoopbackServer() = default;

TLoopbackServer::~TLoopbackServer() = default;

void TLoopbackServer::Start(const std::string& address)
{
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_ < 0)
        throw std::runtime_error("socket failed");
    const int one = 1;
    ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    if (::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1)
        throw std::runtime_error("not an address: " + address);
    if (::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listen_, 512) != 0)
        throw std::runtime_error("bind failed");
    socklen_t len = sizeof addr;
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { AcceptLoop(); });
}

void TLoopbackServer::Stop()
{
    stopping_ = true;
    if (listen_ >= 0)
        ::shutdown(listen_, SHUT_RDWR);
    if (thread_.joinable())
        thread_.join();
    {
        std::lock_guard lock(peersLock_);
        for (int fd : open_)
            ::shutdown(fd, SHUT_RDWR);
    }
    for (auto& peer : peers_)
        peer.join();
    if (listen_ >= 0)
        ::close(listen_);
    listen_ = -1;
}

void TLoopbackServer::AcceptLoop()
{
    while (!stopping_) {
        pollfd p{listen_, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        ++connections_;
        if (!concurrent_) {
            Serve(fd);
            ::close(fd);
            continue;
        }
        std::lock_guard lock(peersLock_);
        open_.push_back(fd);
        peers_.emplace_back([this, fd] {
            Serve(fd);
            std::lock_guard done(peersLock_);
            std::erase(open_, fd);
            ::close(fd);
        });
    }
}

void TLoopbackHttpServer::SetPage(const std::string& path, std::string body, std::string contentType)
{
    auto page = std::make_shared<const std::string>(std::move(body));
    std::lock_guard lock(mutex_);
    pages_[path] = std::move(page);
    types_[path] = std::move(contentType);
}

void TLoopbackHttpServer::RemovePage(const std::string& path)
{
    std::lock_guard lock(mutex_);
    pages_.erase(path);
}

std::string TLoopbackHttpServer::Url(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(Port()) + path;
}

void TLoopbackHttpServer::Serve(int fd)
{
    std::string request;
    char buf[8192];
    while (request.find("\r\n\r\n") == std::string::npos) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            return;
        request.append(buf, static_cast<std::size_t>(n));
    }
    ++requests_;
    const auto sp1 = request.find(' ');
    const auto sp2 = request.find(' ', sp1 + 1);
    const std::string path = request.substr(sp1 + 1, sp2 - sp1 - 1);
    std::shared_ptr<const std::string> page;
    std::string type;
    {
        std::lock_guard lock(mutex_);
        if (auto it = pages_.find(path); it != pages_.end()) {
            page = it->second;
            type = types_[path];
        }
    }
    if (!page) {
        SendAll(fd, "HTTP/1.0 404 Not Found\r\nContent-Length: 9\r\n\r\nNot Found");
        return;
    }
    const std::string head = "HTTP/1.0 200 OK\r\nContent-Type: " + type + "\r\nContent-Length: " +
                             std::to_string(page->size()) + "\r\n\r\n";
    if (SendAll(fd, head))
        SendAll(fd, *page);
}

std::vector<std::string> TSmtpSink::Received() const
{
    std::lock_guard lock(mutex_);
    return received_;
}

void TSmtpSink::Refuse(const std::string& address)
{
    std::lock_guard lock(mutex_);
    refused_.push_back(address);
}

void TSmtpSink::RefuseData(const std::string& text)
{
    std::lock_guard lock(mutex_);
    refusedData_.push_back(text);
}

void TSmtpSink::Serve(int fd)
{
    TLineReader in(fd);
    if (!SendAll(fd, "220 sink ready\r\n"))
        return;
    std::string line;
    while (in.Line(line)) {
        const std::string verb = line.substr(0, 4);
        if (verb == "EHLO" || verb == "ehlo") {
            in.Reply += pipelining_ ? "250-sink\r\n250-PIPELINING\r\n250 8BITMIME\r\n" : "250-sink\r\n250 8BITMIME\r\n";
        } else if (verb == "DATA") {
            in.Reply += "354 go ahead\r\n";
            std::string data;
            bool refuse = false;
            while (in.Line(line) && line != ".\r\n") {
                if (keep_)
                    data += line;
                std::lock_guard lock(mutex_);
                for (const auto& r : refusedData_)
                    refuse = refuse || line.find(r) != std::string::npos;
            }
            if (refuse) {
                SendAll(fd, "554 5.6.0 Message refused\r\n");
                continue;
            }
            ++messages_;
            if (keep_) {
                std::lock_guard lock(mutex_);
                received_.push_back(std::move(data));
            }
            in.Reply += "250 queued\r\n";
        } else if (verb == "RCPT") {
            bool refuse = false;
            {
                std::lock_guard lock(mutex_);
                for (const auto& r : refused_)
                    if (line.find("<" + r + ">") != std::string::npos)
                        refuse = true;
            }
            in.Reply += refuse ? "550 5.7.1 Relaying denied\r\n" : "250 ok\r\n";
        } else if (verb == "QUIT") {
            in.Reply += "221 bye\r\n";
            in.Flush();
            return;
        } else {
            in.Reply += "250 ok\r\n";
        }
    }
}
