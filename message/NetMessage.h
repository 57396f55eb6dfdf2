#pragma once

// The mail message that the composition fills and the SMTP session sends.
// One object is kept and cleared before every composition.

#include "message/NetEMailAddress.h"
#include "message/NetHeaderList.h"
#include "message/NetMessagePart.h"
#include "platform/Clock.h"
#include "platform/Text.h"

#include <string>

enum TNetMessagePriority { mpHighest, mpHigh, mpNormal, mpLow, mpLowest };
enum TNetMessageEncoding { meMIME, meUU };

class TNetMessage {
public:
    TNetMessage() = default;
    virtual ~TNetMessage() = default;

    // Empties every header, address list, body and part; Date becomes zero,
    // Priority normal and UseNowForDate true. Encoding and
    // AttachmentEncoding are kept.
    virtual void Clear();

    std::string AttachmentEncoding = "MIME";
    TLines Body;
    TNetEMailAddressList BccList;
    std::string CharSet;
    TNetEMailAddressList CCList;
    std::string ContentType = "text/plain";
    std::string ContentTransferEncoding;
    std::string ContentDisposition;
    TDateTime Date{};
    TNetMessageEncoding Encoding = meMIME;
    TNetHeaderList ExtraHeaders;
    TNetEMailAddressItem From;
    TLines NewsGroups;
    bool NoEncode = false;
    bool NoDecode = false;
    std::string Organization;
    TNetMessagePriority Priority = mpNormal;
    TNetEMailAddressItem ReceiptRecipient;
    TNetEMailAddressList Recipients;
    std::string References;
    TNetEMailAddressList ReplyTo;
    std::string Subject;
    TNetEMailAddressItem Sender;
    bool UseNowForDate = true;

    TNetMessageParts MessageParts;
};

// How the two parts of a mailed page name their text. The defaults are the
// form of a page whose character set is unknown.
struct TPagePartTypes {
    std::string PlainType = "text/plain";
    std::string PlainTransfer = "7bit";
    std::string HtmlType = "text/html";
};

// A page as it is mailed: a multipart/alternative message whose first part
// is the plain text and whose second is the page's HTML (quoted-printable).
// Adds the two parts to whatever the message holds.
void AddPageParts(TNetMessage& message, TLines plainText, TLines html, const TPagePartTypes& types = {});

// A whole text as a body: a single body line that keeps the text's own line
// breaks, which the writer sends as the lines SplitLines would give (CR LF,
// lone CR and lone LF each end a line; a final break adds no empty line).
// A page of millions of short lines stays one string, not one per line.
TLines BodyLines(std::string_view text);
