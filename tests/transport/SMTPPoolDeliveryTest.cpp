// End to end: the pool delivers to a real SMTP server (aiosmtpd) on
// loopback, several messages on one kept, pipelined session, and what
// arrives is byte for byte what the blocking session delivers; Python's
// email package reads it back.

#include "tests/support/MailServer.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TempDataFolder.h"
#include "tests/support/TestCertificates.h"
#include "transport/NetSMTPPool.h"

#include "message/NetMessagePart.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <regex>

namespace {

const std::string MailAgent = "Vendrel 1.0.0";

TLines Page(int n)
{
    TLines lines{"<html><body><h1>Seite " + std::to_string(n) + " \xE9t\xE9</h1>"};
    for (int i = 0; i < 2000; ++i) {
        lines.push_back(".leading dot " + std::to_string(i));
        lines.push_back(".");
        lines.push_back("a=b == =3D trailing   ");
        lines.push_back(std::string(static_cast<std::size_t>(i % 200), 'w') + " \xFC.");
    }
    lines.push_back("</body></html>");
    return lines;
}

// Three kinds of message: a page with its alternative, a plain text, and
// one for two recipients and a copy.
void Fill(TNetMessage& message, int n)
{
    message.Clear();
    message.From.Address = "watcher@example.org";
    message.From.Name = "Vendrel";
    message.Sender = message.From;
    message.Recipients.Add("one@example.org");
    message.Subject = "Vendrel Delivery: Seite " + std::to_string(n);
    if (n % 3 == 1) {
        message.ContentType = "Multipart/Alternative";
        TNetText& plain = message.MessageParts.AddTextPart();
        plain.SetContentType("text/plain");
        plain.SetContentTransfer("7bit");
        plain.Body = {"\"Seite\" sent from Vendrel", "."};
        TNetText& html = message.MessageParts.AddTextPart();
        html.SetContentType("text/html");
        html.SetContentTransfer("quoted-printable");
        html.Body = Page(n);
    } else {
        message.ContentType = "text/plain";
        message.ContentTransferEncoding = "7bit";
        message.Body = {"This is message " + std::to_string(n), ".", "..", "end"};
    }
    if (n % 3 == 0) {
        message.Recipients.Add("two@example.org");
        message.CCList.Add("copy@example.org");
    }
}

std::string Connection(const std::string& envelope)
{
    std::smatch match;
    static const std::regex pattern("\"connection\": (\\d+)");
    return std::regex_search(envelope, match, pattern) ? match[1].str() : std::string();
}

class SMTPPoolDeliveryTest : public ::testing::Test {
protected:
    void StartServer(std::vector<std::string> options)
    {
        server_ = std::make_unique<TMailServer>(folder_.Root() + "mail", options);
        clock_.SetLocal(2026, 12, 9, 17, 30, 0);
        writer_.Clock = &clock_;
    }

    TNetSMTPServer Settings() const
    {
        TNetSMTPServer settings;
        settings.Host = "127.0.0.1";
        settings.Port = server_->Port();
        settings.Security = ssNone;
        settings.AuthenticationType = atLogin;
        settings.Username = "vendrel";
        settings.Password = "secret";
        settings.TimeoutMs = 30000;
        return settings;
    }

    void Submit(TNetSMTPPool& pool, int n)
    {
        TNetMessage message;
        Fill(message, n);
        pool.Submit(SMTPSubmissionOf(message, writer_, MailAgent), [this, n](const TNetSMTPOutcome& outcome) {
            EXPECT_TRUE(outcome.Sent) << "message " << n << ": " << outcome.ErrorText();
            ++delivered_;
        });
    }

    std::string Stored(int n) const { return ReadFile(server_->WaitForMessage(n)); }
    std::string Envelope(int n) const
    {
        server_->WaitForMessage(n);
        char name[16];
        std::snprintf(name, sizeof name, "%04d.json", n);
        return ReadFile(folder_.Root() + "mail/" + name);
    }

    TTempDataFolder folder_{TDesktopHome::Untouched};
    std::unique_ptr<TMailServer> server_;
    TManualClock clock_;
    TNetMessageWriter writer_;
    int delivered_ = 0;
};

}

TEST_F(SMTPPoolDeliveryTest, KeptPipelinedSessionDeliversTheBlockingSessionsBytes)
{
    StartServer({"--pipelining"});
    // Today's way: a session of its own for each message.
    for (int n = 1; n <= 3; ++n) {
        TNetSMTP smtp;
        smtp.Host = "127.0.0.1";
        smtp.Port = server_->Port();
        smtp.Security = ssNone;
        smtp.ReadTimeout = 30000;
        smtp.Username = "vendrel";
        smtp.Password = "secret";
        smtp.SetAuthenticationType(atLogin);
        smtp.MailAgent = MailAgent;
        smtp.MessageWriter.Clock = &clock_;
        TNetMessage message;
        Fill(message, n);
        smtp.Open();
        smtp.Transmit(message);
        smtp.Close();
    }
    TNetSMTPServer settings = Settings();
    settings.MaxSessions = 1;
    TNetSMTPPool pool(settings);
    for (int n = 1; n <= 3; ++n)
        Submit(pool, n);
    pool.Finish();
    pool.Run();
    EXPECT_EQ(delivered_, 3);
    EXPECT_EQ(pool.Connections(), 1);

    for (int n = 1; n <= 3; ++n) {
        EXPECT_EQ(Stored(n + 3), Stored(n)) << "message " << n;
        EXPECT_NE(Envelope(n + 3).find("\"authenticated\": true"), std::string::npos) << Envelope(n + 3);
        EXPECT_EQ(Connection(Envelope(n + 3)), Connection(Envelope(4)));
    }
    EXPECT_NE(Connection(Envelope(4)), "");
    EXPECT_NE(Connection(Envelope(4)), Connection(Envelope(3)));
    EXPECT_NE(Envelope(6).find("\"to\": [\"one@example.org\", \"two@example.org\", \"copy@example.org\"]"),
              std::string::npos)
        << Envelope(6);

    const std::string parts = folder_.Root() + "parts";
    const std::string command = std::string(VENDREL_PYTHON) + " " + VENDREL_FIXTURES_DIR + "/mail_parts.py "
                                + server_->WaitForMessage(4) + " " + parts;
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(ReadFile(parts + "/2.text_html"), JoinLines(Page(1)));
    EXPECT_EQ(ReadFile(parts + "/1.text_plain"), JoinLines({"\"Seite\" sent from Vendrel", "."}));
}

TEST_F(SMTPPoolDeliveryTest, LaterSessionsOverStartTLSResumeTheFirstOnesTLSSession)
{
    const TTestCertificates& certificates = TestCertificates();
    StartServer({"--pipelining", "--require-starttls", "--auth-require-tls", "--cert", certificates.CertFile, "--key",
                 certificates.KeyFile});
    TNetSMTPServer settings = Settings();
    settings.Security = ssAuto;
    settings.CAFile = certificates.CAFile;
    TNetSMTPPool pool(settings);
    Submit(pool, 2);
    while (delivered_ < 1)
        pool.Pump(1000);
    // The first session is kept: one of these goes on it, the other opens a
    // second session, whose handshake resumes the first one's.
    Submit(pool, 5);
    Submit(pool, 8);
    pool.Finish();
    pool.Run();
    EXPECT_EQ(delivered_, 3);
    EXPECT_EQ(pool.Connections(), 2);
    EXPECT_EQ(pool.ResumedHandshakes(), 1);
    for (int n = 1; n <= 3; ++n) {
        EXPECT_NE(Envelope(n).find("\"tls\": true"), std::string::npos) << Envelope(n);
        EXPECT_NE(Envelope(n).find("\"authenticated\": true"), std::string::npos) << Envelope(n);
    }
    EXPECT_EQ(Connection(Envelope(1)), "1");
}

TEST_F(SMTPPoolDeliveryTest, ImplicitTLSWithPlainLoginKeepsItsSession)
{
    const TTestCertificates& certificates = TestCertificates();
    StartServer({"--pipelining", "--implicit-tls", "--exclude-mechanism", "LOGIN", "--cert", certificates.CertFile,
                 "--key", certificates.KeyFile});
    TNetSMTPServer settings = Settings();
    settings.Security = ssImplicitTLS;
    settings.CAFile = certificates.CAFile;
    settings.MaxSessions = 1;
    TNetSMTPPool pool(settings);
    for (int n = 1; n <= 3; ++n)
        Submit(pool, n);
    pool.Finish();
    pool.Run();
    EXPECT_EQ(delivered_, 3);
    EXPECT_EQ(pool.Connections(), 1);
    for (int n = 1; n <= 3; ++n) {
        EXPECT_NE(Envelope(n).find("\"tls\": true"), std::string::npos) << Envelope(n);
        EXPECT_NE(Envelope(n).find("\"mechanism\": \"PLAIN\""), std::string::npos) << Envelope(n);
    }
}
