#include "message/NetCharset.h"

#include "platform/Text.h"

#include <algorithm>
#include <initializer_list>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <iconv.h>

namespace {

constexpr std::size_t PrescanLength = 1024;

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
        while (p < lower.size() && IsAsciiSpace(lower[p]))
            ++p;
        if (p >= lower.size() || lower[p] != '=')
            continue;  // "charset" that is not followed by "=": look further on
        ++p;
        while (p < lower.size() && IsAsciiSpace(lower[p]))
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
        while (end < lower.size() && !IsAsciiSpace(lower[end]) && lower[end] != ';')
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
    while (p < s.size() && (IsAsciiSpace(s[p]) || s[p] == '/'))
        ++p;
    if (p >= s.size() || s[p] == '>')
        return false;
    // A name may begin with "=", which is then part of it.
    if (s[p] == '=') {
        name += '=';
        ++p;
    }
    while (p < s.size() && s[p] != '=' && !IsAsciiSpace(s[p]) && s[p] != '/' && s[p] != '>')
        name += Lower(s[p++]);
    if (p >= s.size())
        return false;
    while (p < s.size() && IsAsciiSpace(s[p]))
        ++p;
    if (p >= s.size())
        return false;
    if (s[p] != '=')
        return true;  // no value
    ++p;
    while (p < s.size() && IsAsciiSpace(s[p]))
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
    while (p < s.size() && !IsAsciiSpace(s[p]) && s[p] != '>')
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

} // namespace

std::string CharsetOfContentType(std::string_view contentType)
{
    // Parameters come after the media type, each after a ";".
    std::size_t p = contentType.find(';');
    while (p != std::string_view::npos) {
        ++p;
        while (p < contentType.size() && IsAsciiSpace(contentType[p]))
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
        if (StartsWithNoCase(s, p, "<meta") && p + 5 < s.size() && (IsAsciiSpace(s[p + 5]) || s[p + 5] == '/')) {
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
            while (p < s.size() && !IsAsciiSpace(s[p]) && s[p] != '>')
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

namespace {

struct TEncodingLabels {
    const char* Name;
    std::initializer_list<std::string_view> Labels;
};

// The encodings a browser knows, each under its canonical name with every
// label that names it. Only those that keep every ASCII byte as ASCII are
// here: in ISO-2022-JP, UTF-16 or UTF-7 the bytes of "<" or of a boundary
// line can stand for other characters, so a mail reader would read a
// different page than the one that was checked.
const TEncodingLabels AsciiCompatibleEncodings[] = {
    {"UTF-8", {"unicode-1-1-utf-8", "unicode11utf8", "unicode20utf8", "utf-8", "utf8", "x-unicode20utf8"}},
    {"IBM866", {"866", "cp866", "csibm866", "ibm866"}},
    {"ISO-8859-2",
     {"csisolatin2", "iso-8859-2", "iso-ir-101", "iso8859-2", "iso88592", "iso_8859-2", "iso_8859-2:1987", "l2",
      "latin2"}},
    {"ISO-8859-3",
     {"csisolatin3", "iso-8859-3", "iso-ir-109", "iso8859-3", "iso88593", "iso_8859-3", "iso_8859-3:1988", "l3",
      "latin3"}},
    {"ISO-8859-4",
     {"csisolatin4", "iso-8859-4", "iso-ir-110", "iso8859-4", "iso88594", "iso_8859-4", "iso_8859-4:1988", "l4",
      "latin4"}},
    {"ISO-8859-5",
     {"csisolatincyrillic", "cyrillic", "iso-8859-5", "iso-ir-144", "iso8859-5", "iso88595", "iso_8859-5",
      "iso_8859-5:1988"}},
    {"ISO-8859-6",
     {"arabic", "asmo-708", "csiso88596e", "csiso88596i", "csisolatinarabic", "ecma-114", "iso-8859-6",
      "iso-8859-6-e", "iso-8859-6-i", "iso-ir-127", "iso8859-6", "iso88596", "iso_8859-6", "iso_8859-6:1987"}},
    {"ISO-8859-7",
     {"csisolatingreek", "ecma-118", "elot_928", "greek", "greek8", "iso-8859-7", "iso-ir-126", "iso8859-7",
      "iso88597", "iso_8859-7", "iso_8859-7:1987", "sun_eu_greek"}},
    {"ISO-8859-8",
     {"csiso88598e", "csisolatinhebrew", "hebrew", "iso-8859-8", "iso-8859-8-e", "iso-ir-138", "iso8859-8",
      "iso88598", "iso_8859-8", "iso_8859-8:1988", "visual"}},
    {"ISO-8859-8-I", {"csiso88598i", "iso-8859-8-i", "logical"}},
    {"ISO-8859-10", {"csisolatin6", "iso-8859-10", "iso-ir-157", "iso8859-10", "iso885910", "l6", "latin6"}},
    {"ISO-8859-13", {"iso-8859-13", "iso8859-13", "iso885913"}},
    {"ISO-8859-14", {"iso-8859-14", "iso8859-14", "iso885914"}},
    {"ISO-8859-15", {"csisolatin9", "iso-8859-15", "iso8859-15", "iso885915", "iso_8859-15", "l9"}},
    {"ISO-8859-16", {"iso-8859-16"}},
    {"KOI8-R", {"cskoi8r", "koi", "koi8", "koi8-r", "koi8_r"}},
    {"KOI8-U", {"koi8-ru", "koi8-u"}},
    {"macintosh", {"csmacintosh", "mac", "macintosh", "x-mac-roman"}},
    {"windows-874", {"dos-874", "iso-8859-11", "iso8859-11", "iso885911", "tis-620", "windows-874"}},
    {"windows-1250", {"cp1250", "windows-1250", "x-cp1250"}},
    {"windows-1251", {"cp1251", "windows-1251", "x-cp1251"}},
    // What browsers show for Latin-1 and ASCII labels is windows-1252, so
    // that is what the mail must say to look the same.
    {"windows-1252",
     {"ansi_x3.4-1968", "ascii", "cp1252", "cp819", "csisolatin1", "ibm819", "iso-8859-1", "iso-ir-100",
      "iso8859-1", "iso88591", "iso_8859-1", "iso_8859-1:1987", "l1", "latin1", "us-ascii", "windows-1252",
      "x-cp1252"}},
    {"windows-1253", {"cp1253", "windows-1253", "x-cp1253"}},
    {"windows-1254",
     {"cp1254", "csisolatin5", "iso-8859-9", "iso-ir-148", "iso8859-9", "iso88599", "iso_8859-9",
      "iso_8859-9:1989", "l5", "latin5", "windows-1254", "x-cp1254"}},
    {"windows-1255", {"cp1255", "windows-1255", "x-cp1255"}},
    {"windows-1256", {"cp1256", "windows-1256", "x-cp1256"}},
    {"windows-1257", {"cp1257", "windows-1257", "x-cp1257"}},
    {"windows-1258", {"cp1258", "windows-1258", "x-cp1258"}},
    {"x-mac-cyrillic", {"x-mac-cyrillic", "x-mac-ukrainian"}},
    {"GBK",
     {"chinese", "csgb2312", "csiso58gb231280", "gb2312", "gb_2312", "gb_2312-80", "gbk", "iso-ir-58", "x-gbk"}},
    {"gb18030", {"gb18030"}},
    {"Big5", {"big5", "big5-hkscs", "cn-big5", "csbig5", "x-x-big5"}},
    {"EUC-JP", {"cseucpkdfmtjapanese", "euc-jp", "x-euc-jp"}},
    {"Shift_JIS",
     {"csshiftjis", "ms932", "ms_kanji", "shift-jis", "shift_jis", "sjis", "windows-31j", "x-sjis"}},
    {"EUC-KR",
     {"cseuckr", "csksc56011987", "euc-kr", "iso-ir-149", "korean", "ks_c_5601-1987", "ks_c_5601-1989", "ksc5601",
      "ksc_5601", "windows-949"}},
    {"x-user-defined", {"x-user-defined"}},
};

} // namespace

std::string MailCharset(std::string_view label)
{
    // A label is matched as browsers match it: ASCII white space around it
    // dropped, letters compared without regard to case, nothing else.
    while (!label.empty() && IsAsciiSpace(label.front()))
        label.remove_prefix(1);
    while (!label.empty() && IsAsciiSpace(label.back()))
        label.remove_suffix(1);
    std::string lower(label);
    for (char& c : lower)
        c = Lower(c);
    for (const auto& encoding : AsciiCompatibleEncodings)
        for (std::string_view known : encoding.Labels)
            if (known == lower)
                return encoding.Name;
    return {};
}

std::string PageCharset(std::string_view httpContentType, std::string_view page)
{
    if (page.starts_with("\xEF\xBB\xBF"))
        return "UTF-8";
    if (std::string fromHttp = MailCharset(CharsetOfContentType(httpContentType)); !fromHttp.empty())
        return fromHttp;
    std::string declared = MetaCharset(page);
    // A page cannot declare itself UTF-16 in bytes that read as ASCII.
    static constexpr std::string_view Utf16Labels[] = {"csunicode", "iso-10646-ucs-2", "ucs-2", "unicode",
                                                       "unicodefeff", "unicodefffe", "utf-16", "utf-16be",
                                                       "utf-16le"};
    const std::string lower = LowerCase(Trim(declared));
    if (std::find(std::begin(Utf16Labels), std::end(Utf16Labels), lower) != std::end(Utf16Labels))
        return "UTF-8";
    std::string charset = MailCharset(declared);
    // A declaration inside the page is read by a browser as windows-1252
    // where it names x-user-defined.
    if (charset == "x-user-defined")
        return "windows-1252";
    return charset;
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
