#include "message/MessageWriter.h"

#include "message/NetCharset.h"
#include "message/NetEncoders.h"
#include "message/NetMessageError.h"
#include "platform/Text.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <iconv.h>
#include <memory>

namespace {

constexpr std::size_t MaxEncodedWordLength = 75;
// Room reserved up front for encoding the quoted-printable lines.
constexpr std::size_t WriteChunkSize = 64 * 1024;

bool IsWhite(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool HasLineBreak(std::string_view text)
{
    return std::memchr(text.data(), '\r', text.size()) != nullptr
        || std::memchr(text.data(), '\n', text.size()) != nullptr;
}


// A body line that still holds a line break would reach the wire as several
// lines, the later ones escaping the dot doubling (a "." line there ends the
// DATA phase early); such a line is written as the lines it holds.
template <typename F>
void ForEachWireLine(const std::string& line, F&& write)
{
    if (!HasLineBreak(line)) {
        write(std::string_view(line));
        return;
    }
    const std::string_view text(line);
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            write(text.substr(start, i - start));
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
            start = i + 1;
        }
    }
    write(text.substr(start));
}

// A word a mail reader would decode as an encoded word: "=?" with a "?="
// after it. Sent raw, the reader would show something the sender never wrote.
bool LooksEncoded(std::string_view word)
{
    const std::size_t open = word.find("=?");
    return open != std::string_view::npos && word.find("?=", open + 2) != std::string_view::npos;
}

// Whether a body line would reach the wire longer than a mail line may be.
bool HasOverlongLine(const TLines& body)
{
    for (const auto& line : body) {
        bool overlong = false;
        ForEachWireLine(line, [&](std::string_view l) {
            if (l.size() + (!l.empty() && l.front() == '.' ? 1 : 0) > TNetMessageWriter::MaxWireLine)
                overlong = true;
        });
        if (overlong)
            return true;
    }
    return false;
}

// The transfer a body goes out with: one whose lines would exceed the line
// limit as they are goes quoted-printable instead.
std::string EffectiveTransfer(std::string_view declared, const TLines& body)
{
    if ((declared.empty() || SameText(declared, "7bit") || SameText(declared, "8bit")) && HasOverlongLine(body))
        return "quoted-printable";
    return std::string(declared);
}

bool HasOverlongFold(std::string_view name, std::string_view value)
{
    if (value.empty())
        return false;
    std::string text(name);
    text += ": ";
    text += value;
    for (const auto& line : TNetHeaderList::Fold(text))
        if (line.size() > TNetMessageWriter::MaxWireLine)
            return true;
    return false;
}

// Body lines gathered into blocks of about WriteChunkSize: each write to the
// connection is a send, and a page of millions of short lines would otherwise
// go out as millions of sends. The bytes are those the lines would have made.
class TGatheringSink final : public TNetLineSink {
public:
    explicit TGatheringSink(TNetLineSink& out) : out_(out) { buffer_.reserve(WriteChunkSize + 1024); }
    void Write(std::string_view text) override
    {
        buffer_.append(text);
        FlushFull();
    }
    void WriteLine(std::string_view text) override
    {
        buffer_.append(text);
        buffer_.append("\r\n");
        FlushFull();
    }
    void Flush()
    {
        if (!buffer_.empty())
            out_.Write(buffer_);
        buffer_.clear();
    }

private:
    void FlushFull()
    {
        if (buffer_.size() >= WriteChunkSize)
            Flush();
    }
    TNetLineSink& out_;
    std::string buffer_;
};

void WriteDotted(TNetLineSink& sink, std::string_view line)
{
    if (!line.empty() && line.front() == '.') {
        std::string doubled;
        doubled.reserve(line.size() + 1);
        doubled += '.';
        doubled.append(line);
        sink.WriteLine(doubled);
    } else {
        sink.WriteLine(line);
    }
}

// Comma text: items holding white space, commas or double
// quotes are quoted.
std::string CommaText(const TLines& items)
{
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0)
            out += ',';
        const std::string& item = items[i];
        bool quote = item.empty();
        for (const char c : item)
            if (static_cast<unsigned char>(c) <= ' ' || c == ',' || c == '"')
                quote = true;
        if (!quote) {
            out += item;
            continue;
        }
        out += '"';
        for (const char c : item) {
            if (c == '"')
                out += '"';
            out += c;
        }
        out += '"';
    }
    return out;
}

class TIconv {
public:
    TIconv(const std::string& to, const std::string& from)
        : FHandle(iconv_open(to.c_str(), from.c_str()))
    {
    }
    ~TIconv()
    {
        if (Valid())
            iconv_close(FHandle);
    }
    TIconv(const TIconv&) = delete;
    TIconv& operator=(const TIconv&) = delete;
    bool Valid() const { return FHandle != reinterpret_cast<iconv_t>(-1); }
    iconv_t Handle() const { return FHandle; }

private:
    iconv_t FHandle;
};

} // namespace

TNetHeaderCharset HeaderCharsetForLocale(std::string_view localeName)
{
    std::string_view language = localeName;
    std::string_view territory;
    std::string_view codeset;
    const std::size_t at = language.find('@');
    if (at != std::string_view::npos)
        language = language.substr(0, at);
    const std::size_t dot = language.find('.');
    if (dot != std::string_view::npos) {
        codeset = language.substr(dot + 1);
        language = language.substr(0, dot);
    }
    const std::size_t underscore = language.find('_');
    if (underscore != std::string_view::npos) {
        territory = language.substr(underscore + 1);
        language = language.substr(0, underscore);
    }

    TNetHeaderCharset result;
    if (SameText(language, "zh")) {
        result.CharSet = (SameText(territory, "CN") || SameText(territory, "SG")) ? "GB2312" : "Big5";
        result.Encoding = 'B';
    } else if (SameText(language, "ja")) {
        result.CharSet = "ISO-2022-JP";
        result.Encoding = 'B';
        result.Transfer = htISO2022JP;
        // The locale's own code set is the one the user's text is in; a
        // locale that names none means the traditional Japanese code page.
        if (!codeset.empty())
            result.JapaneseCodePage = std::string(codeset);
    } else if (SameText(language, "ko")) {
        result.CharSet = "EUC-KR";
        result.Encoding = 'B';
    }
    // Japanese text is converted to ISO-2022-JP whatever the locale's code set.
    result.UTF8Locale = result.Transfer != htISO2022JP && (SameText(codeset, "UTF-8") || SameText(codeset, "utf8"));
    return result;
}

std::string UserLocaleName()
{
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0')
            return value;
    }
    return {};
}

std::string ConvertToISO2022JP(std::string_view text, const std::string& fromCodePage)
{
    bool ascii = true;
    for (const char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) {
            ascii = false;
            break;
        }
    if (ascii)
        return std::string(text);

    thread_local std::string cachedFrom;
    thread_local std::unique_ptr<TIconv> converter;
    if (!converter || cachedFrom != fromCodePage) {
        converter = std::make_unique<TIconv>("ISO-2022-JP", fromCodePage);
        if (!converter->Valid())
            converter = std::make_unique<TIconv>("ISO-2022-JP", "CP932");
        cachedFrom = fromCodePage;
    }
    if (!converter->Valid())
        return std::string(text);

    iconv_t cd = converter->Handle();
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    std::string out(text.size() * 2 + 16, '\0');
    std::size_t used = 0;
    char* in = const_cast<char*>(text.data());
    std::size_t inLeft = text.size();
    // Runs one iconv call into the free room of out, growing it as needed;
    // with no input left it writes the shift back to ASCII.
    auto convert = [&]() -> bool {
        for (;;) {
            char* dst = out.data() + used;
            std::size_t dstLeft = out.size() - used;
            const std::size_t rc = inLeft > 0 ? iconv(cd, &in, &inLeft, &dst, &dstLeft)
                                              : iconv(cd, nullptr, nullptr, &dst, &dstLeft);
            const int error = errno;
            used = static_cast<std::size_t>(dst - out.data());
            if (rc != static_cast<std::size_t>(-1))
                return true;
            if (error != E2BIG)
                return false;
            out.resize(out.size() * 2);
        }
    };
    while (inLeft > 0) {
        if (convert())
            break;
        // A byte the code page does not know: back to ASCII, a "?" for it.
        const std::size_t pending = inLeft;
        inLeft = 0;
        convert();
        inLeft = pending - 1;
        ++in;
        if (used + 1 > out.size())
            out.resize(out.size() * 2);
        out[used++] = '?';
    }
    convert();
    out.resize(used);
    return out;
}

std::string TNetMessageWriter::Transfer(std::string_view text) const
{
    if (HeaderCharset.Transfer == htISO2022JP)
        return ConvertToISO2022JP(text, HeaderCharset.JapaneseCodePage);
    return std::string(text);
}

void TNetMessageWriter::ChooseHeaderCharset()
{
    HeaderCharset = HeaderCharsetForLocale(LocaleOverride ? *LocaleOverride : UserLocaleName());
}

std::string TNetMessageWriter::EncodeWords(std::string_view text, std::string_view extraSpecials,
                                           bool encodeAll) const
{
    const std::string s = Transfer(text);
    if (HeaderCharset.Encoding == '8')
        return s;

    const bool qForm = HeaderCharset.Encoding == 'Q';
    std::array<bool, 256> forcing{};
    for (int c = 0; c < 256; ++c)
        forcing[static_cast<std::size_t>(c)] = c < 32 || c > 126;
    for (const char c : extraSpecials)
        forcing[static_cast<unsigned char>(c)] = true;
    std::array<bool, 256> escaped = forcing;
    escaped['='] = escaped['?'] = escaped['_'] = escaped[' '] = true;
    // A quote inside an encoded word would upset the folding, which never
    // breaks between quotes.
    if (encodeAll)
        escaped['"'] = true;

    // Under a UTF-8 locale, text that is UTF-8 says so; bytes that are not
    // keep the locale's traditional charset, which is then what they are.
    const bool utf8 = HeaderCharset.UTF8Locale && HasHighBytes(s) && IsValidUTF8(s);
    const std::string charset = utf8 ? std::string("UTF-8") : HeaderCharset.CharSet;
    const bool doubleByte = !utf8
        && (SameText(charset, "GB2312") || SameText(charset, "Big5") || SameText(charset, "EUC-KR"));
    // The bytes of the character at i: an encoded word must never end inside
    // a character (RFC 2047, section 5).
    auto characterLength = [&](std::size_t i, std::size_t end) -> std::size_t {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t length = 1;
        if (utf8)
            length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        else if (doubleByte && c >= 0x81)
            length = 2;
        return std::min(length, end - i);
    };

    const std::string beginEncode = "=?" + charset + "?" + std::string(1, HeaderCharset.Encoding) + "?";
    static constexpr std::string_view EndEncode = "?=";

    std::string out;
    out.reserve(s.size() * 2);
    // A CR or LF in white space that stays outside an encoded word would end
    // the header line and let the text start one of its own.
    auto copyPlain = [&](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i)
            out += (s[i] == '\r' || s[i] == '\n') ? ' ' : s[i];
    };
    const std::size_t frame = beginEncode.size() + EndEncode.size();
    auto encodeRun = [&](std::size_t from, std::size_t to) {
        out += beginEncode;
        if (qForm) {
            static constexpr char Hex[] = "0123456789ABCDEF";
            std::size_t length = frame;
            std::string encoded;
            for (std::size_t i = from; i < to;) {
                const std::size_t count = characterLength(i, to);
                encoded.clear();
                for (std::size_t k = i; k < i + count; ++k) {
                    const auto c = static_cast<unsigned char>(s[k]);
                    if (c == ' ') {
                        encoded += '_';
                    } else if (!escaped[c]) {
                        encoded += static_cast<char>(c);
                    } else {
                        encoded += '=';
                        encoded += Hex[c >> 4];
                        encoded += Hex[c & 15];
                    }
                }
                if (length + encoded.size() > MaxEncodedWordLength) {
                    out += EndEncode;
                    out += "\r\n\t";
                    out += beginEncode;
                    length = frame;
                }
                out += encoded;
                length += encoded.size();
                i += count;
            }
        } else {
            // As many whole characters as the word holds in base64.
            std::size_t wordStart = from;
            std::size_t i = from;
            while (i < to) {
                const std::size_t count = characterLength(i, to);
                const std::size_t bytes = i + count - wordStart;
                if (i > wordStart && frame + (bytes + 2) / 3 * 4 > MaxEncodedWordLength) {
                    out += TNetEncoderMIME::Encode(std::string_view(s).substr(wordStart, i - wordStart));
                    out += EndEncode;
                    out += "\r\n\t";
                    out += beginEncode;
                    wordStart = i;
                }
                i += count;
            }
            out += TNetEncoderMIME::Encode(std::string_view(s).substr(wordStart, to - wordStart));
        }
        out += EndEncode;
    };

    const std::size_t n = s.size();
    std::size_t pos = 0;
    bool inEncode = false;
    std::size_t encodeStart = 0;
    while (pos < n) {
        const std::size_t whiteStart = pos;
        while (pos < n && IsWhite(s[pos]))
            ++pos;
        const std::size_t wordStart = pos;
        bool needEncode = encodeAll;
        while (pos < n && !IsWhite(s[pos])) {
            if (forcing[static_cast<unsigned char>(s[pos])])
                needEncode = true;
            ++pos;
        }
        if (!needEncode && LooksEncoded(std::string_view(s).substr(wordStart, pos - wordStart)))
            needEncode = true;
        if (needEncode) {
            if (!inEncode) {
                copyPlain(whiteStart, wordStart);
                inEncode = true;
                encodeStart = wordStart;
            }
        } else {
            if (inEncode) {
                encodeRun(encodeStart, whiteStart);
                inEncode = false;
            }
            copyPlain(whiteStart, pos);
        }
    }
    if (inEncode)
        encodeRun(encodeStart, n);
    return out;
}

std::string TNetMessageWriter::EncodeAddress(const TNetEMailAddressItem& item, bool encodeNames) const
{
    const std::string address = WithoutLineBreaks(item.Address);
    if (item.Name.empty())
        return address;
    if (encodeNames)
        return EncodeWords(item.Name, "\"(),.:;<>@[\\]", true) + " <" + address + ">";
    // Some readers decode encoded words even between quotes.
    bool plain = !LooksEncoded(item.Name);
    for (const char c : item.Name) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 32 || u > 126) {
            plain = false;
            break;
        }
    }
    std::string result;
    if (!plain) {
        result = EncodeWords(item.Name, "\"(),.:;<>@[\\]");
    } else {
        result.reserve(item.Name.size() + address.size() + 8);
        result += '"';
        for (const char c : item.Name) {
            if (c == '\\' || c == '"')
                result += '\\';
            result += c;
        }
        result += '"';
    }
    result += " <";
    result += address;
    result += '>';
    return result;
}

std::string TNetMessageWriter::EncodeAddressList(const TNetEMailAddressList& list, bool encodeNames) const
{
    std::string out;
    for (std::size_t i = 0; i < list.Count(); ++i) {
        if (i > 0)
            out += ", ";
        out += EncodeAddress(list[i], encodeNames);
    }
    return out;
}

std::string TNetMessageWriter::DateText(std::chrono::system_clock::time_point when)
{
    static constexpr const char* Days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* Months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    // Read the zone afresh for every message, as a zone changed while the
    // program runs should show in the next mail.
    tzset();
    std::tm local{};
    if (localtime_r(&t, &local) == nullptr || local.tm_wday < 0 || local.tm_wday > 6
        || local.tm_mon < 0 || local.tm_mon > 11)
        throw ENetMessageError("Failed attempting to retrieve time zone information.");
    // The offset of the local time shown, daylight saving included.
    const long offset = local.tm_gmtoff;
    const long magnitude = offset < 0 ? -offset : offset;
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s, %d %s %d %02d:%02d:%02d %c%02ld%02ld",
                  Days[local.tm_wday], local.tm_mday, Months[local.tm_mon], local.tm_year + 1900,
                  local.tm_hour, local.tm_min, local.tm_sec, offset < 0 ? '-' : '+',
                  magnitude / 3600, magnitude % 3600 / 60);
    return buffer;
}

namespace {

bool PartsHold(const TNetMessage& message, std::string_view needle)
{
    const std::boyer_moore_horspool_searcher searcher(needle.begin(), needle.end());
    const auto holds = [&](std::string_view text) {
        return text.size() >= needle.size() && std::search(text.begin(), text.end(), searcher) != text.end();
    };
    const TNetMessageParts& parts = message.MessageParts;
    for (std::size_t i = 0; i < parts.Count(); ++i) {
        const TNetMessagePart& part = parts[i];
        for (const auto& line : part.Headers)
            if (holds(line))
                return true;
        for (const auto& line : part.ExtraHeaders)
            if (holds(line))
                return true;
        if (part.IsTextPart())
            for (const auto& line : static_cast<const TNetText&>(part).Body)
                if (holds(line))
                    return true;
    }
    return false;
}

} // namespace

std::string MessageBoundary(const TNetMessage& message)
{
    std::string boundary(NetMessageBoundary);
    if (!PartsHold(message, boundary))
        return boundary;
    for (unsigned long n = 1;; ++n) {
        boundary = std::string(NetMessageBoundary) + "_" + std::to_string(n);
        if (!PartsHold(message, boundary))
            return boundary;
    }
}

TNetHeaderList TNetMessageWriter::GenerateHeader(TNetMessage& message)
{
    const std::size_t partCount = message.MessageParts.Count();
    const std::size_t textPartCount = message.MessageParts.TextPartCount();
    if (message.Encoding == meMIME && textPartCount > 0 && textPartCount == partCount)
        message.ContentType = "multipart/alternative; boundary=\"" + MessageBoundary(message) + "\"";

    ChooseHeaderCharset();

    TNetHeaderList headers;
    // No line on the wire may exceed 998 octets. A value that would fold
    // into a longer line (a word without blanks, a long quoted name) goes as
    // encoded words, which fold at any length; an address itself cannot be
    // encoded, and one that long cannot be sent.
    const auto setValue = [&](std::string_view name, const auto& encode) {
        std::string value = encode(false);
        if (HasOverlongFold(name, value)) {
            value = encode(true);
            if (HasOverlongFold(name, value))
                throw ENetMessageError("The " + std::string(name) + " header is too long to be sent.");
        }
        headers.SetValue(name, value);
    };
    const auto words = [this](const std::string& text) {
        return [this, &t = text](bool all) { return EncodeWords(t, {}, all); };
    };
    const auto addresses = [this](const TNetEMailAddressList& list) {
        return [this, &l = list](bool all) { return EncodeAddressList(l, all); };
    };
    const auto address = [this](const TNetEMailAddressItem& item) {
        return [this, &i = item](bool all) { return EncodeAddress(i, all); };
    };
    setValue("From", address(message.From));
    setValue("Subject", words(message.Subject));
    setValue("To", addresses(message.Recipients));
    setValue("Cc", addresses(message.CCList));
    headers.SetValue("Newsgroups", CommaText(message.NewsGroups));
    if (message.Encoding == meMIME) {
        headers.SetValue("Content-Type", message.ContentType);
        if (partCount > 0)
            headers.SetValue("MIME-Version", "1.0");
        headers.SetValue("Content-Transfer-Encoding",
                         partCount > 0 ? message.ContentTransferEncoding
                                       : EffectiveTransfer(message.ContentTransferEncoding, message.Body));
    }
    setValue("Sender", [&](bool all) { return all ? EncodeAddress(message.Sender, true) : message.Sender.Text(); });
    setValue("Reply-To", addresses(message.ReplyTo));
    setValue("Organization", words(message.Organization));
    setValue("Disposition-Notification-To", address(message.ReceiptRecipient));
    headers.SetValue("References", message.References);
    const TDateTime when = message.UseNowForDate ? Clock->Now() : message.Date;
    headers.SetValue("Date", DateText(when));
    if (message.Priority != mpNormal)
        headers.SetValue("X-Priority", std::to_string(static_cast<int>(message.Priority) + 1));
    headers.AddLines(message.ExtraHeaders);
    return headers;
}

void TNetMessageWriter::WriteMessage(TNetLineSink& sink, TNetMessage& message, bool headersOnly)
{
    const TNetHeaderList headers = GenerateHeader(message);
    for (const auto& line : headers)
        sink.WriteLine(line);
    sink.WriteLine("");
    if (!headersOnly) {
        TGatheringSink gathered(sink);
        WriteBody(gathered, message);
        gathered.Flush();
    }
}

void TNetMessageWriter::WriteBody(TNetLineSink& sink, const TNetMessage& message)
{
    const TNetMessageParts& parts = message.MessageParts;
    const bool multipart = message.Encoding == meMIME && parts.TextPartCount() > 0;
    if (!multipart) {
        if (message.Encoding == meMIME && parts.Count() == 0
            && EffectiveTransfer(message.ContentTransferEncoding, message.Body)
                   != message.ContentTransferEncoding) {
            WriteQuotedPrintable(sink, message.Body);
            return;
        }
        for (const auto& line : message.Body) {
            // Converted a wire line at a time: a body line that holds a whole
            // text then goes out as its lines would one by one.
            if (HeaderCharset.Transfer == htISO2022JP)
                ForEachWireLine(line, [&](std::string_view l) { WriteDotted(sink, Transfer(l)); });
            else
                ForEachWireLine(line, [&](std::string_view l) { WriteDotted(sink, l); });
        }
        return;
    }
    sink.WriteLine(NetMultipartPreamble);
    sink.WriteLine("");
    const std::string delimiter = "--" + MessageBoundary(message);
    for (std::size_t i = 0; i < parts.Count(); ++i) {
        if (!parts[i].IsTextPart())
            continue;
        sink.WriteLine(delimiter);
        WriteTextPart(sink, static_cast<const TNetText&>(parts[i]));
    }
    sink.WriteLine(delimiter + "--");
}

void TNetMessageWriter::WriteTextPart(TNetLineSink& sink, const TNetText& part)
{
    std::string contentType = part.ContentType();
    if (contentType.empty())
        contentType = "text/plain";
    std::string transfer = part.ContentTransfer();
    if (transfer.empty())
        transfer = "quoted-printable";
    transfer = EffectiveTransfer(transfer, part.Body);
    sink.WriteLine("Content-Type: " + contentType);
    sink.WriteLine("Content-Transfer-Encoding: " + transfer);
    for (const auto& line : part.ExtraHeaders)
        sink.WriteLine(line);
    sink.WriteLine("");

    if (SameText(transfer, "quoted-printable")) {
        WriteQuotedPrintable(sink, part.Body);
    } else {
        for (const auto& line : part.Body)
            ForEachWireLine(line, [&](std::string_view l) { WriteDotted(sink, l); });
    }
    sink.WriteLine("");
}

void TNetMessageWriter::WriteQuotedPrintable(TNetLineSink& sink, const TLines& body)
{
    // Quoted-printable output is 7-bit, so the ISO-2022-JP conversion
    // would leave it as it is.
    // The chunk keeps its size as room; used counts what is waiting.
    std::string input;
    std::string chunk(WriteChunkSize * 2, '\0');
    std::size_t used = 0;
    static constexpr std::string_view SoftBreakDot = "=\r\n.";
    auto encodeLine = [&](std::string_view line) {
        input.clear();
        if (!line.empty() && line.front() == '.')
            input += '.';
        input.append(line);
        input += "\r\n";
        const std::size_t room = TNetEncoderQuotedPrintable::MaxEncodedLength(input.size());
        if (chunk.size() - used < room)
            chunk.resize(std::max(chunk.size() * 2, used + room));
        const std::size_t length = TNetEncoderQuotedPrintable::EncodeInto(input, chunk.data() + used);
        // A soft break followed by a dot would put the dot first on a
        // wire line.
        const std::string_view encoded(chunk.data() + used, length);
        std::size_t hit = encoded.find(SoftBreakDot);
        if (hit == std::string_view::npos) {
            used += length;
        } else {
            const std::string copy(encoded);
            std::string fixed;
            fixed.reserve(copy.size() + copy.size() / 70 + 1);
            std::size_t from = 0;
            for (; hit != std::string::npos; hit = copy.find(SoftBreakDot, from)) {
                fixed.append(copy, from, hit + SoftBreakDot.size() - from);
                fixed += '.';
                from = hit + SoftBreakDot.size();
            }
            fixed.append(copy, from);
            if (chunk.size() - used < fixed.size())
                chunk.resize(used + fixed.size());
            std::memcpy(chunk.data() + used, fixed.data(), fixed.size());
            used += fixed.size();
        }
        if (used >= WriteChunkSize) {
            sink.Write(std::string_view(chunk.data(), used));
            used = 0;
        }
    };
    for (const auto& line : body)
        ForEachWireLine(line, encodeLine);
    if (used > 0)
        sink.Write(std::string_view(chunk.data(), used));
}

TNetHeaderList GenerateHeader(TNetMessage& message)
{
    TNetMessageWriter writer;
    return writer.GenerateHeader(message);
}

void WriteMessage(TNetLineSink& sink, TNetMessage& message, bool headersOnly)
{
    TNetMessageWriter writer;
    writer.WriteMessage(sink, message, headersOnly);
}
