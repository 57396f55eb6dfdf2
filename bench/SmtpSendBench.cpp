// Sending one HTML message with a 5 MiB page to a loopback SMTP sink, from
// Open to the reply to the final dot.

#include "transport/NetSMTP.h"

#include <arpa/inet.h>
#include <atomic>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// Answers the dialogue and throws the message data away, one connection
// after another, on its own thread.
class TSMTPSink {
public:
    TSMTPSink()
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        ::listen(listener_, 4);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&sa), &len);
        port_ = ntohs(sa.sin_port);
        thread_ = std::thread([this] { Run(); });
    }

    ~TSMTPSink()
    {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }

    int Port() const { return port_; }

private:
    void Run()
    {
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            const int s = ::accept(listener_, nullptr, nullptr);
            if (s >= 0) {
                Serve(s);
                ::close(s);
            }
        }
    }

    static void Send(int s, std::string_view text) { ::send(s, text.data(), text.size(), MSG_NOSIGNAL); }

    void Serve(int s)
    {
        Send(s, "220 sink ESMTP\r\n");
        std::string pending;
        bool inData = false;
        std::vector<char> buffer(1 << 16);
        for (;;) {
            if (inData) {
                const auto end = pending.find("\r\n.\r\n");
                if (end == std::string::npos) {
                    // Keep only what could still be the start of the end marker.
                    if (pending.size() > 4)
                        pending.erase(0, pending.size() - 4);
                } else {
                    pending.erase(0, end + 5);
                    inData = false;
                    Send(s, "250 queued\r\n");
                    continue;
                }
            } else {
                const auto lf = pending.find('\n');
                if (lf != std::string::npos) {
                    const std::string line = pending.substr(0, lf);
                    pending.erase(0, lf + 1);
                    if (line.starts_with("QUIT"))
                        return;
                    if (line.starts_with("EHLO"))
                        Send(s, "250-sink\r\n250 8BITMIME\r\n");
                    else if (line.starts_with("DATA")) {
                        Send(s, "354 go\r\n");
                        inData = true;
                        // The data begins with a line, so the end marker's CR LF can be the first bytes.
                        pending.insert(0, "\r\n");
                    } else
                        Send(s, "250 ok\r\n");
                    continue;
                }
            }
            const ssize_t n = ::recv(s, buffer.data(), buffer.size(), 0);
            if (n <= 0)
                return;
            pending.append(buffer.data(), static_cast<std::size_t>(n));
        }
    }

    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TLines Page(std::size_t bytes)
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

void BM_SMTPSendHtml(benchmark::State& state)
{
    TSMTPSink sink;
    const TLines page = Page(5u << 20);
    TNetMessage message;
    message.From.Address = "watcher@example.org";
    message.Recipients.Add("one@example.org");
    message.Subject = "Page changed";
    AddPageParts(message, {"The page has changed."}, page);

    TNetSMTP smtp;
    smtp.Host = "127.0.0.1";
    smtp.Port = sink.Port();
    smtp.HeloName = "bench";
    smtp.RecvBufferSize = 8192;
    smtp.MailAgent = "Vendrel 1.0.0";
    smtp.MessageWriter.LocaleOverride = "C";
    // Argument 0: the transport's default (Nagle on); 1: as the program sends.
    smtp.UseNagle = state.range(0) == 0;
    for (auto _ : state) {
        smtp.Open(-1);
        smtp.Transmit(message);
        state.PauseTiming();
        smtp.Close();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(JoinedLength(page)));
}

}

BENCHMARK(BM_SMTPSendHtml)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
