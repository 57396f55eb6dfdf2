// The hook that keeps a window working while the transport waits: every wait
// of the transport on the hook's thread gives way to it at least every idle
// time-out, and nothing changes for other threads or without a hook.

#include "tests/support/ScriptedServer.h"
#include "transport/NetAntiFreeze.h"
#include "transport/NetErrors.h"
#include "transport/NetIOHandlerSocket.h"
#include "transport/NetTCPClient.h"

#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Records when it was given way to; can run an action from inside the wait.
class TRecordingFreeze : public TNetAntiFreezeBase {
public:
    std::vector<Clock::time_point> Calls;
    std::function<void()> During;
    void Process() override
    {
        Calls.push_back(Clock::now());
        if (During)
            During();
    }
    long long LongestGapMs(Clock::time_point start) const
    {
        long long longest = 0;
        Clock::time_point last = start;
        for (auto t : Calls) {
            longest = std::max<long long>(longest, std::chrono::duration_cast<std::chrono::milliseconds>(t - last).count());
            last = t;
        }
        return longest;
    }
};

TEST(NetAntiFreezeTest, ReadWaitGivesWayAtEachIdleTimeOutAndStillTimesOut)
{
    TScriptedServer server([](TScriptedPeer& peer) {
        peer.Send("220 hello\r\n");
        peer.WaitForClose(5000);
    });
    TRecordingFreeze freeze;
    TNetTCPClient client;
    client.Host = "127.0.0.1";
    client.Port = server.Port();
    client.ReadTimeout = 400;
    client.Open(-1);
    EXPECT_EQ(client.ReadLine(), "220 hello");
    const auto start = Clock::now();
    freeze.Calls.clear();
    EXPECT_THROW(client.ReadLine(), ENetReadTimeout);
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_GE(waited, 380);
    EXPECT_LT(waited, 2000);
    EXPECT_GE(freeze.Calls.size(), 6u);
    // Slices of 50 ms; the slack is for a loaded machine.
    EXPECT_LT(freeze.LongestGapMs(start), 150);
    client.Close();
    server.Finish();
}

TEST(NetAntiFreezeTest, NoHookOrAnotherThreadOrInactiveBlocksInOnePiece)
{
    TScriptedServer server(
        [](TScriptedPeer& peer) {
            peer.Send("220 hello\r\n");
            peer.WaitForClose(5000);
        },
        2);
    TRecordingFreeze freeze;
    // A wait on another thread never runs the hook: the window's events are
    // not that thread's to handle.
    std::thread other([&] {
        TNetTCPClient client;
        client.Host = "127.0.0.1";
        client.Port = server.Port();
        client.ReadTimeout = 200;
        client.Open(-1);
        client.ReadLine();
        EXPECT_THROW(client.ReadLine(), ENetReadTimeout);
        client.Close();
    });
    other.join();
    EXPECT_TRUE(freeze.Calls.empty());

    freeze.Active = false;
    TNetTCPClient client;
    client.Host = "127.0.0.1";
    client.Port = server.Port();
    client.ReadTimeout = 200;
    client.Open(-1);
    client.ReadLine();
    EXPECT_THROW(client.ReadLine(), ENetReadTimeout);
    client.Close();
    EXPECT_TRUE(freeze.Calls.empty());
    server.Finish();
}

TEST(NetAntiFreezeTest, ReplyArrivingDuringTheWaitIsRead)
{
    TScriptedServer server([](TScriptedPeer& peer) {
        peer.Send("220 hello\r\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        peer.Send("250 late\r\n");
        peer.WaitForClose(5000);
    });
    TRecordingFreeze freeze;
    TNetTCPClient client;
    client.Host = "127.0.0.1";
    client.Port = server.Port();
    client.ReadTimeout = 5000;
    client.Open(-1);
    EXPECT_EQ(client.ReadLine(), "220 hello");
    EXPECT_EQ(client.ReadLine(), "250 late");
    EXPECT_GE(freeze.Calls.size(), 3u);
    client.Close();
    server.Finish();
}

TEST(NetAntiFreezeTest, ConnectionClosedFromInsideTheWaitEndsTheRead)
{
    // The window may end the session while it handles its events (the
    // program is closed): the read must end, not wait on a dead socket.
    TScriptedServer server([](TScriptedPeer& peer) {
        peer.Send("220 hello\r\n");
        peer.WaitForClose(5000);
    });
    TRecordingFreeze freeze;
    TNetTCPClient client;
    client.Host = "127.0.0.1";
    client.Port = server.Port();
    client.ReadTimeout = 5000;
    client.Open(-1);
    client.ReadLine();
    freeze.During = [&] {
        freeze.During = nullptr;
        client.Close();
    };
    const auto start = Clock::now();
    EXPECT_ANY_THROW(client.ReadLine());
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), 2000);
    server.Finish();
}

TEST(NetAntiFreezeTest, LargeSendToASlowReaderGivesWay)
{
    // The server takes two seconds before reading: a blocking send of a large
    // page would hold the window that long. The bound on the gaps is loose so
    // that a loaded machine does not fail it; a send that never gives way does.
    const std::size_t size = 8u << 20;
    TScriptedServer server([&](TScriptedPeer& peer) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2000));
        std::size_t got = 0;
        std::string line;
        while (got < size) {
            line = peer.ReadLine(5000);
            if (peer.Closed())
                break;
            got += line.size() + 2;
        }
        peer.Send("250 ok\r\n");
        peer.WaitForClose(5000);
    });
    TRecordingFreeze freeze;
    TNetTCPClient client;
    client.Host = "127.0.0.1";
    client.Port = server.Port();
    client.ReadTimeout = 10000;
    client.Open(-1);
    std::string data;
    data.reserve(size);
    const std::string line(1022, 'x');
    while (data.size() < size)
        data += line + "\r\n";
    const auto start = Clock::now();
    client.WriteBytes(data.data(), data.size());
    EXPECT_EQ(client.ReadLine(), "250 ok");
    EXPECT_GE(freeze.Calls.size(), 4u);
    EXPECT_LT(freeze.LongestGapMs(start), 1000);
    client.Close();
    server.Finish();
}

} // namespace
