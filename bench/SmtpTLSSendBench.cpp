// Sending one HTML message with a 5 MiB page to a loopback SMTP sink over
// TLS (STARTTLS and implicit TLS), beside the same send in the plain, from
// Open (handshake included) to the reply to the final dot.

#include "bench/SmtpSink.h"
#include "tests/support/TestCertificates.h"
#include "transport/NetSMTP.h"

#include <openssl/ssl.h>

#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>

namespace {

enum TMode { Plain = 0, StartTLS = 1, ImplicitTLS = 2 };

// The sink over TLS as the mode says: from the first byte, after STARTTLS,
// or not at all.
class TTLSSink final : public TSMTPSinkBase {
public:
    explicit TTLSSink(TMode mode) : mode_(mode)
    {
        const TTestCertificates& certificates = TestCertificates();
        ctx_ = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate_chain_file(ctx_, certificates.CertFile.c_str());
        SSL_CTX_use_PrivateKey_file(ctx_, certificates.KeyFile.c_str(), SSL_FILETYPE_PEM);
        StartServing();
    }
    ~TTLSSink() override
    {
        StopServing();
        SSL_CTX_free(ctx_);
    }

private:
    bool Begin(int s) override
    {
        const int one = 1;
        ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return mode_ != TMode::ImplicitTLS || StartTLS(s);
    }
    void End(int) override
    {
        SSL_free(ssl_);
        ssl_ = nullptr;
    }
    std::string EhloReply() const override
    {
        return mode_ == TMode::StartTLS && !ssl_ ? "250-sink\r\n250-STARTTLS\r\n250 8BITMIME\r\n" : TSMTPSinkBase::EhloReply();
    }
    bool StartTLS(int s) override
    {
        ssl_ = SSL_new(ctx_);
        SSL_set_fd(ssl_, s);
        return SSL_accept(ssl_) == 1;
    }
    void Send(int s, std::string_view text) override
    {
        if (ssl_)
            SSL_write(ssl_, text.data(), static_cast<int>(text.size()));
        else
            TSMTPSinkBase::Send(s, text);
    }
    int Receive(int s, char* buffer, int length) override
    {
        return ssl_ ? SSL_read(ssl_, buffer, length) : TSMTPSinkBase::Receive(s, buffer, length);
    }

    TMode mode_;
    SSL_CTX* ctx_ = nullptr;
    SSL* ssl_ = nullptr;
};

void BM_SMTPSendHtmlOverTLS(benchmark::State& state)
{
    const auto mode = static_cast<TMode>(state.range(0));
    TTLSSink sink(mode);
    const TLines page = TableRowsPage(5u << 20);
    TNetMessage message;
    message.From.Address = "watcher@example.org";
    message.Recipients.Add("one@example.org");
    message.Subject = "Page changed";
    message.ContentType = "Multipart/Alternative";
    TNetText& plain = message.MessageParts.AddTextPart();
    plain.SetContentType("text/plain");
    plain.SetContentTransfer("7bit");
    plain.Body = {"The page has changed."};
    TNetText& html = message.MessageParts.AddTextPart();
    html.SetContentType("text/html");
    html.SetContentTransfer("quoted-printable");
    html.Body = page;

    TNetSMTP smtp;
    smtp.Host = "127.0.0.1";
    smtp.Port = sink.Port();
    smtp.HeloName = "bench";
    smtp.RecvBufferSize = 8192;
    smtp.MailAgent = "Vendrel 1.0.0";
    smtp.MessageWriter.LocaleOverride = "C";
    // As the program sends.
    smtp.UseNagle = false;
    smtp.Security = mode == Plain ? ssNone : mode == StartTLS ? ssStartTLS : ssImplicitTLS;
    smtp.CAFile = TestCertificates().CAFile;
    for (auto _ : state) {
        smtp.Open(-1);
        smtp.Transmit(message);
        state.PauseTiming();
        smtp.Close();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(JoinedLength(page)));
    state.SetLabel(mode == Plain ? "plain" : mode == StartTLS ? "STARTTLS" : "implicit TLS");
}

}

BENCHMARK(BM_SMTPSendHtmlOverTLS)->Arg(Plain)->Arg(StartTLS)->Arg(ImplicitTLS)->Unit(benchmark::kMillisecond)
    ->MinTime(2.0)->UseRealTime();
