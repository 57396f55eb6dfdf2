#include "transport/NetSMTPPool.h"

#include "message/NetEncoders.h"
#include "message/NetLineSink.h"
#include "transport/NetErrors.h"
#include "transport/NetReplyReader.h"
#include "transport/NetSMTPDialogue.h"
#include "transport/NetTLS.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <poll.h>

namespace {

using TSteady = std::chrono::steady_clock;
using TDeadline = TSteady::time_point;
constexpr TDeadline NoDeadline = TDeadline::max();

// A session may take this many waits of the time-out to open, or for one
// message, plus the message at this slowest rate: a server that trickles
// its answers or its reading cannot stretch a pass for ever.
constexpr std::int64_t PhaseSteps = 4;
constexpr std::int64_t SlowestBytesPerSecond = 4096;
// Plain text handed to OpenSSL in one call: one full record.
constexpr std::size_t TLSWriteChunk = 16384;
constexpr int ReceiveChunk = 16384;

TDeadline Later(std::int64_t ms)
{
    // A limit of a century is none; adding it must not overflow the clock.
    if (ms <= 0 || ms > 100LL * 365 * 24 * 3600 * 1000)
        return NoDeadline;
    return TSteady::now() + std::chrono::milliseconds(ms);
}

class TStringSink : public TNetLineSink {
public:
    void Write(std::string_view text) override { Text.append(text); }
    void WriteLine(std::string_view text) override
    {
        Text.append(text);
        Text.append("\r\n");
    }
    std::string Text;
};

} // namespace

TNetSMTPSubmission SMTPSubmissionOf(TNetMessage& message, TNetMessageWriter& writer, const std::string& mailAgent)
{
    TNetSMTPSubmission submission;
    submission.From = SMTPCommandText(message.From.Address);
    for (const TNetEMailAddressList* list : {&message.Recipients, &message.CCList, &message.BccList})
        for (const auto& item : *list)
            submission.Recipients.push_back(SMTPCommandText(item.Address));
    if (!mailAgent.empty())
        message.ExtraHeaders.SetValue("X-Mailer", SMTPCommandText(mailAgent));
    TStringSink sink;
    writer.WriteMessage(sink, message, false);
    submission.Data = std::make_shared<const std::string>(std::move(sink.Text));
    return submission;
}

std::string TNetSMTPOutcome::ErrorText() const
{
    if (!Error)
        return {};
    try {
        std::rethrow_exception(Error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown error";
    }
}

void TNetSMTPOutcome::Rethrow() const
{
    if (Error)
        std::rethrow_exception(Error);
}

struct TNetSMTPPool::TMail {
    std::uint64_t Id = 0;
    TNetSMTPSubmission Submission;
    TCompletion Done;
    // Times the message was begun on a session.
    int Attempts = 0;
    // The first refusal met in the current attempt.
    std::exception_ptr Refusal;
};

// --- one session -----------------------------------------------------------

enum class TSessionState {
    Connecting,  // the connect is under way
    Handshake,   // TLS is being agreed (at once, or after STARTTLS)
    Opening,     // greeting, EHLO or HELO, STARTTLS and login
    Ready,       // open, no message
    Mailing,     // a message (and perhaps the next one's envelope) in flight
    Quitting,    // QUIT goes out, then the socket closes
    Closed
};

// What an awaited reply answers.
enum class TReplyTo { Greeting, Ehlo, Helo, StartTLS, AuthLogin, AuthUser, AuthPassword, AuthPlain, Rset, Mail, Rcpt, Data, Dot };

class TNetSMTPPoolSession {
public:
    using TMail = TNetSMTPPool::TMail;

    TNetSMTPPoolSession(TNetSMTPPool& pool, std::unique_ptr<TMail> first) : pool_(pool), current_(std::move(first)) {}
    ~TNetSMTPPoolSession() { CloseSocket(false); }
    TNetSMTPPoolSession(const TNetSMTPPoolSession&) = delete;
    TNetSMTPPoolSession& operator=(const TNetSMTPPoolSession&) = delete;

    void Connect();
    // Works the socket until it would block; failures end the session.
    void Advance();
    // Takes a message while Ready.
    void Begin(std::unique_ptr<TMail> mail);
    void Quit();
    // Gone at once, nothing reported.
    void Drop()
    {
        current_.reset();
        next_.reset();
        CloseSocket(false);
    }

    TSessionState State() const { return state_; }
    bool Free() const { return state_ == TSessionState::Ready && !current_; }
    TNetPollFd PollFd() const;
    TDeadline Deadline() const { return std::min(waitDeadline_, phaseDeadline_); }

private:
    // Every change of state goes through here.
    void SetState(TSessionState state);
    void Expect(TReplyTo to, TMail* mail = nullptr) { expects_.push_back({to, mail}); }
    void Send(std::string bytes);
    void SendShared(std::shared_ptr<const std::string> bytes);
    void SendCommand(const std::string& line) { Send(line + "\r\n"); }

    void OnConnected();
    void StartHandshake();
    void ContinueHandshake();
    void SayHello();
    void OnHello(bool ehloAccepted);
    void OnReady();
    // The envelope of mail: MAIL, RCPT for each recipient and DATA, as one
    // group when pipelining, else MAIL alone (and RSET first when due).
    void SendEnvelope(TMail& mail, bool resetFirst);
    void SendNextEnvelopeCommand(TMail& mail, std::size_t recipientsDone);
    void SendMessageData(TMail& mail);
    void OnReply(const TNetRFCReply& reply);
    void OnTransactionReply(TReplyTo to, TMail& mail, const TNetRFCReply& reply);
    // The message's transaction is over: accepted, or refused with Refusal.
    void EndTransaction(bool sent);
    void Fail(const std::exception_ptr& error);

    // false when the socket would block.
    bool Flush();
    bool Receive();
    void CheckDeadlines();
    void Progress();
    void CloseSocket(bool polite);

    TNetSMTPPool& pool_;
    TSessionState state_ = TSessionState::Connecting;
    TNetSocket socket_ = NetInvalidSocket;
    TNetTLSSocketLink link_;
    ssl_st* ssl_ = nullptr;
    bool tlsActive_ = false;
    // The last TLS call needs the socket writable (else readable) to go on.
    bool tlsWantsWrite_ = false;

    struct TPiece {
        std::shared_ptr<const std::string> Bytes;
        std::size_t Offset = 0;
    };
    std::deque<TPiece> out_;
    TNetReplyReader reader_;
    struct TExpected {
        TReplyTo To;
        TMail* Mail;
    };
    std::deque<TExpected> expects_;

    TLines ehloText_;
    TLines mechanisms_;
    bool pipelining_ = false;
    bool loggedIn_ = false;
    // The greeting has been read: a handshake from now on follows STARTTLS.
    bool greeted_ = false;
    // Recipients answered in a transaction spoken one command at a time.
    std::size_t recipientsAnswered_ = 0;
    // Messages whose transaction ended on this connection: more than none
    // makes it a kept session.
    int transactions_ = 0;
    bool resetDue_ = false;
    // The message under way (or the one the session was opened for), and the
    // next one whose envelope left with its end.
    std::unique_ptr<TMail> current_;
    std::unique_ptr<TMail> next_;

    // Ends the wait for the server's next sign of life, and the opening or
    // the message as a whole.
    TDeadline waitDeadline_ = NoDeadline;
    TDeadline phaseDeadline_ = NoDeadline;
};

void TNetSMTPPoolSession::SetState(TSessionState state)
{
    state_ = state;
    const std::int64_t limit = pool_.server_.TimeoutMs;
    switch (state) {
    case TSessionState::Connecting:
        waitDeadline_ = Later(limit);
        phaseDeadline_ = Later(limit * PhaseSteps);
        break;
    case TSessionState::Mailing: {
        const std::int64_t bytes = current_ && current_->Submission.Data
                                       ? static_cast<std::int64_t>(current_->Submission.Data->size())
                                       : 0;
        waitDeadline_ = Later(limit);
        phaseDeadline_ = limit > 0 ? Later(limit * PhaseSteps + bytes * 1000 / SlowestBytesPerSecond) : NoDeadline;
        break;
    }
    case TSessionState::Ready:
    case TSessionState::Closed:
        waitDeadline_ = NoDeadline;
        phaseDeadline_ = NoDeadline;
        break;
    case TSessionState::Quitting:
        waitDeadline_ = Later(limit);
        phaseDeadline_ = NoDeadline;
        break;
    case TSessionState::Handshake:
    case TSessionState::Opening:
        // The opening's own limit runs on from the connect.
        break;
    }
}

void TNetSMTPPoolSession::Progress()
{
    if (state_ != TSessionState::Ready && state_ != TSessionState::Closed)
        waitDeadline_ = Later(pool_.server_.TimeoutMs);
}

void TNetSMTPPoolSession::Send(std::string bytes)
{
    SendShared(std::make_shared<const std::string>(std::move(bytes)));
}

void TNetSMTPPoolSession::SendShared(std::shared_ptr<const std::string> bytes)
{
    if (bytes && !bytes->empty())
        out_.push_back({std::move(bytes), 0});
}

void TNetSMTPPoolSession::Connect()
{
    SetState(TSessionState::Connecting);
    try {
        auto& stack = GNetStack();
        const std::string& address = pool_.PeerAddress();
        socket_ = stack.CreateSocket(NetSockStream, 0);
        ++pool_.connections_;
        stack.CheckForSocketError(stack.SetBlocking(socket_, false));
        // Commands are small and each one is waited for: Nagle's algorithm
        // would hold the last piece of a group for the server's delayed ack.
        const int noDelay = 1;
        stack.SetSockOpt(socket_, NetLevelTCP, NetTCPNoDelay, &noDelay, sizeof noDelay);
        if (stack.Connect(socket_, NetFamilyIPv4, address, pool_.server_.Port) == NetSocketError) {
            const int error = stack.PlatformLastError();
            if (error != NetWSAEINPROGRESS && error != NetWSAEWOULDBLOCK)
                throw ENetConnectException(stack.SocketErrorMessage(error));
            return;
        }
        OnConnected();
    } catch (...) {
        Fail(std::current_exception());
    }
}

void TNetSMTPPoolSession::OnConnected()
{
    SetState(TSessionState::Opening);
    Progress();
    if (UsesImplicitTLS(pool_.server_.Security, pool_.server_.Port))
        StartHandshake();
    else
        Expect(TReplyTo::Greeting);
}

void TNetSMTPPoolSession::StartHandshake()
{
    ssl_ctx_st* context = pool_.TLSContext();
    link_.Socket = socket_;
    link_.Error = 0;
    ssl_ = NewTLSClientConnection(context, pool_.server_.Host, link_);
    if (pool_.tlsSession_)
        SSL_set_session(ssl_, pool_.tlsSession_);
    SetState(TSessionState::Handshake);
    ContinueHandshake();
}

void TNetSMTPPoolSession::ContinueHandshake()
{
    ERR_clear_error();
    link_.Error = 0;
    const int result = SSL_connect(ssl_);
    if (result != 1) {
        const int error = SSL_get_error(ssl_, result);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            tlsWantsWrite_ = error == SSL_ERROR_WANT_WRITE;
            return;
        }
        std::rethrow_exception(TLSHandshakeFailure(ssl_, error, link_.Error));
    }
    tlsActive_ = true;
    tlsWantsWrite_ = false;
    if (SSL_session_reused(ssl_))
        ++pool_.resumedHandshakes_;
    Progress();
    SetState(TSessionState::Opening);
    if (greeted_) {
        // Nothing the server said before the handshake may be trusted, its
        // mechanisms least of all: they are asked for again.
        ehloText_.clear();
        mechanisms_.clear();
        expects_.clear();
        SayHello();
    } else {
        Expect(TReplyTo::Greeting);
    }
}

void TNetSMTPPoolSession::SayHello()
{
    if (pool_.server_.UseEhlo) {
        SendCommand("EHLO " + pool_.heloName_);
        Expect(TReplyTo::Ehlo);
    } else {
        SendCommand("HELO " + pool_.heloName_);
        Expect(TReplyTo::Helo);
    }
}

void TNetSMTPPoolSession::OnHello(bool ehloAccepted)
{
    const TNetSMTPServer& server = pool_.server_;
    const bool implicitTLS = UsesImplicitTLS(server.Security, server.Port);
    if (!tlsActive_ && !implicitTLS && server.Security != ssNone) {
        if (ehloAccepted && SMTPAnnounces(ehloText_, "STARTTLS")) {
            SendCommand("STARTTLS");
            Expect(TReplyTo::StartTLS);
            return;
        }
        if (server.Security == ssStartTLS)
            throw ENetTLSError("The mail server does not offer STARTTLS");
    }
    pipelining_ = ehloAccepted && SMTPAnnounces(ehloText_, "PIPELINING");
    const bool loginDue = server.AuthenticationType == atLogin && SMTPLoginAvailable(mechanisms_) && !loggedIn_;
    if (loginDue) {
        // A password goes over a plain connection only when the user chose so.
        if (!tlsActive_ && server.Security == ssAuto)
            throw ENetTLSError(std::string(SMTPNoTLSLoginText));
        if (SMTPUsesPlainLogin(mechanisms_)) {
            SendCommand(SMTPPlainLoginCommand(server.Username, server.Password));
            Expect(TReplyTo::AuthPlain);
        } else {
            SendCommand("AUTH LOGIN");
            Expect(TReplyTo::AuthLogin);
        }
        return;
    }
    OnReady();
}

void TNetSMTPPoolSession::OnReady()
{
    SetState(TSessionState::Ready);
    if (current_) {
        std::unique_ptr<TMail> mail = std::move(current_);
        Begin(std::move(mail));
        return;
    }
    if (auto mail = pool_.TakeQueued()) {
        Begin(std::move(mail));
        return;
    }
    if (pool_.finishing_)
        Quit();
}

void TNetSMTPPoolSession::Begin(std::unique_ptr<TMail> mail)
{
    current_ = std::move(mail);
    SetState(TSessionState::Mailing);
    const bool reset = resetDue_;
    resetDue_ = false;
    SendEnvelope(*current_, reset);
}

void TNetSMTPPoolSession::SendEnvelope(TMail& mail, bool resetFirst)
{
    ++mail.Attempts;
    mail.Refusal = nullptr;
    recipientsAnswered_ = 0;
    if (!pipelining_) {
        if (resetFirst) {
            SendCommand("RSET");
            Expect(TReplyTo::Rset, &mail);
        } else {
            SendCommand("MAIL FROM:<" + mail.Submission.From + ">");
            Expect(TReplyTo::Mail, &mail);
        }
        return;
    }
    // RFC 2920: RSET, MAIL, RCPT and DATA may go in one group; only DATA
    // needs its answer before anything more.
    std::string group;
    if (resetFirst) {
        group += "RSET\r\n";
        Expect(TReplyTo::Rset, &mail);
    }
    group += "MAIL FROM:<" + mail.Submission.From + ">\r\n";
    Expect(TReplyTo::Mail, &mail);
    for (const std::string& recipient : mail.Submission.Recipients) {
        group += "RCPT TO:<" + recipient + ">\r\n";
        Expect(TReplyTo::Rcpt, &mail);
    }
    group += "DATA\r\n";
    Expect(TReplyTo::Data, &mail);
    Send(std::move(group));
}

void TNetSMTPPoolSession::SendNextEnvelopeCommand(TMail& mail, std::size_t recipientsDone)
{
    // One command at a time, as the blocking session speaks: each RCPT,
    // then DATA.
    const auto& recipients = mail.Submission.Recipients;
    if (recipientsDone < recipients.size()) {
        SendCommand("RCPT TO:<" + recipients[recipientsDone] + ">");
        Expect(TReplyTo::Rcpt, &mail);
    } else {
        SendCommand("DATA");
        Expect(TReplyTo::Data, &mail);
    }
}

void TNetSMTPPoolSession::SendMessageData(TMail& mail)
{
    const auto& data = mail.Submission.Data;
    SendShared(data);
    // The writer ends every line; a text that does not still gets its dot
    // on a line of its own.
    std::string end = data && !data->empty() && data->back() != '\n' ? "\r\n.\r\n" : ".\r\n";
    Expect(TReplyTo::Dot, &mail);
    // The next message's envelope travels with this one's end.
    if (pipelining_ && !next_) {
        if (auto next = pool_.TakeQueued()) {
            next_ = std::move(next);
            Send(std::move(end));
            SendEnvelope(*next_, false);
            return;
        }
    }
    Send(std::move(end));
}

void TNetSMTPPoolSession::OnReply(const TNetRFCReply& reply)
{
    Progress();
    if (expects_.empty()) {
        // Unasked: a server closing an idle session says 421 first.
        throw ENetProtocolReplyError(reply.NumericCode(), JoinLines(reply.Text));
    }
    const TExpected expected = expects_.front();
    expects_.pop_front();
    const TNetSMTPServer& server = pool_.server_;
    switch (expected.To) {
    case TReplyTo::Greeting:
        CheckReplyCode(reply, {220});
        greeted_ = true;
        SayHello();
        return;
    case TReplyTo::Ehlo:
        if (reply.NumericCode() == 250) {
            ehloText_ = reply.Text;
            AddAuthMechanisms(reply.Text, mechanisms_);
            OnHello(true);
        } else {
            SendCommand("HELO " + pool_.heloName_);
            Expect(TReplyTo::Helo);
        }
        return;
    case TReplyTo::Helo:
        CheckReplyCode(reply, {250});
        ehloText_ = {"HELO"};
        OnHello(false);
        return;
    case TReplyTo::StartTLS:
        CheckReplyCode(reply, {220});
        // Lines that arrived with the STARTTLS reply were sent in the clear
        // and could be an attacker's; they must not be read as the server's.
        reader_.Clear();
        StartHandshake();
        return;
    case TReplyTo::AuthLogin:
        CheckReplyCode(reply, {334});
        SendCommand(TNetEncoderMIME::Encode(server.Username));
        Expect(TReplyTo::AuthUser);
        return;
    case TReplyTo::AuthUser:
        CheckReplyCode(reply, {334});
        SendCommand(TNetEncoderMIME::Encode(server.Password));
        Expect(TReplyTo::AuthPassword);
        return;
    case TReplyTo::AuthPassword:
    case TReplyTo::AuthPlain:
        CheckReplyCode(reply, {235});
        loggedIn_ = true;
        OnReady();
        return;
    case TReplyTo::Rset:
    case TReplyTo::Mail:
    case TReplyTo::Rcpt:
    case TReplyTo::Data:
    case TReplyTo::Dot:
        // A server that is closing says 421 and goes: on a kept session that
        // is a dropped connection, on a fresh one the message's refusal.
        if (reply.NumericCode() == 421)
            throw ENetProtocolReplyError(reply.NumericCode(), JoinLines(reply.Text));
        OnTransactionReply(expected.To, *expected.Mail, reply);
        return;
    }
}

void TNetSMTPPoolSession::OnTransactionReply(TReplyTo to, TMail& mail, const TNetRFCReply& reply)
{
    // Replies come in the order of the commands, so they are always for
    // current_: the next message's come after this one's end made it current.
    const auto refuse = [&](const TNetReplyCodes& allowed) {
        try {
            CheckReplyCode(reply, allowed);
            return false;
        } catch (const ENetProtocolReplyError&) {
            if (!mail.Refusal)
                mail.Refusal = std::current_exception();
            return true;
        }
    };
    switch (to) {
    case TReplyTo::Rset:
        // Any answer will do, as for the blocking session's RSET.
        if (!pipelining_) {
            SendCommand("MAIL FROM:<" + mail.Submission.From + ">");
            Expect(TReplyTo::Mail, &mail);
        }
        return;
    case TReplyTo::Mail:
        if (refuse({250})) {
            if (!pipelining_)
                EndTransaction(false);
            return;
        }
        if (!pipelining_)
            SendNextEnvelopeCommand(mail, 0);
        return;
    case TReplyTo::Rcpt:
        if (refuse({250, 251})) {
            // The first refusal ends it; later recipients are not tried.
            if (!pipelining_)
                EndTransaction(false);
            return;
        }
        if (!pipelining_)
            SendNextEnvelopeCommand(mail, ++recipientsAnswered_);
        return;
    case TReplyTo::Data:
        if (reply.NumericCode() == 354 && mail.Refusal) {
            // RFC 2920: a server that takes DATA after refusing the envelope
            // gets an empty message, which ends the transaction.
            Send(".\r\n");
            Expect(TReplyTo::Dot, &mail);
            return;
        }
        if (refuse({354})) {
            EndTransaction(false);
            return;
        }
        SendMessageData(mail);
        return;
    case TReplyTo::Dot:
        if (mail.Refusal) {
            EndTransaction(false);
            return;
        }
        EndTransaction(!refuse({250}));
        return;
    default:
        return;
    }
}

void TNetSMTPPoolSession::EndTransaction(bool sent)
{
    std::unique_ptr<TMail> mail = std::move(current_);
    ++transactions_;
    TNetSMTPOutcome outcome;
    outcome.Sent = sent;
    if (!sent)
        outcome.Error = mail->Refusal;
    pool_.Report(std::move(mail), outcome);
    if (next_) {
        current_ = std::move(next_);
        SetState(TSessionState::Mailing);
        return;
    }
    resetDue_ = !sent;
    OnReady();
}

void TNetSMTPPoolSession::Quit()
{
    if (state_ == TSessionState::Closed || state_ == TSessionState::Quitting)
        return;
    if (state_ == TSessionState::Connecting || state_ == TSessionState::Handshake) {
        CloseSocket(false);
        return;
    }
    expects_.clear();
    SendCommand("QUIT");
    SetState(TSessionState::Quitting);
}

void TNetSMTPPoolSession::Fail(const std::exception_ptr& error)
{
    const TSessionState state = state_;
    const bool kept = transactions_ > 0;
    bool socketGone = false;
    bool closedByServer = false;
    bool closing = false;
    bool connectTimeout = false;
    try {
        std::rethrow_exception(error);
    } catch (const ENetConnClosedGracefully&) {
        socketGone = closedByServer = true;
    } catch (const ENetSocketError&) {
        socketGone = true;
    } catch (const ENetProtocolReplyError& e) {
        closing = e.ReplyErrorCode() == 421;
    } catch (const ENetConnectTimeout&) {
        connectTimeout = true;
    } catch (...) {
    }
    // A message in the middle of its transaction is sent once more when the
    // server closed on it, and when a kept session broke in any way.
    const bool again = state == TSessionState::Mailing && (closedByServer || (kept && (socketGone || closing)));
    for (std::unique_ptr<TMail>* slot : {&next_, &current_}) {
        if (!*slot)
            continue;
        TMail& mail = **slot;
        if (!mail.Refusal && again && mail.Attempts < 2) {
            pool_.Requeue(std::move(*slot));
            continue;
        }
        // A refusal the server gave before it went is the message's answer.
        TNetSMTPOutcome outcome;
        outcome.Error = mail.Refusal ? mail.Refusal : error;
        pool_.Report(std::move(*slot), outcome);
    }
    // A failed opening still tells a server that is there that we leave.
    const bool polite = !socketGone && state != TSessionState::Connecting && state != TSessionState::Closed;
    CloseSocket(polite);
    if (connectTimeout)
        pool_.Unreachable(error);
}

void TNetSMTPPoolSession::CloseSocket(bool polite)
{
    if (socket_ != NetInvalidSocket) {
        auto& stack = GNetStack();
        if (polite && !tlsActive_) {
            // Best effort: the QUIT goes only if the socket takes it at once.
            static const char quit[] = "QUIT\r\n";
            stack.Send(socket_, quit, sizeof quit - 1, 0);
        }
        if (ssl_ && tlsActive_) {
            if (polite) {
                static const char quit[] = "QUIT\r\n";
                ERR_clear_error();
                SSL_write(ssl_, quit, sizeof quit - 1);
            }
            // A polite close_notify when the socket takes it at once.
            ERR_clear_error();
            SSL_shutdown(ssl_);
        }
        stack.Shutdown(socket_, NetShutdownSend);
        stack.CloseSocket(socket_);
        socket_ = NetInvalidSocket;
    }
    if (ssl_) {
        SSL_free(ssl_);
        ssl_ = nullptr;
    }
    ERR_clear_error();
    tlsActive_ = false;
    out_.clear();
    expects_.clear();
    SetState(TSessionState::Closed);
}

TNetPollFd TNetSMTPPoolSession::PollFd() const
{
    TNetPollFd fd;
    if (state_ == TSessionState::Closed || socket_ == NetInvalidSocket)
        return fd;
    fd.Fd = socket_;
    if (state_ == TSessionState::Connecting) {
        fd.Events = POLLOUT;
    } else if (state_ == TSessionState::Handshake) {
        fd.Events = tlsWantsWrite_ ? POLLOUT : POLLIN;
    } else {
        // Always readable: a reply, or a server that closes a kept session.
        fd.Events = POLLIN;
        if (!out_.empty() || tlsWantsWrite_)
            fd.Events |= POLLOUT;
    }
    return fd;
}

bool TNetSMTPPoolSession::Flush()
{
    auto& stack = GNetStack();
    while (!out_.empty()) {
        TPiece& piece = out_.front();
        const std::size_t left = piece.Bytes->size() - piece.Offset;
        const char* data = piece.Bytes->data() + piece.Offset;
        int sent;
        if (ssl_) {
            const int length = static_cast<int>(std::min(left, TLSWriteChunk));
            ERR_clear_error();
            link_.Error = 0;
            sent = SSL_write(ssl_, data, length);
            if (sent <= 0) {
                const int error = SSL_get_error(ssl_, sent);
                if (error == SSL_ERROR_WANT_WRITE || error == SSL_ERROR_WANT_READ) {
                    tlsWantsWrite_ = error == SSL_ERROR_WANT_WRITE;
                    return false;
                }
                if (link_.Error != 0)
                    stack.RaiseSocketError(link_.Error);
                if (error == SSL_ERROR_ZERO_RETURN || error == SSL_ERROR_SYSCALL)
                    throw ENetConnClosedGracefully();
                throw ENetTLSError("TLS error: " + TakeOpenSSLReason());
            }
            tlsWantsWrite_ = false;
        } else {
            const int length = static_cast<int>(std::min<std::size_t>(left, INT_MAX));
            sent = stack.Send(socket_, data, length, 0);
            if (sent == NetSocketError) {
                const int error = stack.PlatformLastError();
                if (error == NetWSAEWOULDBLOCK)
                    return false;
                stack.RaiseSocketError(error);
            }
        }
        piece.Offset += static_cast<std::size_t>(sent);
        if (piece.Offset >= piece.Bytes->size())
            out_.pop_front();
        Progress();
    }
    return true;
}

bool TNetSMTPPoolSession::Receive()
{
    auto& stack = GNetStack();
    char buffer[ReceiveChunk];
    bool any = false;
    for (;;) {
        int received;
        if (ssl_) {
            ERR_clear_error();
            link_.Error = 0;
            received = SSL_read(ssl_, buffer, sizeof buffer);
            if (received <= 0) {
                const int error = SSL_get_error(ssl_, received);
                if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
                    if (error == SSL_ERROR_WANT_WRITE)
                        tlsWantsWrite_ = true;
                    return any;
                }
                if (link_.Error != 0)
                    stack.RaiseSocketError(link_.Error);
                if (error == SSL_ERROR_ZERO_RETURN || error == SSL_ERROR_SYSCALL) {
                    ERR_clear_error();
                    received = 0;
                } else {
                    throw ENetTLSError("TLS error: " + TakeOpenSSLReason());
                }
            }
        } else {
            received = stack.Recv(socket_, buffer, sizeof buffer, 0);
            if (received == NetSocketError) {
                const int error = stack.PlatformLastError();
                if (error == NetWSAEWOULDBLOCK)
                    return any;
                stack.RaiseSocketError(error);
            }
        }
        if (received == 0) {
            // Replies that came before the close still count.
            TNetRFCReply reply;
            while (state_ != TSessionState::Closed && reader_.Next(reply))
                OnReply(reply);
            throw ENetConnClosedGracefully();
        }
        any = true;
        reader_.Feed(std::string_view(buffer, static_cast<std::size_t>(received)));
        TNetRFCReply reply;
        while (state_ != TSessionState::Closed && state_ != TSessionState::Handshake && reader_.Next(reply))
            OnReply(reply);
        if (state_ == TSessionState::Closed || state_ == TSessionState::Handshake)
            return true;
    }
}

void TNetSMTPPoolSession::CheckDeadlines()
{
    if (TSteady::now() < Deadline())
        return;
    if (state_ == TSessionState::Connecting)
        throw ENetConnectTimeout();
    throw ENetReadTimeout();
}

void TNetSMTPPoolSession::Advance()
{
    try {
        for (int round = 0; round < 64 && state_ != TSessionState::Closed; ++round) {
            if (state_ == TSessionState::Connecting) {
                auto& stack = GNetStack();
                TNetSocketSet writable{socket_};
                const int ready = stack.Select(nullptr, &writable, nullptr, 0);
                if (ready == 0)
                    break;
                int error = ready < 0 ? stack.PlatformLastError() : stack.PendingConnectError(socket_);
                if (error < 0)
                    error = stack.PlatformLastError();
                if (error != 0)
                    throw ENetConnectException(stack.SocketErrorMessage(error));
                OnConnected();
                continue;
            }
            if (state_ == TSessionState::Handshake) {
                const TSessionState before = state_;
                ContinueHandshake();
                if (state_ == before)
                    break;
                continue;
            }
            if (state_ == TSessionState::Quitting) {
                if (Flush()) {
                    CloseSocket(false);
                    break;
                }
                // The reply to QUIT is not read, but the socket is: a closed
                // one ends the wait at once.
                Receive();
                break;
            }
            // What arrives may call for more to send: round again until the
            // socket has nothing more to give.
            Flush();
            if (!Receive())
                break;
        }
        if (state_ != TSessionState::Closed)
            CheckDeadlines();
    } catch (const ENetConnClosedGracefully&) {
        if (state_ == TSessionState::Quitting || state_ == TSessionState::Ready)
            CloseSocket(false);
        else
            Fail(std::current_exception());
    } catch (...) {
        if (state_ == TSessionState::Quitting || (state_ == TSessionState::Ready && !current_))
            CloseSocket(false);
        else
            Fail(std::current_exception());
    }
}

// --- the pool --------------------------------------------------------------

TNetSMTPPool::TNetSMTPPool(TNetSMTPServer server) : server_(std::move(server))
{
    const std::string name = server_.HeloName.empty() ? GNetStack().LocalHostName() : server_.HeloName;
    heloName_ = SMTPCommandText(name);
}

TNetSMTPPool::~TNetSMTPPool()
{
    Abort();
    if (tlsSession_)
        SSL_SESSION_free(tlsSession_);
    if (tlsContext_)
        SSL_CTX_free(tlsContext_);
}

void TNetSMTPPool::Submit(TNetSMTPSubmission message, TCompletion done)
{
    auto mail = std::make_unique<TMail>();
    mail->Id = nextId_++;
    mail->Submission = std::move(message);
    mail->Done = std::move(done);
    queue_.push_back(std::move(mail));
    ++unreported_;
    Dispatch();
}

void TNetSMTPPool::Finish()
{
    finishing_ = true;
    Dispatch();
}

void TNetSMTPPool::Abort()
{
    ++aborts_;
    for (auto& session : sessions_)
        session->Drop();
    sessions_.clear();
    queue_.clear();
    reports_.clear();
    unreported_ = 0;
}

std::unique_ptr<TNetSMTPPool::TMail> TNetSMTPPool::TakeQueued()
{
    if (queue_.empty())
        return nullptr;
    auto mail = std::move(queue_.front());
    queue_.pop_front();
    return mail;
}

void TNetSMTPPool::Requeue(std::unique_ptr<TMail> mail)
{
    queue_.push_front(std::move(mail));
}

void TNetSMTPPool::Report(std::unique_ptr<TMail> mail, TNetSMTPOutcome outcome)
{
    reports_.emplace_back(std::move(mail->Done), std::move(outcome));
}

void TNetSMTPPool::Unreachable(const std::exception_ptr& error)
{
    // Only while no session got through: one slow connect among working
    // sessions is that connect's own failure.
    for (const auto& session : sessions_)
        if (session->State() != TSessionState::Connecting && session->State() != TSessionState::Closed)
            return;
    while (auto mail = TakeQueued()) {
        TNetSMTPOutcome outcome;
        outcome.Error = error;
        Report(std::move(mail), outcome);
    }
}

const std::string& TNetSMTPPool::PeerAddress()
{
    if (peerAddress_.empty())
        peerAddress_ = GNetStack().ResolveHost(server_.Host);
    return peerAddress_;
}

int TNetSMTPPool::KeepTLSSession(ssl_st* ssl, SSL_SESSION* session)
{
    auto* pool = static_cast<TNetSMTPPool*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
    if (pool->tlsSession_)
        SSL_SESSION_free(pool->tlsSession_);
    pool->tlsSession_ = session;
    return 1;  // the reference is ours now
}

SSL_CTX* TNetSMTPPool::TLSContext()
{
    if (!tlsContext_) {
        tlsContext_ = NewTLSClientContext(server_.CAFile);
        // Sessions of one pass share one server: each handshake offers the
        // last session it handed out, so the later ones are short.
        SSL_CTX_set_app_data(tlsContext_, this);
        SSL_CTX_set_session_cache_mode(tlsContext_, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
        SSL_CTX_sess_set_new_cb(tlsContext_, &TNetSMTPPool::KeepTLSSession);
    }
    return tlsContext_;
}

void TNetSMTPPool::Dispatch()
{
    std::erase_if(sessions_, [](const auto& session) { return session->State() == TSessionState::Closed; });
    for (auto& session : sessions_) {
        if (!session->Free())
            continue;
        if (auto mail = TakeQueued())
            session->Begin(std::move(mail));
        else if (finishing_)
            session->Quit();
    }
    while (!queue_.empty() && static_cast<int>(sessions_.size()) < std::max(1, server_.MaxSessions)) {
        sessions_.push_back(std::make_unique<TNetSMTPPoolSession>(*this, TakeQueued()));
        sessions_.back()->Connect();
        if (sessions_.back()->State() == TSessionState::Closed)
            sessions_.pop_back();
    }
}

void TNetSMTPPool::DeliverReports()
{
    const int aborts = aborts_;
    while (!reports_.empty()) {
        auto reports = std::move(reports_);
        reports_.clear();
        for (auto& [done, outcome] : reports) {
            // After an abort from a completion nothing more is reported.
            if (aborts_ != aborts)
                return;
            --unreported_;
            if (done)
                done(outcome);
        }
    }
}

std::vector<TNetPollFd> TNetSMTPPool::PollFds() const
{
    std::vector<TNetPollFd> fds;
    for (const auto& session : sessions_) {
        const TNetPollFd fd = session->PollFd();
        if (fd.Fd >= 0)
            fds.push_back(fd);
    }
    return fds;
}

int TNetSMTPPool::TimeoutMs() const
{
    TDeadline nearest = NoDeadline;
    for (const auto& session : sessions_)
        nearest = std::min(nearest, session->Deadline());
    if (!reports_.empty())
        return 0;
    if (nearest == NoDeadline)
        return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(nearest - TSteady::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

void TNetSMTPPool::Step()
{
    // Sessions opened while others work are worked in the same round.
    for (std::size_t i = 0; i < sessions_.size(); ++i)
        sessions_[i]->Advance();
    Dispatch();
    DeliverReports();
    // A completion may have submitted more.
    Dispatch();
}

void TNetSMTPPool::Pump(int maxWaitMs)
{
    std::vector<pollfd> fds;
    for (const TNetPollFd& fd : PollFds())
        fds.push_back(pollfd{fd.Fd, fd.Events, 0});
    int wait = TimeoutMs();
    if (maxWaitMs >= 0 && (wait < 0 || maxWaitMs < wait))
        wait = maxWaitMs;
    if (!fds.empty() || wait != 0)
        ::poll(fds.data(), fds.size(), wait);
    Step();
}

void TNetSMTPPool::Run()
{
    while (!Done())
        Pump();
}

bool TNetSMTPPool::Done() const
{
    if (unreported_ > 0)
        return false;
    return !finishing_ || sessions_.empty();
}

int TNetSMTPPool::Sessions() const
{
    return static_cast<int>(std::count_if(sessions_.begin(), sessions_.end(), [](const auto& session) {
        return session->State() != TSessionState::Closed;
    }));
}
