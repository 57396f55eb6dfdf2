#include "transport/NetSMTP.h"

#include "message/NetEncoders.h"
#include "platform/ScopeExit.h"
#include "transport/NetErrors.h"
#include "transport/NetIOHandlerTLS.h"
#include "transport/NetSMTPDialogue.h"

#include <algorithm>

TNetSMTP::TNetSMTP()
{
    Port = 25;
}

TNetSMTP::~TNetSMTP() = default;

void TNetSMTP::SetAuthenticationType(TAuthenticationType type)
{
    authenticationType_ = type;
    if (type == atLogin)
        useEhlo_ = true;
}

void TNetSMTP::SetUseEhlo(bool useEhlo)
{
    useEhlo_ = useEhlo;
    if (!useEhlo)
        authenticationType_ = atNone;
}

void TNetSMTP::Open(int timeoutMs)
{
    // A login belongs to one connection: a session opened again after the
    // server dropped the last one (without a Close) must log in afresh.
    loggedIn_ = false;
    // The transport a session creates can take TLS over when asked.
    if (!IOHandler()) {
        auto handler = std::make_unique<TNetIOHandlerTLS>();
        handler->OnStatus = OnStatus;
        handler->UseNagle = UseNagle;
        AdoptIOHandler(std::move(handler));
    }
    TNetMessageClient::Open(timeoutMs);
    // A failure after the connect closes again; the original failure is
    // what the caller sees, not a failed QUIT.
    auto closeOnFailure = FailureScopeExit([this] { Close(); });
    const bool implicitTLS = UsesImplicitTLS(Security, Port);
    if (implicitTLS)
        StartTLS();
    ReadReply(220);
    authMechanisms_.clear();
    std::string name = HeloName.empty() ? GNetStack().LocalHostName() : HeloName;
    name = SMTPCommandText(name);
    const bool ehlo = Greet(name);
    if (implicitTLS || Security == ssNone)
        return;
    if (ehlo && ServerAnnounces("STARTTLS")) {
        ExecuteCommand("STARTTLS", 220);
        StartTLS();
        // Nothing the server said before the handshake may be trusted, its
        // mechanisms least of all: they are read again.
        authMechanisms_.clear();
        Greet(name);
    } else if (Security == ssStartTLS) {
        throw ENetTLSError("The mail server does not offer STARTTLS");
    } else if (authenticationType_ != atNone && MechanismAvailable(authenticationType_)) {
        // Anyone on the path can strip the STARTTLS line from the reply:
        // under Auto a password goes out only over TLS, and a login in the
        // clear is the user's explicit choice of "None".
        throw ENetTLSError(std::string(SMTPNoTLSLoginText));
    }
}

bool TNetSMTP::Greet(const std::string& name)
{
    if (useEhlo_ && ExecuteCommand("EHLO " + name, TNetReplyCodes{}) == 250) {
        ReadMechanisms();
        return true;
    }
    ExecuteCommand("HELO " + name, 250);
    return false;
}

void TNetSMTP::StartTLS()
{
    auto* tls = dynamic_cast<TNetIOHandlerTLS*>(IOHandler());
    if (!tls)
        throw ENetTLSError("This connection cannot use TLS");
    // Lines that arrived with the STARTTLS reply were sent in the clear and
    // could be an attacker's; they must not be read as the server's answer.
    PendingInput().Clear();
    tls->TimeoutMs = ReadTimeout;
    tls->SetSendTimeout(WriteTimeout);
    tls->StartTLS(Host, CAFile);
}

bool TNetSMTP::TLSActive() const
{
    const auto* tls = dynamic_cast<const TNetIOHandlerTLS*>(IOHandler());
    return tls && tls->TLSActive();
}

std::string TNetSMTP::TLSProtocol() const
{
    const auto* tls = dynamic_cast<const TNetIOHandlerTLS*>(IOHandler());
    return tls ? tls->Protocol() : std::string();
}

bool TNetSMTP::ServerAnnounces(std::string_view keyword)
{
    return SMTPAnnounces(LastReply().Text, keyword);
}

void TNetSMTP::ReadMechanisms()
{
    AddAuthMechanisms(LastReply().Text, authMechanisms_);
}

bool TNetSMTP::Offers(std::string_view mechanism) const
{
    return SMTPOffers(authMechanisms_, mechanism);
}

bool TNetSMTP::MechanismAvailable(TAuthenticationType type) const
{
    return type == atLogin && SMTPLoginAvailable(authMechanisms_);
}

bool TNetSMTP::LogIn()
{
    bool ran = false;
    if (authenticationType_ == atLogin) {
        if (!SMTPUsesPlainLogin(authMechanisms_)) {
            ExecuteCommand("AUTH LOGIN", 334);
            ExecuteCommand(TNetEncoderMIME::Encode(Username), 334);
            ExecuteCommand(TNetEncoderMIME::Encode(Password), 235);
        } else {
            ExecuteCommand(SMTPPlainLoginCommand(Username, Password), 235);
        }
        ran = true;
    }
    loggedIn_ = true;
    return ran;
}

void TNetSMTP::Transmit(TNetMessage& message)
{
    ExecuteCommand("RSET", TNetReplyCodes{});
    if (authenticationType_ != atNone && MechanismAvailable(authenticationType_) && !loggedIn_)
        LogIn();
    ExecuteCommand("MAIL FROM:<" + SMTPCommandText(message.From.Address) + ">", 250);
    for (const TNetEMailAddressList* list : {&message.Recipients, &message.CCList, &message.BccList})
        for (const auto& item : *list) {
            // Each recipient is one more exchange the session must have time for.
            ExtendSession(ReplyTimeout);
            ExecuteCommand("RCPT TO:<" + SMTPCommandText(item.Address) + ">", TNetReplyCodes{250, 251});
        }
    ExecuteCommand("DATA", 354);
    if (!MailAgent.empty())
        message.ExtraHeaders.SetValue("X-Mailer", SMTPCommandText(MailAgent));
    // The headers are a send a line and the body a send a block: held back
    // while the message is written, they leave in full packets.
    HoldSends(true);
    {
        TScopeExit release([this] { HoldSends(false); });
        WriteMessage(message, false);
    }
    ExecuteCommand(".", 250);
}

void TNetSMTP::Close()
{
    // The connection goes also when QUIT cannot be written.
    TScopeExit drop([this] {
        TNetMessageClient::Close();
        loggedIn_ = false;
    });
    if (IsConnected())
        WriteLine("QUIT");
}

int TNetSMTP::Expand(const std::string& argument)
{
    return ExecuteCommand("EXPN " + SMTPCommandText(argument), TNetReplyCodes{250, 251});
}

int TNetSMTP::Verify(const std::string& argument)
{
    return ExecuteCommand("VRFY " + SMTPCommandText(argument), TNetReplyCodes{250, 251});
}
