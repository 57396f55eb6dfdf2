#pragma once

// The blocking, line-oriented TCP connection: buffered reading of lines,
// writing of lines ended by CR LF, numeric-coded replies and their checks,
// detection of a peer that has closed, and closing.

#include "message/NetLineSink.h"
#include "platform/Text.h"
#include "transport/NetBuffer.h"
#include "transport/NetComponent.h"
#include "transport/NetConnectionIntercept.h"
#include "transport/NetIOHandler.h"
#include "transport/NetRFCReply.h"
#include "transport/NetReplyReader.h"

#include <chrono>
#include <climits>
#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

enum TNetMaxLineAction { maException, maSplit };

class TNetTCPConnection : public TNetComponent, public TNetLineSink {
public:
    TNetTCPConnection();
    ~TNetTCPConnection() override;

    // --- reading ---
    bool IsConnected();
    // One line without its terminator. An empty terminator means LF; a CR
    // before the LF goes too. maxLength -1: MaxLineLength.
    std::string ReadLine(std::string_view terminator = "\n", int timeoutMs = -1, int maxLength = -1);
    // The first line that is not empty once trimmed, trimmed; empty when
    // every attempt gave an empty line.
    std::string ReadNonEmptyLine(int attempts = INT_MAX);
    int ReadReply(const TNetReplyCodes& allowed);
    int ReadReply(int allowed);
    // Raises ENetProtocolReplyError when LastReply's code is not allowed.
    void CheckReplyCode(const TNetReplyCodes& allowed);
    // Exactly count bytes.
    std::string ReadString(std::size_t count);
    // The only place bytes are received. timeoutMs -1: ReadTimeout. Answers
    // the byte count, or -1 for a time-out that is not raised.
    int FillInputBuffer(bool raiseIfDisconnected = true, int timeoutMs = -1, bool raiseOnTimeout = true);
    // Whether the connection counts as closed; raises ENetConnClosedGracefully
    // when asked and no buffered data could answer a read.
    bool CheckDisconnect(bool raise = true, bool ignoreBuffer = false);

    // --- writing ---
    void Write(std::string_view text) override;
    // The text and CR LF in one send.
    void WriteLine(std::string_view text) override;
    void WriteStrings(const TLines& lines, bool writeLineCount = false);
    // The one path through which everything is sent.
    void WriteBytes(const void* bytes, std::size_t count);
    // From the stream's position (its start when all), size bytes or to its end.
    void WriteStream(std::istream& stream, bool all = true, std::int64_t size = 0);

    // --- commands ---
    int ExecuteCommand(std::string_view line, const TNetReplyCodes& allowed);
    // allowed -1: any reply.
    int ExecuteCommand(std::string_view line, int allowed = -1);

    virtual void Close();
    // Closes the transport without status events.
    void DropSocket();

    TNetIOHandler* IOHandler() const { return ioHandler_; }
    void HoldSends(bool hold)
    {
        if (ioHandler_)
            ioHandler_->HoldSends(hold);
    }
    // The connection does not own a transport given here.
    void SetIOHandler(TNetIOHandler* handler);

    // Starts the session's time from now (Open does).
    void BeginSession();
    // Gives the running session more time.
    void ExtendSession(std::int64_t ms);

    TNetRFCReply& LastReply() { return lastReply_; }
    TNetManagedBuffer& PendingInput() { return pendingInput_; }
    bool PeerClosed() const { return peerClosed_; }
    bool ReadLnSplit() const { return readLnSplit_; }
    bool ReadLnTimedOut() const { return readLnTimedOut_; }

    // Milliseconds one wait for input may take; 0 waits without limit.
    std::int64_t ReadTimeout = 0;
    // Milliseconds one send may wait for the peer to take bytes; 0 waits
    // without limit.
    std::int64_t WriteTimeout = 0;
    // Milliseconds one whole reply may take, however it trickles in; 0: no limit.
    std::int64_t ReplyTimeout = 0;
    // Milliseconds a connection may last from its open; 0: no limit. Every
    // byte written adds the time it takes at SessionBytesPerSecond (0: nothing).
    std::int64_t SessionTimeout = 0;
    std::int64_t SessionBytesPerSecond = 0;
    // The most one reply may hold, empty lines included.
    std::size_t MaxReplyBytes = 64 * 1024;
    int MaxReplyLines = 500;
    int MaxLineLength = 16384;
    TNetMaxLineAction MaxLineAction = maException;
    int RecvBufferSize = 32768;
    int SendBufferSize = 32768;
    bool ASCIIFilter = false;
    TNetConnectionIntercept* Intercept = nullptr;
    std::function<void()> OnDisconnected;

protected:
    bool TransportConnected() const { return ioHandler_ && ioHandler_->Connected(); }
    // Takes ownership of a transport that Close destroys.
    void AdoptIOHandler(std::unique_ptr<TNetIOHandler> handler);

    TNetIOHandler* ioHandler_ = nullptr;
    bool peerClosed_ = false;
    // Calls into the transport that may run the window's events while they
    // wait; a Close from one of those events drops the socket but keeps the
    // transport, whose call is still under way.
    int handlerCalls_ = 0;
    struct THandlerCall {
        explicit THandlerCall(int& calls) : calls_(calls) { ++calls_; }
        ~THandlerCall() { --calls_; }
        THandlerCall(const THandlerCall&) = delete;
        THandlerCall& operator=(const THandlerCall&) = delete;
        int& calls_;
    };

private:
    using TDeadline = std::chrono::steady_clock::time_point;

    std::string OverlongLine(int maxLength);
    // Waits for input up to timeoutMs (NetNoTimeLimit: none) and the reply's
    // and session's ends; a wait ended by one of those raises ENetReadTimeout.
    bool WaitReadable(std::int64_t timeoutMs);
    // The earliest of the reply's and the session's ends.
    TDeadline NextDeadline() const;
    // The next line of a reply, counted against its limits.
    std::string ReadReplyLine(std::size_t& bytes, int& lines);

    std::unique_ptr<TNetIOHandler> ownedIOHandler_;
    TNetRFCReply lastReply_;
    TNetManagedBuffer pendingInput_;
    TNetSimpleBuffer recvChunk_;
    bool readLnSplit_ = false;
    bool readLnTimedOut_ = false;
    TDeadline replyDeadline_ = TDeadline::max();
    TDeadline sessionDeadline_ = TDeadline::max();
    // What the transport's socket was last told (0: nothing yet).
    std::int64_t appliedSendTimeout_ = 0;
};
