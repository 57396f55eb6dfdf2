#include "platform/Connection.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

TNetInterface Lan(const std::string& name)
{
    return {name, true, true, false, false, true};
}

TNetInterface Ppp(const std::string& name)
{
    return {name, true, true, false, true, true};
}

TConnectionSnapshot Machine(std::vector<TNetInterface> interfaces,
                            std::vector<std::string> defaults, bool proxy = false)
{
    TConnectionSnapshot s;
    s.Interfaces = std::move(interfaces);
    s.DefaultRouteInterfaces = std::move(defaults);
    s.ProxyConfigured = proxy;
    return s;
}

} // namespace

TEST(ConnectionKind, ModemBeforeLanBeforeProxy)
{
    EXPECT_EQ(ConnectionKindOf(Machine({Lan("eth0"), Ppp("ppp0")}, {"ppp0"}, true)), 1);
    EXPECT_EQ(ConnectionKindOf(Machine({Lan("eth0"), Ppp("tun0")}, {"eth0", "tun0"}, true)), 1);
    // A "ppp" interface counts as a modem even without the point-to-point flag.
    EXPECT_EQ(ConnectionKindOf(Machine({Lan("ppp1")}, {"ppp1"})), 1);
    EXPECT_EQ(ConnectionKindOf(Machine({Lan("eth0"), Ppp("ppp0")}, {"eth0"}, true)), 2);
    EXPECT_EQ(ConnectionKindOf(Machine({Lan("eth0")}, {}, true)), 3);
    EXPECT_EQ(ConnectionKindOf(Machine({Lan("eth0")}, {})), 0);
}

TEST(ConnectionKind, DefaultRouteNeedsALiveAddressedInterface)
{
    auto down = Lan("eth0");
    down.Up = false;
    auto notRunning = Lan("eth0");
    notRunning.Running = false;
    auto bare = Lan("eth0");
    bare.HasAddress = false;
    auto loop = Lan("lo");
    loop.Loopback = true;
    for (const auto& i : {down, notRunning, bare, loop}) {
        EXPECT_EQ(ConnectionKindOf(Machine({i}, {i.Name})), 0) << i.Name;
        EXPECT_EQ(ConnectionKindOf(Machine({i}, {i.Name}, true)), 3) << i.Name;
    }
    // A default route through an interface the machine does not list.
    EXPECT_EQ(ConnectionKindOf(Machine({Lan("eth0")}, {"wlan0"})), 0);
    // A point-to-point link without an address falls through to the LAN test.
    auto dialling = Ppp("ppp0");
    dialling.HasAddress = false;
    EXPECT_EQ(ConnectionKindOf(Machine({dialling, Lan("eth0")}, {"ppp0", "eth0"})), 2);
}

TEST(ConnectionKind, UnreadableSystemIsNoConnection)
{
    auto s = Machine({Lan("eth0")}, {"eth0"}, true);
    s.Readable = false;
    EXPECT_EQ(ConnectionKindOf(s), 0);
}

TEST(ConnectionKind, ReadsDefaultRoutesFromKernelTables)
{
    const std::string v4 =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
        "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"
        "wlan0\t00000000\t010200C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
        "eth1\t00000000\t010200C0\t0002\t0\t0\t0\t00000000\t0\t0\t0\n"      // not up
        "eth2\t00000000\t00000000\t0201\t0\t0\t0\t00000000\t0\t0\t0\n"      // reject
        "eth3\t00000000\t010200C0\t0003\t0\t0\t0\t80FFFFFF\t0\t0\t0\n";     // not /0
    EXPECT_EQ(DefaultRoutesIPv4(v4), (std::vector<std::string>{"wlan0"}));

    const std::string zero = "00000000000000000000000000000000";
    const std::string v6 =
        "fd000000000000000000000000000000 40 " + zero + " 00 " + zero + " 00000100 00000001 00000000 00000001     eth0\n" +
        zero + " 00 " + zero + " 00 fd000000000000000000000000000001 00000400 00000002 00000000 00000003     eth0\n" +
        zero + " 00 " + zero + " 00 " + zero + " ffffffff 00000001 00000000 00200200       lo\n";
    EXPECT_EQ(DefaultRoutesIPv6(v6), (std::vector<std::string>{"eth0"}));
    EXPECT_TRUE(DefaultRoutesIPv4("").empty());
}

TEST(ConnectionKind, ProxyFromEnvironmentCountsAsConnected)
{
    // Only the proxy part of the reading is steered; the interfaces are real.
    const char* names[] = {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy"};
    std::vector<std::pair<std::string, std::string>> saved;
    for (const char* name : names) {
        if (const char* value = std::getenv(name))
            saved.emplace_back(name, value);
        unsetenv(name);
    }
    EXPECT_FALSE(ReadConnectionSnapshot().ProxyConfigured);
    for (const char* name : names) {
        setenv(name, "http://127.0.0.1:3128", 1);
        EXPECT_TRUE(ReadConnectionSnapshot().ProxyConfigured) << name;
        EXPECT_TRUE(IsInternetConnected()) << name;
        setenv(name, "  ", 1);
        EXPECT_FALSE(ReadConnectionSnapshot().ProxyConfigured) << name;
        unsetenv(name);
    }
    for (const auto& [name, value] : saved)
        setenv(name.c_str(), value.c_str(), 1);
}
