#include "message/NetMessage.h"

#include <utility>

TNetText& TNetMessageParts::AddTextPart()
{
    auto part = std::make_unique<TNetText>();
    TNetText& result = *part;
    FParts.push_back(std::move(part));
    return result;
}

std::size_t TNetMessageParts::TextPartCount() const
{
    std::size_t count = 0;
    for (const auto& part : FParts)
        if (part->IsTextPart())
            ++count;
    return count;
}

void TNetMessage::Clear()
{
    CCList.Clear();
    BccList.Clear();
    Recipients.Clear();
    ReplyTo.Clear();
    NewsGroups.clear();
    From.Clear();
    Sender.Clear();
    ReceiptRecipient.Clear();
    Organization.clear();
    References.clear();
    Subject.clear();
    ContentType.clear();
    CharSet.clear();
    ContentTransferEncoding.clear();
    ContentDisposition.clear();
    ExtraHeaders.Clear();
    Body.clear();
    MessageParts.Clear();
    Date = TDateTime{};
    Priority = mpNormal;
    UseNowForDate = true;
}

void AddPageParts(TNetMessage& message, TLines plainText, TLines html, const TPagePartTypes& types)
{
    message.ContentType = "Multipart/Alternative";
    TNetText& plain = message.MessageParts.AddTextPart();
    plain.SetContentType(types.PlainType);
    plain.SetContentTransfer(types.PlainTransfer);
    plain.Body = std::move(plainText);
    TNetText& page = message.MessageParts.AddTextPart();
    page.SetContentType(types.HtmlType);
    page.SetContentTransfer("quoted-printable");
    page.Body = std::move(html);
}

TLines BodyLines(std::string_view text)
{
    if (text.empty())
        return {};
    // The writer ends every line it sends with CR LF, so the text's own
    // final break is left to it.
    if (text.back() == '\n')
        text.remove_suffix(text.size() >= 2 && text[text.size() - 2] == '\r' ? 2 : 1);
    else if (text.back() == '\r')
        text.remove_suffix(1);
    TLines lines;
    lines.emplace_back(text);
    return lines;
}
