#include "platform/Connection.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include "platform/Text.h"

namespace {

// Route flags of the kernel's route tables.
constexpr unsigned long RouteUp = 0x0001;
constexpr unsigned long RouteReject = 0x0200;

bool CarriesDefaultRoute(const TConnectionSnapshot& snapshot, const std::string& name)
{
    const auto& routes = snapshot.DefaultRouteInterfaces;
    return std::find(routes.begin(), routes.end(), name) != routes.end();
}

bool AllZeroHex(std::string_view text)
{
    return !text.empty() && text.find_first_not_of('0') == std::string_view::npos;
}

std::vector<std::string> Fields(const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> fields;
    for (std::string field; in >> field;)
        fields.push_back(field);
    return fields;
}

unsigned long HexValue(const std::string& text)
{
    return std::strtoul(text.c_str(), nullptr, 16);
}

void AddOnce(std::vector<std::string>& names, const std::string& name)
{
    if (std::find(names.begin(), names.end(), name) == names.end())
        names.push_back(name);
}

std::string ReadWhole(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool UsableAddress(const sockaddr* address)
{
    if (address == nullptr)
        return false;
    if (address->sa_family == AF_INET) {
        in_addr ip;
        std::memcpy(&ip, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, sizeof ip);
        return ip.s_addr != 0;
    }
    if (address->sa_family == AF_INET6) {
        // Every interface that is up has a link-local address; it reaches only
        // the local segment.
        in6_addr ip;
        std::memcpy(&ip, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, sizeof ip);
        return !IN6_IS_ADDR_LINKLOCAL(&ip) && !IN6_IS_ADDR_UNSPECIFIED(&ip);
    }
    return false;
}

bool ProxyInEnvironment()
{
    for (const char* name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && !Trim(value).empty())
            return true;
    }
    return false;
}

} // namespace

// The kinds, tested in this order:
//  1 modem: a point-to-point link (IFF_POINTOPOINT, or a "ppp" interface) that
//    is up, has an address and carries the default route;
//  2 local network: any other interface but loopback that is up, running, has
//    an address and carries the default route;
//  3 proxy: no usable route of our own, but a proxy is configured;
//  0 otherwise, and whenever the interfaces cannot be listed.
int ConnectionKindOf(const TConnectionSnapshot& snapshot)
{
    if (!snapshot.Readable)
        return ConnectionNone;
    for (const auto& i : snapshot.Interfaces) {
        const bool pointToPoint = i.PointToPoint || i.Name.rfind("ppp", 0) == 0;
        if (pointToPoint && i.Up && i.HasAddress && CarriesDefaultRoute(snapshot, i.Name))
            return ConnectionModem;
    }
    for (const auto& i : snapshot.Interfaces) {
        if (!i.Loopback && i.Up && i.Running && i.HasAddress &&
            CarriesDefaultRoute(snapshot, i.Name))
            return ConnectionLan;
    }
    if (snapshot.ProxyConfigured)
        return ConnectionProxy;
    return ConnectionNone;
}

std::vector<std::string> DefaultRoutesIPv4(std::string_view procNetRoute)
{
    // Iface Destination Gateway Flags RefCnt Use Metric Mask ...
    std::vector<std::string> names;
    for (const auto& line : SplitLines(procNetRoute)) {
        const auto f = Fields(line);
        if (f.size() < 8 || f[0] == "Iface")
            continue;
        const unsigned long flags = HexValue(f[3]);
        if (AllZeroHex(f[1]) && AllZeroHex(f[7]) && (flags & RouteUp) != 0 &&
            (flags & RouteReject) == 0)
            AddOnce(names, f[0]);
    }
    return names;
}

std::vector<std::string> DefaultRoutesIPv6(std::string_view procNetIpv6Route)
{
    // Destination PrefixLength Source SourcePrefixLength NextHop Metric RefCnt
    // Use Flags Device
    std::vector<std::string> names;
    for (const auto& line : SplitLines(procNetIpv6Route)) {
        const auto f = Fields(line);
        if (f.size() < 10)
            continue;
        const unsigned long flags = HexValue(f[8]);
        // The kernel keeps an unreachable default on "lo"; the reject flag marks it.
        if (AllZeroHex(f[0]) && AllZeroHex(f[1]) && (flags & RouteUp) != 0 &&
            (flags & RouteReject) == 0)
            AddOnce(names, f[9]);
    }
    return names;
}

TConnectionSnapshot ReadConnectionSnapshot()
{
    TConnectionSnapshot snapshot;
    snapshot.ProxyConfigured = ProxyInEnvironment();

    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        snapshot.Readable = false;
        return snapshot;
    }
    // One entry per address: merge them per interface.
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_name == nullptr)
            continue;
        auto found = std::find_if(snapshot.Interfaces.begin(), snapshot.Interfaces.end(),
                                  [&](const TNetInterface& i) { return i.Name == entry->ifa_name; });
        if (found == snapshot.Interfaces.end()) {
            snapshot.Interfaces.push_back(TNetInterface{entry->ifa_name});
            found = snapshot.Interfaces.end() - 1;
        }
        const unsigned flags = entry->ifa_flags;
        found->Up = found->Up || (flags & IFF_UP) != 0;
        found->Running = found->Running || (flags & IFF_RUNNING) != 0;
        found->Loopback = found->Loopback || (flags & IFF_LOOPBACK) != 0;
        found->PointToPoint = found->PointToPoint || (flags & IFF_POINTOPOINT) != 0;
        found->HasAddress = found->HasAddress || UsableAddress(entry->ifa_addr);
    }
    freeifaddrs(list);

    snapshot.DefaultRouteInterfaces = DefaultRoutesIPv4(ReadWhole("/proc/net/route"));
    for (const auto& name : DefaultRoutesIPv6(ReadWhole("/proc/net/ipv6_route")))
        AddOnce(snapshot.DefaultRouteInterfaces, name);
    return snapshot;
}

int InternetConnectionKind()
{
    return ConnectionKindOf(ReadConnectionSnapshot());
}

bool IsInternetConnected()
{
    return InternetConnectionKind() != ConnectionNone;
}
