// Sending one HTML message with a 5 MiB page to a loopback SMTP sink, from
// Open to the reply to the final dot.

#include "bench/SmtpSink.h"
#include "transport/NetSMTP.h"

#include <benchmark/benchmark.h>
#include <string>

namespace {

void BM_SMTPSendHtml(benchmark::State& state)
{
    TSMTPSink sink;
    const TLines page = TableRowsPage(5u << 20);
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
