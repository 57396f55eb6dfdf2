#pragma once

// Fills the one message object and sends it through the one SMTP session:
// a changed page as an HTML mail with a plain-text alternative, or the plain
// test message of the mail-server settings.

#include <string>
#include <vector>

#include "delivery/DeliveryHost.h"
#include "delivery/MailServerSettings.h"
#include "message/NetMessage.h"
#include "platform/Clock.h"
#include "transport/NetSMTP.h"

// The sender setting when there is one, else the first destination address.
std::string ChooseSender(const std::string& senderAddress, const std::string& destText);
// The address of one address text ("Name <a@b>", "a@b", "mailto:a@b", "[a@b]").
std::string ExtractAddress(const std::string& text);
// The display name of one address text; empty for a bare address.
std::string ExtractName(const std::string& text);
// What is wrong with the mail-server port ("SMTPPort"); empty when it is a
// port at all (1 to 65535).
std::string SMTPPortError(int port);

class TMailComposer {
public:
    // The clock gives the mail its Date header.
    TMailComposer(TDeliveryHost& host, const TClock& clock);
    TMailComposer(const TMailComposer&) = delete;
    TMailComposer& operator=(const TMailComposer&) = delete;

    // True when the server accepted the message. Failures are logged, and
    // shown too when showErrors is set.
    // The server is the one the settings hold now (connectAround), saved or not.
    // httpContentType is the page's Content-Type as its server sent it (empty
    // when unknown): with the page's own declaration it names the HTML part's
    // charset.
    bool ComposeAndSend(const TMailServerSettings& server, const std::string& recipients, const std::string& subject,
                        const std::string& body, const std::string& alternativeText, bool isHtml,
                        const std::vector<std::string>* attachments, const std::string& sender, bool highPriority,
                        bool showErrors, bool connectAround, const std::string& httpContentType = {});

    // Why the last send failed, as its log line gave it; empty after a send
    // that went out.
    std::string LastError;

    // A send is under way (the window works its events meanwhile).
    bool Sending() const { return sending_; }

    TNetMessage MsgSend;
    TNetSMTP SMTP;

private:
    void ApplySettings(const TMailServerSettings& server);

    TDeliveryHost& host_;
    bool sending_ = false;
};
