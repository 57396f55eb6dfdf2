// Mail built from texts a stranger controls (the page, its charset label,
// the server's replies) or a user types unusually (quoted names with
// commas, long subjects), sent to the real SMTP server on loopback and read
// back with Python's email package.

#include "delivery/MailComposer.h"
#include "message/MessageWriter.h"
#include "platform/Text.h"
#include "tests/support/MailServer.h"
#include "tests/support/RecordingHost.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempDataFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

namespace {

const std::string Boundary(NetMessageBoundary);

class HostileMail : public ::testing::Test {
protected:
    void StartServer(const std::vector<std::string>& options = {"--no-auth"})
    {
        server_ = std::make_unique<TMailServer>(folder_.Root() + "mail", options);
        settings_.Host = "127.0.0.1";
        settings_.Port = server_->Port();
        settings_.TimeOutSeconds = 30;
    }

    // Sends a page mail and parses what the server stored; the folder of
    // the parsed pieces.
    std::string SendPage(const std::string& page, const std::string& alternative = "alt",
                         const std::string& contentType = {}, const std::string& recipients = "me@example.org",
                         const std::string& subject = "Vendrel Delivery: News")
    {
        ++sent_;
        EXPECT_TRUE(composer_.ComposeAndSend(settings_, recipients, subject, page, alternative, true, nullptr,
                                             ChooseSender("", recipients), false, false, true, contentType))
            << (host_.Messages.empty() ? "" : host_.Messages.back());
        raw_ = ReadFile(server_->WaitForMessage(sent_));
        const std::string parts = folder_.Root() + "parts" + std::to_string(sent_);
        const std::string command = std::string(VENDREL_PYTHON) + " " + VENDREL_FIXTURES_DIR + "/mail_parts.py "
                                    + server_->Folder() + "/" + Numbered(sent_) + ".eml " + parts;
        EXPECT_EQ(std::system(command.c_str()), 0);
        return parts + "/";
    }

    static std::string Numbered(int n)
    {
        char name[8];
        std::snprintf(name, sizeof name, "%04d", n);
        return name;
    }

    TTempDataFolder folder_{TDesktopHome::Untouched};
    std::unique_ptr<TMailServer> server_;
    TRecordingHost host_;
    TMailServerSettings settings_;
    TMailComposer composer_{host_, SystemClock()};
    std::string raw_;
    int sent_ = 0;
};

TEST_F(HostileMail, APageHoldingTheBoundaryCannotEndItsPartOrAddParts)
{
    StartServer();
    // An ordinary page keeps the fixed boundary, byte for byte.
    SendPage("<html><body>plain</body></html>");
    EXPECT_NE(raw_.find("\r\nContent-Type: multipart/alternative; boundary=\"" + Boundary + "\"\r\n"),
              std::string::npos);
    EXPECT_NE(raw_.find("\r\n--" + Boundary + "--\r\n"), std::string::npos);

    // A page that closes the HTML part and adds an attachment and a second
    // HTML part of its own, and that also holds the first derived boundary.
    const std::string injected = "<html><body>before\r\n--" + Boundary + "\r\n"
                                 "Content-Type: application/octet-stream\r\n"
                                 "Content-Disposition: attachment; filename=\"evil.exe\"\r\n\r\nTVqQ\r\n"
                                 "--" + Boundary + "_1\r\nContent-Type: text/html\r\n\r\n<p>forged</p>\r\n"
                                 "--" + Boundary + "--\r\nafter</body></html>\r\n";
    std::string parts = SendPage(injected);
    EXPECT_EQ(ReadFile(parts + "parts.txt"), "text/plain\ntext/html\n");
    EXPECT_EQ(ReadFile(parts + "2.text_html"), injected);
    EXPECT_NE(raw_.find("boundary=\"" + Boundary + "_2\""), std::string::npos);

    // The same from the plain alternative, which goes out as it is.
    parts = SendPage("<html><body>page</body></html>", "note\r\n--" + Boundary + "--\r\ntail");
    EXPECT_EQ(ReadFile(parts + "parts.txt"), "text/plain\ntext/html\n");
    EXPECT_EQ(ReadFile(parts + "1.text_plain"), "note\r\n--" + Boundary + "--\r\ntail\r\n");
    EXPECT_EQ(ReadFile(parts + "2.text_html"), "<html><body>page</body></html>\r\n");
}

TEST(MessageBoundary, NeverOccursInAnyPart)
{
    // Pages made of boundary pieces, derived boundaries and near misses in
    // random order: whatever is chosen occurs in no part, and the fixed one
    // is chosen whenever it can be.
    std::srand(17);
    const std::string pieces[] = {Boundary, Boundary + "_1", Boundary + "_2", Boundary + "_10",
                                  Boundary.substr(0, 20), "--", "\r\n", "x", "_"};
    for (int round = 0; round < 300; ++round) {
        TNetMessage message;
        std::string html, plain;
        for (int i = std::rand() % 12; i > 0; --i)
            (std::rand() % 3 ? html : plain) += pieces[std::rand() % std::size(pieces)];
        AddPageParts(message, BodyLines(plain), BodyLines(html));
        const std::string chosen = MessageBoundary(message);
        EXPECT_EQ(html.find(chosen), std::string::npos) << html;
        EXPECT_EQ(plain.find(chosen), std::string::npos) << plain;
        if ((html + "\n" + plain).find(Boundary) == std::string::npos) {
            EXPECT_EQ(chosen, Boundary);
        }
    }
}

TEST_F(HostileMail, OnlyAsciiCompatibleCharsetsAreNamed)
{
    StartServer();
    const std::string page = "<html><body>+ADw-script+AD4-</body></html>";
    struct Case {
        const char* contentType;
        const char* htmlType;
    } cases[] = {
        {"text/html; charset=utf-7", "Content-Type: text/html\r\n"},
        {"text/html; charset=ebcdic-us", "Content-Type: text/html\r\n"},
        {"text/html; charset=\"  Latin1\t\"", "Content-Type: text/html; charset=windows-1252\r\n"},
        {"text/html; charset=GB2312", "Content-Type: text/html; charset=GBK\r\n"},
    };
    for (const auto& c : cases) {
        const std::string parts = SendPage(page, "alt", c.contentType);
        EXPECT_NE(raw_.find("\r\n" + std::string(c.htmlType) + "Content-Transfer-Encoding: quoted-printable\r\n"),
                  std::string::npos)
            << c.contentType;
        EXPECT_EQ(ReadFile(parts + "2.text_html"), page + "\r\n") << c.contentType;
    }
}

TEST_F(HostileMail, AQuotedNameWithACommaIsOneRecipient)
{
    StartServer();
    const std::string recipients = "\"Quoted, Name\" <q@x.test>, Doe <d@x.test>,plain@x.test,,";
    const std::string parts = SendPage("<html></html>", "alt", {}, recipients);
    const std::string envelope = ReadFile(server_->Folder() + "/0001.json");
    EXPECT_NE(envelope.find("\"to\": [\"q@x.test\", \"d@x.test\", \"plain@x.test\"]"), std::string::npos)
        << envelope;
    EXPECT_EQ(ReadFile(parts + "names.txt"), "Quoted, Name\nDoe\n\n");
    // Nor does a comma inside angle brackets separate anything.
    EXPECT_EQ(ChooseSender("", "<a,b@x.test>, c@x.test"), "<a,b@x.test>");
    // The sender is the first address, not the text before its comma.
    EXPECT_NE(envelope.find("\"from\": \"q@x.test\""), std::string::npos) << envelope;
    EXPECT_EQ(ChooseSender("", recipients), "\"Quoted, Name\" <q@x.test>");
}

TEST_F(HostileMail, ALongSubjectStartsOnItsOwnLine)
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
    // Encoded from its first word, plain from its first word but too long
    // for a line, and a name long enough to fold after it.
    const std::string subjects[] = {
        "\xD0\x9D\xD0\xBE\xD0\xB2\xD0\xBE\xD1\x81\xD1\x82\xD0\xB8 \xD0\xB4\xD0\xBD\xD1\x8F: "
            + std::string(40, 'x') + " \xC3\xA9t\xC3\xA9 " + std::string(30, 'y'),
        std::string(90, 'S') + " and more words after it",
        "Vendrel Delivery: " + std::string(70, 'n'),
    };
    for (const std::string& subject : subjects) {
        const std::string parts = SendPage("<html></html>", "alt", {}, "me@example.org", subject);
        const std::size_t at = raw_.find("\r\nSubject:");
        ASSERT_NE(at, std::string::npos);
        EXPECT_NE(raw_[at + 10], '\r') << raw_.substr(at, 200);
        EXPECT_EQ(raw_[at + 10], ' ');
        EXPECT_NE(raw_[at + 11], ' ');
        EXPECT_EQ(ReadFile(parts + "subject.txt"), subject);
    }
}

TEST(HostileServer, AutoWithoutStartTLSLogsAndShowsWhyThePasswordWasKept)
{
    // A server that offers a login but no STARTTLS, as one looks whose
    // STARTTLS line was stripped on the way, in each form of AUTH line: no
    // credentials in any form leave, and the session ends with QUIT.
    const std::string reason = "The mail server does not offer TLS, so Vendrel did not send your password. "
                               "Choose \"None\" under Connection security to allow a login without TLS.";
    for (const std::string mechanisms : {"250-AUTH LOGIN PLAIN\r\n", "250-AUTH=PLAIN\r\n", "250-auth login\r\n"}) {
        TScriptedServer server([&](TScriptedPeer& peer) {
            peer.Send("220 scripted\r\n");
            peer.ReadLine();
            peer.Send("250-scripted\r\n" + mechanisms + "250 OK\r\n");
            while (!peer.Closed() && peer.ReadLine() != "QUIT")
                peer.Send("334 \r\n");
        });
        TRecordingHost host;
        TMailComposer composer(host, SystemClock());
        TMailServerSettings settings;
        settings.Host = "127.0.0.1";
        settings.Port = server.Port();
        settings.TimeOutSeconds = 10;
        settings.Logon = true;
        settings.Username = "vendrel";
        settings.Password = "secret";
        ASSERT_EQ(settings.Security, ssAuto);
        EXPECT_FALSE(composer.ComposeAndSend(settings, "me@example.org", "s", "<html></html>", "alt", true, nullptr,
                                             "me@example.org", false, true, true));
        EXPECT_EQ(host.Messages, std::vector<std::string>{"Delivery error: " + reason});
        ASSERT_EQ(host.Boxes.size(), 1u);
        EXPECT_EQ(host.Boxes[0].Text, "Sending of message with SMTP failed with the error: \r\n\r\n" + reason);
        const auto lines = server.Finish();
        ASSERT_EQ(lines.size(), 2u) << mechanisms;
        EXPECT_TRUE(lines[0].starts_with("EHLO ")) << lines[0];
        EXPECT_EQ(lines[1], "QUIT");
    }
}

} // namespace
