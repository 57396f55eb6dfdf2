#include "transport/NetStack.h"

#include "platform/Text.h"
#include "transport/NetErrors.h"

#include <algorithm>
#include <mutex>

std::uint16_t TNetStack::HToNS(std::uint16_t value)
{
    const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
    std::uint16_t out;
    std::copy(bytes, bytes + 2, reinterpret_cast<std::uint8_t*>(&out));
    return out;
}

std::uint16_t TNetStack::NToHS(std::uint16_t value)
{
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&value);
    return static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
}

std::uint32_t TNetStack::HToNL(std::uint32_t value)
{
    const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
                                   static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
    std::uint32_t out;
    std::copy(bytes, bytes + 4, reinterpret_cast<std::uint8_t*>(&out));
    return out;
}

std::uint32_t TNetStack::NToHL(std::uint32_t value)
{
    const auto* b = reinterpret_cast<const std::uint8_t*>(&value);
    return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | b[3];
}

bool TNetStack::CheckForSocketError(int result, std::initializer_list<int> ignored)
{
    if (result != NetSocketError)
        return false;
    lastError_ = PlatformLastError();
    if (std::find(ignored.begin(), ignored.end(), lastError_) != ignored.end())
        return true;
    RaiseSocketError(lastError_);
}

void TNetStack::RaiseSocketError(int error)
{
    throw ENetSocketError(error, SocketErrorMessage(error));
}

std::string TNetStack::SocketErrorMessage(int error)
{
    return "Socket Error # " + std::to_string(error) + "\r\n" + TranslateError(error);
}

std::string TNetStack::TranslateError(int error)
{
    switch (error) {
    case 10004: return "Interrupted system call.";
    case 10009: return "Bad file number.";
    case 10013: return "Access denied.";
    case 10014: return "Bad address.";
    case 10022: return "Invalid argument.";
    case 10024: return "Too many open files.";
    case 10035: return "Operation would block. ";
    case 10036: return "Operation now in progress.";
    case 10037: return "Operation already in progress.";
    case 10038: return "Socket operation on non-socket.";
    case 10039: return "Destination address required.";
    case 10040: return "Message too long.";
    case 10041: return "Protocol wrong type for socket.";
    case 10042: return "Bad protocol option.";
    case 10043: return "Protocol not supported.";
    case 10044: return "Socket type not supported.";
    case 10045: return "Operation not supported on socket.";
    case 10046: return "Protocol family not supported.";
    case 10047: return "Address family not supported by protocol family.";
    case 10048: return "Address already in use.";
    case 10049: return "Cannot assign requested address.";
    case 10050: return "Network is down.";
    case 10051: return "Network is unreachable.";
    case 10052: return "Net dropped connection or reset.";
    case 10053: return "Software caused connection abort.";
    case 10054: return "Connection reset by peer.";
    case 10055: return "No buffer space available.";
    case 10056: return "Socket is already connected.";
    case 10057: return "Socket is not connected.";
    case 10058: return "Cannot send or receive after socket is closed.";
    case 10059: return "Too many references, cannot splice.";
    case 10060: return "Connection timed out.";
    case 10061: return "Connection refused.";
    case 10062: return "Too many levels of symbolic links.";
    case 10063: return "File name too long.";
    case 10064: return "Host is down.";
    case 10065: return "No route to host.";
    case 10066: return "Directory not empty";
    default: return {};
    }
}

std::string TNetStack::ResolveHost(const std::string& host)
{
    if (SameText(host, "LOCALHOST"))
        return "127.0.0.1";
    if (IsIP(host))
        return host;
    return ResolveByName(host);
}

namespace {

// Decimal digits only, at most max.
std::optional<std::uint64_t> ReadPart(std::string_view part, std::uint64_t max)
{
    if (part.empty() || part.size() > 10)
        return std::nullopt;
    std::uint64_t value = 0;
    for (char c : part) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > max)
        return std::nullopt;
    return value;
}

}

std::optional<TNetIPv4Bytes> TNetStack::ParseIPv4(std::string_view text)
{
    // Cut at the first three dots; whatever follows the third stays in the last part.
    std::vector<std::string_view> parts;
    std::string_view rest = text;
    while (parts.size() < 3) {
        const auto dot = rest.find('.');
        if (dot == std::string_view::npos)
            break;
        parts.push_back(rest.substr(0, dot));
        rest.remove_prefix(dot + 1);
    }
    parts.push_back(rest);

    // Ranges of the leading parts, then of the last part, by the number of parts.
    static constexpr std::uint64_t lastMax[4] = {4294967295ULL, 16777215ULL, 65535ULL, 255ULL};
    const std::size_t n = parts.size();
    std::uint64_t values[4] = {};
    for (std::size_t i = 0; i < n; ++i) {
        const auto v = ReadPart(parts[i], i + 1 == n ? lastMax[n - 1] : 255);
        if (!v)
            return std::nullopt;
        values[i] = *v;
    }
    TNetIPv4Bytes bytes{};
    for (std::size_t i = 0; i + 1 < n; ++i)
        bytes[i] = static_cast<std::uint8_t>(values[i]);
    // The last part fills the remaining bytes, most significant first.
    std::uint64_t last = values[n - 1];
    for (std::size_t i = 4; i-- > n - 1;) {
        bytes[i] = static_cast<std::uint8_t>(last & 0xFF);
        last >>= 8;
    }
    return bytes;
}

TNetIPv4Bytes TNetStack::IPv4ToBytes(const std::string& text)
{
    const auto bytes = ParseIPv4(text);
    if (!bytes)
        throw ENetInvalidIPAddress(text);
    return *bytes;
}

std::string TNetStack::BytesToDotted(const TNetIPv4Bytes& bytes)
{
    return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." + std::to_string(bytes[2]) + "."
        + std::to_string(bytes[3]);
}

// --- the process-wide instance ------------------------------------------

namespace {

std::mutex gStackLock;
int gShares = 0;
std::unique_ptr<TNetStack> gStack;
std::function<std::unique_ptr<TNetStack>()> gFactory;

}

TNetStackShare::TNetStackShare()
{
    std::lock_guard lock(gStackLock);
    if (gShares == 0)
        gStack = gFactory ? gFactory() : CreatePlatformNetStack();
    ++gShares;
}

TNetStackShare::~TNetStackShare()
{
    std::lock_guard lock(gStackLock);
    if (--gShares == 0)
        gStack.reset();
}

TNetStack& GNetStack()
{
    return *gStack;
}

void SetNetStackFactory(std::function<std::unique_ptr<TNetStack>()> factory)
{
    std::lock_guard lock(gStackLock);
    gFactory = std::move(factory);
}
