#include "transport/NetErrors.h"
#include "transport/NetStack.h"
#include "transport/NetStackPosix.h"
#include "tests/support/Thrown.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <netdb.h>

namespace {

std::string Dotted(const std::string& text)
{
    return TNetStack::BytesToDotted(TNetStack::IPv4ToBytes(text));
}

}

TEST(NetStackAddress, AcceptsTheFourLiteralForms)
{
    EXPECT_EQ(Dotted("10.0.0.1"), "10.0.0.1");
    EXPECT_EQ(Dotted("10.1"), "10.0.0.1");
    EXPECT_EQ(Dotted("167772161"), "10.0.0.1");
    EXPECT_EQ(Dotted("10.0.1"), "10.0.0.1");
    EXPECT_EQ(Dotted("127.65535"), "127.0.255.255");
    EXPECT_EQ(Dotted("1.2.772"), "1.2.3.4");
    EXPECT_EQ(Dotted("4294967295"), "255.255.255.255");
    EXPECT_EQ(Dotted("0"), "0.0.0.0");
}

TEST(NetStackAddress, RejectsTextOutsideTheForms)
{
    for (const char* text : {"10.0.0.256", "10.0.0.1.5", "mail.example.org", "", "4294967296", "10.16777216",
                             "1.2.65536", "256.1", "1..2", "10.0.0.", " 10.0.0.1", "-1", "0x7f.1"})
        EXPECT_FALSE(TNetStack::IsIP(text)) << text;
    const auto error = Thrown<ENetInvalidIPAddress>([&] { TNetStack::IPv4ToBytes("10.0.0.256"); });
    ASSERT_TRUE(error);
    EXPECT_STREQ(error->what(), "10.0.0.256 is not a valid IP address.");
}

TEST(NetStackAddress, ByteOrder)
{
    EXPECT_EQ(TNetStack::NToHS(TNetStack::HToNS(0x1234)), 0x1234);
    EXPECT_EQ(TNetStack::NToHL(TNetStack::HToNL(0x12345678u)), 0x12345678u);
    const std::uint32_t n = TNetStack::HToNL(0x01020304u);
    EXPECT_EQ(reinterpret_cast<const unsigned char*>(&n)[0], 1);
}

class NetStackTest : public ::testing::Test {
protected:
    TNetStackShare share_;
    TNetStack& stack_ = GNetStack();
};

TEST_F(NetStackTest, ResolvesLocalhostAndLiteralsWithoutLookup)
{
    EXPECT_EQ(stack_.ResolveHost("LocalHost"), "127.0.0.1");
    EXPECT_EQ(stack_.ResolveHost("localhost"), "127.0.0.1");
    EXPECT_EQ(stack_.ResolveHost("167772161"), "167772161");
}

TEST_F(NetStackTest, UnknownHostIsSocketError11001)
{
    const auto error = Thrown<ENetSocketError>([&] { stack_.ResolveHost("no-such-host.invalid"); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->LastError(), 11001);
    EXPECT_STREQ(error->what(), "Socket Error # 11001\r\nHost not found.");
}

TEST_F(NetStackTest, ErrorMessagesCarryNumberAndText)
{
    EXPECT_EQ(stack_.SocketErrorMessage(10061), "Socket Error # 10061\r\nConnection refused.");
    EXPECT_EQ(stack_.SocketErrorMessage(10035), "Socket Error # 10035\r\nOperation would block. ");
    EXPECT_EQ(stack_.SocketErrorMessage(10066), "Socket Error # 10066\r\nDirectory not empty");
    EXPECT_EQ(stack_.SocketErrorMessage(12345), "Socket Error # 12345\r\n");
    EXPECT_EQ(stack_.SocketErrorMessage(11001), "Socket Error # 11001\r\nHost not found.");
}

TEST(NetStackErrors, PlatformNumbersMapOntoTheTable)
{
    EXPECT_EQ(NetErrorFromErrno(ECONNREFUSED), 10061);
    EXPECT_EQ(NetErrorFromErrno(ECONNRESET), 10054);
    EXPECT_EQ(NetErrorFromErrno(ETIMEDOUT), 10060);
    EXPECT_EQ(NetErrorFromErrno(EPIPE), 10058);
    EXPECT_EQ(NetErrorFromErrno(EADDRINUSE), 10048);
    EXPECT_EQ(NetErrorFromErrno(EHOSTUNREACH), 10065);
    EXPECT_EQ(NetErrorFromResolver(EAI_NONAME, 0), 11001);
    EXPECT_EQ(NetErrorFromResolver(EAI_AGAIN, 0), 11001);
    EXPECT_EQ(NetErrorFromResolver(EAI_SYSTEM, ECONNREFUSED), 10061);
}

TEST_F(NetStackTest, CheckForSocketErrorStoresIgnoresOrRaises)
{
    EXPECT_FALSE(stack_.CheckForSocketError(0));
    EXPECT_FALSE(stack_.CheckForSocketError(17));
    // A failing call to set up the platform's last error.
    EXPECT_EQ(stack_.CloseSocket(-5), NetSocketError);
    EXPECT_TRUE(stack_.CheckForSocketError(NetSocketError, {10009}));
    EXPECT_EQ(stack_.LastError(), 10009);
    const auto error = Thrown<ENetSocketError>([&] { stack_.CheckForSocketError(NetSocketError); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->LastError(), 10009);
    EXPECT_STREQ(error->what(), "Socket Error # 10009\r\nBad file number.");
}

TEST_F(NetStackTest, SelectRefusesMoreThan64Handles)
{
    TNetSocketSet set(65, 0);
    EXPECT_THROW(stack_.Select(&set, nullptr, nullptr, 0), ENetStackSetSizeExceeded);
    try {
        stack_.Select(nullptr, nullptr, &set, 0);
    } catch (const ENetException& e) {
        EXPECT_STREQ(e.what(), "Set Size Exceeded.");
    }
}

TEST_F(NetStackTest, BindAndNamesRoundTrip)
{
    const TNetSocket s = stack_.CreateSocket(NetSockStream, 0);
    EXPECT_FALSE(stack_.CheckForSocketError(stack_.Bind(s, NetFamilyIPv4, "127.0.0.1", 0)));
    const TNetSockName name = stack_.GetSockName(s);
    EXPECT_EQ(name.Family, NetFamilyIPv4);
    EXPECT_EQ(name.Address, "127.0.0.1");
    EXPECT_GT(name.Port, 0);
    EXPECT_THROW(stack_.GetPeerName(s), ENetSocketError);
    stack_.CloseSocket(s);
}

TEST(NetStackShares, FirstShareCreatesAndLastDestroysTheStack)
{
    int created = 0;
    int destroyed = 0;
    struct TCountingStack : TNetStackPosix {
        int* destroyed;
        explicit TCountingStack(int* d) : destroyed(d) {}
        ~TCountingStack() override { ++*destroyed; }
    };
    SetNetStackFactory([&] {
        ++created;
        return std::make_unique<TCountingStack>(&destroyed);
    });
    {
        TNetStackShare a;
        TNetStackShare b;
        EXPECT_EQ(created, 1);
    }
    EXPECT_EQ(destroyed, 1);
    {
        TNetStackShare c;
        EXPECT_EQ(created, 2);
        EXPECT_TRUE(TNetStackPosix::Started());
    }
    SetNetStackFactory({});
}
