#include "tests/support/ScriptedServer.h"
#include "tests/support/Thrown.h"
#include "transport/NetErrors.h"
#include "transport/NetTCPClient.h"
#include "transport/NetTCPStream.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A client connected to a loopback server that sends `bytes`, then closes
// (or stays until the client closes, when `thenClose` is false).
class ConnectionTest : public ::testing::Test {
protected:
    void Serve(std::string bytes, bool thenClose = true)
    {
        server_ = std::make_unique<TScriptedServer>([bytes, thenClose](TScriptedPeer& peer) {
            peer.Send(bytes);
            if (!thenClose)
                peer.WaitForClose();
        });
        client_.Host = "127.0.0.1";
        client_.Port = server_->Port();
        client_.Open();
    }

    void TearDown() override { client_.Close(); }

    TNetTCPClient client_;
    std::unique_ptr<TScriptedServer> server_;
};

}

TEST_F(ConnectionTest, MultiLineReplyGivesCodeAndTextLines)
{
    Serve("\r\n\r\n250-first\r\n250-second\n251-not the end\r\n250 last\r\n");
    EXPECT_EQ(client_.ReadReply(250), 250);
    EXPECT_EQ(client_.LastReply().TextCode(), "250");
    EXPECT_EQ(client_.LastReply().Text, (TLines{"first", "second", "not the end", "last"}));
}

TEST_F(ConnectionTest, ShortLineEndsAMultiLineReply)
{
    Serve("250-a\r\n250\r\n220\r\n");
    client_.ReadReply(TNetReplyCodes{});
    EXPECT_EQ(client_.LastReply().Text, (TLines{"a", ""}));
    EXPECT_EQ(client_.ReadReply(220), 220);
    EXPECT_EQ(client_.LastReply().Text, (TLines{""}));
}

TEST_F(ConnectionTest, RefusedCodeRaisesWithTheReplyText)
{
    Serve("550-5.7.1 Relaying denied\r\n550 try later\r\nabc nonsense\r\n");
    const auto error = Thrown<ENetProtocolReplyError>([&] { client_.ReadReply({250, 251}); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->ReplyErrorCode(), 550);
    EXPECT_STREQ(error->what(), "5.7.1 Relaying denied\r\ntry later\r\n");
    // A code that is no number is 0 and fails any set of allowed codes.
    EXPECT_THROW(client_.ReadReply(250), ENetProtocolReplyError);
    EXPECT_EQ(client_.LastReply().NumericCode(), 0);
    EXPECT_EQ(client_.LastReply().TextCode(), "abc");
}

TEST_F(ConnectionTest, LineEndsAndBareCarriageReturns)
{
    Serve("crlf\r\nlf\nbare\rcr\r\n\r\nlast");
    EXPECT_EQ(client_.ReadLine(), "crlf");
    EXPECT_EQ(client_.ReadLine(), "lf");
    EXPECT_EQ(client_.ReadLine(), "bare\rcr");
    EXPECT_EQ(client_.ReadLine(), "");
    // The peer closed in the middle of a line: no partial line.
    EXPECT_THROW(client_.ReadLine(), ENetConnClosedGracefully);
    EXPECT_FALSE(client_.IsConnected());
}

TEST_F(ConnectionTest, MaxLineLengthCountsTheCarriageReturn)
{
    const std::string line(16383, 'x');
    Serve(line + "\r\n" + line + "y\n" + line + "y\r\n");
    EXPECT_EQ(client_.ReadLine(), line);
    EXPECT_EQ(client_.ReadLine(), line + "y");
    const auto error = Thrown<ENetReadLnMaxLineLengthExceeded>([&] { client_.ReadLine(); });
    ASSERT_TRUE(error);
    EXPECT_STREQ(error->what(), "Max line length exceeded.");
}

TEST_F(ConnectionTest, OverlongLineWithoutTerminatorYet)
{
    Serve(std::string(20000, 'x'), false);
    EXPECT_THROW(client_.ReadLine(), ENetReadLnMaxLineLengthExceeded);
}

TEST_F(ConnectionTest, SplitHandsOverlongLinesOutInPieces)
{
    Serve("abcdefghij\r\nxy\r\n");
    client_.MaxLineAction = maSplit;
    client_.MaxLineLength = 4;
    EXPECT_EQ(client_.ReadLine(), "abcd");
    EXPECT_TRUE(client_.ReadLnSplit());
    EXPECT_EQ(client_.ReadLine(), "efgh");
    EXPECT_EQ(client_.ReadLine(), "ij");
    EXPECT_FALSE(client_.ReadLnSplit());
    EXPECT_EQ(client_.ReadLine(), "xy");
}

TEST_F(ConnectionTest, LinesArrivingInSmallChunks)
{
    client_.RecvBufferSize = 3;
    std::string text;
    for (int i = 0; i < 200; ++i)
        text += "250-line " + std::to_string(i) + "\r\n";
    text += "250 end\r\nA|B||C";
    Serve(text, false);
    client_.ReadReply(250);
    ASSERT_EQ(client_.LastReply().Text.size(), 201u);
    EXPECT_EQ(client_.LastReply().Text[137], "line 137");
    // A terminator of two bytes that arrives split across receives.
    EXPECT_EQ(client_.ReadLine("||"), "A|B");
    EXPECT_EQ(client_.ReadString(1), "C");
}

TEST_F(ConnectionTest, ReplyBeforeCloseIsStillRead)
{
    Serve("221 bye\r\n");
    ::usleep(50000);
    EXPECT_EQ(client_.ReadReply(221), 221);
    const auto error = Thrown<ENetConnClosedGracefully>([&] { client_.ReadReply(250); });
    ASSERT_TRUE(error);
    EXPECT_STREQ(error->what(), "Connection Closed Gracefully.");
    EXPECT_THROW(client_.WriteLine("x"), ENetConnClosedGracefully);
}

TEST_F(ConnectionTest, SilentServerEndsTheReadWithReadTimeout)
{
    Serve("", false);
    client_.ReadTimeout = 200;
    const auto start = std::chrono::steady_clock::now();
    const auto error = Thrown<ENetReadTimeout>([&] { client_.ReadReply(220); });
    ASSERT_TRUE(error);
    EXPECT_STREQ(error->what(), "Read Timeout");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(180));
    // An explicit time-out answers an empty line instead.
    EXPECT_EQ(client_.ReadLine("\n", 20), "");
    EXPECT_TRUE(client_.ReadLnTimedOut());
    EXPECT_TRUE(client_.IsConnected());
}

TEST_F(ConnectionTest, EndlessRepliesAreCappedInSizeAndLines)
{
    // A continuation that never ends; nothing but empty lines; few lines
    // of the longest length a line may have.
    for (const std::string& unit : {std::string("220-more\r\n"), std::string("\r\n"),
                                   "250-" + std::string(16000, 'x') + "\r\n"}) {
        TScriptedServer server([&](TScriptedPeer& peer) {
            std::string block;
            while (block.size() < 65536)
                block += unit;
            for (int i = 0; i < 64 && !peer.Closed(); ++i)
                peer.Send(block);
            peer.WaitForClose(5000);
        });
        TNetTCPClient client;
        client.Host = "127.0.0.1";
        client.Port = server.Port();
        client.ReadTimeout = 2000;
        client.Open();
        const auto start = std::chrono::steady_clock::now();
        try {
            client.ReadReply(220);
            ADD_FAILURE() << "no error";
        } catch (const std::exception& e) {
            EXPECT_STREQ(e.what(), "Server reply too long.");
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
        client.Close();
        server.Finish();
    }
    // A reply just inside the caps is read.
    std::string reply;
    for (int i = 0; i < 498; ++i)
        reply += "250-line\r\n";
    Serve(reply + "\r\n250 end\r\n");
    EXPECT_EQ(client_.ReadReply(250), 250);
    EXPECT_EQ(client_.LastReply().Text.size(), 499u);
}

TEST_F(ConnectionTest, CommandsWriteLinesAndReadReplies)
{
    server_ = std::make_unique<TScriptedServer>([](TScriptedPeer& peer) {
        peer.ReadLine();
        peer.Send("250 ok\r\n");
        peer.ReadLine();
        peer.Send("354 go\r\n");
        peer.ReadLine();
        peer.ReadLine();
        peer.WaitForClose();
    });
    client_.Host = "localhost";
    client_.Port = server_->Port();
    client_.Open();
    EXPECT_EQ(client_.ExecuteCommand("NOOP", 250), 250);
    EXPECT_EQ(client_.ExecuteCommand("DATA"), 354);
    client_.WriteStrings({"a", "b"});
    client_.Close();
    EXPECT_EQ(server_->Finish(), (std::vector<std::string>{"NOOP", "DATA", "a", "b"}));
}

TEST_F(ConnectionTest, OpenTwiceAndReopenAfterClose)
{
    server_ = std::make_unique<TScriptedServer>([](TScriptedPeer& peer) { peer.WaitForClose(); }, 2);
    std::vector<std::string> events;
    client_.OnStatus = [&](TNetStatus, const std::string& text) { events.push_back(text); };
    client_.OnDisconnected = [&] { events.push_back("OnDisconnected"); };
    client_.Host = "127.0.0.1";
    client_.Port = server_->Port();
    client_.Open();
    const auto error = Thrown<ENetAlreadyConnected>([&] { client_.Open(); });
    ASSERT_TRUE(error);
    EXPECT_STREQ(error->what(), "Already connected.");
    client_.Close();
    EXPECT_FALSE(client_.IsConnected());
    EXPECT_THROW(client_.WriteLine("x"), ENetNotConnected);
    client_.Open();
    EXPECT_TRUE(client_.IsConnected());
    client_.Close();
    EXPECT_EQ(events, (std::vector<std::string>{"Connecting to 127.0.0.1.", "Connected.", "Disconnecting.",
                                                "OnDisconnected", "Disconnected.", "Connecting to 127.0.0.1.",
                                                "Connected.", "Disconnecting.", "OnDisconnected", "Disconnected."}));
}

TEST_F(ConnectionTest, ConnectTimeoutAppliesWhenOpenIsGivenTheDefault)
{
    // A loopback listener whose queue of one is taken drops every further
    // connection request unanswered, as a server behind a silent firewall does.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len), 0);
    const int filler = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(::connect(filler, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    // Without a limit the connect would wait for minutes; closing the
    // listener after a few seconds ends it with a refusal instead.
    std::atomic<bool> done{false};
    std::thread closer([listener, &done] {
        for (int i = 0; i < 30 && !done; ++i)
            ::usleep(100000);
        ::shutdown(listener, SHUT_RDWR);
        ::close(listener);
    });
    client_.Host = "127.0.0.1";
    client_.Port = ntohs(sa.sin_port);
    client_.ConnectTimeout = 300;
    const auto start = std::chrono::steady_clock::now();
    try {
        client_.Open();
        ADD_FAILURE() << "connected";
    } catch (const ENetConnectTimeout& e) {
        EXPECT_STREQ(e.what(), "Connect timed out.");
    } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
    }
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(250));
    EXPECT_LT(took, std::chrono::milliseconds(2500));
    EXPECT_FALSE(client_.IsConnected());
    done = true;
    closer.join();
    ::close(filler);
}

TEST_F(ConnectionTest, WritingToAPeerThatHasGoneFailsWithoutKillingTheProcess)
{
    Serve("");
    ::usleep(50000);
    const std::string block(65536, 'z');
    try {
        for (int i = 0; i < 200; ++i)
            client_.Write(block);
        FAIL();
    } catch (const ENetConnClosedGracefully&) {
    } catch (const ENetSocketError& e) {
        EXPECT_TRUE(e.LastError() == 10054 || e.LastError() == 10058 || e.LastError() == 10053) << e.LastError();
    }
    EXPECT_FALSE(client_.IsConnected());
}

TEST_F(ConnectionTest, APeerThatStopsReadingEndsTheWriteWithReadTimeout)
{
    std::atomic<bool> done{false};
    server_ = std::make_unique<TScriptedServer>([&](TScriptedPeer&) {
        // A writer that waits for ever sees the connection go after a while.
        for (int i = 0; i < 80 && !done; ++i)
            ::usleep(100000);
    });
    client_.Host = "127.0.0.1";
    client_.Port = server_->Port();
    client_.WriteTimeout = 300;
    client_.Open();
    const std::string block(1 << 20, 'w');
    const auto start = std::chrono::steady_clock::now();
    try {
        for (int i = 0; i < 256; ++i)
            client_.Write(block);
        ADD_FAILURE() << "everything written";
    } catch (const ENetReadTimeout& e) {
        EXPECT_STREQ(e.what(), "Read Timeout");
    }
    done = true;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
    // What was sent is unknown: the connection is given up.
    EXPECT_FALSE(client_.IsConnected());
    server_->Finish();
}

TEST_F(ConnectionTest, StreamsAreWrittenInChunks)
{
    server_ = std::make_unique<TScriptedServer>([](TScriptedPeer& peer) {
        peer.ReadLine();
        peer.WaitForClose();
    });
    client_.Host = "127.0.0.1";
    client_.Port = server_->Port();
    client_.Open();
    client_.SendBufferSize = 4;
    std::int64_t written = 0;
    client_.OnWorkEnd = [&](TWorkMode mode) { written = client_.WorkTotal(mode); };
    std::istringstream stream("skip-0123456789\n");
    stream.seekg(5);
    client_.WriteStream(stream, false);
    EXPECT_EQ(written, 11);
    client_.Close();
    EXPECT_EQ(server_->Finish(), (std::vector<std::string>{"0123456789"}));
}

TEST(NetManagedBuffer, SkipsConsumedBytesAndCompacts)
{
    std::size_t removed = 0;
    TNetManagedBuffer buffer([&](std::size_t n) { removed += n; });
    buffer.Append(std::string(40000, 'a') + "tail");
    buffer.Remove(30000);
    EXPECT_EQ(buffer.Consumed(), 30000u);
    EXPECT_EQ(buffer.Size(), 10004u);
    EXPECT_EQ(buffer.Extract(9999), std::string(9999, 'a'));
    // The consumed bytes reached the threshold and were moved out.
    EXPECT_EQ(buffer.Consumed(), 0u);
    EXPECT_EQ(buffer.View(), "atail");
    buffer.Append("!");
    EXPECT_EQ(buffer.View(), "atail!");
    const auto error = Thrown<ENetNotEnoughDataInBuffer>([&] { buffer.Remove(7); });
    ASSERT_TRUE(error);
    EXPECT_STREQ(error->what(), "Not enough data in buffer.");
    buffer.Remove(6);
    EXPECT_EQ(buffer.Size(), 0u);
    EXPECT_EQ(removed, 40005u);
}

TEST(NetRFCReply, CodeSettersAreCoupled)
{
    TNetRFCReply reply;
    reply.SetTextCode("354");
    EXPECT_EQ(reply.NumericCode(), 354);
    reply.SetNumericCode(221);
    EXPECT_EQ(reply.TextCode(), "221");
    reply.SetNumericCode(0);
    EXPECT_EQ(reply.TextCode(), "221");
    reply.SetTextCode("x1");
    EXPECT_EQ(reply.NumericCode(), 0);
    reply.Text = {"a"};
    reply.Clear();
    EXPECT_EQ(reply.NumericCode(), 0);
    EXPECT_TRUE(reply.TextCode().empty());
    EXPECT_TRUE(reply.Text.empty());
}

namespace {

// A transport that takes at most a few bytes per send, to see how writes are cut.
class TRecordingHandler : public TNetIOHandler {
public:
    bool Readable(int) override { return false; }
    int Recv(void*, int) override { return -1; }
    int Send(const void* buffer, int length) override
    {
        const int n = std::min(length, Limit);
        Sends.emplace_back(static_cast<const char*>(buffer), static_cast<std::size_t>(n));
        return n;
    }
    int Limit = 1 << 30;
    std::vector<std::string> Sends;
};

}

TEST(NetConnectionWrites, EveryLineIsOneSendAndPartialSendsContinue)
{
    TNetTCPConnection connection;
    TRecordingHandler handler;
    handler.Open();
    connection.SetIOHandler(&handler);
    connection.WriteLine("MAIL FROM:<a@b>");
    connection.Write("");
    connection.WriteLine("");
    EXPECT_EQ(handler.Sends, (std::vector<std::string>{"MAIL FROM:<a@b>\r\n", "\r\n"}));
    handler.Sends.clear();
    handler.Limit = 4;
    connection.WriteLine("0123456789");
    EXPECT_EQ(handler.Sends, (std::vector<std::string>{"0123", "4567", "89\r\n"}));
    // A failing wait for input counts as nothing readable.
    EXPECT_THROW(connection.ReadLine(), ENetReadTimeout);
    connection.SetIOHandler(nullptr);
}

TEST(NetTCPStream, WritesThroughAndRefusesSeeking)
{
    TNetTCPConnection connection;
    TRecordingHandler handler;
    handler.Open();
    connection.SetIOHandler(&handler);
    TNetTCPStream stream(connection);
    EXPECT_EQ(stream.Write("abc", 3), 3);
    EXPECT_EQ(stream.Seek(0, 0), -1);
    EXPECT_EQ(handler.Sends, (std::vector<std::string>{"abc"}));
    connection.SetIOHandler(nullptr);
}
