#include "message/NetCharset.h"

#include "platform/Text.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <iconv.h>

namespace {

constexpr std::size_t PrescanLength = 1024;

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

char Lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// The charset in a meta element's content attribute: after "charset",
// blanks and "=", a quoted or a bare value. Empty when there is none.
std::string CharsetInContent(std::string_view content)
{
    const std::string lower = LowerCase(content);
    std::size_t at = 0;
    for (;;) {
        at = lower.find("charset", at);
        if (at == std::string::npos)
            return {};
        at += 7;
        std::size_t p = at;
        while (p < lower.size() && IsSpace(lower[p]))
            ++p;
        if (p >= lower.size() || lower[p] != '=')
            continue;  // "charset" that is not followed by "=": look further on
        ++p;
        while (p < lower.size() && IsSpace(lower[p]))
            ++p;
        if (p >= lower.size())
            return {};
        if (lower[p] == '"' || lower[p] == '\'') {
            const std::size_t end = lower.find(lower[p], p + 1);
            if (end == std::string::npos)
                return {};
            return std::string(content.substr(p + 1, end - p - 1));
        }
        std::size_t end = p;
        while (end < lower.size() && !IsSpace(lower[end]) && lower[end] != ';')
            ++end;
        return std::string(content.substr(p, end - p));
    }
}

// Reads one attribute of a tag at p; false at the tag's end or the text's.
// The name comes back in lower case.
bool NextAttribute(std::string_view s, std::size_t& p, std::string& name, std::string& value)
{
    name.clear();
    value.clear();
    while (p < s.size() && (IsSpace(s[p]) || s[p] == '/'))
        ++p;
    if (p >= s.size() || s[p] == '>')
        return false;
    // A name may begin with "=", which is then part of it.
    if (s[p] == '=') {
        name += '=';
        ++p;
    }
    while (p < s.size() && s[p] != '=' && !IsSpace(s[p]) && s[p] != '/' && s[p] != '>')
        name += Lower(s[p++]);
    if (p >= s.size())
        return false;
    while (p < s.size() && IsSpace(s[p]))
        ++p;
    if (p >= s.size())
        return false;
    if (s[p] != '=')
        return true;  // no value
    ++p;
    while (p < s.size() && IsSpace(s[p]))
        ++p;
    if (p >= s.size())
        return false;
    if (s[p] == '"' || s[p] == '\'') {
        const char quote = s[p++];
        const std::size_t end = s.find(quote, p);
        if (end == std::string_view::npos) {
            p = s.size();
            return false;
        }
        value = std::string(s.substr(p, end - p));
        p = end + 1;
        return true;
    }
    if (s[p] == '>')
        return true;
    while (p < s.size() && !IsSpace(s[p]) && s[p] != '>')
        value += s[p++];
    return true;
}

bool StartsWithNoCase(std::string_view s, std::size_t at, std::string_view prefix)
{
    if (s.size() - std::min(at, s.size()) < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (Lower(s[at + i]) != prefix[i])
            return false;
    return true;
}

bool IsLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool SystemKnows(const std::string& label)
{
    const iconv_t cd = iconv_open("UTF-8", label.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    iconv_close(cd);
    return true;
}

} // namespace

std::string CharsetOfContentType(std::string_view contentType)
{
    // Parameters come after the media type, each after a ";".
    std::size_t p = contentType.find(';');
    while (p != std::string_view::npos) {
        ++p;
        while (p < contentType.size() && IsSpace(contentType[p]))
            ++p;
        const std::size_t equals = contentType.find('=', p);
        if (equals == std::string_view::npos)
            return {};
        const std::string name = LowerCase(Trim(contentType.substr(p, equals - p)));
        std::size_t v = equals + 1;
        std::string value;
        if (v < contentType.size() && contentType[v] == '"') {
            ++v;
            while (v < contentType.size() && contentType[v] != '"') {
                if (contentType[v] == '\\' && v + 1 < contentType.size())
                    ++v;
                value += contentType[v++];
            }
            p = contentType.find(';', v);
        } else {
            const std::size_t end = contentType.find(';', v);
            value = Trim(contentType.substr(v, end == std::string_view::npos ? std::string_view::npos : end - v));
            p = end;
        }
        if (name == "charset")
            return value;
    }
    return {};
}

std::string MetaCharset(std::string_view page)
{
    const std::string_view s = page.substr(0, std::min(page.size(), PrescanLength));
    std::size_t p = 0;
    while (p < s.size()) {
        if (s[p] != '<') {
            ++p;
            continue;
        }
        if (s.substr(p, 4) == "<!--") {
            const std::size_t end = s.find("-->", p + 2);
            if (end == std::string_view::npos)
                return {};
            p = end + 3;
            continue;
        }
        if (StartsWithNoCase(s, p, "<meta") && p + 5 < s.size() && (IsSpace(s[p + 5]) || s[p + 5] == '/')) {
            p += 5;
            std::string name, value, charset;
            bool gotPragma = false;
            int needPragma = -1;  // -1 unknown, 0 no, 1 yes
            std::string seen = " ";
            while (NextAttribute(s, p, name, value)) {
                if (seen.find(" " + name + " ") != std::string::npos)
                    continue;  // only an attribute's first appearance counts
                seen += name + " ";
                if (name == "http-equiv") {
                    if (LowerCase(value) == "content-type")
                        gotPragma = true;
                } else if (name == "content") {
                    const std::string found = CharsetInContent(value);
                    if (!found.empty() && charset.empty()) {
                        charset = found;
                        needPragma = 1;
                    }
                } else if (name == "charset") {
                    charset = value;
                    needPragma = 0;
                }
            }
            if (p >= s.size())
                return {};  // the tag runs past the bytes scanned
            if (needPragma == -1 || (needPragma == 1 && !gotPragma) || Trim(charset).empty())
                continue;
            return Trim(charset);
        }
        if ((p + 1 < s.size() && IsLetter(s[p + 1]))
            || (p + 2 < s.size() && s[p + 1] == '/' && IsLetter(s[p + 2]))) {
            // Another tag: its attributes are read so that a ">" inside a
            // quoted value does not end it.
            p += s[p + 1] == '/' ? 2 : 1;
            while (p < s.size() && !IsSpace(s[p]) && s[p] != '>')
                ++p;
            std::string name, value;
            while (NextAttribute(s, p, name, value)) {
            }
            if (p < s.size())
                ++p;
            continue;
        }
        if (p + 1 < s.size() && (s[p + 1] == '!' || s[p + 1] == '/' || s[p + 1] == '?')) {
            const std::size_t end = s.find('>', p + 1);
            if (end == std::string_view::npos)
                return {};
            p = end + 1;
            continue;
        }
        ++p;
    }
    return {};
}

std::string MailCharset(std::string_view label)
{
    const std::string lower = LowerCase(Trim(label));
    if (lower.empty() || lower.size() > 40)
        return {};
    // Only a token may stand in a header parameter unquoted.
    for (char c : lower)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.' || c == ':'
              || c == '+'))
            return {};
    if (lower == "utf-8" || lower == "utf8" || lower == "unicode-1-1-utf-8")
        return "UTF-8";
    if (lower.starts_with("utf-16") || lower.starts_with("utf-32") || lower == "unicode" || lower == "ucs-2")
        return {};
    // What browsers show for these labels is windows-1252, so that is what
    // the mail must say to look the same.
    if (lower == "iso-8859-1" || lower == "latin1" || lower == "l1" || lower == "us-ascii" || lower == "ascii"
        || lower == "iso8859-1" || lower == "iso_8859-1" || lower == "cp1252" || lower == "x-user-defined")
        return "windows-1252";
    if (lower == "shift_jis" || lower == "sjis" || lower == "x-sjis")
        return SystemKnows("SHIFT_JIS") ? "Shift_JIS" : std::string();
    if (!SystemKnows(lower))
        return {};
    if (lower.starts_with("iso-8859-") || lower == "koi8-r" || lower == "koi8-u" || lower == "euc-jp"
        || lower == "euc-kr" || lower == "iso-2022-jp" || lower == "gb2312" || lower == "gbk" || lower == "big5")
        return UpperCase(lower);
    return lower;
}

std::string PageCharset(std::string_view httpContentType, std::string_view page)
{
    if (page.starts_with("\xEF\xBB\xBF"))
        return "UTF-8";
    if (std::string fromHttp = MailCharset(CharsetOfContentType(httpContentType)); !fromHttp.empty())
        return fromHttp;
    std::string declared = MetaCharset(page);
    // A page cannot declare itself UTF-16 in bytes that read as ASCII.
    const std::string lower = LowerCase(declared);
    if (lower.starts_with("utf-16"))
        return "UTF-8";
    return MailCharset(declared);
}

bool IsValidUTF8(std::string_view text)
{
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t length;
        unsigned minimum;
        unsigned value;
        if ((c & 0xE0) == 0xC0) {
            length = 2, minimum = 0x80, value = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            length = 3, minimum = 0x800, value = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            length = 4, minimum = 0x10000, value = c & 0x07;
        } else {
            return false;
        }
        if (i + length > n)
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto d = static_cast<unsigned char>(text[i + k]);
            if ((d & 0xC0) != 0x80)
                return false;
            value = (value << 6) | (d & 0x3F);
        }
        if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

bool HasHighBytes(std::string_view text)
{
    return std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) > 127; });
}

std::string AsUTF8(std::string_view text)
{
    if (IsValidUTF8(text))
        return std::string(text);
    std::string out;
    out.reserve(text.size() + text.size() / 4);
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out += ch;
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string CharsetToUTF8(std::string_view text, const std::string& charset)
{
    if (charset.empty() || charset == "UTF-8" || !HasHighBytes(text))
        return AsUTF8(text);
    const iconv_t cd = iconv_open("UTF-8", charset.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1))
        return AsUTF8(text);
    std::string out;
    out.resize(text.size() * 4 + 16);
    char* in = const_cast<char*>(text.data());
    std::size_t inLeft = text.size();
    char* to = out.data();
    std::size_t toLeft = out.size();
    while (inLeft > 0) {
        if (::iconv(cd, &in, &inLeft, &to, &toLeft) != static_cast<std::size_t>(-1))
            break;
        if (errno == E2BIG)
            break; // four bytes out for every byte in is more than any charset needs
        // A byte the charset does not have shows as the replacement character.
        if (toLeft < 3)
            break;
        std::memcpy(to, "\xEF\xBF\xBD", 3);
        to += 3;
        toLeft -= 3;
        ++in;
        --inLeft;
    }
    out.resize(out.size() - toLeft);
    iconv_close(cd);
    return out;
}
