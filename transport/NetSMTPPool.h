#pragma once

// The mail of one check pass: kept SMTP sessions, at most three at once,
// that take the submitted messages in their order. A session stays open
// after a message and sends the next one on it (MAIL FROM after the last
// message's end, RSET after a failed transaction); where the server announces
// PIPELINING, MAIL, RCPT and DATA leave as one group and the end of one
// message travels with the next one's group, so a message costs one round
// trip. Nothing here waits: the pass waits on PollFds() together with its
// downloads and calls Step() when any of them is ready or TimeoutMs() has
// passed. Each session is a state machine whose every change goes through
// one function, so the events that resume it can come from anywhere.
//
// The outcome of each message is what the blocking session would have
// raised for it, so callers report it with the same texts. Its retry rule
// holds per message: a connection that drops in the middle of a message is
// opened again, logged into again and the message sent once more; a server
// that refuses a further message on a kept session (421, or a close) counts
// as such a drop.

#include "message/MessageWriter.h"
#include "message/NetMessage.h"
#include "transport/NetSMTP.h"
#include "transport/NetSecurity.h"
#include "transport/NetStack.h"

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct ssl_st;
struct ssl_ctx_st;
struct ssl_session_st;
class TNetSMTPPoolSession;

// The server and the account every session of a pool uses.
struct TNetSMTPServer {
    std::string Host;
    int Port = 25;
    TSMTPSecurity Security = ssAuto;
    // Trusted beside the system's certificate store; empty: the store alone.
    std::string CAFile;
    TAuthenticationType AuthenticationType = atNone;
    std::string Username;
    std::string Password;
    // Announced after EHLO or HELO; empty: the local host name.
    std::string HeloName;
    bool UseEhlo = true;
    // Milliseconds a session may wait for the server to answer, take bytes or
    // accept the connection (the "SMTPTimeOut" setting); 0 waits without limit.
    std::int64_t TimeoutMs = 90000;
    int MaxSessions = 3;
};

// One message as the server gets it: the envelope, and the bytes between
// DATA and the final dot, dot doubling and CR LF ends included.
struct TNetSMTPSubmission {
    std::string From;
    // Recipients, then CC, then Bcc, each list in its order.
    std::vector<std::string> Recipients;
    std::shared_ptr<const std::string> Data;
};

// The submission of a composed message, byte for byte what TNetSMTP's
// Transmit writes for it; sets the "X-Mailer" header to mailAgent unless it
// is empty. Raises what the writer raises.
TNetSMTPSubmission SMTPSubmissionOf(TNetMessage& message, TNetMessageWriter& writer, const std::string& mailAgent);

struct TNetSMTPOutcome {
    // The server accepted the message.
    bool Sent = false;
    // Otherwise the exception the blocking session would have raised:
    // ENetProtocolReplyError for a refusal, ENetConnClosedGracefully,
    // ENetSocketError, ENetReadTimeout, ENetConnectTimeout, ENetTLSError ...
    std::exception_ptr Error;

    // The error's message ("Connection Closed Gracefully."), empty when sent.
    std::string ErrorText() const;
    // Raises Error (nothing when sent), for callers that catch by type.
    void Rethrow() const;
};

// A descriptor the pool waits on, with the poll events it wants (POLLIN,
// POLLOUT; the same bits as libcurl's CURL_WAIT_POLLIN and CURL_WAIT_POLLOUT).
struct TNetPollFd {
    int Fd = -1;
    short Events = 0;
};

class TNetSMTPPool {
public:
    using TCompletion = std::function<void(const TNetSMTPOutcome&)>;

    explicit TNetSMTPPool(TNetSMTPServer server);
    // Drops every session at once, as Abort does.
    ~TNetSMTPPool();
    TNetSMTPPool(const TNetSMTPPool&) = delete;
    TNetSMTPPool& operator=(const TNetSMTPPool&) = delete;

    // Queues a message; done is called once, from Step(), with its outcome.
    // Sessions are opened (a connect that does not wait) as needed.
    void Submit(TNetSMTPSubmission message, TCompletion done);
    // No more messages will come: sessions send QUIT once they have nothing
    // left to send, and close without waiting for its reply.
    void Finish();
    // Closes every session at once; messages not yet reported are never
    // reported (those the server accepted stay accepted).
    void Abort();

    // What to wait for before the next Step().
    std::vector<TNetPollFd> PollFds() const;
    // Milliseconds until the nearest time limit of a session (0: passed), or
    // -1 when none is running.
    int TimeoutMs() const;
    // Reads and writes whatever the sockets take or hold without waiting,
    // checks the time limits, and calls the completions of the messages that
    // ended. A completion may Submit, Finish or Abort, but must not destroy
    // the pool.
    void Step();
    // Waits up to maxWaitMs (-1: TimeoutMs()) for any descriptor, then Step().
    void Pump(int maxWaitMs = -1);
    // Pumps until Done().
    void Run();

    // Every submitted message has been reported and, after Finish, every
    // session is closed.
    bool Done() const;
    // Sessions open or opening now.
    int Sessions() const;
    // Connections opened since the pool was made.
    int Connections() const { return connections_; }
    // TLS handshakes that resumed an earlier session of the pool.
    int ResumedHandshakes() const { return resumedHandshakes_; }

private:
    friend class TNetSMTPPoolSession;
    struct TMail;

    // Hands queued messages to sessions that are free, and opens sessions
    // while messages wait and fewer than MaxSessions are open.
    void Dispatch();
    std::unique_ptr<TMail> TakeQueued();
    // Back to the front of the queue for its one more try.
    void Requeue(std::unique_ptr<TMail> mail);
    void Report(std::unique_ptr<TMail> mail, TNetSMTPOutcome outcome);
    // The server could not be reached in time: messages still queued would
    // meet the same wait, so they end with the same error now.
    void Unreachable(const std::exception_ptr& error);
    void DeliverReports();
    // The address of Host, looked up once per pool.
    const std::string& PeerAddress();
    ssl_ctx_st* TLSContext();
    static int KeepTLSSession(ssl_st* ssl, ssl_session_st* session);

    TNetStackShare stackShare_;
    TNetSMTPServer server_;
    std::string peerAddress_;
    std::string heloName_;
    std::deque<std::unique_ptr<TMail>> queue_;
    std::vector<std::unique_ptr<TNetSMTPPoolSession>> sessions_;
    std::vector<std::pair<TCompletion, TNetSMTPOutcome>> reports_;
    // Messages submitted and not yet reported.
    int unreported_ = 0;
    bool finishing_ = false;
    int aborts_ = 0;
    int connections_ = 0;
    int resumedHandshakes_ = 0;
    ssl_ctx_st* tlsContext_ = nullptr;
    // The newest TLS session the server handed out, offered by the next handshake.
    ssl_session_st* tlsSession_ = nullptr;
    std::uint64_t nextId_ = 1;
};
