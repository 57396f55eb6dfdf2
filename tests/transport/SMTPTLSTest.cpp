// The session over TLS against a real SMTP server (aiosmtpd) on loopback,
// with certificates the test makes and trusts through CAFile, and against
// scripted servers for what a real one will not do.

#include "tests/support/ChildProcess.h"
#include "tests/support/MailServer.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempDataFolder.h"
#include "tests/support/TestCertificates.h"
#include "transport/NetErrors.h"
#include "transport/NetIOHandlerTLS.h"
#include "transport/NetSMTP.h"
#include "transport/NetSMTPDialogue.h"

#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>

namespace {

void FillSmall(TNetMessage& message)
{
    message.Clear();
    message.From.Address = "watcher@example.org";
    message.Recipients.Add("me@example.org");
    message.Subject = "Over TLS";
    message.Body = {"hello", ".", "over TLS"};
    message.UseNowForDate = false;
    message.Date = std::chrono::system_clock::time_point(std::chrono::seconds(1700000000));
}

// A page large enough to need many TLS records, with the lines that trip
// the dot doubling and quoted-printable.
void FillPage(TNetMessage& message)
{
    FillSmall(message);
    message.Body.clear();
    message.ContentType = "Multipart/Alternative";
    TNetText& plain = message.MessageParts.AddTextPart();
    plain.SetContentType("text/plain");
    plain.SetContentTransfer("7bit");
    plain.Body = {"The page has changed.", "."};
    TNetText& html = message.MessageParts.AddTextPart();
    html.SetContentType("text/html");
    html.SetContentTransfer("quoted-printable");
    for (int i = 0; i < 6000; ++i) {
        html.Body.push_back(".dot line " + std::to_string(i));
        html.Body.push_back(std::string(static_cast<std::size_t>(i % 300), 'x') + " = \xE9 ");
    }
}

class SMTPTLSTest : public ::testing::Test {
protected:
    void StartServer(std::vector<std::string> options, bool otherCertificate = false)
    {
        const TTestCertificates& certificates = TestCertificates();
        options.insert(options.end(),
                       {"--cert", otherCertificate ? certificates.OtherCertFile : certificates.CertFile,
                        "--key", otherCertificate ? certificates.OtherKeyFile : certificates.KeyFile});
        server_ = std::make_unique<TMailServer>(folder_.Root() + "mail", options);
        smtp_.Host = "127.0.0.1";
        smtp_.Port = server_->Port();
        smtp_.ReadTimeout = 30000;
        smtp_.ConnectTimeout = 30000;
        smtp_.Username = "vendrel";
        smtp_.Password = "secret";
        smtp_.SetAuthenticationType(atLogin);
        smtp_.CAFile = certificates.CAFile;
    }

    void Deliver(void (*fill)(TNetMessage&))
    {
        TNetMessage message;
        fill(message);
        smtp_.Open();
        smtp_.Transmit(message);
        sessionUsedTLS_ = smtp_.TLSActive();
        smtp_.Close();
    }

    std::string Envelope(int n)
    {
        server_->WaitForMessage(n);
        char name[16];
        std::snprintf(name, sizeof name, "/%04d.json", n);
        return ReadFile(server_->Folder() + name);
    }

    // Open must fail with this message start, and nothing may be delivered.
    void ExpectRefused(const std::string& messageStart)
    {
        try {
            smtp_.Open();
            TNetMessage message;
            FillSmall(message);
            smtp_.Transmit(message);
            FAIL() << "delivered";
        } catch (const ENetException& e) {
            EXPECT_EQ(std::string(e.what()).rfind(messageStart, 0), 0u) << e.what();
        }
        EXPECT_FALSE(smtp_.IsConnected());
        EXPECT_TRUE(server_->Messages().empty());
    }

    TTempDataFolder folder_;
    std::unique_ptr<TMailServer> server_;
    TNetSMTP smtp_;
    bool sessionUsedTLS_ = false;
};

} // namespace

TEST(SMTPSecurity, ImplicitTLSOnPort465UnderAutoAndOnEveryPortWhenChosen)
{
    EXPECT_TRUE(UsesImplicitTLS(ssAuto, 465));
    EXPECT_FALSE(UsesImplicitTLS(ssAuto, 587));
    EXPECT_FALSE(UsesImplicitTLS(ssAuto, 25));
    EXPECT_TRUE(UsesImplicitTLS(ssImplicitTLS, 25));
    EXPECT_FALSE(UsesImplicitTLS(ssStartTLS, 465));
    EXPECT_FALSE(UsesImplicitTLS(ssNone, 465));
}

TEST_F(SMTPTLSTest, StartTLSRequiredByTheServerIsUsedAndTheLoginGoesOverIt)
{
    // The server shows AUTH only after STARTTLS, so the login proves that
    // the mechanisms were read again from the second EHLO.
    StartServer({"--require-starttls", "--auth-require-tls"});
    for (TSMTPSecurity security : {ssStartTLS, ssAuto}) {
        smtp_.Security = security;
        Deliver(FillSmall);
        EXPECT_TRUE(sessionUsedTLS_);
    }
    for (int n : {1, 2}) {
        const std::string envelope = Envelope(n);
        EXPECT_NE(envelope.find("\"tls\": true"), std::string::npos) << envelope;
        EXPECT_NE(envelope.find("\"authenticated\": true"), std::string::npos) << envelope;
        EXPECT_NE(envelope.find("\"mechanism\": \"LOGIN\""), std::string::npos) << envelope;
    }
    // The server undoes the dot doubling: a lone "." line arrives intact.
    EXPECT_NE(server_->Messages()[0].find("\r\nhello\r\n.\r\nover TLS\r\n"), std::string::npos);
}

TEST_F(SMTPTLSTest, ImplicitTLSFromTheFirstByte)
{
    StartServer({"--implicit-tls"});
    smtp_.Security = ssImplicitTLS;
    smtp_.Open();
    EXPECT_TRUE(smtp_.TLSActive());
    EXPECT_FALSE(smtp_.TLSProtocol().empty());
    TNetMessage message;
    FillSmall(message);
    smtp_.Transmit(message);
    smtp_.Close();
    const std::string envelope = Envelope(1);
    EXPECT_NE(envelope.find("\"tls\": true"), std::string::npos) << envelope;
    EXPECT_NE(envelope.find("\"authenticated\": true"), std::string::npos) << envelope;
}

TEST_F(SMTPTLSTest, NoneKeepsThePlainDialogueWhenTheServerOffersStartTLS)
{
    StartServer({"--starttls"});
    smtp_.Security = ssNone;
    Deliver(FillSmall);
    EXPECT_FALSE(sessionUsedTLS_);
    const std::string envelope = Envelope(1);
    EXPECT_NE(envelope.find("\"tls\": false"), std::string::npos) << envelope;
    EXPECT_NE(envelope.find("\"authenticated\": true"), std::string::npos) << envelope;
}

TEST_F(SMTPTLSTest, AutoUsesStartTLSWheneverOffered)
{
    StartServer({"--starttls"});
    smtp_.Security = ssAuto;
    Deliver(FillSmall);
    EXPECT_TRUE(sessionUsedTLS_);
    const std::string envelope = Envelope(1);
    EXPECT_NE(envelope.find("\"tls\": true"), std::string::npos) << envelope;
}

TEST_F(SMTPTLSTest, AutoWithoutStartTLSKeepsThePasswordAndNoneLogsInPlain)
{
    // A server that offers AUTH but no STARTTLS, as one looks whose
    // STARTTLS line was stripped on the way.
    StartServer({});
    smtp_.Security = ssAuto;
    ExpectRefused(std::string(SMTPNoTLSLoginText));

    // "None" is the user's own choice of a login in the clear.
    smtp_.Security = ssNone;
    Deliver(FillSmall);
    const std::string plain = Envelope(1);
    EXPECT_NE(plain.find("\"tls\": false"), std::string::npos) << plain;
    EXPECT_NE(plain.find("\"authenticated\": true"), std::string::npos) << plain;

    // A server that offers no login at all is not asked for one, so there
    // is no password to keep: under Auto the mail goes plain.
    server_.reset();
    std::filesystem::remove_all(folder_.Root() + "mail");
    StartServer({"--no-auth"});
    smtp_.Security = ssAuto;
    Deliver(FillSmall);
    EXPECT_FALSE(sessionUsedTLS_);
    const std::string unauthenticated = Envelope(1);
    EXPECT_NE(unauthenticated.find("\"tls\": false"), std::string::npos) << unauthenticated;
    EXPECT_NE(unauthenticated.find("\"authenticated\": false"), std::string::npos) << unauthenticated;
}

TEST_F(SMTPTLSTest, StartTLSRequiredButNotOfferedSendsNothing)
{
    StartServer({});
    smtp_.Security = ssStartTLS;
    ExpectRefused("The mail server does not offer STARTTLS");
}

TEST_F(SMTPTLSTest, UntrustedCertificatesAreRefusedWithTheReason)
{
    StartServer({"--starttls"});
    smtp_.Security = ssAuto;
    smtp_.CAFile.clear();
    ExpectRefused("TLS certificate verification failed: unable to get local issuer certificate");

    // Trusted, but made out for another host.
    server_.reset();
    StartServer({"--starttls"}, true);
    ExpectRefused("TLS certificate verification failed: IP address mismatch");
    smtp_.Host = "localhost";
    ExpectRefused("TLS certificate verification failed: hostname mismatch");

    smtp_.CAFile = folder_.Root() + "missing.pem";
    ExpectRefused("TLS certificate verification failed: cannot read the trusted CA file");
}

TEST_F(SMTPTLSTest, UntrustedImplicitTLSIsRefusedBeforeAnythingIsSent)
{
    StartServer({"--implicit-tls"});
    smtp_.Security = ssImplicitTLS;
    smtp_.CAFile.clear();
    ExpectRefused("TLS certificate verification failed: ");
}

TEST_F(SMTPTLSTest, PlainLoginWhenLoginIsNotOffered)
{
    StartServer({"--starttls", "--exclude-mechanism", "LOGIN"});
    Deliver(FillSmall);
    const std::string envelope = Envelope(1);
    EXPECT_NE(envelope.find("\"mechanism\": \"PLAIN\""), std::string::npos) << envelope;

    smtp_.Password = "wrong";
    smtp_.Open();
    TNetMessage message;
    FillSmall(message);
    try {
        smtp_.Transmit(message);
        FAIL();
    } catch (const ENetProtocolReplyError& e) {
        EXPECT_EQ(e.ReplyErrorCode(), 535);
    }
    smtp_.Close();
}

TEST_F(SMTPTLSTest, ALargePageArrivesAsItDoesInThePlain)
{
    // Held sends are gathered into records; what arrives must be the very
    // bytes the plain dialogue delivers.
    StartServer({"--starttls"});
    Deliver(FillPage);
    EXPECT_TRUE(sessionUsedTLS_);
    smtp_.Security = ssNone;
    Deliver(FillPage);
    EXPECT_FALSE(sessionUsedTLS_);
    Envelope(2);
    const auto messages = server_->Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_GT(messages[0].size(), 1000000u);
    EXPECT_EQ(messages[0], messages[1]);
}

TEST_F(SMTPTLSTest, ImplicitTLSAgainstAPlainServerFailsInsteadOfHanging)
{
    StartServer({});
    smtp_.Security = ssImplicitTLS;
    smtp_.ReadTimeout = 5000;
    const auto start = std::chrono::steady_clock::now();
    ExpectRefused("TLS handshake failed: ");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(SMTPTLSScriptedTest, SilentServerAfterStartTLSTimesOut)
{
    TScriptedServer server([](TScriptedPeer& peer) {
        peer.Send("220 scripted\r\n");
        peer.ReadLine();
        peer.Send("250-scripted\r\n250 STARTTLS\r\n");
        peer.ReadLine();
        peer.Send("220 go ahead\r\n");
        peer.WaitForClose(10000);
    });
    TNetSMTP smtp;
    smtp.Host = "127.0.0.1";
    smtp.Port = server.Port();
    smtp.ReadTimeout = 300;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(smtp.Open(), ENetReadTimeout);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    const auto lines = server.Finish();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1], "STARTTLS");
}

TEST(SMTPTLSScriptedTest, RefusedStartTLSEndsTheSessionWithTheServersReply)
{
    TScriptedServer server([](TScriptedPeer& peer) {
        peer.Send("220 scripted\r\n");
        peer.ReadLine();
        peer.Send("250-scripted\r\n250-STARTTLS\r\n250 AUTH LOGIN\r\n");
        peer.ReadLine();
        peer.Send("454 4.7.0 TLS not available due to temporary reason\r\n");
        peer.ReadLine();
        peer.WaitForClose(10000);
    });
    TNetSMTP smtp;
    smtp.Host = "127.0.0.1";
    smtp.Port = server.Port();
    smtp.ReadTimeout = 5000;
    try {
        smtp.Open();
        FAIL();
    } catch (const ENetProtocolReplyError& e) {
        EXPECT_EQ(e.ReplyErrorCode(), 454);
    }
    const auto lines = server.Finish();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], "STARTTLS");
    EXPECT_EQ(lines[2], "QUIT");
}

TEST(SMTPTLSScriptedTest, TheNameOfTheStartTLSExtensionIsReadFromItsOwnLine)
{
    // "STARTTLS" as a word inside another extension's line, or in the
    // greeting line of the reply, announces nothing.
    TScriptedServer server([](TScriptedPeer& peer) {
        peer.Send("220 scripted\r\n");
        peer.ReadLine();
        peer.Send("250-STARTTLS welcome\r\n250-X-NOTE STARTTLS\r\n250 HELP\r\n");
        peer.ReadLine();
        peer.Send("250 OK\r\n");
        peer.ReadLine();
        peer.WaitForClose(10000);
    });
    TNetSMTP smtp;
    smtp.Host = "127.0.0.1";
    smtp.Port = server.Port();
    smtp.ReadTimeout = 5000;
    smtp.Open();
    EXPECT_FALSE(smtp.TLSActive());
    smtp.ExecuteCommand("NOOP", 250);
    smtp.Close();
    const auto lines = server.Finish();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], "NOOP");
}

namespace {

// The misbehaving TLS server of tls_stall_server.py, trusted through CAFile.
struct TStallServer {
    explicit TStallServer(const std::string& mode)
        : process(PythonFixture("tls_stall_server.py", {"--cert", TestCertificates().CertFile, "--key",
                                                        TestCertificates().KeyFile, "--mode", mode}))
    {
        smtp.Host = "127.0.0.1";
        smtp.Port = std::stoi(process.FirstLine());
        smtp.Security = ssImplicitTLS;
        smtp.CAFile = TestCertificates().CAFile;
    }
    TChildProcess process;
    TNetSMTP smtp;
};

} // namespace

TEST(SMTPTLSTimeOuts, ASilentServerAfterTheHandshakeEndsTheWait)
{
    TStallServer server("silent");
    server.smtp.ReadTimeout = 500;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(server.smtp.Open(), ENetReadTimeout);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_FALSE(server.smtp.IsConnected());
}

TEST(SMTPTLSTimeOuts, AServerThatStopsReadingEndsTheSend)
{
    TStallServer server("stall");
    server.smtp.ReadTimeout = 5000;
    server.smtp.WriteTimeout = 500;
    TNetMessage message;
    FillPage(message);
    // Several MiB: far more than the socket buffers hold.
    TNetText& html = static_cast<TNetText&>(message.MessageParts[1]);
    for (int copy = 0; copy < 3; ++copy)
        for (std::size_t i = 0, n = html.Body.size(); i < n; ++i)
            html.Body.push_back(html.Body[i]);
    server.smtp.Open();
    EXPECT_TRUE(server.smtp.TLSActive());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(server.smtp.Transmit(message), ENetReadTimeout);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    server.smtp.Close();
}
