#include "transport/NetTCPConnection.h"

#include "transport/NetErrors.h"

#include <algorithm>

namespace {

using TSteady = std::chrono::steady_clock;

// A limit this long is no limit in practice, and adding it to the clock
// cannot overflow.
constexpr std::int64_t LongestWaitMs = 100LL * 365 * 24 * 3600 * 1000;
// One wait handed to the platform, which counts in int milliseconds.
constexpr std::int64_t LongestSliceMs = 24LL * 3600 * 1000;

TSteady::time_point Later(TSteady::time_point from, std::int64_t ms)
{
    if (ms <= 0)
        return from;
    if (from == TSteady::time_point::max())
        return from;
    const auto room = std::chrono::duration_cast<std::chrono::milliseconds>(TSteady::time_point::max() - from);
    if (ms >= room.count() || ms > LongestWaitMs)
        return TSteady::time_point::max();
    return from + std::chrono::milliseconds(ms);
}

std::int64_t MsUntil(TSteady::time_point deadline)
{
    if (deadline == TSteady::time_point::max())
        return LongestWaitMs;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - TSteady::now()).count();
    return left > 0 ? left : 0;
}

} // namespace

TNetTCPConnection::TNetTCPConnection()
    : pendingInput_([this](std::size_t count) { DoWork(wmRead, static_cast<std::int64_t>(count)); })
{
}

TNetTCPConnection::~TNetTCPConnection() = default;

void TNetTCPConnection::SetIOHandler(TNetIOHandler* handler)
{
    if (ownedIOHandler_ && ownedIOHandler_.get() != handler)
        ownedIOHandler_.reset();
    ioHandler_ = handler;
}

void TNetTCPConnection::AdoptIOHandler(std::unique_ptr<TNetIOHandler> handler)
{
    ownedIOHandler_ = std::move(handler);
    ioHandler_ = ownedIOHandler_.get();
}

bool TNetTCPConnection::IsConnected()
{
    CheckDisconnect(false);
    return TransportConnected();
}

bool TNetTCPConnection::CheckDisconnect(bool raise, bool ignoreBuffer)
{
    if (!ioHandler_)
        return false;
    bool disconnected;
    if (peerClosed_) {
        if (ioHandler_->Connected()) {
            DropSocket();
            DoStatus(hsDisconnected);
            if (OnDisconnected)
                OnDisconnected();
        }
        disconnected = true;
    } else {
        disconnected = !ioHandler_->Connected();
    }
    // Data that arrived before the close can still be read.
    if (disconnected && raise && (pendingInput_.Size() == 0 || ignoreBuffer))
        throw ENetConnClosedGracefully();
    return disconnected;
}

void TNetTCPConnection::BeginSession()
{
    sessionDeadline_ = SessionTimeout > 0 ? Later(TSteady::now(), SessionTimeout) : TDeadline::max();
    appliedSendTimeout_ = 0;
}

void TNetTCPConnection::ExtendSession(std::int64_t ms)
{
    sessionDeadline_ = Later(sessionDeadline_, ms);
}

TNetTCPConnection::TDeadline TNetTCPConnection::NextDeadline() const
{
    return std::min(replyDeadline_, sessionDeadline_);
}

bool TNetTCPConnection::WaitReadable(std::int64_t timeoutMs)
{
    const TDeadline deadline = NextDeadline();
    const TDeadline own = timeoutMs == NetNoTimeLimit ? TDeadline::max() : Later(TSteady::now(), timeoutMs);
    // A wait of 0 still looks once.
    bool first = true;
    for (;;) {
        const TDeadline end = std::min(own, deadline);
        const std::int64_t left = end == TDeadline::max() ? NetNoTimeLimit : MsUntil(end);
        if (left == 0 && !first)
            break;
        first = false;
        const int slice = left == NetNoTimeLimit ? NetNoTimeLimit : static_cast<int>(std::min(left, LongestSliceMs));
        bool readable;
        {
            THandlerCall call(handlerCalls_);
            readable = ioHandler_->Readable(slice);
        }
        if (readable)
            return true;
        if (left == NetNoTimeLimit)
            return false;
        if (MsUntil(end) == 0)
            break;
    }
    // The reply or the session ran out: that is a time-out whatever the
    // caller asked. A session out of time says nothing more, not even QUIT.
    if (deadline != TDeadline::max() && MsUntil(deadline) == 0) {
        if (MsUntil(sessionDeadline_) == 0)
            DropSocket();
        throw ENetReadTimeout();
    }
    return false;
}

int TNetTCPConnection::FillInputBuffer(bool raiseIfDisconnected, int timeoutMs, bool raiseOnTimeout)
{
    std::int64_t wait = timeoutMs;
    if (timeoutMs == -1)
        wait = ReadTimeout == 0 ? NetNoTimeLimit : ReadTimeout;
    CheckDisconnect(raiseIfDisconnected);
    if (!TransportConnected()) {
        if (raiseIfDisconnected)
            throw ENetNotConnected();
        return 0;
    }
    auto& stack = GNetStack();
    int count;
    do {
        if (!WaitReadable(wait)) {
            if (raiseOnTimeout)
                throw ENetReadTimeout();
            return -1;
        }
        if (ioHandler_) {
            recvChunk_.SetSize(static_cast<std::size_t>(RecvBufferSize));
            count = ioHandler_->Recv(recvChunk_.Data(), RecvBufferSize);
        } else {
            count = 0;
            if (raiseIfDisconnected)
                throw ENetNotConnected();
        }
        peerClosed_ = count == 0;
        if (count == NetSocketError
            && stack.CheckForSocketError(count, {NetWSAESHUTDOWN, NetWSAECONNABORTED})) {
            count = 0;
            const int error = stack.LastError();
            DropSocket();
            if (pendingInput_.Size() == 0)
                stack.RaiseSocketError(error);
        }
        if (count > 0) {
            recvChunk_.SetSize(static_cast<std::size_t>(count));
            if (Intercept) {
                std::string bytes(recvChunk_.View());
                Intercept->Receive(bytes);
                recvChunk_.SetSize(bytes.size());
                std::copy(bytes.begin(), bytes.end(), recvChunk_.Data());
                count = static_cast<int>(bytes.size());
            }
            if (ASCIIFilter)
                for (int i = 0; i < count; ++i)
                    recvChunk_.Data()[i] = static_cast<char>(recvChunk_.Data()[i] & 0x7F);
            pendingInput_.Append(recvChunk_.View());
        }
        CheckDisconnect(raiseIfDisconnected);
    } while (count == 0 && TransportConnected());
    return count;
}

std::string TNetTCPConnection::OverlongLine(int maxLength)
{
    if (MaxLineAction == maException)
        throw ENetReadLnMaxLineLengthExceeded();
    readLnSplit_ = true;
    return pendingInput_.Extract(static_cast<std::size_t>(maxLength));
}

std::string TNetTCPConnection::ReadLine(std::string_view terminator, int timeoutMs, int maxLength)
{
    if (maxLength == -1)
        maxLength = MaxLineLength;
    if (terminator.empty())
        terminator = "\n";
    readLnSplit_ = false;
    readLnTimedOut_ = false;
    const std::size_t max = maxLength > 0 ? static_cast<std::size_t>(maxLength) : 0;

    std::size_t searchFrom = 0;
    std::size_t found = std::string_view::npos;
    for (;;) {
        const std::size_t size = pendingInput_.Size();
        if (size > 0) {
            found = pendingInput_.View().find(terminator, searchFrom);
            // Resume where this search ended; a terminator of several bytes may
            // straddle the end, so step back by all but one of them.
            searchFrom = size >= terminator.size() ? size - terminator.size() + 1 : 0;
        }
        if (found != std::string_view::npos) {
            if (max != 0 && found > max)
                return OverlongLine(maxLength);
            break;
        }
        if (max != 0 && size > max)
            return OverlongLine(maxLength);
        CheckDisconnect(true, true);
        if (FillInputBuffer(true, timeoutMs, timeoutMs == -1) == -1) {
            readLnTimedOut_ = true;
            return {};
        }
    }
    std::string line = pendingInput_.Extract(found + terminator.size());
    line.resize(found);
    if (terminator == "\n" && !line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

std::string TNetTCPConnection::ReadNonEmptyLine(int attempts)
{
    for (int i = 0; i < attempts; ++i) {
        std::string line = Trim(ReadLine());
        if (!line.empty())
            return line;
    }
    return {};
}

std::string TNetTCPConnection::ReadReplyLine(std::size_t& bytes, int& lines)
{
    // A server that never ends its reply, or sends nothing but empty lines,
    // must not fill the memory or hold the session for ever.
    for (;;) {
        std::string line = ReadLine();
        bytes += line.size() + 1;
        ++lines;
        if (bytes > MaxReplyBytes || lines > MaxReplyLines)
            throw ENetReplyTooLong();
        line = Trim(line);
        if (!line.empty())
            return line;
    }
}

int TNetTCPConnection::ReadReply(const TNetReplyCodes& allowed)
{
    struct TReplyTime {
        TDeadline& deadline;
        ~TReplyTime() { deadline = TDeadline::max(); }
    } replyTime{replyDeadline_};
    if (ReplyTimeout > 0)
        replyDeadline_ = Later(TSteady::now(), ReplyTimeout);
    std::size_t bytes = 0;
    int count = 0;
    TLines lines;
    lines.push_back(ReadReplyLine(bytes, count));
    const std::string& first = lines.front();
    if (first.size() > 3 && first[3] == '-') {
        const std::string endMarker = first.substr(0, 3) + " ";
        for (;;) {
            lines.push_back(ReadReplyLine(bytes, count));
            const std::string& line = lines.back();
            if (line.size() < 4 || SameText(std::string_view(line).substr(0, 4), endMarker))
                break;
        }
    }
    lastReply_.ParseLines(lines);
    CheckReplyCode(allowed);
    return lastReply_.NumericCode();
}

int TNetTCPConnection::ReadReply(int allowed)
{
    return ReadReply(allowed == -1 ? TNetReplyCodes{} : TNetReplyCodes{allowed});
}

void TNetTCPConnection::CheckReplyCode(const TNetReplyCodes& allowed)
{
    ::CheckReplyCode(lastReply_, allowed);
}

std::string TNetTCPConnection::ReadString(std::size_t count)
{
    while (pendingInput_.Size() < count)
        FillInputBuffer();
    return pendingInput_.Extract(count);
}

void TNetTCPConnection::Write(std::string_view text)
{
    if (!text.empty())
        WriteBytes(text.data(), text.size());
}

void TNetTCPConnection::WriteLine(std::string_view text)
{
    std::string line;
    line.reserve(text.size() + 2);
    line.append(text);
    line.append("\r\n");
    Write(line);
}

void TNetTCPConnection::WriteStrings(const TLines& lines, bool writeLineCount)
{
    if (writeLineCount) {
        const std::uint32_t count = TNetStack::HToNL(static_cast<std::uint32_t>(lines.size()));
        WriteBytes(&count, sizeof count);
    }
    for (const auto& line : lines)
        WriteLine(line);
}

void TNetTCPConnection::WriteBytes(const void* bytes, std::size_t count)
{
    if (count < 1 || !bytes)
        return;
    CheckDisconnect(true, true);
    if (!TransportConnected())
        throw ENetNotConnected();

    std::string transformed;
    const char* data = static_cast<const char*>(bytes);
    if (Intercept) {
        transformed.assign(data, count);
        Intercept->Send(transformed);
        data = transformed.data();
        count = transformed.size();
    }
    auto& stack = GNetStack();
    // Time the written bytes may take: a large message gets longer than
    // the dialogue around it.
    if (SessionBytesPerSecond > 0)
        ExtendSession(static_cast<std::int64_t>(count) * 1000 / SessionBytesPerSecond);
    const bool limited = WriteTimeout > 0 || sessionDeadline_ != TDeadline::max();
    std::size_t position = 0;
    while (position < count) {
        if (limited) {
            // A peer that stops reading must not hold the send for ever.
            std::int64_t limit = WriteTimeout > 0 ? std::min(WriteTimeout, LongestWaitMs) : LongestWaitMs;
            if (sessionDeadline_ != TDeadline::max()) {
                const std::int64_t left = MsUntil(sessionDeadline_);
                if (left == 0) {
                    DropSocket();
                    throw ENetReadTimeout();
                }
                limit = std::min(limit, left);
            }
            if (limit != appliedSendTimeout_) {
                ioHandler_->SetSendTimeout(limit);
                appliedSendTimeout_ = limit;
            }
        }
        const std::size_t chunk = std::min<std::size_t>(count - position, INT_MAX);
        int sent;
        {
            THandlerCall call(handlerCalls_);
            sent = ioHandler_->Send(data + position, static_cast<int>(chunk));
        }
        if (sent == 0)
            peerClosed_ = true;
        CheckDisconnect(true, false);
        if (sent == NetSocketError) {
            if (stack.CheckForSocketError(
                    sent, {NetWSAESHUTDOWN, NetWSAECONNABORTED, NetWSAECONNRESET, NetWSAEWOULDBLOCK})) {
                const int error = stack.LastError();
                // Part of the bytes may be gone: nothing more can be said on
                // this connection, not even QUIT.
                DropSocket();
                if (error == NetWSAEWOULDBLOCK)
                    throw ENetReadTimeout();
                stack.RaiseSocketError(error);
            }
        }
        if (sent <= 0)
            continue;
        DoWork(wmWrite, sent);
        position += static_cast<std::size_t>(sent);
    }
}

void TNetTCPConnection::WriteStream(std::istream& stream, bool all, std::int64_t size)
{
    if (all)
        stream.seekg(0, std::ios::beg);
    std::int64_t remaining = size;
    if (remaining <= 0) {
        const auto position = stream.tellg();
        stream.seekg(0, std::ios::end);
        remaining = static_cast<std::int64_t>(stream.tellg() - position);
        stream.seekg(position);
    }
    BeginWork(wmWrite, remaining);
    struct TEndWork {
        TNetTCPConnection* self;
        ~TEndWork() { self->EndWork(wmWrite); }
    } endWork{this};
    std::string buffer(static_cast<std::size_t>(std::max(SendBufferSize, 1)), '\0');
    while (remaining > 0) {
        const auto want = std::min<std::int64_t>(remaining, static_cast<std::int64_t>(buffer.size()));
        stream.read(buffer.data(), want);
        const auto got = stream.gcount();
        if (got <= 0)
            throw ENetNoDataToRead();
        WriteBytes(buffer.data(), static_cast<std::size_t>(got));
        remaining -= got;
    }
}

int TNetTCPConnection::ExecuteCommand(std::string_view line, const TNetReplyCodes& allowed)
{
    WriteLine(line);
    return ReadReply(allowed);
}

int TNetTCPConnection::ExecuteCommand(std::string_view line, int allowed)
{
    return ExecuteCommand(line, allowed == -1 ? TNetReplyCodes{} : TNetReplyCodes{allowed});
}

void TNetTCPConnection::Close()
{
    const bool wasOpen = IsConnected();
    if (wasOpen) {
        DoStatus(hsDisconnecting);
        DropSocket();
    }
    if (ownedIOHandler_ && handlerCalls_ == 0) {
        ioHandler_ = nullptr;
        ownedIOHandler_.reset();
    }
    if (wasOpen) {
        if (OnDisconnected)
            OnDisconnected();
        DoStatus(hsDisconnected);
    }
}

void TNetTCPConnection::DropSocket()
{
    if (!ioHandler_)
        return;
    peerClosed_ = true;
    if (Intercept)
        Intercept->Disconnect();
    ioHandler_->Close();
}
