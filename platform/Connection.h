#pragma once

// Whether the machine can reach the Internet, told from what the system
// reports about its interfaces, routes and proxy settings. Reading the system
// and deciding are apart so that every decision can be tried on a made-up
// machine.

#include <string>
#include <string_view>
#include <vector>

// 0 none, 1 modem, 2 local network, 3 proxy.
constexpr int ConnectionNone = 0;
constexpr int ConnectionModem = 1;
constexpr int ConnectionLan = 2;
constexpr int ConnectionProxy = 3;

struct TNetInterface {
    std::string Name;
    bool Up = false;
    bool Running = false;
    bool Loopback = false;
    bool PointToPoint = false;
    // An IPv4 address, or an IPv6 one beyond link-local scope.
    bool HasAddress = false;
};

struct TConnectionSnapshot {
    // False when the interfaces could not be listed at all.
    bool Readable = true;
    std::vector<TNetInterface> Interfaces;
    // Names of the interfaces that carry an IPv4 or IPv6 default route.
    std::vector<std::string> DefaultRouteInterfaces;
    // A proxy named in http_proxy, https_proxy, HTTP_PROXY, HTTPS_PROXY or all_proxy.
    bool ProxyConfigured = false;
};

// The kind of connection the snapshot shows.
int ConnectionKindOf(const TConnectionSnapshot& snapshot);

// The running system's interfaces, default routes and proxy settings.
TConnectionSnapshot ReadConnectionSnapshot();

// Interfaces with a usable default route in the text of /proc/net/route and
// /proc/net/ipv6_route.
std::vector<std::string> DefaultRoutesIPv4(std::string_view procNetRoute);
std::vector<std::string> DefaultRoutesIPv6(std::string_view procNetIpv6Route);

int InternetConnectionKind();
bool IsInternetConnected();
