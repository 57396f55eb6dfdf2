// The pool of kept sessions against scripted servers that check what has
// arrived before they answer: a pipelined group must be there in full, a
// command spoken alone must come alone.

#include "tests/support/ScriptedServer.h"
#include "transport/NetErrors.h"
#include "transport/NetSMTPDialogue.h"
#include "transport/NetSMTPPool.h"

#include "message/NetEncoders.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>

namespace {

const std::string Sender = "watcher@example.org";

// Reads lines the client must already have sent, in this order.
void ExpectLines(TScriptedPeer& peer, std::initializer_list<std::string> lines)
{
    for (const std::string& expected : lines) {
        const std::string line = peer.ReadLine(3000);
        if (line != expected)
            throw std::runtime_error("expected \"" + expected + "\", got \"" + line + "\"");
    }
}

// One command that must come alone: nothing may follow before its answer.
void ExpectAlone(TScriptedPeer& peer, const std::string& expected)
{
    ExpectLines(peer, {expected});
    if (!peer.Quiet(150))
        throw std::runtime_error("\"" + expected + "\" did not wait for its answer");
}

void ExpectData(TScriptedPeer& peer, const std::string& expected)
{
    const std::string data = peer.ReadData(3000);
    if (data != expected)
        throw std::runtime_error("message data differs: \"" + data + "\"");
}

std::vector<std::string> Envelope(const TNetSMTPSubmission& mail)
{
    std::vector<std::string> lines{"MAIL FROM:<" + mail.From + ">"};
    for (const auto& recipient : mail.Recipients)
        lines.push_back("RCPT TO:<" + recipient + ">");
    lines.push_back("DATA");
    return lines;
}

void ExpectEnvelope(TScriptedPeer& peer, const TNetSMTPSubmission& mail, bool resetFirst = false)
{
    if (resetFirst)
        ExpectLines(peer, {"RSET"});
    for (const std::string& line : Envelope(mail))
        ExpectLines(peer, {line});
}

void LogIn(TScriptedPeer& peer)
{
    ExpectAlone(peer, "AUTH LOGIN");
    peer.Send("334 VXNlcm5hbWU6\r\n");
    ExpectAlone(peer, TNetEncoderMIME::Encode("user"));
    peer.Send("334 UGFzc3dvcmQ6\r\n");
    ExpectAlone(peer, TNetEncoderMIME::Encode("secret"));
    peer.Send("235 welcome\r\n");
}

const std::string PipeliningHello = "250-mail.test\r\n250-PIPELINING\r\n250 AUTH LOGIN\r\n";
const std::string PlainHello = "250-mail.test\r\n250 AUTH LOGIN\r\n";

// Greets, answers EHLO with hello and logs the client in.
void Open(TScriptedPeer& peer, const std::string& hello)
{
    peer.Send("220 mail.test ESMTP\r\n");
    ExpectAlone(peer, "EHLO client.test");
    peer.Send(hello);
    LogIn(peer);
}

TNetSMTPSubmission Mail(int n, std::vector<std::string> recipients = {"one@example.org"})
{
    TNetSMTPSubmission mail;
    mail.From = Sender;
    mail.Recipients = std::move(recipients);
    mail.Data = std::make_shared<const std::string>("Subject: message " + std::to_string(n)
                                                    + "\r\n\r\n..a line that began with a dot\r\nbody "
                                                    + std::to_string(n) + "\r\n");
    return mail;
}

std::string Wire(const TNetSMTPSubmission& mail)
{
    return *mail.Data + ".\r\n";
}

// Takes one message up to its data, as a server with or without pipelining
// would; the answer to its end is the caller's.
void TakeMessage(TScriptedPeer& peer, const TNetSMTPSubmission& mail, bool pipelining)
{
    if (pipelining) {
        ExpectEnvelope(peer, mail);
        std::string replies = "250 sender ok\r\n";
        for (std::size_t i = 0; i < mail.Recipients.size(); ++i)
            replies += "250 ok\r\n";
        peer.Send(replies + "354 go ahead\r\n");
    } else {
        ExpectAlone(peer, "MAIL FROM:<" + mail.From + ">");
        peer.Send("250 sender ok\r\n");
        for (const auto& recipient : mail.Recipients) {
            ExpectAlone(peer, "RCPT TO:<" + recipient + ">");
            peer.Send("250 ok\r\n");
        }
        ExpectAlone(peer, "DATA");
        peer.Send("354 go ahead\r\n");
    }
    ExpectData(peer, Wire(mail));
}

class SMTPPoolTest : public ::testing::Test {
protected:
    TNetSMTPServer Server(int port, int sessions = 1)
    {
        TNetSMTPServer server;
        server.Host = "127.0.0.1";
        server.Port = port;
        server.Security = ssNone;
        server.AuthenticationType = atLogin;
        server.Username = "user";
        server.Password = "secret";
        server.HeloName = "client.test";
        server.TimeoutMs = 10000;
        server.MaxSessions = sessions;
        return server;
    }

    // Submits the messages, finishes the pass and runs it to its end.
    void Deliver(TNetSMTPPool& pool, const std::vector<TNetSMTPSubmission>& mails)
    {
        outcomes_.assign(mails.size(), {});
        reported_.assign(mails.size(), 0);
        for (std::size_t i = 0; i < mails.size(); ++i)
            pool.Submit(mails[i], [this, i](const TNetSMTPOutcome& outcome) {
                outcomes_[i] = outcome;
                ++reported_[i];
            });
        pool.Finish();
        const auto start = std::chrono::steady_clock::now();
        while (!pool.Done() && std::chrono::steady_clock::now() - start < std::chrono::seconds(20))
            pool.Pump(500);
        ASSERT_TRUE(pool.Done());
        for (std::size_t i = 0; i < mails.size(); ++i)
            EXPECT_EQ(reported_[i], 1) << "message " << i;
    }

    std::vector<TNetSMTPOutcome> outcomes_;
    std::vector<int> reported_;
};

template <class E>
std::optional<E> ErrorOf(const TNetSMTPOutcome& outcome)
{
    try {
        outcome.Rethrow();
    } catch (const E& e) {
        return e;
    } catch (const std::exception& e) {
        ADD_FAILURE() << "another error: " << e.what();
        return std::nullopt;
    }
    ADD_FAILURE() << "the message was sent";
    return std::nullopt;
}

}

TEST_F(SMTPPoolTest, PipelinedSessionSendsEachMessageInOneRoundTrip)
{
    const std::vector<TNetSMTPSubmission> mails{Mail(1, {"one@example.org", "two@example.org"}), Mail(2), Mail(3)};
    TScriptedServer server([&](TScriptedPeer& peer) {
        Open(peer, PipeliningHello);
        ExpectEnvelope(peer, mails[0]);
        peer.Send("250 sender ok\r\n250 ok\r\n250 ok\r\n354 go ahead\r\n");
        ExpectData(peer, Wire(mails[0]));
        // The next envelope comes with the end of the message, before its answer.
        ExpectEnvelope(peer, mails[1]);
        peer.Send("250 queued 1\r\n250 sender ok\r\n250 ok\r\n354 go ahead\r\n");
        ExpectData(peer, Wire(mails[1]));
        ExpectEnvelope(peer, mails[2]);
        peer.Send("250 queued 2\r\n250 sender ok\r\n250 ok\r\n354 go ahead\r\n");
        ExpectData(peer, Wire(mails[2]));
        peer.Send("250 queued 3\r\n");
        ExpectLines(peer, {"QUIT"});
        peer.Send("221 bye\r\n");
        if (!peer.WaitForClose(3000))
            throw std::runtime_error("the session stayed open after QUIT");
    });
    TNetSMTPPool pool(Server(server.Port()));
    Deliver(pool, mails);
    server.Finish();
    EXPECT_EQ(server.Failure(), "");
    for (const auto& outcome : outcomes_)
        EXPECT_TRUE(outcome.Sent) << outcome.ErrorText();
    EXPECT_EQ(pool.Connections(), 1);
    EXPECT_EQ(pool.Sessions(), 0);
}

TEST_F(SMTPPoolTest, KeptSessionWithoutPipeliningWaitsForEachAnswerAndResetsAfterARefusal)
{
    const std::vector<TNetSMTPSubmission> mails{
        Mail(1, {"one@example.org", "gone@example.org", "three@example.org"}), Mail(2), Mail(3)};
    TScriptedServer server([&](TScriptedPeer& peer) {
        Open(peer, PlainHello);
        // No RSET before the first message of a session.
        ExpectAlone(peer, "MAIL FROM:<" + Sender + ">");
        peer.Send("250 sender ok\r\n");
        ExpectAlone(peer, "RCPT TO:<one@example.org>");
        peer.Send("251 will forward\r\n");
        ExpectAlone(peer, "RCPT TO:<gone@example.org>");
        peer.Send("550 5.7.1 Relaying denied\r\n");
        // The refusal ends the message: no further recipient, no DATA.
        ExpectAlone(peer, "RSET");
        peer.Send("250 reset\r\n");
        ExpectAlone(peer, "MAIL FROM:<" + Sender + ">");
        peer.Send("250 sender ok\r\n");
        ExpectAlone(peer, "RCPT TO:<one@example.org>");
        peer.Send("250 ok\r\n");
        ExpectAlone(peer, "DATA");
        peer.Send("354 go ahead\r\n");
        ExpectData(peer, Wire(mails[1]));
        if (!peer.Quiet(150))
            throw std::runtime_error("the next message did not wait for the end of this one");
        peer.Send("250 queued\r\n");
        // A message accepted: the next one begins with MAIL at once.
        ExpectAlone(peer, "MAIL FROM:<" + Sender + ">");
        peer.Send("250 sender ok\r\n");
        ExpectAlone(peer, "RCPT TO:<one@example.org>");
        peer.Send("250 ok\r\n");
        ExpectAlone(peer, "DATA");
        peer.Send("354 go ahead\r\n");
        ExpectData(peer, Wire(mails[2]));
        peer.Send("554 5.7.1 Message refused\r\n");
        ExpectLines(peer, {"QUIT"});
    });
    TNetSMTPPool pool(Server(server.Port()));
    Deliver(pool, mails);
    server.Finish();
    EXPECT_EQ(server.Failure(), "");
    const auto refused = ErrorOf<ENetProtocolReplyError>(outcomes_[0]);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->ReplyErrorCode(), 550);
    EXPECT_EQ(outcomes_[0].ErrorText(), "5.7.1 Relaying denied\r\n");
    EXPECT_TRUE(outcomes_[1].Sent) << outcomes_[1].ErrorText();
    const auto dataRefused = ErrorOf<ENetProtocolReplyError>(outcomes_[2]);
    ASSERT_TRUE(dataRefused);
    EXPECT_EQ(dataRefused->ReplyErrorCode(), 554);
    EXPECT_EQ(pool.Connections(), 1);
}

TEST_F(SMTPPoolTest, PipelinedRefusalsEndTheMessageAndTheNextGroupBeginsWithRset)
{
    const std::vector<TNetSMTPSubmission> mails{Mail(1, {"gone@example.org", "one@example.org"}), Mail(2),
                                                Mail(3, {"gone@example.org"}), Mail(4)};
    TScriptedServer server([&](TScriptedPeer& peer) {
        Open(peer, PipeliningHello);
        ExpectEnvelope(peer, mails[0]);
        peer.Send("250 sender ok\r\n550 5.7.1 Relaying denied\r\n250 ok\r\n554 5.5.1 No valid recipients\r\n");
        ExpectEnvelope(peer, mails[1], true);
        if (!peer.Quiet(150))
            throw std::runtime_error("message data went before DATA was answered");
        peer.Send("250 reset\r\n250 sender ok\r\n250 ok\r\n354 go ahead\r\n");
        ExpectData(peer, Wire(mails[1]));
        ExpectEnvelope(peer, mails[2]);
        // A server that takes DATA after refusing every recipient gets an
        // empty message and no data.
        peer.Send("250 queued\r\n250 sender ok\r\n550 5.7.1 Relaying denied\r\n354 go ahead\r\n");
        ExpectAlone(peer, ".");
        peer.Send("554 5.5.1 No valid recipients\r\n");
        ExpectEnvelope(peer, mails[3], true);
        peer.Send("250 reset\r\n250 sender ok\r\n250 ok\r\n354 go ahead\r\n");
        ExpectData(peer, Wire(mails[3]));
        peer.Send("250 queued\r\n");
        ExpectLines(peer, {"QUIT"});
    });
    TNetSMTPPool pool(Server(server.Port()));
    Deliver(pool, mails);
    server.Finish();
    EXPECT_EQ(server.Failure(), "");
    for (int refused : {0, 2}) {
        const auto error = ErrorOf<ENetProtocolReplyError>(outcomes_[refused]);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->ReplyErrorCode(), 550);
        EXPECT_EQ(outcomes_[refused].ErrorText(), "5.7.1 Relaying denied\r\n");
    }
    EXPECT_TRUE(outcomes_[1].Sent) << outcomes_[1].ErrorText();
    EXPECT_TRUE(outcomes_[3].Sent) << outcomes_[3].ErrorText();
}

TEST_F(SMTPPoolTest, MessageIsSentAgainWhenTheServerDropsAKeptSession)
{
    // Between two messages the server goes: with pipelining it has already
    // been sent the second envelope, without it the MAIL finds the close.
    for (const bool pipelining : {true, false}) {
        SCOPED_TRACE(pipelining ? "pipelining" : "one command at a time");
        const std::vector<TNetSMTPSubmission> mails{Mail(1), Mail(2)};
        std::atomic<int> connection{0};
        TScriptedServer server(
            [&](TScriptedPeer& peer) {
                // Each connection logs in afresh.
                Open(peer, pipelining ? PipeliningHello : PlainHello);
                if (++connection == 1) {
                    TakeMessage(peer, mails[0], pipelining);
                    if (pipelining)
                        ExpectEnvelope(peer, mails[1]);
                    peer.Send("250 queued\r\n");
                    peer.Close();
                    return;
                }
                TakeMessage(peer, mails[1], pipelining);
                peer.Send("250 queued\r\n");
                ExpectLines(peer, {"QUIT"});
            },
            2);
        TNetSMTPPool pool(Server(server.Port()));
        Deliver(pool, mails);
        server.Finish();
        EXPECT_EQ(server.Failure(), "");
        EXPECT_TRUE(outcomes_[0].Sent) << outcomes_[0].ErrorText();
        EXPECT_TRUE(outcomes_[1].Sent) << outcomes_[1].ErrorText();
        EXPECT_EQ(pool.Connections(), 2);
    }
}

TEST_F(SMTPPoolTest, ServerThatRefusesASecondMessageWith421IsLeftForAFreshSession)
{
    for (const bool pipelining : {true, false}) {
        SCOPED_TRACE(pipelining ? "pipelining" : "one command at a time");
        const std::vector<TNetSMTPSubmission> mails{Mail(1), Mail(2), Mail(3)};
        std::atomic<int> connection{0};
        TScriptedServer server(
            [&](TScriptedPeer& peer) {
                Open(peer, pipelining ? PipeliningHello : PlainHello);
                const int n = ++connection;
                TakeMessage(peer, mails[n - 1], pipelining);
                if (n == 3) {
                    // The last message has none after it to find the 421.
                    peer.Send("250 queued\r\n");
                    ExpectLines(peer, {"QUIT"});
                } else if (pipelining) {
                    ExpectEnvelope(peer, mails[n]);
                    peer.Send("250 queued\r\n421 4.7.0 One message per connection\r\n");
                } else {
                    peer.Send("250 queued\r\n");
                    ExpectAlone(peer, "MAIL FROM:<" + Sender + ">");
                    peer.Send("421 4.7.0 One message per connection\r\n");
                }
                peer.Close();
            },
            3);
        TNetSMTPPool pool(Server(server.Port()));
        Deliver(pool, mails);
        server.Finish();
        EXPECT_EQ(server.Failure(), "");
        for (const auto& outcome : outcomes_)
            EXPECT_TRUE(outcome.Sent) << outcome.ErrorText();
        EXPECT_EQ(pool.Connections(), 3);
    }
}

TEST_F(SMTPPoolTest, FreshSessionsGiveTheirOwnFailuresWithoutEndlessRetries)
{
    // A 421 on the first message of a session is that message's answer.
    {
        const std::vector<TNetSMTPSubmission> mails{Mail(1)};
        TScriptedServer server([&](TScriptedPeer& peer) {
            Open(peer, PipeliningHello);
            ExpectEnvelope(peer, mails[0]);
            peer.Send("421 4.3.2 Shutting down\r\n");
            peer.Close();
        });
        TNetSMTPPool pool(Server(server.Port()));
        Deliver(pool, mails);
        server.Finish();
        EXPECT_EQ(server.Failure(), "");
        const auto error = ErrorOf<ENetProtocolReplyError>(outcomes_[0]);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->ReplyErrorCode(), 421);
        EXPECT_EQ(outcomes_[0].ErrorText(), "4.3.2 Shutting down\r\n");
        EXPECT_EQ(pool.Connections(), 1);
    }
    // A server that closes in the middle of every message: sent once more,
    // then the close is the message's error.
    {
        const std::vector<TNetSMTPSubmission> mails{Mail(1)};
        TScriptedServer server(
            [&](TScriptedPeer& peer) {
                Open(peer, PipeliningHello);
                TakeMessage(peer, mails[0], true);
                peer.Close();
            },
            2);
        TNetSMTPPool pool(Server(server.Port()));
        Deliver(pool, mails);
        server.Finish();
        EXPECT_EQ(server.Failure(), "");
        ASSERT_TRUE(ErrorOf<ENetConnClosedGracefully>(outcomes_[0]));
        EXPECT_EQ(outcomes_[0].ErrorText(), "Connection Closed Gracefully.");
        EXPECT_EQ(pool.Connections(), 2);
    }
    // A refused login ends the message; the session says goodbye.
    {
        const std::vector<TNetSMTPSubmission> mails{Mail(1)};
        TScriptedServer server([&](TScriptedPeer& peer) {
            peer.Send("220 mail.test ESMTP\r\n");
            ExpectAlone(peer, "EHLO client.test");
            peer.Send(PipeliningHello);
            ExpectAlone(peer, "AUTH LOGIN");
            peer.Send("334 VXNlcm5hbWU6\r\n");
            ExpectAlone(peer, TNetEncoderMIME::Encode("user"));
            peer.Send("334 UGFzc3dvcmQ6\r\n");
            ExpectAlone(peer, TNetEncoderMIME::Encode("secret"));
            peer.Send("535 5.7.8 Authentication credentials invalid\r\n");
            ExpectLines(peer, {"QUIT"});
        });
        TNetSMTPPool pool(Server(server.Port()));
        Deliver(pool, mails);
        server.Finish();
        EXPECT_EQ(server.Failure(), "");
        const auto error = ErrorOf<ENetProtocolReplyError>(outcomes_[0]);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->ReplyErrorCode(), 535);
    }
}

TEST_F(SMTPPoolTest, AutoSecuritySendsNoPasswordOverAPlainConnection)
{
    const std::vector<TNetSMTPSubmission> mails{Mail(1)};
    TScriptedServer server([&](TScriptedPeer& peer) {
        peer.Send("220 mail.test ESMTP\r\n");
        ExpectAlone(peer, "EHLO client.test");
        peer.Send(PipeliningHello);
        ExpectLines(peer, {"QUIT"});
    });
    TNetSMTPServer settings = Server(server.Port());
    settings.Security = ssAuto;
    TNetSMTPPool pool(settings);
    Deliver(pool, mails);
    const auto lines = server.Finish();
    EXPECT_EQ(server.Failure(), "");
    EXPECT_EQ(outcomes_[0].ErrorText(), SMTPNoTLSLoginText);
    for (const auto& line : lines)
        EXPECT_FALSE(line.starts_with("AUTH")) << line;
}

TEST_F(SMTPPoolTest, SilentServerEndsTheMessageAfterTheTimeOut)
{
    const std::vector<TNetSMTPSubmission> mails{Mail(1)};
    TScriptedServer server([&](TScriptedPeer& peer) {
        Open(peer, PipeliningHello);
        ExpectEnvelope(peer, mails[0]);
        // Says nothing until the client gives up.
        peer.WaitForClose(5000);
    });
    TNetSMTPServer settings = Server(server.Port());
    settings.TimeoutMs = 300;
    TNetSMTPPool pool(settings);
    const auto start = std::chrono::steady_clock::now();
    Deliver(pool, mails);
    const auto took = std::chrono::steady_clock::now() - start;
    server.Finish();
    EXPECT_EQ(server.Failure(), "");
    ASSERT_TRUE(ErrorOf<ENetReadTimeout>(outcomes_[0]));
    EXPECT_EQ(outcomes_[0].ErrorText(), "Read Timeout");
    EXPECT_LT(took, std::chrono::seconds(4));
}

TEST_F(SMTPPoolTest, AtMostThreeSessionsShareTheMessagesAndEachArrivesOnce)
{
    std::vector<TNetSMTPSubmission> mails;
    for (int n = 1; n <= 12; ++n)
        mails.push_back(Mail(n));
    std::atomic<int> open{0};
    std::atomic<int> mostOpen{0};
    std::mutex lock;
    std::multiset<std::string> received;
    // A plain responder: it answers whatever arrives, in order, in pieces
    // of a few bytes that cut its replies anywhere.
    TScriptedServer server(
        [&](TScriptedPeer& server) {
            struct TPiecemeal {
                TScriptedPeer& Peer;
                std::mt19937 Random;
                void Send(const std::string& bytes)
                {
                    for (std::size_t at = 0; at < bytes.size();) {
                        const std::size_t size = std::uniform_int_distribution<std::size_t>(1, 5)(Random);
                        Peer.Send(std::string_view(bytes).substr(at, size));
                        at += size;
                    }
                }
                std::string ReadLine(int ms) { return Peer.ReadLine(ms); }
                std::string ReadData(int ms) { return Peer.ReadData(ms); }
                bool Closed() const { return Peer.Closed(); }
            } peer{server, std::mt19937(static_cast<unsigned>(open.load() + 7))};
            const int now = ++open;
            for (int seen = mostOpen; now > seen && !mostOpen.compare_exchange_weak(seen, now);) {
            }
            peer.Send("220 mail.test ESMTP\r\n");
            for (;;) {
                const std::string line = peer.ReadLine(5000);
                if (peer.Closed())
                    break;
                if (line.starts_with("EHLO")) {
                    peer.Send(PipeliningHello);
                } else if (line == "AUTH LOGIN" || line == TNetEncoderMIME::Encode("user")) {
                    peer.Send("334 go on\r\n");
                } else if (line == TNetEncoderMIME::Encode("secret")) {
                    peer.Send("235 welcome\r\n");
                } else if (line == "DATA") {
                    peer.Send("354 go ahead\r\n");
                    const std::string data = peer.ReadData(5000);
                    {
                        std::lock_guard guard(lock);
                        received.insert(data);
                    }
                    peer.Send("250 queued\r\n");
                } else if (line == "QUIT") {
                    peer.Send("221 bye\r\n");
                    break;
                } else {
                    peer.Send("250 ok\r\n");
                }
            }
            --open;
        },
        3, true);
    TNetSMTPPool pool(Server(server.Port(), 3));
    Deliver(pool, mails);
    server.Finish();
    EXPECT_EQ(server.Failure(), "");
    for (const auto& outcome : outcomes_)
        EXPECT_TRUE(outcome.Sent) << outcome.ErrorText();
    EXPECT_EQ(pool.Connections(), 3);
    EXPECT_LE(mostOpen.load(), 3);
    std::multiset<std::string> expected;
    for (const auto& mail : mails)
        expected.insert(Wire(mail));
    EXPECT_EQ(received, expected);
}

TEST_F(SMTPPoolTest, AbortClosesAtOnceAndReportsNothingMore)
{
    const std::vector<TNetSMTPSubmission> mails{Mail(1), Mail(2)};
    std::atomic<bool> waiting{false};
    std::atomic<bool> closed{false};
    TScriptedServer server([&](TScriptedPeer& peer) {
        Open(peer, PipeliningHello);
        TakeMessage(peer, mails[0], true);
        ExpectEnvelope(peer, mails[1]);
        // The end of the first message is never answered.
        waiting = true;
        closed = peer.WaitForClose(5000);
    });
    TNetSMTPPool pool(Server(server.Port()));
    int reports = 0;
    for (const auto& mail : mails)
        pool.Submit(mail, [&](const TNetSMTPOutcome&) { ++reports; });
    const auto start = std::chrono::steady_clock::now();
    while (!waiting && std::chrono::steady_clock::now() - start < std::chrono::seconds(5))
        pool.Pump(50);
    ASSERT_TRUE(waiting);
    pool.Abort();
    EXPECT_TRUE(pool.Done());
    EXPECT_EQ(pool.Sessions(), 0);
    EXPECT_TRUE(pool.PollFds().empty());
    server.Finish();
    EXPECT_EQ(server.Failure(), "");
    EXPECT_TRUE(closed);
    EXPECT_EQ(reports, 0);
}

TEST_F(SMTPPoolTest, HostileServersEndEveryMessageOnceAndNothingHangs)
{
    // Servers that answer anything at random: refusals, 421, replies nobody
    // asked for, garbage, over-long lines, silence and sudden closes. Every
    // message must be reported once, and the pass must end.
    static const std::vector<std::string> answers{
        "250 ok\r\n", "250 ok\r\n", "250 ok\r\n", "354 go ahead\r\n", "354 go ahead\r\n", "334 VXNlcm5hbWU6\r\n",
        "235 welcome\r\n", "550 5.7.1 no\r\n", "421 4.7.0 bye\r\n", "250-a\r\n250-PIPELINING\r\n250 AUTH LOGIN PLAIN\r\n",
        "garbage\r\n", "250-unfinished\r\n", "\r\n\r\n", std::string(17000, 'x'), "close", "silence"};
    std::atomic<unsigned> seed{1};
    std::set<std::string> endings;
    for (int round = 0; round < 25; ++round) {
        SCOPED_TRACE(round);
        std::vector<TNetSMTPSubmission> mails;
        for (int n = 1; n <= 4; ++n)
            mails.push_back(Mail(n, {"one@example.org", "two@example.org"}));
        auto server = std::make_unique<TScriptedServer>(
            [&](TScriptedPeer& peer) {
                std::mt19937 random(seed++ * 7919u + static_cast<unsigned>(round));
                peer.Send("220 mail.test ESMTP\r\n");
                for (int lines = 0; lines < 200; ++lines) {
                    const std::string line = peer.ReadLine(2000);
                    if (peer.Closed())
                        return;
                    // Mostly the right answer, so that some mail gets through.
                    std::string answer = "250 ok\r\n";
                    if (line.starts_with("EHLO"))
                        answer = PipeliningHello;
                    else if (line.starts_with("AUTH LOGIN") || line == TNetEncoderMIME::Encode("user"))
                        answer = "334 go on\r\n";
                    else if (line == TNetEncoderMIME::Encode("secret"))
                        answer = "235 welcome\r\n";
                    else if (line == "DATA")
                        answer = "354 go ahead\r\n";
                    if (std::uniform_int_distribution<int>(0, 9)(random) < 2)
                        answer = answers[std::uniform_int_distribution<std::size_t>(0, answers.size() - 1)(random)];
                    if (answer == "close")
                        return;
                    if (answer == "silence") {
                        peer.WaitForClose(1000);
                        return;
                    }
                    peer.Send(answer);
                    if (line == "DATA" && answer.starts_with("354")) {
                        peer.ReadData(2000);
                        peer.Send(std::uniform_int_distribution<int>(0, 9)(random) < 8 ? "250 queued\r\n"
                                                                                        : "554 no\r\n");
                    }
                }
            },
            12, true);
        TNetSMTPServer settings = Server(server->Port(), 2);
        settings.TimeoutMs = 200;
        TNetSMTPPool pool(settings);
        Deliver(pool, mails);
        EXPECT_EQ(pool.Sessions(), 0);
        for (const auto& outcome : outcomes_)
            endings.insert(outcome.Sent ? "sent" : outcome.ErrorText());
        // The server may still wait for connections that never come.
        server.reset();
    }
    // The servers were hostile in many ways, and some mail got through.
    EXPECT_TRUE(endings.contains("sent"));
    EXPECT_GE(endings.size(), 5u) << ::testing::PrintToString(endings);
}
