#include "transport/NetTCPConnection.h"

#include "transport/NetErrors.h"

#include <algorithm>

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

int TNetTCPConnection::FillInputBuffer(bool raiseIfDisconnected, int timeoutMs, bool raiseOnTimeout)
{
    if (timeoutMs == -1)
        timeoutMs = ReadTimeout == 0 ? NetNoTimeLimit : ReadTimeout;
    CheckDisconnect(raiseIfDisconnected);
    if (!TransportConnected()) {
        if (raiseIfDisconnected)
            throw ENetNotConnected();
        return 0;
    }
    auto& stack = GNetStack();
    int count;
    do {
        if (!ioHandler_->Readable(timeoutMs)) {
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

int TNetTCPConnection::ReadReply(const TNetReplyCodes& allowed)
{
    TLines lines;
    lines.push_back(ReadNonEmptyLine());
    const std::string& first = lines.front();
    if (first.size() > 3 && first[3] == '-') {
        const std::string endMarker = first.substr(0, 3) + " ";
        for (;;) {
            lines.push_back(ReadNonEmptyLine());
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
    if (allowed.empty())
        return;
    const auto code = static_cast<std::int16_t>(lastReply_.NumericCode());
    if (std::find(allowed.begin(), allowed.end(), code) == allowed.end())
        throw ENetProtocolReplyError(lastReply_.NumericCode(), JoinLines(lastReply_.Text));
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
    std::size_t position = 0;
    while (position < count) {
        const std::size_t chunk = std::min<std::size_t>(count - position, INT_MAX);
        const int sent = ioHandler_->Send(data + position, static_cast<int>(chunk));
        if (sent == 0)
            peerClosed_ = true;
        CheckDisconnect(true, false);
        if (sent == NetSocketError) {
            if (stack.CheckForSocketError(sent, {NetWSAESHUTDOWN, NetWSAECONNABORTED, NetWSAECONNRESET})) {
                const int error = stack.LastError();
                DropSocket();
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
    if (ownedIOHandler_) {
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
