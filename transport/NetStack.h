#pragma once

// The one place where the mail transport touches the platform's sockets.
// Sockets, families, flags and error numbers are those of the WinSock 2
// interface, which the messages users see in the log are written in; the
// concrete stack maps its platform's values onto them.

#include <array>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using TNetSocket = int;
inline constexpr TNetSocket NetInvalidSocket = -1;
inline constexpr int NetSocketError = -1;

inline constexpr int NetFamilyIPv4 = 2;
inline constexpr int NetSockStream = 1;
inline constexpr int NetLevelTCP = 6;
inline constexpr int NetTCPNoDelay = 1;
inline constexpr int NetTCPCork = 3;
inline constexpr int NetShutdownSend = 1;
// Most handles one set of a select may hold.
inline constexpr int NetMaxSetSize = 64;
// A select or wait without a time limit.
inline constexpr int NetNoTimeLimit = -2;

// Socket error numbers the transport decides on.
inline constexpr int NetWSAEINTR = 10004;
inline constexpr int NetWSAEBADF = 10009;
inline constexpr int NetWSAEINVAL = 10022;
inline constexpr int NetWSAEWOULDBLOCK = 10035;
inline constexpr int NetWSAEINPROGRESS = 10036;
inline constexpr int NetWSAENOTSOCK = 10038;
inline constexpr int NetWSAEADDRINUSE = 10048;
inline constexpr int NetWSAECONNABORTED = 10053;
inline constexpr int NetWSAECONNRESET = 10054;
inline constexpr int NetWSAESHUTDOWN = 10058;
inline constexpr int NetWSAETIMEDOUT = 10060;
inline constexpr int NetWSAECONNREFUSED = 10061;
inline constexpr int NetWSAHOST_NOT_FOUND = 11001;

using TNetSocketSet = std::vector<TNetSocket>;
using TNetIPv4Bytes = std::array<std::uint8_t, 4>;

struct TNetSockName {
    int Family = 0;
    std::string Address;
    int Port = 0;
};

class TNetStack {
public:
    TNetStack() = default;
    virtual ~TNetStack() = default;
    TNetStack(const TNetStack&) = delete;
    TNetStack& operator=(const TNetStack&) = delete;

    // --- platform operations ---
    // A new socket of the IPv4 family; raises ENetInvalidSocket on failure.
    virtual TNetSocket CreateSocket(int type, int protocol) = 0;
    // Empty address: any local address. The results are the platform's (-1 on failure).
    virtual int Bind(TNetSocket socket, int family, const std::string& address, int port) = 0;
    virtual int Connect(TNetSocket socket, int family, const std::string& address, int port) = 0;
    virtual int Recv(TNetSocket socket, void* buffer, int length, int flags) = 0;
    virtual int Send(TNetSocket socket, const void* buffer, int length, int flags) = 0;
    // Each set holds at most NetMaxSetSize handles and is replaced by the handles
    // found ready. timeoutMs NetNoTimeLimit waits without limit.
    virtual int Select(TNetSocketSet* read, TNetSocketSet* write, TNetSocketSet* error, int timeoutMs) = 0;
    virtual int Shutdown(TNetSocket socket, int how) = 0;
    virtual int CloseSocket(TNetSocket socket) = 0;
    // Raise ENetSocketError on failure.
    virtual TNetSockName GetSockName(TNetSocket socket) = 0;
    virtual TNetSockName GetPeerName(TNetSocket socket) = 0;
    virtual int SetSockOpt(TNetSocket socket, int level, int option, const void* value, int length) = 0;
    // The most one send on the socket may block, in milliseconds (0: no
    // limit); a send that could hand over nothing by then fails with
    // NetWSAEWOULDBLOCK. A stack without the means keeps sends unlimited.
    virtual int SetSendTimeout(TNetSocket socket, std::int64_t timeoutMs)
    {
        (void)socket;
        (void)timeoutMs;
        return 0;
    }
    // Switches a socket between blocking and non-blocking calls.
    virtual int SetBlocking(TNetSocket socket, bool blocking) = 0;
    // The error a non-blocking connect ended with (0: connected), or -1.
    virtual int PendingConnectError(TNetSocket socket) = 0;
    // First IPv4 address of the host as dotted text; raises ENetSocketError.
    virtual std::string ResolveByName(const std::string& host) = 0;
    virtual std::string LocalHostName() = 0;
    // The error number of the calling thread's last failed platform call.
    virtual int PlatformLastError() = 0;

    static std::uint16_t HToNS(std::uint16_t value);
    static std::uint16_t NToHS(std::uint16_t value);
    static std::uint32_t HToNL(std::uint32_t value);
    static std::uint32_t NToHL(std::uint32_t value);

    // --- built on them ---
    // False for any result but -1. For -1 the error is stored; an ignored one
    // answers true, any other is raised.
    bool CheckForSocketError(int result, std::initializer_list<int> ignored = {});
    [[noreturn]] void RaiseSocketError(int error);
    // "Socket Error # n" CR LF and the text of the number.
    std::string SocketErrorMessage(int error);
    virtual std::string TranslateError(int error);

    // "localhost" in any case, an IPv4 literal unchanged, else a name lookup.
    std::string ResolveHost(const std::string& host);

    int LastError() const { return lastError_; }

    static std::optional<TNetIPv4Bytes> ParseIPv4(std::string_view text);
    static bool IsIP(std::string_view text) { return ParseIPv4(text).has_value(); }
    // Raises ENetInvalidIPAddress for text that is no IPv4 literal.
    static TNetIPv4Bytes IPv4ToBytes(const std::string& text);
    static std::string BytesToDotted(const TNetIPv4Bytes& bytes);

protected:
    int lastError_ = 0;
};

// The process-wide stack, shared by every network component. A component
// takes a share for its lifetime; the first share creates the stack and the
// last one destroys it.
class TNetStackShare {
public:
    TNetStackShare();
    ~TNetStackShare();
    TNetStackShare(const TNetStackShare&) = delete;
    TNetStackShare& operator=(const TNetStackShare&) = delete;
};

// The current stack; only valid while a share is held.
TNetStack& GNetStack();

// The platform's own stack; defined beside it (NetStackPosix.cpp here), so
// that a second platform is a second file, not a branch in this one.
std::unique_ptr<TNetStack> CreatePlatformNetStack();

// Replaces the stack the first share creates (tests substitute the platform).
// An empty factory restores the platform's stack.
void SetNetStackFactory(std::function<std::unique_ptr<TNetStack>()> factory);
