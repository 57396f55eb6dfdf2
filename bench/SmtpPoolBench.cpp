// Forty 100 KB messages to a loopback sink whose every answer comes a round
// trip late: one session per message as a single send does it, against the
// pass's pool of three kept, pipelined sessions.

#include "transport/NetSMTP.h"
#include "transport/NetSMTPPool.h"

#include <arpa/inet.h>
#include <atomic>
#include <benchmark/benchmark.h>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int Messages = 40;

// Answers the dialogue, announcing PIPELINING, and throws the data away; each
// connection has a thread of its own. Whatever it has to say waits one round
// trip once the client has nothing more on its way, so a pipelined group
// costs one wait and a command spoken alone costs one each.
class TSlowSink {
public:
    explicit TSlowSink(int roundTripMs) : roundTripMs_(roundTripMs)
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
        thread_ = std::thread([this] { Run(); });
    }

    ~TSlowSink()
    {
        stop_ = true;
        thread_.join();
        for (auto& peer : peers_)
            peer.join();
        ::close(listener_);
    }

    int Port() const { return port_; }

private:
    void Run()
    {
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const int s = ::accept(listener_, nullptr, nullptr);
            if (s >= 0)
                peers_.emplace_back([this, s] {
                    Serve(s);
                    ::close(s);
                });
        }
    }

    void Say(int s, std::string& replies)
    {
        if (replies.empty())
            return;
        pollfd p{s, POLLIN, 0};
        if (::poll(&p, 1, 0) > 0)
            return;  // more is on its way: answer it all at once
        std::this_thread::sleep_for(std::chrono::milliseconds(roundTripMs_));
        ::send(s, replies.data(), replies.size(), MSG_NOSIGNAL);
        replies.clear();
    }

    void Serve(int s)
    {
        std::string replies = "220 sink ESMTP\r\n";
        Say(s, replies);
        std::string pending;
        bool inData = false;
        std::vector<char> buffer(1 << 16);
        for (;;) {
            bool progress = false;
            if (inData) {
                const auto end = pending.find("\r\n.\r\n");
                if (end != std::string::npos) {
                    pending.erase(0, end + 5);
                    inData = false;
                    replies += "250 queued\r\n";
                    progress = true;
                } else if (pending.size() > 4) {
                    pending.erase(0, pending.size() - 4);
                }
            } else if (const auto lf = pending.find('\n'); lf != std::string::npos) {
                const std::string line = pending.substr(0, lf);
                pending.erase(0, lf + 1);
                progress = true;
                if (line.starts_with("QUIT"))
                    return;
                if (line.starts_with("EHLO")) {
                    replies += "250-sink\r\n250-PIPELINING\r\n250 8BITMIME\r\n";
                } else if (line.starts_with("DATA")) {
                    replies += "354 go\r\n";
                    inData = true;
                    pending.insert(0, "\r\n");
                } else {
                    replies += "250 ok\r\n";
                }
            }
            if (progress)
                continue;
            Say(s, replies);
            const ssize_t n = ::recv(s, buffer.data(), buffer.size(), 0);
            if (n <= 0)
                return;
            pending.append(buffer.data(), static_cast<std::size_t>(n));
        }
    }

    int roundTripMs_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::vector<std::thread> peers_;
};

void Fill(TNetMessage& message, int n)
{
    message.From.Address = "watcher@example.org";
    message.Recipients.Add("one@example.org");
    message.Subject = "Vendrel Delivery: page " + std::to_string(n);
    message.ContentType = "text/plain";
    for (int i = 0; i < 1400; ++i)
        message.Body.push_back("<tr><td>" + std::to_string(i) + "</td><td>" + std::string(56, 'x') + "</td></tr>");
}

void BM_OneSessionPerMessage(benchmark::State& state)
{
    TSlowSink sink(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        for (int n = 0; n < Messages; ++n) {
            TNetSMTP smtp;
            smtp.Host = "127.0.0.1";
            smtp.Port = sink.Port();
            smtp.Security = ssNone;
            smtp.UseNagle = false;
            TNetMessage message;
            Fill(message, n);
            smtp.Open();
            smtp.Transmit(message);
            smtp.Close();
        }
    }
}

void BM_PooledSessions(benchmark::State& state)
{
    TSlowSink sink(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        TNetSMTPServer server;
        server.Host = "127.0.0.1";
        server.Port = sink.Port();
        server.Security = ssNone;
        TNetSMTPPool pool(server);
        TNetMessageWriter writer;
        int sent = 0;
        for (int n = 0; n < Messages; ++n) {
            TNetMessage message;
            Fill(message, n);
            pool.Submit(SMTPSubmissionOf(message, writer, {}), [&](const TNetSMTPOutcome& outcome) {
                sent += outcome.Sent ? 1 : 0;
            });
        }
        pool.Finish();
        pool.Run();
        if (sent != Messages)
            state.SkipWithError("a message was not sent");
    }
}

}

BENCHMARK(BM_OneSessionPerMessage)->Arg(0)->Arg(50)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_PooledSessions)->Arg(0)->Arg(50)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
