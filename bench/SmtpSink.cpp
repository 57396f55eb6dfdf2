#include "bench/SmtpSink.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

TSMTPSinkBase::TSMTPSinkBase(bool threadPerConnection) : threadPerConnection_(threadPerConnection)
{
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    ::bind(listener_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    ::listen(listener_, 64);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
}

TSMTPSinkBase::~TSMTPSinkBase()
{
    StopServing();
    ::close(listener_);
}

void TSMTPSinkBase::StartServing()
{
    thread_ = std::thread([this] { Run(); });
}

void TSMTPSinkBase::StopServing()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    for (auto& peer : peers_)
        peer.join();
    peers_.clear();
}

void TSMTPSinkBase::Run()
{
    while (!stop_) {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        const int s = ::accept(listener_, nullptr, nullptr);
        if (s < 0)
            continue;
        auto serve = [this, s] {
            if (Begin(s))
                Serve(s);
            End(s);
            ::close(s);
        };
        if (threadPerConnection_)
            peers_.emplace_back(serve);
        else
            serve();
    }
}

void TSMTPSinkBase::Flush(int s, std::string& replies)
{
    if (!replies.empty())
        Send(s, replies);
    replies.clear();
}

void TSMTPSinkBase::Send(int s, std::string_view text)
{
    ::send(s, text.data(), text.size(), MSG_NOSIGNAL);
}

int TSMTPSinkBase::Receive(int s, char* buffer, int length)
{
    return static_cast<int>(::recv(s, buffer, static_cast<std::size_t>(length), 0));
}

void TSMTPSinkBase::Serve(int s)
{
    std::string replies = "220 sink ESMTP\r\n";
    std::string pending;
    bool inData = false;
    std::vector<char> buffer(1 << 16);
    for (;;) {
        if (inData) {
            const auto end = pending.find("\r\n.\r\n");
            if (end != std::string::npos) {
                pending.erase(0, end + 5);
                inData = false;
                replies += "250 queued\r\n";
                continue;
            }
            // Keep only what could still be the start of the end marker.
            if (pending.size() > 4)
                pending.erase(0, pending.size() - 4);
        } else if (const auto lf = pending.find('\n'); lf != std::string::npos) {
            const std::string line = pending.substr(0, lf);
            pending.erase(0, lf + 1);
            if (line.starts_with("QUIT")) {
                Flush(s, replies);
                return;
            }
            if (line.starts_with("EHLO")) {
                replies += EhloReply();
            } else if (line.starts_with("STARTTLS")) {
                replies += "220 go ahead\r\n";
                Flush(s, replies);
                if (!StartTLS(s))
                    return;
            } else if (line.starts_with("DATA")) {
                replies += "354 go\r\n";
                inData = true;
                // The data begins with a line, so the end marker's CR LF can be the first bytes.
                pending.insert(0, "\r\n");
            } else {
                replies += "250 ok\r\n";
            }
            continue;
        }
        Flush(s, replies);
        const int n = Receive(s, buffer.data(), static_cast<int>(buffer.size()));
        if (n <= 0)
            return;
        pending.append(buffer.data(), static_cast<std::size_t>(n));
    }
}

TLines TableRowsPage(std::size_t bytes)
{
    TLines lines;
    std::size_t size = 0;
    for (int i = 0; size < bytes; ++i) {
        std::string line = "<tr><td class=\"c" + std::to_string(i % 13) + "\"><a href=\"/item?id=" + std::to_string(i)
            + "\">Entr\xE9" "e " + std::to_string(i) + "</a></td><td>" + std::string(static_cast<std::size_t>(i % 40), 'x')
            + "</td></tr>";
        if (i % 50 == 0)
            line = "." + line + "   ";
        size += line.size() + 2;
        lines.push_back(std::move(line));
    }
    return lines;
}
