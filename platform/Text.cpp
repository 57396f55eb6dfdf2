#include "platform/Text.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>

TLines SplitLines(std::string_view text)
{
    // A NUL is an ordinary byte: a page or a settings file that holds one is
    // read to its end, or everything after it would be lost at the next save.
    TLines lines;
    const char* p = text.data();
    const char* const end = p + text.size();
    // Pages run to megabytes: find each LF with memchr and look for a CR only
    // within the line it ends.
    // The next LF is remembered, so a text of lone CRs is not searched again
    // for an LF at every line.
    const char* lf = nullptr;
    bool searched = false;
    while (p < end) {
        if (!searched || (lf && lf < p)) {
            lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
            searched = true;
        }
        const char* stop = lf ? lf : end;
        const char* cr = static_cast<const char*>(std::memchr(p, '\r', static_cast<std::size_t>(stop - p)));
        if (cr) {
            lines.emplace_back(p, cr);
            p = (cr + 1 == lf) ? lf + 1 : cr + 1;
        } else if (lf) {
            lines.emplace_back(p, lf);
            p = lf + 1;
        } else {
            lines.emplace_back(p, end);
            p = end;
        }
    }
    return lines;
}

std::string JoinLines(const TLines& lines)
{
    std::string out;
    out.reserve(static_cast<std::size_t>(JoinedLength(lines)));
    for (const auto& line : lines) {
        out += line;
        out += "\r\n";
    }
    return out;
}

std::string CrLfLines(std::string_view text)
{
    std::string out;
    out.reserve(text.size() + 2);
    const std::size_t n = text.size();
    std::size_t start = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const char c = text[i];
        if (c != '\r' && c != '\n')
            continue;
        out.append(text.data() + start, i - start);
        out += "\r\n";
        if (c == '\r' && i + 1 < n && text[i + 1] == '\n')
            ++i;
        start = i + 1;
    }
    if (start < n) {
        out.append(text.data() + start, n - start);
        out += "\r\n";
    }
    return out;
}

std::uint64_t JoinedLength(const TLines& lines)
{
    std::uint64_t total = 0;
    for (const auto& line : lines)
        total += line.size() + 2;
    return total;
}

std::string UpperCase(std::string_view text)
{
    std::string out(text);
    for (auto& c : out)
        c = UpperChar(c);
    return out;
}

std::string LowerCase(std::string_view text)
{
    std::string out(text);
    for (auto& c : out)
        c = LowerChar(c);
    return out;
}

bool SameText(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (LowerChar(a[i]) != LowerChar(b[i]))
            return false;
    return true;
}

int CompareText(std::string_view a, std::string_view b)
{
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) {
        const auto x = static_cast<unsigned char>(LowerChar(a[i]));
        const auto y = static_cast<unsigned char>(LowerChar(b[i]));
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

bool StartsText(std::string_view prefix, std::string_view text)
{
    return text.size() >= prefix.size() && SameText(prefix, text.substr(0, prefix.size()));
}

std::size_t FindText(std::string_view text, std::string_view needle, std::size_t from)
{
    if (needle.empty())
        return from <= text.size() ? from : std::string_view::npos;
    if (text.size() < needle.size())
        return std::string_view::npos;
    const char first = LowerChar(needle[0]);
    for (std::size_t i = from; i + needle.size() <= text.size(); ++i) {
        if (LowerChar(text[i]) != first)
            continue;
        if (SameText(text.substr(i, needle.size()), needle))
            return i;
    }
    return std::string_view::npos;
}

std::string WithoutLineBreaks(std::string_view text)
{
    std::string out(text);
    for (auto& c : out)
        if (c == '\r' || c == '\n')
            c = ' ';
    return out;
}

std::string Trim(std::string_view text)
{
    std::size_t b = 0;
    std::size_t e = text.size();
    while (b < e && static_cast<unsigned char>(text[b]) <= ' ')
        ++b;
    while (e > b && static_cast<unsigned char>(text[e - 1]) <= ' ')
        --e;
    return std::string(text.substr(b, e - b));
}

std::optional<std::int32_t> ParseInt32(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    bool hex = false;
    if (i < text.size() && text[i] == '$') {
        hex = true;
        ++i;
    }
    if (i >= text.size())
        return std::nullopt;
    std::int64_t value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (hex && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return std::nullopt;
        value = value * (hex ? 16 : 10) + digit;
        if (value > (std::int64_t{1} << 32))
            return std::nullopt;
    }
    if (hex && !negative && value <= 0xFFFFFFFFLL)
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
    if (negative)
        value = -value;
    if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max())
        return std::nullopt;
    return static_cast<std::int32_t>(value);
}

std::int32_t StrToIntDef(std::string_view text, std::int32_t fallback)
{
    return ParseInt32(text).value_or(fallback);
}
