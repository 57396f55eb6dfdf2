#include "delivery/MailComposer.h"

#include <gtest/gtest.h>

#include "platform/Utilities.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "platform/Text.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/MailServer.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/RecordingHost.h"
#include "tests/support/TempDataFolder.h"
#include "tests/support/ScriptedServer.h"

namespace {

// A loopback mail server's settings, every other field at its default.
TMailServerSettings ServerAt(const std::string& host, int port, int timeOutSeconds, bool logon,
                             const std::string& username, const std::string& password)
{
    TMailServerSettings server;
    server.Host = host;
    server.Port = port;
    server.TimeOutSeconds = timeOutSeconds;
    server.Logon = logon;
    server.Username = username;
    server.Password = password;
    return server;
}

TEST(MailAddresses, AddressAndNameOfOneAddressText)
{
    struct Case {
        const char* text;
        const char* address;
        const char* name;
    } cases[] = {
        {"Jane Doe <jane@example.com>", "jane@example.com", "Jane Doe"},
        {"\"Jane Doe\" <jane@example.com>", "jane@example.com", "Jane Doe"},
        {"'Jane' <jane@example.com>", "jane@example.com", "Jane"},
        {"jane@example.com", "jane@example.com", ""},
        {"  jane@example.com\t", "jane@example.com", ""},
        {"<jane@example.com>", "jane@example.com", ""},
        {"Jane < jane@example.com >", "jane@example.com", "Jane"},
        {"Jane [jane@example.com]", "jane@example.com", "Jane"},
        {"mailto:jane@example.com", "jane@example.com", ""},
        {"Jane <MailTo:jane@example.com>", "jane@example.com", "Jane"},
        {"jane@example.com <jane@example.com>", "jane@example.com", ""},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ExtractAddress(c.text), c.address) << c.text;
        EXPECT_EQ(ExtractName(c.text), c.name) << c.text;
    }
    EXPECT_EQ(ChooseSender("me@example.com", "a@example.com,b@example.com"), "me@example.com");
    EXPECT_EQ(ChooseSender("", "a@example.com, b@example.com"), "a@example.com");
    EXPECT_EQ(ChooseSender("", "a@example.com"), "a@example.com");
}

// Parses a stored message with Python's email package; the folder of parts.
std::string PartsOf(const std::string& stored, const std::string& folder)
{
    const std::string command =
        std::string(VENDREL_PYTHON) + " " + VENDREL_FIXTURES_DIR + "/mail_parts.py " + stored + " " + folder;
    EXPECT_EQ(std::system(command.c_str()), 0);
    return folder + "/";
}

class ComposeAndSend : public ::testing::Test {
protected:
    void StartServer(const std::vector<std::string>& options = {})
    {
        server_ = std::make_unique<TMailServer>(folder_.Root() + "mail", options);
        mailServer_.Host = "127.0.0.1";
        mailServer_.Port = server_->Port();
        mailServer_.Username = "vendrel";
        mailServer_.Password = "secret";
        mailServer_.Logon = true;
        mailServer_.TimeOutSeconds = 30;
        // These servers speak plain SMTP: a login over it is the user's
        // explicit choice.
        mailServer_.Security = ssNone;
    }

    std::string WaitForMessage(int n) { return server_->WaitForMessage(n); }

    TTempDataFolder folder_{TDesktopHome::Untouched};
    std::unique_ptr<TMailServer> server_;
    TRecordingHost host_;
    TMailServerSettings mailServer_;
    TMailComposer composer_{host_, SystemClock()};
};

TEST_F(ComposeAndSend, APageArrivesAsHtmlWithItsPlainAlternative)
{
    StartServer();
    const std::string page = "<html><head><title>News</title></head>\r\n<body>\r\n"
                             ".a line with a leading dot\r\n<p style=\"x\">caf\xe9 = 100%</p>\r\n"
                             + std::string(300, 'w') + "\r\n</body></html>\r\n";
    const std::string alternative = "\"News\" sent from Vendrel at 08/12/2026 14:00\r\nA notice line.";
    host_.SetCursor(TCursor::Default);
    const std::string recipients = "one@example.org, Two <two@example.org>";
    ASSERT_TRUE(composer_.ComposeAndSend(mailServer_, recipients, "Vendrel Delivery: News", page, alternative, true,
                                         nullptr, ChooseSender("", recipients), false, true, true));
    EXPECT_TRUE(host_.Messages.empty()) << host_.Messages.front();
    EXPECT_TRUE(host_.Boxes.empty());
    EXPECT_EQ(host_.CursorChanges, (std::vector<TCursor>{TCursor::Default, TCursor::HourGlass, TCursor::Default}));

    const std::string stored = WaitForMessage(1);
    const std::string parts = PartsOf(stored, folder_.Root() + "parts");
    EXPECT_EQ(ReadFile(parts + "2.text_html"), page);
    EXPECT_EQ(ReadFile(parts + "1.text_plain"), alternative + "\r\n");
    const TLines headers = SplitLines(ReadFile(parts + "headers.txt"));
    ASSERT_EQ(headers.size(), 4u);
    EXPECT_EQ(headers[0], "From: one@example.org");
    EXPECT_EQ(headers[1], "To: one@example.org, two@example.org");
    EXPECT_EQ(headers[2], "Subject: Vendrel Delivery: News");
    const std::string envelope = ReadFile(folder_.Root() + "mail/0001.json");
    EXPECT_NE(envelope.find("\"from\": \"one@example.org\""), std::string::npos) << envelope;
    EXPECT_NE(envelope.find("\"to\": [\"one@example.org\", \"two@example.org\"]"), std::string::npos) << envelope;
    EXPECT_NE(envelope.find("\"authenticated\": true"), std::string::npos) << envelope;
    const std::string raw = ReadFile(stored);
    EXPECT_NE(raw.find("X-Mailer: Vendrel " + GetProductVersion() + "\r\n"), std::string::npos) << "the program names itself";
    EXPECT_NE(FindText(raw, "multipart/alternative"), std::string::npos);
}

TEST_F(ComposeAndSend, ANulByteIsMailedWithEverythingAfterIt)
{
    StartServer({"--no-auth"});
    mailServer_.Logon = false;
    using namespace std::string_literals;
    const std::string page = "<html><body>\r\n<p>before\0after</p>\r\n\0\0<p>the change</p>\r\n</body></html>\r\n"s;
    ASSERT_TRUE(composer_.ComposeAndSend(mailServer_, "one@example.org", "s", page, "alt", true, nullptr, "me@example.org", false,
                                         false, true));
    const std::string stored = WaitForMessage(1);
    EXPECT_NE(ReadFile(stored).find("before=00after"), std::string::npos);
    EXPECT_EQ(ReadFile(PartsOf(stored, folder_.Root() + "parts") + "2.text_html"), page);
}

TEST_F(ComposeAndSend, APortBeyondSixteenBitsIsRefusedNotWrapped)
{
    StartServer({"--no-auth"});
    mailServer_.Logon = false;
    // Cut to 16 bits this would be the listening server's own port.
    mailServer_.Port = server_->Port() + 65536;
    EXPECT_FALSE(composer_.ComposeAndSend(mailServer_, "one@example.org", "s", "body", "", false, nullptr, "me@example.org",
                                          false, true, true));
    const std::string reason = "The mail server's port " + std::to_string(mailServer_.Port) +
                               " (SMTPPort) is not between 1 and 65535";
    EXPECT_EQ(host_.Messages, std::vector<std::string>{"Delivery error: " + reason});
    ASSERT_EQ(host_.Boxes.size(), 1u);
    EXPECT_EQ(host_.Boxes[0].Text, "Sending of message with SMTP failed with the error: \r\n\r\n" + reason);
    for (int port : {0, -25, 65536})
        EXPECT_NE(SMTPPortError(port), "") << port;
    for (int port : {1, 25, 65535})
        EXPECT_EQ(SMTPPortError(port), "") << port;
    EXPECT_FALSE(FileExists(folder_.Root() + "mail/0001.json")) << "nothing reached the server";
}

TEST_F(ComposeAndSend, SettingsTheFileSpelledWronglyAreRefusedAndNoWaitIsEndless)
{
    StartServer({"--no-auth"});
    mailServer_.Logon = false;
    // The text as the file held it is what the reason shows, whatever it
    // would read as a number.
    mailServer_.PortText = "0x" + std::to_string(mailServer_.Port);
    EXPECT_FALSE(composer_.ComposeAndSend(mailServer_, "one@example.org", "s", "body", "", false, nullptr,
                                          "me@example.org", false, false, true));
    mailServer_.PortText.reset();
    mailServer_.SecurityText = "TLS please";
    EXPECT_FALSE(composer_.ComposeAndSend(mailServer_, "one@example.org", "s", "body", "", false, nullptr,
                                          "me@example.org", false, false, true));
    EXPECT_EQ(host_.Messages, (std::vector<std::string>{
                             "Delivery error: The mail server's port 0x" + std::to_string(mailServer_.Port) +
                                 " (SMTPPort) is not between 1 and 65535",
                             "Delivery error: The connection security \"TLS please\" (SMTPSecurity) is none of "
                             "Auto, STARTTLS, SSL/TLS and None"}));
    EXPECT_FALSE(FileExists(folder_.Root() + "mail/0001.json")) << "nothing reached the server";

    // A time-out of 0 or below would let a silent server hold the pass for
    // ever: it means the default of 90 seconds.
    mailServer_.SecurityText.reset();
    for (const int seconds : {0, -1, -2147483647 - 1}) {
        mailServer_.TimeOutSeconds = seconds;
        ASSERT_TRUE(composer_.ComposeAndSend(mailServer_, "one@example.org", "s", "body", "", false, nullptr,
                                             "me@example.org", false, false, true))
            << seconds;
        EXPECT_EQ(composer_.SMTP.ReadTimeout, 90000) << seconds;
        EXPECT_EQ(composer_.SMTP.ReplyTimeout, 90000) << seconds;
        EXPECT_EQ(composer_.SMTP.ConnectTimeout, 90000) << seconds;
        EXPECT_GT(composer_.SMTP.SessionTimeout, 0) << seconds;
    }
}

// The longest line of a stored message, CR LF not counted.
std::size_t LongestLine(const std::string& raw)
{
    std::size_t longest = 0;
    for (const auto& line : SplitLines(raw))
        longest = std::max(longest, line.size());
    return longest;
}

TEST_F(ComposeAndSend, NoLineOnTheWireIsLongerThan998Octets)
{
    StartServer();
    // A subject without blanks, a display name longer than a line, a quoted
    // stretch that never closes, and lines far longer than a mail line in
    // the plain part, the HTML part and a plain message.
    const std::string subject = "Vendrel Delivery: " + std::string(1201, 's');
    const std::string name = "Watchers of " + std::string(1100, 'n') + " \"and co";
    const std::string longLine = std::string(2500, 'l') + " " + std::string(1500, '.');
    const std::string alternative = "\"News\" sent\r\n" + longLine + "\r\n." + std::string(998, 'd');
    const std::string page = "<html><body>" + longLine + "</body></html>\r\n";
    ASSERT_TRUE(composer_.ComposeAndSend(mailServer_, name + " <one@example.org>", subject, page, alternative, true,
                                         nullptr, "me@example.org", false, true, true));
    ASSERT_TRUE(composer_.ComposeAndSend(mailServer_, "one@example.org", "\"" + subject, "short\r\n" + longLine,
                                         "", false, nullptr, name + " <me@example.org>", false, true, true));
    EXPECT_TRUE(host_.Messages.empty()) << host_.Messages.front();

    const std::string html = WaitForMessage(1);
    EXPECT_LE(LongestLine(ReadFile(html)), 998u);
    std::string parts = PartsOf(html, folder_.Root() + "parts1");
    EXPECT_EQ(ReadFile(parts + "names.txt"), name + "\n");
    EXPECT_EQ(SplitLines(ReadFile(parts + "headers.txt"))[2], "Subject: " + subject);
    EXPECT_EQ(ReadFile(parts + "1.text_plain"), alternative + "\r\n");
    EXPECT_EQ(ReadFile(parts + "2.text_html"), page);

    const std::string plain = WaitForMessage(2);
    EXPECT_LE(LongestLine(ReadFile(plain)), 998u);
    parts = PartsOf(plain, folder_.Root() + "parts2");
    EXPECT_EQ(SplitLines(ReadFile(parts + "headers.txt"))[2], "Subject: \"" + subject);
    EXPECT_EQ(ReadFile(parts + "1.text_plain"), "short\r\n" + longLine + "\r\n");
}

TEST_F(ComposeAndSend, AWordShapedLikeAnEncodedWordIsEncoded)
{
    StartServer();
    const std::string subject = "Vendrel Delivery: =?utf-8?q?fake?= and =?ISO-8859-1?B?SGk=?=";
    ASSERT_TRUE(composer_.ComposeAndSend(mailServer_, "one@example.org", subject, "body", "", false, nullptr,
                                         "me@example.org", false, true, true));
    const std::string stored = WaitForMessage(1);
    const std::string raw = ReadFile(stored);
    EXPECT_EQ(raw.find("=?utf-8?q?fake?="), std::string::npos) << raw;
    const std::string parts = PartsOf(stored, folder_.Root() + "parts");
    EXPECT_EQ(SplitLines(ReadFile(parts + "headers.txt"))[2], "Subject: " + subject);
}

TEST_F(ComposeAndSend, ThePlainTestMessageGoesToEveryRecipient)
{
    StartServer({"--no-auth"});
    mailServer_.Logon = false;
    const std::string recipients = "\"Ann\" <ann@example.org>,,bob@example.org,";
    ASSERT_TRUE(composer_.ComposeAndSend(mailServer_, recipients, "Test Message from Vendrel",
                                         "This is a test message sent from Vendrel", "", false, nullptr,
                                         "Vendrel Watcher <watcher@example.org>", false, true, true));
    ASSERT_EQ(composer_.MsgSend.Recipients.Count(), 2u);
    EXPECT_EQ(composer_.MsgSend.Recipients[0].Name, "Ann");
    const std::string stored = WaitForMessage(1);
    const std::string parts = PartsOf(stored, folder_.Root() + "parts");
    EXPECT_EQ(ReadFile(parts + "1.text_plain"), "This is a test message sent from Vendrel\r\n");
    const TLines headers = SplitLines(ReadFile(parts + "headers.txt"));
    ASSERT_EQ(headers.size(), 4u);
    EXPECT_EQ(headers[0], "From: watcher@example.org");
    EXPECT_EQ(headers[1], "To: ann@example.org, bob@example.org");
    EXPECT_EQ(headers[2], "Subject: Test Message from Vendrel");
    EXPECT_NE(ReadFile(folder_.Root() + "mail/0001.json").find("\"to\": [\"ann@example.org\", \"bob@example.org\"]"),
              std::string::npos);

    // The message object keeps the last mail until the next one clears it.
    EXPECT_EQ(composer_.MsgSend.Subject, "Test Message from Vendrel");
    EXPECT_TRUE(composer_.MsgSend.MessageParts.Empty());
}

TEST_F(ComposeAndSend, ARefusedRecipientIsLoggedAndShownWhenAsked)
{
    StartServer({"--refuse-recipient", "gone@example.org"});
    const std::string refusal = "5.1.1 <gone@example.org>: Recipient address rejected\r\n";
    EXPECT_FALSE(composer_.ComposeAndSend(mailServer_, "gone@example.org", "s", "<html></html>", "alt", true, nullptr,
                                          "me@example.org", false, false, true));
    EXPECT_EQ(host_.Messages, std::vector<std::string>{"Delivery error: " + refusal});
    EXPECT_TRUE(host_.Boxes.empty());

    EXPECT_FALSE(composer_.ComposeAndSend(mailServer_, "ok@example.org,gone@example.org", "s", "<html></html>", "alt",
                                          true, nullptr, "me@example.org", false, true, true));
    ASSERT_EQ(host_.Boxes.size(), 1u);
    EXPECT_EQ(host_.Boxes[0].Text, "Sending of message with SMTP failed with the error: \r\n\r\n" + refusal);
    EXPECT_EQ(host_.Boxes[0].Buttons, TMsgButtons::OK);
    EXPECT_EQ(host_.Cursor(), TCursor::Default);

    // Each attempt closed its session: the next mail goes through.
    EXPECT_TRUE(composer_.ComposeAndSend(mailServer_, "ok@example.org", "s", "<html></html>", "alt", true, nullptr,
                                         "me@example.org", false, true, true));
    EXPECT_TRUE(FileExists(WaitForMessage(1)));
}

TEST_F(ComposeAndSend, ASocketFailureIsShownInPlainWordsAndLoggedAsItIs)
{
    // A port nobody listens on.
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    mailServer_.Host = "127.0.0.1";
    mailServer_.Port = ntohs(a.sin_port);

    EXPECT_FALSE(composer_.ComposeAndSend(mailServer_, "a@example.org", "s", "body", "", false, nullptr,
                                          "me@example.org", false, true, true));
    ASSERT_EQ(host_.Messages.size(), 1u);
    EXPECT_TRUE(StartsText("Delivery error: Socket Error # ", host_.Messages[0])) << host_.Messages[0];
    ASSERT_EQ(host_.Boxes.size(), 1u);
    EXPECT_EQ(
        host_.Boxes[0].Text,
        "Sending of message with SMTP failed with the error: \r\n\r\nError connecting to the Internet (or Server)");
}

TEST_F(ComposeAndSend, AnUntrustedServerIsNamedInTheLogAndTheBoxAndATrustedOneGetsTheMail)
{
    const TTestCertificates& certificates = TestCertificates();
    StartServer({"--starttls", "--auth-require-tls", "--cert", certificates.CertFile, "--key",
                 certificates.KeyFile});
    mailServer_.Security = ssAuto;
    EXPECT_FALSE(composer_.ComposeAndSend(mailServer_, "a@example.org", "s", "body", "", false, nullptr, "me@example.org",
                                          false, true, true));
    const std::string reason = "TLS certificate verification failed: unable to get local issuer certificate";
    EXPECT_EQ(host_.Messages, std::vector<std::string>{"Delivery error: " + reason});
    ASSERT_EQ(host_.Boxes.size(), 1u);
    EXPECT_EQ(host_.Boxes[0].Text, "Sending of message with SMTP failed with the error: \r\n\r\n" + reason);
    EXPECT_TRUE(server_->Messages().empty());

    // The settings' CA file is trusted, and the login goes over TLS.
    mailServer_.CAFile = certificates.CAFile;
    ASSERT_TRUE(composer_.ComposeAndSend(mailServer_, "a@example.org", "s", "body", "", false, nullptr, "me@example.org",
                                         false, true, true));
    WaitForMessage(1);
    const std::string envelope = ReadFile(folder_.Root() + "mail/0001.json");
    EXPECT_NE(envelope.find("\"tls\": true"), std::string::npos) << envelope;
    EXPECT_NE(envelope.find("\"authenticated\": true"), std::string::npos) << envelope;

    // "None" keeps to the plain dialogue, where this server will not take
    // the password: the mail is refused, not sent without the login.
    mailServer_.Security = ssNone;
    EXPECT_FALSE(composer_.ComposeAndSend(mailServer_, "a@example.org", "s", "body", "", false, nullptr, "me@example.org",
                                          false, false, true));
    EXPECT_EQ(server_->Messages().size(), 1u);
}

TEST_F(ComposeAndSend, UnicodeNamesAndSubjectsReadBackUnderAUTF8Locale)
{
    // The user's texts are UTF-8 under a UTF-8 locale, and the mail says so.
    struct TLocale {
        std::string old;
        bool had;
        TLocale() : had(std::getenv("LC_ALL") != nullptr)
        {
            if (had)
                old = std::getenv("LC_ALL");
            setenv("LC_ALL", "C.UTF-8", 1);
        }
        ~TLocale() { had ? setenv("LC_ALL", old.c_str(), 1) : unsetenv("LC_ALL"); }
    } locale;
    StartServer();
    // Long enough for several encoded words, with characters of two, three
    // and four bytes where the words could break.
    std::string subject = "Vendrel Delivery: ";
    for (int i = 0; i < 12; ++i)
        subject += "Caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC\xF0\x9F\x98\x80\xD0\x96";
    const std::string name = "Zo\xC3\xAB M\xC3\xBCller";
    const std::string alternative = "\"Caf\xC3\xA9\" sent from Vendrel at 08/12/2026 14:00\r\nA notice line.";
    ASSERT_TRUE(composer_.ComposeAndSend(mailServer_, "me@example.org", subject, "<html><body>x</body></html>", alternative, true,
                                         nullptr, name + " <zoe@example.org>", false, true, true));
    const std::string stored = WaitForMessage(1);
    const std::string parts = PartsOf(stored, folder_.Root() + "parts");
    const TLines headers = SplitLines(ReadFile(parts + "headers.txt"));
    ASSERT_EQ(headers.size(), 4u);
    EXPECT_EQ(headers[2], "Subject: " + subject);
    EXPECT_EQ(ReadFile(parts + "from_name.txt"), name);
    EXPECT_EQ(ReadFile(parts + "1.text_plain.txt"), alternative + "\r\n");
    const std::string raw = ReadFile(stored);
    EXPECT_NE(raw.find("=?UTF-8?Q?"), std::string::npos);
    EXPECT_EQ(raw.find("ISO-8859-1"), std::string::npos);
    EXPECT_NE(raw.find("Content-Type: text/plain; charset=UTF-8\r\nContent-Transfer-Encoding: quoted-printable\r\n"),
              std::string::npos);

    // A subject in plain ASCII stays as it is.
    ASSERT_TRUE(composer_.ComposeAndSend(mailServer_, "me@example.org", "Vendrel Delivery: News", "<html></html>", "alt", true,
                                         nullptr, "me@example.org", false, true, true));
    EXPECT_NE(ReadFile(WaitForMessage(2)).find("\r\nSubject: Vendrel Delivery: News\r\n"), std::string::npos);
}

TEST_F(ComposeAndSend, CompositionErrorsHaveTheirOwnTexts)
{
    const std::vector<std::string> attachments { "file.txt" };
    EXPECT_FALSE(composer_.ComposeAndSend(mailServer_, "a@example.org", "s", "body", "", false, &attachments,
                                          "me@example.org", false, true, true));
    EXPECT_EQ(host_.Messages, std::vector<std::string>{"Sending error: Attachments are not supported"});
    ASSERT_EQ(host_.Boxes.size(), 1u);
    EXPECT_EQ(host_.Boxes[0].Text, "SMTP Sending Error: \r\n\r\nAttachments are not supported");
}

// A server that drops the connection when the mail starts, on the first
// `drops` connections, and takes the mail on the others.
void DroppingServer(TScriptedPeer& peer, std::atomic<int>& connection, int drops)
{
    const int n = connection++;
    peer.Send("220 loopback ready\r\n");
    peer.ReadLine();
    peer.Send("250 loopback\r\n");
    peer.ReadLine(); // RSET
    if (n < drops) {
        peer.Close();
        return;
    }
    peer.Send("250 reset\r\n");
    peer.ReadLine();
    peer.Send("250 sender ok\r\n");
    peer.ReadLine();
    peer.Send("250 recipient ok\r\n");
    peer.ReadLine();
    peer.Send("354 go ahead\r\n");
    peer.ReadData();
    peer.Send("250 queued\r\n");
    peer.ReadLine(); // QUIT
    peer.Send("221 bye\r\n");
    peer.WaitForClose();
}

std::size_t Count(const std::vector<std::string>& lines, const std::string& prefix)
{
    std::size_t n = 0;
    for (const auto& l : lines)
        n += StartsText(prefix, l) ? 1 : 0;
    return n;
}

TEST_F(ComposeAndSend, AConnectionClosedByTheServerIsOpenedOnceMore)
{
    std::atomic<int> connection{0};
    {
        TScriptedServer server([&](TScriptedPeer& peer) { DroppingServer(peer, connection, 1); }, 2);
        mailServer_ = ServerAt("127.0.0.1", server.Port(), 10, false, "", "");
        EXPECT_TRUE(composer_.ComposeAndSend(mailServer_, "a@example.org", "s", "body", "", false, nullptr,
                                             "me@example.org", false, true, true));
        const auto lines = server.Finish();
        EXPECT_TRUE(server.Failure().empty()) << server.Failure();
        EXPECT_EQ(Count(lines, "EHLO "), 2u);
        EXPECT_EQ(Count(lines, "RSET"), 2u);
        EXPECT_EQ(Count(lines, "DATA"), 1u);
        EXPECT_TRUE(host_.Messages.empty());
    }

    // Dropped twice: one retry only, then the error.
    connection = 0;
    TScriptedServer server([&](TScriptedPeer& peer) { DroppingServer(peer, connection, 2); }, 2);
    mailServer_.Port = server.Port();
    EXPECT_FALSE(composer_.ComposeAndSend(mailServer_, "a@example.org", "s", "body", "", false, nullptr,
                                          "me@example.org", false, false, true));
    server.Finish();
    EXPECT_EQ(connection.load(), 2);
    EXPECT_EQ(host_.Messages, std::vector<std::string>{"Delivery error: Connection Closed Gracefully."});
}

// A server that takes the envelope and DATA, then stops reading until the
// test is done.
void DeafServer(TScriptedPeer& peer, const std::atomic<bool>& done)
{
    peer.Send("220 loopback ready\r\n");
    for (const char* reply : {"250 loopback\r\n", "250 reset\r\n", "250 sender ok\r\n", "250 recipient ok\r\n",
                              "354 go ahead\r\n"}) {
        peer.ReadLine();
        peer.Send(reply);
    }
    // Long enough for any wait the sender should make; a sender that waits
    // for ever sees the connection reset instead.
    for (int i = 0; i < 80 && !done; ++i)
        ::usleep(100000);
}

TEST_F(ComposeAndSend, AServerThatStopsReadingEndsTheSendAfterTheTimeOut)
{
    std::atomic<bool> done{false};
    TScriptedServer server([&](TScriptedPeer& peer) { DeafServer(peer, done); }, 1);
    mailServer_ = ServerAt("127.0.0.1", server.Port(), 1, false, "", "");
    std::string page;
    const std::string line = std::string(90, 'p') + "\r\n";
    while (page.size() < (6u << 20))
        page += line;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(composer_.ComposeAndSend(mailServer_, "a@example.org", "s", page, "alt", true, nullptr, "me@example.org", false,
                                          false, true));
    done = true;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(6));
    EXPECT_EQ(host_.Messages, std::vector<std::string>{"Delivery error: Read Timeout"});
    server.Finish();
}

TEST_F(ComposeAndSend, AReplyThatTricklesInIsBoundedAsAWhole)
{
    // Every byte comes well within the time-out, the whole greeting does not.
    std::atomic<bool> done{false};
    TScriptedServer server(
        [&](TScriptedPeer& peer) {
            for (const char c : std::string("220 loopback ready\r\n")) {
                peer.Send(std::string(1, c));
                ::usleep(300000);
                if (done)
                    return;
            }
            std::atomic<int> connection{1};
            DroppingServer(peer, connection, 0);
        },
        1);
    mailServer_ = ServerAt("127.0.0.1", server.Port(), 1, false, "", "");
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(composer_.ComposeAndSend(mailServer_, "a@example.org", "s", "body", "", false, nullptr, "me@example.org", false,
                                          false, true));
    done = true;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(2500));
    EXPECT_EQ(host_.Messages, std::vector<std::string>{"Delivery error: Read Timeout"});
    server.Finish();
}

TEST_F(ComposeAndSend, TimeOutsTooLargeForMillisecondsInIntStillSend)
{
    for (const int seconds : {2147484, 2147483647}) {
        std::atomic<int> connection{0};
        TScriptedServer server([&](TScriptedPeer& peer) { DroppingServer(peer, connection, 0); }, 1);
        mailServer_ = ServerAt("127.0.0.1", server.Port(), seconds, false, "", "");
        EXPECT_TRUE(composer_.ComposeAndSend(mailServer_, "a@example.org", "s", "body", "", false, nullptr, "me@example.org",
                                             false, false, true))
            << seconds;
        server.Finish();
        EXPECT_TRUE(host_.Messages.empty()) << host_.Messages.front();
        host_.Messages.clear();
    }
}

// A server that wants a login before MAIL, announces LOGIN, and drops the
// first connection once the envelope starts, after the client logged in.
void LoginServer(TScriptedPeer& peer, std::atomic<int>& connection)
{
    const int n = connection++;
    bool loggedIn = false;
    peer.Send("220 loopback ready\r\n");
    for (;;) {
        const std::string line = peer.ReadLine();
        if (peer.Closed())
            return;
        const std::string verb = UpperCase(line.substr(0, line.find(' ')));
        if (verb == "EHLO") {
            peer.Send("250-loopback\r\n250 AUTH LOGIN\r\n");
        } else if (verb == "AUTH") {
            peer.Send("334 VXNlcm5hbWU6\r\n");
            peer.ReadLine();
            peer.Send("334 UGFzc3dvcmQ6\r\n");
            peer.ReadLine();
            peer.Send("235 welcome\r\n");
            loggedIn = true;
        } else if (verb == "MAIL") {
            if (n == 0) {
                peer.Close();
                return;
            }
            peer.Send(loggedIn ? "250 sender ok\r\n" : "530 5.7.0 Authentication required\r\n");
        } else if (verb == "DATA") {
            peer.Send("354 go ahead\r\n");
            peer.ReadData();
            peer.Send("250 queued\r\n");
        } else if (verb == "QUIT") {
            peer.Send("221 bye\r\n");
            return;
        } else {
            peer.Send("250 ok\r\n");
        }
    }
}

TEST_F(ComposeAndSend, TheRetryAfterADroppedConnectionLogsInAgain)
{
    std::atomic<int> connection{0};
    TScriptedServer server([&](TScriptedPeer& peer) { LoginServer(peer, connection); }, 2);
    mailServer_ = ServerAt("127.0.0.1", server.Port(), 10, true, "user", "secret");
    // The scripted server speaks plain SMTP.
    mailServer_.Security = ssNone;
    EXPECT_TRUE(composer_.ComposeAndSend(mailServer_, "a@example.org", "s", "body", "", false, nullptr, "me@example.org", false,
                                         false, true));
    const auto lines = server.Finish();
    EXPECT_TRUE(host_.Messages.empty()) << host_.Messages.front();
    EXPECT_EQ(Count(lines, "AUTH LOGIN"), 2u);
    EXPECT_EQ(Count(lines, "DATA"), 1u);
}

TEST_F(ComposeAndSend, ASilentServerEndsTheWaitAfterTheTimeOut)
{
    TScriptedServer server([](TScriptedPeer& peer) { peer.WaitForClose(10000); }, 1);
    mailServer_ = ServerAt("127.0.0.1", server.Port(), 1, false, "", "");
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(composer_.ComposeAndSend(mailServer_, "a@example.org", "s", "body", "", false, nullptr,
                                          "me@example.org", false, false, true));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    ASSERT_EQ(host_.Messages.size(), 1u);
    EXPECT_EQ(host_.Messages[0], "Delivery error: Read Timeout");
    server.Finish();
}

} // namespace
