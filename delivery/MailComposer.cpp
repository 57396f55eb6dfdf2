#include "delivery/MailComposer.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <stdexcept>

#include "delivery/CursorScope.h"
#include "message/NetCharset.h"
#include "message/NetEncoders.h"
#include "platform/ScopeExit.h"
#include "platform/Utilities.h"
#include "platform/Text.h"
#include "transport/NetErrors.h"

namespace {

// A session may take as long as this many waits of the time-out, plus one
// more per recipient, plus the message at this slowest rate.
constexpr std::int64_t SessionSteps = 4;
constexpr std::int64_t SessionBytesPerSecond = 4096;

}

namespace {

// Where a comma separates two addresses: outside a quoted display name
// ("Doe, Jane" <jane@x>) and outside angle brackets; npos when none does.
std::size_t SeparatingComma(const std::string& text, std::size_t from = 0)
{
    bool quoted = false;
    int angles = 0;
    for (std::size_t i = from; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"')
            quoted = !quoted;
        else if (quoted)
            continue;
        else if (c == '<')
            ++angles;
        else if (c == '>' && angles > 0)
            --angles;
        else if (c == ',' && angles == 0)
            return i;
    }
    return std::string::npos;
}

} // namespace

std::string ChooseSender(const std::string& senderAddress, const std::string& destText)
{
    if (!senderAddress.empty())
        return senderAddress;
    const auto comma = SeparatingComma(destText);
    return comma == std::string::npos ? destText : destText.substr(0, comma);
}

namespace {

std::string After(const std::string& text, char c)
{
    const auto at = text.find(c);
    return at == std::string::npos ? text : text.substr(at + 1);
}

std::string Before(const std::string& text, char c)
{
    const auto at = text.find(c);
    return at == std::string::npos ? text : text.substr(0, at);
}

// Recipients as the destination field holds them: split at every comma
// that separates addresses, empty pieces dropped, pieces left untrimmed, a
// doubled quote made single.
std::vector<std::string> RecipientPieces(const std::string& recipients)
{
    if (SeparatingComma(recipients) == std::string::npos)
        return {recipients};
    std::vector<std::string> pieces;
    std::size_t from = 0;
    for (;;) {
        const std::size_t comma = SeparatingComma(recipients, from);
        const std::size_t end = comma == std::string::npos ? recipients.size() : comma;
        std::string piece;
        for (std::size_t i = from; i < end; ++i)
            if (!(recipients[i] == '"' && !piece.empty() && piece.back() == '"'))
                piece += recipients[i];
        if (!piece.empty())
            pieces.push_back(std::move(piece));
        if (comma == std::string::npos)
            break;
        from = comma + 1;
    }
    return pieces;
}

} // namespace

std::string ExtractAddress(const std::string& text)
{
    std::string r = Trim(text);
    const auto closing = [&](char c) {
        const auto at = r.find(c);
        return at != std::string::npos && at > 0;
    };
    const bool brackets = (r.find('<') != std::string::npos || r.find('[') != std::string::npos) &&
                          (closing('>') || closing(']'));
    if (brackets) {
        r = After(r, '<');
        r = Before(r, '>');
        r = After(r, '[');
        r = Before(r, ']');
    }
    if (StartsText("MAILTO:", r))
        r.erase(0, 7);
    if (brackets)
        r = Trim(r);
    return r;
}

std::string ExtractName(const std::string& text)
{
    std::string n;
    if (text.find('[') != std::string::npos && text.find('<') == std::string::npos)
        n = Before(text, '[');
    else
        n = Before(text, '<');
    if (n.find('@') != std::string::npos)
        return {};
    const auto strip = [](char c) { return c == ' ' || c == '\t' || c == '"' || c == '\''; };
    std::size_t b = 0, e = n.size();
    while (b < e && strip(n[b]))
        ++b;
    while (e > b && strip(n[e - 1]))
        --e;
    return n.substr(b, e - b);
}

std::string SMTPPortError(int port)
{
    if (port >= 1 && port <= 65535)
        return {};
    return "The mail server's port " + std::to_string(port) + " (SMTPPort) is not between 1 and 65535";
}

std::string MailServerSettingsError(const TMailServerSettings& server)
{
    if (server.PortText)
        return "The mail server's port " + (server.PortText->empty() ? std::string("\"\"") : *server.PortText) +
               " (SMTPPort) is not between 1 and 65535";
    if (std::string portError = SMTPPortError(server.Port); !portError.empty())
        return portError;
    if (server.SecurityText)
        return "The connection security \"" + *server.SecurityText +
               "\" (SMTPSecurity) is none of Auto, STARTTLS, SSL/TLS and None";
    return {};
}

TMailComposer::TMailComposer(TDeliveryHost& host, const TClock& clock) : host_(host)
{
    SMTP.MessageWriter.Clock = &clock;
    MsgSend.ContentType = "text/plain";
    MsgSend.Encoding = meMIME;
    MsgSend.AttachmentEncoding = "MIME";
    // The program names itself: a mail that claims to come from another mail
    // program but is not built like one is what spam filters look for.
    SMTP.MailAgent = "Vendrel " + GetProductVersion();
    SMTP.MaxLineAction = maException;
    SMTP.RecvBufferSize = 8192;
    // A page goes out one line per send; with Nagle's algorithm the final
    // line of a command waits for the server's delayed acknowledgement,
    // about 40 ms per mail.
    SMTP.UseNagle = false;
}

void TMailComposer::ApplySettings(const TMailServerSettings& server)
{
    // A port is 16 bits: a larger number must not quietly reach another
    // port, nor an unknown security word quietly become another choice.
    if (const std::string settingsError = MailServerSettingsError(server); !settingsError.empty())
        throw std::runtime_error(settingsError);
    SMTP.SetAuthenticationType(server.Logon ? atLogin : atNone);
    SMTP.Username = server.Username;
    SMTP.Password = server.Password;
    SMTP.Host = server.Host;
    SMTP.Port = server.Port;
    SMTP.Security = server.Security;
    SMTP.CAFile = server.CAFile;
    // A server that accepts the connection and then says nothing, stops
    // reading, or trickles its replies must not hold the window for ever:
    // every wait, every reply and the whole session are bounded, also when
    // the setting says 0. Seconds as large as the setting allows overflow
    // int milliseconds.
    const std::int64_t limit = std::int64_t{EffectiveTimeOutSeconds(server)} * 1000;
    SMTP.ReadTimeout = limit;
    SMTP.WriteTimeout = limit;
    SMTP.ReplyTimeout = limit;
    SMTP.ConnectTimeout = static_cast<int>(std::min<std::int64_t>(limit, INT_MAX));
    SMTP.SessionTimeout = limit * SessionSteps;
    SMTP.SessionBytesPerSecond = limit > 0 ? SessionBytesPerSecond : 0;
}

void TMailComposer::ComposeMessage(const std::string& recipients, const std::string& subject, const std::string& body,
                                   const std::string& alternativeText, bool isHtml,
                                   const std::vector<std::string>* attachments, const std::string& sender,
                                   bool highPriority, const std::string& httpContentType)
{
    MsgSend.Clear();
    if (isHtml) {
        // A page in an unknown charset keeps the parts as they always
        // were; the alternative names UTF-8 whenever it needs a charset.
        const std::string pageCharset = PageCharset(httpContentType, body);
        const std::string plainText = AsUTF8(alternativeText);
        const bool plain8Bit = HasHighBytes(plainText);
        TPagePartTypes types;
        if (!pageCharset.empty() || plain8Bit)
            types.PlainType = "text/plain; charset=UTF-8";
        if (plain8Bit)
            types.PlainTransfer = "quoted-printable";
        if (!pageCharset.empty())
            types.HtmlType = "text/html; charset=" + pageCharset;
        AddPageParts(MsgSend, BodyLines(plainText), BodyLines(body), types);
    } else if (!HasHighBytes(body)) {
        MsgSend.ContentTransferEncoding = "7bit";
        MsgSend.Body = BodyLines(body);
        MsgSend.ContentType = "text/plain";
    } else {
        // A notice names the site, its address and the server's words, any
        // of which may be beyond ASCII: declared 7bit, readers would show
        // them garbled. The writer sends a single body's lines as they are,
        // so they are given to it encoded.
        MsgSend.ContentTransferEncoding = "quoted-printable";
        MsgSend.ContentType = "text/plain; charset=UTF-8";
        TLines encoded;
        for (const std::string& line : SplitLines(AsUTF8(body)))
            for (std::string& piece : SplitLines(TNetEncoderQuotedPrintable::Encode(line + "\r\n")))
                encoded.push_back(std::move(piece));
        MsgSend.Body = std::move(encoded);
    }
    // Nothing can carry attachments; dropping them quietly would report
    // a mail as sent that is not the mail asked for.
    if (attachments && !attachments->empty())
        throw std::runtime_error("Attachments are not supported");

    MsgSend.From.Address = ExtractAddress(sender);
    MsgSend.From.Name = ExtractName(sender);
    MsgSend.Sender.Address = MsgSend.From.Address;
    MsgSend.Sender.Name = MsgSend.From.Name;

    MsgSend.Recipients.Clear();
    for (const std::string& piece : RecipientPieces(recipients))
        MsgSend.Recipients.Add(ExtractAddress(piece), ExtractName(piece));

    MsgSend.CCList.Clear();
    MsgSend.BccList.Clear();
    MsgSend.Subject = subject;
    MsgSend.Priority = highPriority ? mpHigh : mpNormal;
}

bool TMailComposer::ComposeAndSend(const TMailServerSettings& server, const std::string& recipients,
                                   const std::string& subject, const std::string& body,
                                   const std::string& alternativeText, bool isHtml,
                                   const std::vector<std::string>* attachments, const std::string& sender,
                                   bool highPriority, bool showErrors, bool connectAround,
                                   const std::string& httpContentType)
{
    bool result = true;
    TCursorScope cursor(host_);
    try {
        // A second send started from an event handled during the first would
        // refill the message and reuse the session the first is talking on.
        if (sending_)
            throw std::runtime_error("Another message is being sent");
        sending_ = true;
        TScopeExit sendingScope([this] { sending_ = false; });
        ComposeMessage(recipients, subject, body, alternativeText, isHtml, attachments, sender, highPriority,
                       httpContentType);

        try {
            // Closed on every path; a failing close must not hide the send's own error.
            auto close = QuietScopeExit([&] {
                if (connectAround)
                    SMTP.Close();
            });
            if (connectAround) {
                ApplySettings(server);
                SMTP.Open(-1);
            }
            try {
                SMTP.Transmit(MsgSend);
            } catch (const ENetConnClosedGracefully&) {
                // The server dropped an idle connection; one fresh session
                // is worth a try.
                ApplySettings(server);
                SMTP.Open(-1);
                SMTP.Transmit(MsgSend);
            }
            result = true;
        } catch (const std::exception& e) {
            result = false;
            const std::string message = e.what();
            host_.AddToLog("Delivery error: " + message);
            if (showErrors) {
                const std::string shown = message.find("Socket Error") != std::string::npos
                                              ? "Error connecting to the Internet (or Server)"
                                              : message;
                host_.MessageBox("Sending of message with SMTP failed with the error: \r\n\r\n" + shown,
                                 TMsgKind::Error, TMsgButtons::OK);
            }
        }
    } catch (const std::exception& e) {
        result = false;
        host_.AddToLog(std::string("Sending error: ") + e.what());
        if (showErrors)
            host_.MessageBox(std::string("SMTP Sending Error: \r\n\r\n") + e.what(), TMsgKind::Error,
                             TMsgButtons::OK);
    }
    return result;
}
