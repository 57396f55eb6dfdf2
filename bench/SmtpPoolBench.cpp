// Forty 100 KB messages to a loopback sink whose every answer comes a round
// trip late: one session per message as a single send does it, against the
// pass's pool of three kept, pipelined sessions.

#include "bench/SmtpSink.h"
#include "transport/NetSMTP.h"
#include "transport/NetSMTPPool.h"

#include <benchmark/benchmark.h>
#include <chrono>
#include <poll.h>
#include <string>
#include <thread>

namespace {

constexpr int Messages = 40;

// The sink announcing PIPELINING, each connection on a thread of its own.
// Whatever it has to say waits one round trip once the client has nothing
// more on its way, so a pipelined group costs one wait and a command spoken
// alone costs one each.
class TSlowSink final : public TSMTPSinkBase {
public:
    explicit TSlowSink(int roundTripMs) : TSMTPSinkBase(true), roundTripMs_(roundTripMs) { StartServing(); }
    ~TSlowSink() override { StopServing(); }

private:
    std::string EhloReply() const override { return "250-sink\r\n250-PIPELINING\r\n250 8BITMIME\r\n"; }
    void Flush(int s, std::string& replies) override
    {
        if (replies.empty())
            return;
        pollfd p{s, POLLIN, 0};
        if (::poll(&p, 1, 0) > 0)
            return; // more is on its way: answer it all at once
        std::this_thread::sleep_for(std::chrono::milliseconds(roundTripMs_));
        TSMTPSinkBase::Flush(s, replies);
    }

    int roundTripMs_;
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
