#include "transport/NetStackPosix.h"

#include "platform/Text.h"
#include "transport/NetErrors.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

// The error of the calling thread's last failed call, in the stack's numbers.
thread_local int tLastError = 0;

std::atomic<bool> gStarted{false};

int Fail(int error)
{
    tLastError = error;
    return NetSocketError;
}

int Checked(int result)
{
    if (result < 0)
        return Fail(NetErrorFromErrno(errno));
    return result;
}

sockaddr_in MakeAddress(const std::string& address, int port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    if (!address.empty()) {
        const auto bytes = TNetStack::IPv4ToBytes(address);
        std::memcpy(&sa.sin_addr, bytes.data(), 4);
    }
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    return sa;
}

TNetSockName FromAddress(const sockaddr_in& sa)
{
    TNetIPv4Bytes bytes;
    std::memcpy(bytes.data(), &sa.sin_addr, 4);
    return TNetSockName{NetFamilyIPv4, TNetStack::BytesToDotted(bytes), ntohs(sa.sin_port)};
}

// Names under the reserved top-level domain "invalid" never resolve; asking
// the network about them would only leak the name.
bool ReservedInvalidName(const std::string& host)
{
    std::string name = LowerCase(host);
    if (!name.empty() && name.back() == '.')
        name.pop_back();
    return name == "invalid" || (name.size() > 8 && name.ends_with(".invalid"));
}

}

int NetErrorFromErrno(int error)
{
    switch (error) {
    case EINTR: return 10004;
    case EBADF: return 10009;
    case EACCES: case EPERM: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case EMFILE: case ENFILE: return 10024;
    case EWOULDBLOCK: return 10035;
    case EINPROGRESS: return 10036;
    case EALREADY: return 10037;
    case ENOTSOCK: return 10038;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return 10040;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
    case ESOCKTNOSUPPORT: return 10044;
    case EOPNOTSUPP: return 10045;
    case EPFNOSUPPORT: return 10046;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return 10053;
    case ECONNRESET: return 10054;
    case ENOBUFS: case ENOMEM: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return 10057;
    // Writing to a socket whose sending side is shut down, by either end.
    case ESHUTDOWN: case EPIPE: return 10058;
    case ETOOMANYREFS: return 10059;
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case ELOOP: return 10062;
    case ENAMETOOLONG: return 10063;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    case ENOTEMPTY: return 10066;
    default: return error;
    }
}

int NetErrorFromResolver(int result, int errnoValue)
{
    switch (result) {
    case EAI_SYSTEM: return NetErrorFromErrno(errnoValue);
    case EAI_MEMORY: return 10055;
    case EAI_FAMILY: return 10047;
    case EAI_SOCKTYPE: return 10044;
    // No such name, no address for it, or no server able to answer: to the
    // user all of them mean the host cannot be found.
    default: return NetWSAHOST_NOT_FOUND;
    }
}

TNetStackPosix::TNetStackPosix()
{
    // The POSIX socket service needs no start-up; the flag keeps the rule
    // that later stacks of the process do not start it again.
    if (!gStarted.load())
        gStarted.store(true);
}

bool TNetStackPosix::Started()
{
    return gStarted.load();
}

TNetSocket TNetStackPosix::CreateSocket(int type, int protocol)
{
    const int kind = type == NetSockStream ? SOCK_STREAM : type;
    const int s = ::socket(AF_INET, kind | SOCK_CLOEXEC, protocol);
    if (s < 0) {
        tLastError = NetErrorFromErrno(errno);
        throw ENetInvalidSocket();
    }
    return s;
}

int TNetStackPosix::Bind(TNetSocket socket, int, const std::string& address, int port)
{
    const sockaddr_in sa = MakeAddress(address, port);
    return Checked(::bind(socket, reinterpret_cast<const sockaddr*>(&sa), sizeof sa));
}

int TNetStackPosix::Connect(TNetSocket socket, int, const std::string& address, int port)
{
    const sockaddr_in sa = MakeAddress(address, port);
    return Checked(::connect(socket, reinterpret_cast<const sockaddr*>(&sa), sizeof sa));
}

int TNetStackPosix::Recv(TNetSocket socket, void* buffer, int length, int flags)
{
    ssize_t n;
    do
        n = ::recv(socket, buffer, static_cast<std::size_t>(length), flags);
    while (n < 0 && errno == EINTR);
    return Checked(static_cast<int>(n));
}

int TNetStackPosix::Send(TNetSocket socket, const void* buffer, int length, int flags)
{
    // A peer that has gone away must end the send with an error, not the process.
    ssize_t n;
    do
        n = ::send(socket, buffer, static_cast<std::size_t>(length), flags | MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    return Checked(static_cast<int>(n));
}

int TNetStackPosix::Select(TNetSocketSet* read, TNetSocketSet* write, TNetSocketSet* error, int timeoutMs)
{
    TNetSocketSet* sets[3] = {read, write, error};
    for (auto* set : sets)
        if (set && set->size() > static_cast<std::size_t>(NetMaxSetSize))
            throw ENetStackSetSizeExceeded();

    // poll has no limit on handle values, which select's fixed sets have.
    std::vector<pollfd> fds;
    const short events[3] = {POLLIN, POLLOUT, POLLPRI};
    for (int k = 0; k < 3; ++k)
        if (sets[k])
            for (TNetSocket s : *sets[k])
                fds.push_back(pollfd{s, events[k], 0});

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    int r;
    for (;;) {
        int wait = -1;
        if (timeoutMs != NetNoTimeLimit) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            wait = left > 0 ? static_cast<int>(left) : 0;
        }
        r = ::poll(fds.data(), fds.size(), wait);
        if (r < 0 && errno == EINTR)
            continue;
        break;
    }
    if (r < 0)
        return Fail(NetErrorFromErrno(errno));
    for (const auto& p : fds)
        if (p.revents & POLLNVAL)
            return Fail(NetWSAENOTSOCK);

    std::size_t at = 0;
    int ready = 0;
    for (int k = 0; k < 3; ++k) {
        if (!sets[k])
            continue;
        TNetSocketSet found;
        for (std::size_t i = 0; i < sets[k]->size(); ++i, ++at) {
            // A socket whose peer is gone or failed counts as ready: the next
            // call on it reports what happened.
            const short mask = k == 2 ? POLLPRI : static_cast<short>(events[k] | POLLHUP | POLLERR);
            if (fds[at].revents & mask)
                found.push_back(fds[at].fd);
        }
        ready += static_cast<int>(found.size());
        *sets[k] = std::move(found);
    }
    return ready;
}

int TNetStackPosix::Shutdown(TNetSocket socket, int how)
{
    return Checked(::shutdown(socket, how == NetShutdownSend ? SHUT_WR : how));
}

int TNetStackPosix::CloseSocket(TNetSocket socket)
{
    return Checked(::close(socket));
}

TNetSockName TNetStackPosix::GetSockName(TNetSocket socket)
{
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    CheckForSocketError(Checked(::getsockname(socket, reinterpret_cast<sockaddr*>(&sa), &len)));
    return FromAddress(sa);
}

TNetSockName TNetStackPosix::GetPeerName(TNetSocket socket)
{
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    CheckForSocketError(Checked(::getpeername(socket, reinterpret_cast<sockaddr*>(&sa), &len)));
    return FromAddress(sa);
}

int TNetStackPosix::SetSockOpt(TNetSocket socket, int level, int option, const void* value, int length)
{
    return Checked(::setsockopt(socket, level, option, value, static_cast<socklen_t>(length)));
}

int TNetStackPosix::SetSendTimeout(TNetSocket socket, std::int64_t timeoutMs)
{
    timeval limit{};
    if (timeoutMs > 0) {
        limit.tv_sec = static_cast<time_t>(timeoutMs / 1000);
        limit.tv_usec = static_cast<suseconds_t>(timeoutMs % 1000 * 1000);
    }
    return Checked(::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit));
}

int TNetStackPosix::SetBlocking(TNetSocket socket, bool blocking)
{
    const int flags = ::fcntl(socket, F_GETFL);
    if (flags < 0)
        return Checked(flags);
    return Checked(::fcntl(socket, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK));
}

int TNetStackPosix::PendingConnectError(TNetSocket socket)
{
    int error = 0;
    socklen_t len = sizeof error;
    if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &len) < 0)
        return Checked(-1);
    return error == 0 ? 0 : NetErrorFromErrno(error);
}

std::string TNetStackPosix::ResolveByName(const std::string& host)
{
    if (ReservedInvalidName(host)) {
        tLastError = NetWSAHOST_NOT_FOUND;
        RaiseSocketError(NetWSAHOST_NOT_FOUND);
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int r = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (r != 0 || !found) {
        tLastError = r != 0 ? NetErrorFromResolver(r, errno) : NetWSAHOST_NOT_FOUND;
        RaiseSocketError(tLastError);
    }
    const auto* sa = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    std::string address = FromAddress(*sa).Address;
    ::freeaddrinfo(found);
    return address;
}

std::string TNetStackPosix::LocalHostName()
{
    char name[250] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == 0)
        return "localhost";
    return std::string(name);
}

int TNetStackPosix::PlatformLastError()
{
    return tLastError;
}

std::string TNetStackPosix::TranslateError(int error)
{
    if (error == NetWSAHOST_NOT_FOUND)
        return "Host not found.";
    return TNetStack::TranslateError(error);
}

std::unique_ptr<TNetStack> CreatePlatformNetStack()
{
    return std::make_unique<TNetStackPosix>();
}
