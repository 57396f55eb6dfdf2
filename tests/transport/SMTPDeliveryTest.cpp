// End to end: the session delivers to a real SMTP server (aiosmtpd) on
// loopback, and Python's email package reads back what arrived.

#include "tests/support/ChildProcess.h"
#include "tests/support/MailServer.h"
#include "tests/support/TempDataFolder.h"
#include "tests/support/Thrown.h"
#include "transport/NetErrors.h"
#include "transport/NetSMTP.h"

#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <thread>

namespace {

// A page of a few hundred KiB with everything that trips mail encodings:
// lines beginning with ".", blanks and tabs before line ends, "=" signs,
// bytes above 127 and lines far longer than a mail line.
TLines TrickyPage()
{
    TLines lines{"<html><head><title>Stand \xE9t\xE9</title></head><body>"};
    for (int i = 0; lines.size() < 6000; ++i) {
        lines.push_back(".");
        lines.push_back(".leading dot " + std::to_string(i));
        lines.push_back("..two dots");
        lines.push_back("trailing blanks   ");
        lines.push_back("trailing tab\t");
        lines.push_back("a=b == =3D =\t= <td width=\"100%\">");
        lines.push_back("");
        std::string high;
        for (int c = 128; c < 256; ++c)
            high += static_cast<char>(c);
        lines.push_back("high " + high);
        std::string longLine;
        for (int k = 0; k < 30; ++k)
            longLine += "word" + std::to_string(k * i % 97) + (k % 7 == 0 ? ".=" : " ");
        lines.push_back(longLine);
        lines.push_back(std::string(75, 'x') + ".");
    }
    lines.push_back("</body></html>");
    return lines;
}

class SMTPDeliveryTest : public ::testing::Test {
protected:
    void StartServer(const std::vector<std::string>& options = {})
    {
        server_ = std::make_unique<TMailServer>(folder_.Root() + "mail", options);
        smtp_.Host = "127.0.0.1";
        smtp_.Port = server_->Port();
        smtp_.ReadTimeout = 30000;
        smtp_.ConnectTimeout = 30000;
        smtp_.Username = "vendrel";
        smtp_.Password = "secret";
        smtp_.SetAuthenticationType(atLogin);
        smtp_.MailAgent = "Vendrel 1.0.0";
        // This server speaks plain SMTP: a login over it is the user's
        // explicit choice.
        smtp_.Security = ssNone;
    }

    std::string WaitForMessage(int n) { return server_->WaitForMessage(n); }

    TTempDataFolder folder_{TDesktopHome::Untouched};
    std::unique_ptr<TMailServer> server_;
    TNetSMTP smtp_;
};

}

TEST_F(SMTPDeliveryTest, HtmlMessageArrivesByteForByte)
{
    StartServer();
    const TLines page = TrickyPage();
    ASSERT_GT(JoinedLength(page), 200u * 1024);
    const TLines plain{"The page \"Stand\" has changed.", ".", "Visit http://example.org/?a=b"};
    TNetMessage message;
    message.From.Address = "watcher@example.org";
    message.From.Name = "Vendrel";
    message.Sender = message.From;
    message.Recipients.Add("one@example.org");
    message.Recipients.Add("two@example.org");
    message.Subject = "Stand ge\xE4ndert";
    AddPageParts(message, plain, page);

    smtp_.Open();
    smtp_.Transmit(message);
    smtp_.Close();

    const std::string stored = WaitForMessage(1);
    ASSERT_TRUE(FileExists(stored));
    const std::string parts = folder_.Root() + "parts";
    const std::string command = std::string(VENDREL_PYTHON) + " " + VENDREL_FIXTURES_DIR + "/mail_parts.py " + stored
        + " " + parts;
    ASSERT_EQ(std::system(command.c_str()), 0);

    EXPECT_EQ(ReadFile(parts + "/2.text_html"), JoinLines(page));
    EXPECT_EQ(ReadFile(parts + "/1.text_plain"), JoinLines(plain));
    const TLines headers = SplitLines(ReadFile(parts + "/headers.txt"));
    ASSERT_EQ(headers.size(), 4u);
    EXPECT_EQ(headers[0], "From: watcher@example.org");
    EXPECT_EQ(headers[1], "To: one@example.org, two@example.org");
    EXPECT_EQ(headers[2], "Subject: Stand ge\xC3\xA4ndert");
    EXPECT_TRUE(headers[3].starts_with("Date: 20")) << headers[3];
    const std::string envelope = ReadFile(folder_.Root() + "mail/0001.json");
    EXPECT_NE(envelope.find("\"to\": [\"one@example.org\", \"two@example.org\"]"), std::string::npos) << envelope;
    EXPECT_NE(envelope.find("\"authenticated\": true"), std::string::npos) << envelope;
    EXPECT_NE(ReadFile(stored).find("X-Mailer: Vendrel 1.0.0"), std::string::npos);
}

TEST_F(SMTPDeliveryTest, ServerRefusalsReachTheCaller)
{
    StartServer({"--refuse-recipient", "gone@example.org"});
    TNetMessage message;
    message.From.Address = "watcher@example.org";
    message.Recipients.Add("gone@example.org");
    message.Body = {"hello"};

    smtp_.Open();
    const auto refused = Thrown<ENetProtocolReplyError>([&] { smtp_.Transmit(message); });
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->ReplyErrorCode(), 550);
    EXPECT_STREQ(refused->what(), "5.1.1 <gone@example.org>: Recipient address rejected\r\n");
    EXPECT_TRUE(smtp_.LoggedIn());
    smtp_.Close();

    smtp_.Password = "wrong";
    smtp_.Open();
    const auto badLogin = Thrown<ENetProtocolReplyError>([&] { smtp_.Transmit(message); });
    ASSERT_TRUE(badLogin);
    EXPECT_EQ(badLogin->ReplyErrorCode(), 535);
    EXPECT_FALSE(smtp_.LoggedIn());
    smtp_.Close();
}

TEST_F(SMTPDeliveryTest, ServerWithoutAuthGetsTheMessageWithoutLogin)
{
    StartServer({"--no-auth"});
    TNetMessage message;
    message.From.Address = "watcher@example.org";
    message.Recipients.Add("one@example.org");
    message.Subject = "plain";
    message.Body = {"hello", ".dot"};
    smtp_.Open();
    EXPECT_FALSE(smtp_.MechanismAvailable(atLogin));
    smtp_.Transmit(message);
    smtp_.Close();
    const std::string stored = WaitForMessage(1);
    EXPECT_NE(ReadFile(stored).find("\nhello\r\n.dot\r\n"), std::string::npos) << ReadFile(stored);
    EXPECT_NE(ReadFile(folder_.Root() + "mail/0001.json").find("\"authenticated\": false"), std::string::npos);
}
