// Replies assembled from bytes in whatever pieces they arrive must be the
// replies the blocking connection reads from the same bytes.

#include "tests/support/ScriptedServer.h"
#include "transport/NetErrors.h"
#include "transport/NetReplyReader.h"
#include "transport/NetTCPClient.h"

#include <gtest/gtest.h>
#include <random>

namespace {

struct TReadResult {
    std::vector<std::pair<int, TLines>> Replies;
    // The error that ended the reading, empty when the bytes ran out.
    std::string Error;
    bool operator==(const TReadResult&) const = default;
};

// Feeds the stream in pieces of the given sizes (cycled), taking replies as
// they complete.
TReadResult ReadInPieces(const std::string& stream, const std::vector<std::size_t>& pieces)
{
    TReadResult result;
    TNetReplyReader reader;
    std::size_t at = 0;
    std::size_t k = 0;
    try {
        while (at < stream.size()) {
            const std::size_t size = std::min(std::max<std::size_t>(pieces[k++ % pieces.size()], 1), stream.size() - at);
            reader.Feed(std::string_view(stream).substr(at, size));
            at += size;
            TNetRFCReply reply;
            while (reader.Next(reply))
                result.Replies.emplace_back(reply.NumericCode(), reply.Text);
        }
    } catch (const std::exception& e) {
        result.Error = e.what();
    }
    return result;
}

// The blocking connection reading the same bytes from a server that sends
// them and closes.
TReadResult ReadBlocking(const std::string& stream)
{
    TScriptedServer server([&](TScriptedPeer& peer) {
        peer.Send(stream);
        peer.Close();
    });
    TNetTCPClient client;
    client.Host = "127.0.0.1";
    client.Port = server.Port();
    client.ReadTimeout = 5000;
    client.Open();
    TReadResult result;
    try {
        for (;;) {
            const int code = client.ReadReply(TNetReplyCodes{});
            result.Replies.emplace_back(code, client.LastReply().Text);
        }
    } catch (const ENetConnClosedGracefully&) {
        // The bytes ran out.
    } catch (const std::exception& e) {
        result.Error = e.what();
    }
    client.Close();
    server.Finish();
    return result;
}

std::string RandomReplies(std::mt19937& random)
{
    static const std::vector<std::string> pieces{
        "250", "250-", "250 ", "251-", "354 ", "220-", "xyz ", "25", "ok", "AUTH LOGIN", " ", "\t", "\r", "\n",
        "\r\n", "\r\n", "\r\n", "-", "a", "550 5.7.1 Relaying denied", "\r\r\n", "250-PIPELINING"};
    std::string stream;
    const int count = std::uniform_int_distribution<int>(1, 40)(random);
    for (int i = 0; i < count; ++i)
        stream += pieces[std::uniform_int_distribution<std::size_t>(0, pieces.size() - 1)(random)];
    // Whatever is left unterminated is not a reply for either reader.
    const auto lastLF = stream.rfind('\n');
    return lastLF == std::string::npos ? std::string() : stream.substr(0, lastLF + 1);
}

}

TEST(NetReplyReaderTest, RepliesFollowTheContinuationRules)
{
    const std::string stream = "\r\n  \r\n250-first\r\n251-not the end\n250-second\r\n250 last\r\n"
                               "250-a\r\n250\r\n"
                               "250\r\n"
                               "xyz whatever\r\n"
                               "220 bare\rCR\r\n";
    const TReadResult result = ReadInPieces(stream, {stream.size()});
    ASSERT_EQ(result.Error, "");
    ASSERT_EQ(result.Replies.size(), 5u);
    EXPECT_EQ(result.Replies[0], (std::pair<int, TLines>{250, {"first", "not the end", "second", "last"}}));
    EXPECT_EQ(result.Replies[1], (std::pair<int, TLines>{250, {"a", ""}}));
    EXPECT_EQ(result.Replies[2], (std::pair<int, TLines>{250, {""}}));
    EXPECT_EQ(result.Replies[3].first, 0);
    EXPECT_EQ(result.Replies[4], (std::pair<int, TLines>{220, {"bare\rCR"}}));
}

TEST(NetReplyReaderTest, LimitsAreTheBlockingConnectionsLimits)
{
    // The CR counts against the longest line.
    const std::string longest(16383, 'x');
    EXPECT_EQ(ReadInPieces("250 " + longest.substr(4) + "\r\n", {100}).Error, "");
    EXPECT_EQ(ReadInPieces("250 " + longest.substr(3) + "\r\n", {100}).Error, "Max line length exceeded.");
    EXPECT_EQ(ReadInPieces("250 " + longest.substr(3) + "\n", {100}).Error, "");
    // An over-long line fails before its end has arrived.
    EXPECT_EQ(ReadInPieces(std::string(20000, 'y'), {4096}).Error, "Max line length exceeded.");
    std::string endless;
    for (int i = 0; i < 600; ++i)
        endless += "250-more\r\n";
    EXPECT_EQ(ReadInPieces(endless, {64}).Error, "Server reply too long.");
    const TReadResult refused = ReadInPieces("550 5.7.1 Relaying denied\r\n", {3});
    ASSERT_EQ(refused.Replies.size(), 1u);
    TNetRFCReply reply;
    reply.ParseLines({"550 5.7.1 Relaying denied"});
    try {
        CheckReplyCode(reply, {250, 251});
        ADD_FAILURE() << "a refusal passed";
    } catch (const ENetProtocolReplyError& e) {
        EXPECT_EQ(e.ReplyErrorCode(), 550);
        EXPECT_STREQ(e.what(), "5.7.1 Relaying denied\r\n");
    }
    EXPECT_NO_THROW(CheckReplyCode(reply, {}));
}

TEST(NetReplyReaderTest, AnyCuttingOfRandomRepliesReadsAsTheBlockingConnectionReadsThem)
{
    std::mt19937 random(20261209);
    for (int round = 0; round < 60; ++round) {
        const std::string stream = RandomReplies(random);
        SCOPED_TRACE(::testing::PrintToString(stream));
        const TReadResult blocking = ReadBlocking(stream);
        EXPECT_EQ(ReadInPieces(stream, {stream.size() + 1}), blocking);
        std::vector<std::size_t> pieces;
        for (int k = 0; k < 8; ++k)
            pieces.push_back(std::uniform_int_distribution<std::size_t>(1, 7)(random));
        EXPECT_EQ(ReadInPieces(stream, pieces), blocking);
        EXPECT_EQ(ReadInPieces(stream, {1}), blocking);
    }
}
