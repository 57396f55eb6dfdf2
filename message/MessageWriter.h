#pragma once

// Turns a message into the lines that follow the SMTP DATA command: header
// lines, an empty line, then a plain body or a multipart/alternative body
// whose HTML part is quoted-printable. The final "." line is the session's.

#include "message/NetHeaderList.h"
#include "message/NetLineSink.h"
#include "message/NetMessage.h"
#include "platform/Clock.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

inline constexpr std::string_view NetMessageBoundary = "_Boundary_000_0023_017DC8DB_69C7C9A6";
inline constexpr std::string_view NetMultipartContentType =
    "multipart/alternative; boundary=\"_Boundary_000_0023_017DC8DB_69C7C9A6\"";
inline constexpr std::string_view NetMultipartPreamble = "This is a multi-part message in MIME format";

// The boundary between a message's parts: NetMessageBoundary, unless a part
// (its body or its headers) holds it; then that boundary followed by "_" and
// the first counter from 1 on that occurs in no part, so a page can never
// end its part early or add parts of its own.
std::string MessageBoundary(const TNetMessage& message);

// How header texts are transferred before they are encoded.
enum TNetHeaderTransfer { htBit8, htISO2022JP };

// The character set of encoded words, chosen from the user's locale.
struct TNetHeaderCharset {
    std::string CharSet = "ISO-8859-1";
    char Encoding = 'Q';  // 'Q', 'B', or '8' for text left unencoded
    TNetHeaderTransfer Transfer = htBit8;
    // The code page that htISO2022JP converts from.
    std::string JapaneseCodePage = "CP932";
    // The locale's texts are UTF-8: encoded words of UTF-8 text say "UTF-8".
    bool UTF8Locale = false;
};

// The charset for a locale name such as "ja_JP.UTF-8", "zh_TW" or "C".
TNetHeaderCharset HeaderCharsetForLocale(std::string_view localeName);
// The first non-empty of LC_ALL, LC_CTYPE and LANG.
std::string UserLocaleName();

// Converts text from the given Japanese code page to ISO-2022-JP.
std::string ConvertToISO2022JP(std::string_view text, const std::string& fromCodePage);

class TNetMessageWriter {
public:
    // GenerateHeader's lines, an empty line, then WriteBody unless headersOnly.
    void WriteMessage(TNetLineSink& sink, TNetMessage& message, bool headersOnly);
    // The header lines in their order; replaces the message's ContentType by
    // the multipart type when it has text parts. Raises ENetMessageError when
    // the time zone cannot be read.
    TNetHeaderList GenerateHeader(TNetMessage& message);
    void WriteBody(TNetLineSink& sink, const TNetMessage& message);
    void WriteTextPart(TNetLineSink& sink, const TNetText& part);

    // Sets HeaderCharset from LocaleOverride, or from the user's locale.
    void ChooseHeaderCharset();
    // RFC 2047 encoded words for the runs of words holding a character
    // outside 32..126 or one of extraSpecials, and for words a mail reader
    // would take for encoded words. A CR or LF is never left raw outside an
    // encoded word. encodeAll encodes every word, so the text folds however
    // long its words are.
    std::string EncodeWords(std::string_view text, std::string_view extraSpecials = {},
                            bool encodeAll = false) const;
    // "From"-style: bare address, or name form and address in angle brackets.
    // encodeNames gives every name as encoded words.
    std::string EncodeAddress(const TNetEMailAddressItem& item, bool encodeNames = false) const;
    std::string EncodeAddressList(const TNetEMailAddressList& list, bool encodeNames = false) const;
    // "Sun, 5 Jan 2025 14:03:09 +0100" in local time.
    static std::string DateText(TDateTime when);

    TNetHeaderCharset HeaderCharset;
    // When set, ChooseHeaderCharset uses it instead of the environment.
    std::optional<std::string> LocaleOverride;
    // The current time for UseNowForDate: the clock the owner hands down, so
    // that the Date header and the footer of a page read the same time.
    const TClock* Clock = &SystemClock();

    // The most octets a line may have on the wire, CR LF not counted.
    static constexpr std::size_t MaxWireLine = 998;

private:
    std::string Transfer(std::string_view text) const;
    void WriteQuotedPrintable(TNetLineSink& sink, const TLines& body);
};

// Conveniences over a writer with the locale's charset.
TNetHeaderList GenerateHeader(TNetMessage& message);
void WriteMessage(TNetLineSink& sink, TNetMessage& message, bool headersOnly);
