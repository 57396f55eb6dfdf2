#include "message/NetEncoders.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/Thrown.h"
#include "transport/NetErrors.h"
#include "transport/NetSMTP.h"

#include <chrono>
#include <gtest/gtest.h>
#include <map>
#include <memory>

namespace {

// A canned SMTP server: it answers each command by its exact line first,
// then by its verb, and keeps the message data it was given.
struct TSMTPScript {
    std::string Greeting = "220 mail.test ESMTP\r\n";
    std::map<std::string, std::string> ByLine;
    std::map<std::string, std::string> ByVerb = {
        {"EHLO", "250-mail.test\r\n250-SIZE 1000000\r\n250 AUTH LOGIN PLAIN\r\n"},
        {"HELO", "250 mail.test\r\n"},
        {"RSET", "250 reset\r\n"},
        {"AUTH", "334 VXNlcm5hbWU6\r\n"},
        {"MAIL", "250 sender ok\r\n"},
        {"RCPT", "250 recipient ok\r\n"},
        {"DATA", "354 go ahead\r\n"},
        {".", "250 queued\r\n"},
        {"QUIT", "221 bye\r\n"},
    };
    std::shared_ptr<std::vector<std::string>> Data = std::make_shared<std::vector<std::string>>();

    TSMTPScript()
    {
        ByLine[TNetEncoderMIME::Encode("user")] = "334 UGFzc3dvcmQ6\r\n";
        ByLine[TNetEncoderMIME::Encode("secret")] = "235 welcome\r\n";
    }

    TScriptedServer::TScript Script() const
    {
        return [script = *this](TScriptedPeer& peer) {
            peer.Send(script.Greeting);
            for (;;) {
                const std::string line = peer.ReadLine();
                if (peer.Closed())
                    return;
                std::string reply;
                if (auto at = script.ByLine.find(line); at != script.ByLine.end())
                    reply = at->second;
                else if (auto verb = script.ByVerb.find(UpperCase(line.substr(0, line.find(' '))));
                         verb != script.ByVerb.end())
                    reply = verb->second;
                else
                    reply = "500 unknown command\r\n";
                peer.Send(reply);
                if (line == "QUIT")
                    return;
                if (line == "DATA" && reply.starts_with("354")) {
                    script.Data->push_back(peer.ReadData());
                    peer.Send(script.ByVerb.at("."));
                }
            }
        };
    }
};

class SMTPSessionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        smtp_.Host = "127.0.0.1";
        // The scripts play the plain dialogue, whose login is the user's
        // explicit choice.
        smtp_.Security = ssNone;
        smtp_.HeloName = "client.test";
        smtp_.Username = "user";
        smtp_.Password = "secret";
        smtp_.MessageWriter.LocaleOverride = "C";
        message_.From.Address = "watcher@example.org";
        message_.Recipients.Add("one@example.org");
        message_.Subject = "Page changed";
        message_.Body = {"The page has changed.", ".starts with a dot"};
    }

    void Start(const TSMTPScript& script, int connections = 1)
    {
        server_ = std::make_unique<TScriptedServer>(script.Script(), connections);
        smtp_.Port = server_->Port();
    }

    // Lines the client sent, without the message data.
    std::vector<std::string> Finish()
    {
        smtp_.Close();
        return server_->Finish();
    }

    TNetSMTP smtp_;
    TNetMessage message_;
    std::unique_ptr<TScriptedServer> server_;
};

}

TEST_F(SMTPSessionTest, SessionWithLoginLogsInOncePerSession)
{
    TSMTPScript script;
    Start(script);
    smtp_.SetAuthenticationType(atLogin);
    smtp_.MailAgent = "Vendrel 1.0.0";
    message_.CCList.Add("cc@example.org");
    message_.BccList.Add("bcc@example.org");
    message_.Recipients.Add("two@example.org");
    smtp_.Open();
    EXPECT_EQ(smtp_.AuthMechanisms(), (TLines{"LOGIN", "PLAIN"}));
    smtp_.Transmit(message_);
    EXPECT_TRUE(smtp_.LoggedIn());
    smtp_.Transmit(message_);
    const auto lines = Finish();
    EXPECT_FALSE(smtp_.LoggedIn());
    const std::vector<std::string> envelope = {"RSET", "MAIL FROM:<watcher@example.org>", "RCPT TO:<one@example.org>",
                                               "RCPT TO:<two@example.org>", "RCPT TO:<cc@example.org>",
                                               "RCPT TO:<bcc@example.org>", "DATA"};
    std::vector<std::string> expected = {"EHLO client.test", "RSET", "AUTH LOGIN", "dXNlcg==", "c2VjcmV0"};
    expected.insert(expected.end(), envelope.begin() + 1, envelope.end());
    expected.insert(expected.end(), envelope.begin(), envelope.end());
    expected.push_back("QUIT");
    EXPECT_EQ(lines, expected);

    ASSERT_EQ(script.Data->size(), 2u);
    const std::string& data = script.Data->front();
    EXPECT_NE(data.find("X-Mailer: Vendrel 1.0.0\r\n"), std::string::npos);
    EXPECT_NE(data.find("\r\n..starts with a dot\r\n"), std::string::npos);
    EXPECT_EQ(data.find("bcc@"), std::string::npos);
    EXPECT_TRUE(data.ends_with("\r\n.\r\n"));
}

TEST_F(SMTPSessionTest, RefusedEhloFallsBackToHeloWithoutLogin)
{
    TSMTPScript script;
    script.ByVerb["EHLO"] = "502 not implemented\r\n";
    Start(script);
    smtp_.SetAuthenticationType(atLogin);
    smtp_.Open();
    EXPECT_TRUE(smtp_.AuthMechanisms().empty());
    smtp_.Transmit(message_);
    EXPECT_EQ(Finish(), (std::vector<std::string>{"EHLO client.test", "HELO client.test", "RSET",
                                                 "MAIL FROM:<watcher@example.org>", "RCPT TO:<one@example.org>",
                                                 "DATA", "QUIT"}));
}

TEST_F(SMTPSessionTest, MechanismLinesInEveryForm)
{
    for (const std::string& ehlo : {std::string("250-mail.test\r\n250 AUTH=LOGIN\r\n"),
                                    std::string("250-mail.test\r\n250-auth login\r\n250 HELP\r\n"),
                                    std::string("250-AUTH=PLAIN LOGIN\r\n250-AUTH PLAIN LOGIN CRAM-MD5\r\n250 OK\r\n")}) {
        TSMTPScript script;
        script.ByVerb["EHLO"] = ehlo;
        Start(script);
        smtp_.SetAuthenticationType(atLogin);
        smtp_.Open();
        EXPECT_TRUE(smtp_.MechanismAvailable(atLogin)) << ehlo;
        EXPECT_FALSE(smtp_.MechanismAvailable(atNone));
        smtp_.Transmit(message_);
        const auto lines = Finish();
        EXPECT_NE(std::find(lines.begin(), lines.end(), "AUTH LOGIN"), lines.end()) << ehlo;
    }
}

TEST_F(SMTPSessionTest, NoAuthLineMeansNoLogin)
{
    TSMTPScript script;
    script.ByVerb["EHLO"] = "250-mail.test\r\n250-XAUTH LOGIN\r\n250 SIZE\r\n";
    script.ByVerb["RSET"] = "502 no reset here\r\n";
    Start(script);
    smtp_.SetAuthenticationType(atLogin);
    smtp_.Open();
    smtp_.Transmit(message_);
    EXPECT_EQ(Finish(), (std::vector<std::string>{"EHLO client.test", "RSET", "MAIL FROM:<watcher@example.org>",
                                                 "RCPT TO:<one@example.org>", "DATA", "QUIT"}));
    // An empty mail agent adds no header.
    ASSERT_EQ(script.Data->size(), 1u);
    EXPECT_EQ(script.Data->front().find("X-Mailer"), std::string::npos);
}

TEST_F(SMTPSessionTest, RefusedGreetingClosesTheSession)
{
    TSMTPScript script;
    script.Greeting = "554 no service for you\r\n";
    Start(script);
    const auto error = Thrown<ENetProtocolReplyError>([&] { smtp_.Open(); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->ReplyErrorCode(), 554);
    EXPECT_STREQ(error->what(), "no service for you\r\n");
    EXPECT_FALSE(smtp_.IsConnected());
    EXPECT_EQ(server_->Finish(), (std::vector<std::string>{"QUIT"}));
}

TEST_F(SMTPSessionTest, RecipientRefusalEndsTheTransmission)
{
    TSMTPScript script;
    script.ByLine["RCPT TO:<one@example.org>"] = "251 will forward\r\n";
    script.ByLine["RCPT TO:<two@example.org>"] = "550 5.7.1 Relaying denied\r\n";
    Start(script);
    message_.Recipients.Add("two@example.org");
    message_.Recipients.Add("three@example.org");
    smtp_.Open();
    const auto error = Thrown<ENetProtocolReplyError>([&] { smtp_.Transmit(message_); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->ReplyErrorCode(), 550);
    EXPECT_STREQ(error->what(), "5.7.1 Relaying denied\r\n");
    EXPECT_TRUE(smtp_.IsConnected());
    EXPECT_EQ(Finish(), (std::vector<std::string>{"EHLO client.test", "RSET", "MAIL FROM:<watcher@example.org>",
                                                 "RCPT TO:<one@example.org>", "RCPT TO:<two@example.org>",
                                                 "QUIT"}));
}

TEST_F(SMTPSessionTest, RefusedLoginLeavesTheSessionLoggedOut)
{
    TSMTPScript script;
    script.ByLine[TNetEncoderMIME::Encode("secret")] = "535 5.7.8 Authentication credentials invalid\r\n";
    Start(script);
    smtp_.SetAuthenticationType(atLogin);
    smtp_.Open();
    const auto error = Thrown<ENetProtocolReplyError>([&] { smtp_.Transmit(message_); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->ReplyErrorCode(), 535);
    EXPECT_FALSE(smtp_.LoggedIn());
    Finish();
}

TEST_F(SMTPSessionTest, LineBreaksInUserTextNeverStartACommand)
{
    TSMTPScript script;
    Start(script);
    smtp_.HeloName = "client.test\r\nRSET";
    message_.From.Address = "watcher@example.org>\r\nRCPT TO:<victim@example.org";
    message_.Recipients[0].Address = "one@example.org\nDATA";
    smtp_.Open();
    smtp_.Transmit(message_);
    EXPECT_EQ(Finish(), (std::vector<std::string>{"EHLO client.testRSET", "RSET",
                                                 "MAIL FROM:<watcher@example.org>RCPT TO:<victim@example.org>",
                                                 "RCPT TO:<one@example.orgDATA>", "DATA", "QUIT"}));
}

TEST_F(SMTPSessionTest, ServerClosingInTheMiddleOfAReply)
{
    server_ = std::make_unique<TScriptedServer>([](TScriptedPeer& peer) {
        peer.Send("220 ready\r\n");
        peer.ReadLine();
        peer.Send("250 ok\r\n");
        peer.ReadLine();
        peer.Send("250 rese");
        peer.Close();
    });
    smtp_.Port = server_->Port();
    smtp_.Open();
    const auto error = Thrown<ENetConnClosedGracefully>([&] { smtp_.Transmit(message_); });
    ASSERT_TRUE(error);
    EXPECT_STREQ(error->what(), "Connection Closed Gracefully.");
    // The drop has been noticed: Close writes nothing and raises nothing.
    EXPECT_NO_THROW(smtp_.Close());
    EXPECT_EQ(server_->Finish(), (std::vector<std::string>{"EHLO client.test", "RSET"}));
}

TEST_F(SMTPSessionTest, SilentServerEndsWithReadTimeout)
{
    server_ = std::make_unique<TScriptedServer>([](TScriptedPeer& peer) { peer.ReadLine(5000); });
    smtp_.Port = server_->Port();
    smtp_.ReadTimeout = 200;
    smtp_.ConnectTimeout = 2000;
    const auto start = std::chrono::steady_clock::now();
    const auto error = Thrown<ENetReadTimeout>([&] { smtp_.Open(); });
    ASSERT_TRUE(error);
    EXPECT_STREQ(error->what(), "Read Timeout");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
    EXPECT_FALSE(smtp_.IsConnected());
    EXPECT_EQ(server_->Finish(), (std::vector<std::string>{"QUIT"}));
}

TEST_F(SMTPSessionTest, HeloOnlyWhenEhloIsOffAndTheRetryOfASecondSession)
{
    TSMTPScript script;
    Start(script, 2);
    smtp_.SetUseEhlo(false);
    smtp_.Open();
    smtp_.Transmit(message_);
    smtp_.Close();
    smtp_.Open();
    smtp_.Close();
    EXPECT_EQ(server_->Finish(), (std::vector<std::string>{"HELO client.test", "RSET",
                                                          "MAIL FROM:<watcher@example.org>",
                                                          "RCPT TO:<one@example.org>", "DATA", "QUIT",
                                                          "HELO client.test", "QUIT"}));
}

TEST_F(SMTPSessionTest, TheSessionHasATotalTimeThatGrowsWithTheMessage)
{
    // Every reply comes well within the wait for it, but late.
    const auto slowServer = [](int delayMs, int dataDelayMs) {
        return [delayMs, dataDelayMs](TScriptedPeer& peer) {
            peer.Send("220 ready\r\n");
            for (;;) {
                const std::string line = peer.ReadLine();
                if (peer.Closed())
                    return;
                if (line == "DATA") {
                    peer.Send("354 go\r\n");
                    peer.ReadData();
                    ::usleep(static_cast<unsigned>(dataDelayMs) * 1000);
                    peer.Send("250 queued\r\n");
                    continue;
                }
                ::usleep(static_cast<unsigned>(delayMs) * 1000);
                peer.Send(line == "QUIT" ? "221 bye\r\n" : "250 ok\r\n");
            }
        };
    };
    smtp_.ReadTimeout = 1000;
    smtp_.SessionTimeout = 500;
    {
        TScriptedServer server(slowServer(150, 150), 1);
        smtp_.Port = server.Port();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_THROW(
            {
                smtp_.Open();
                smtp_.Transmit(message_);
            },
            ENetReadTimeout);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_GE(took, std::chrono::milliseconds(450));
        EXPECT_LT(took, std::chrono::milliseconds(900));
        smtp_.Close();
        server.Finish();
    }
    // The time for the message's bytes is added to the session's.
    TScriptedServer server(slowServer(0, 700), 1);
    smtp_.Port = server.Port();
    smtp_.SessionBytesPerSecond = 1000;
    message_.Body.push_back(std::string(600, 'm'));
    smtp_.Open();
    EXPECT_NO_THROW(smtp_.Transmit(message_));
    smtp_.Close();
    server.Finish();
}

TEST(SMTPSettings, AuthenticationAndEhloAreCoupled)
{
    TNetSMTP smtp;
    EXPECT_EQ(smtp.Port, 25);
    EXPECT_TRUE(smtp.UseEhlo());
    EXPECT_EQ(smtp.AuthenticationType(), atNone);
    smtp.SetAuthenticationType(atLogin);
    smtp.SetUseEhlo(false);
    EXPECT_EQ(smtp.AuthenticationType(), atNone);
    smtp.SetAuthenticationType(atLogin);
    EXPECT_TRUE(smtp.UseEhlo());
    smtp.SetUseEhlo(true);
    EXPECT_EQ(smtp.AuthenticationType(), atLogin);
    // Closing a session that never opened is harmless.
    EXPECT_NO_THROW(smtp.Close());
}
