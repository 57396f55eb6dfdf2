#include "delivery/HtmlScanner.h"

#include "delivery/HtmlTreeBuilder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

struct TEntity {
    const char* Name;
    const char* Value;
};

const TEntity Entities[] = {
#include "delivery/HtmlEntities.inc"
};

constexpr std::size_t LongestEntity = 32;

inline bool IsAlpha(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

inline bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

inline bool IsAlnum(char c)
{
    return IsAlpha(c) || IsDigit(c);
}

inline char Lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

// What each byte is to the tag states, looked up once per byte: a tag's
// bytes are most of what the tokenizer reads byte by byte.
enum : std::uint8_t {
    ClassSpace = 1,     // ends a name and is skipped between attributes
    ClassTagEnd = 2,    // '/' or '>'
    ClassEquals = 4,    // '='
    ClassFolded = 8,    // an upper-case letter or NUL: the name is not the page's
};

constexpr std::array<std::uint8_t, 256> ByteClasses = [] {
    std::array<std::uint8_t, 256> c{};
    for (char s : {' ', '\t', '\n', '\f', '\r'})
        c[static_cast<unsigned char>(s)] = ClassSpace;
    c['/'] = ClassTagEnd;
    c['>'] = ClassTagEnd;
    c['='] = ClassEquals;
    c[0] = ClassFolded;
    for (int u = 'A'; u <= 'Z'; ++u)
        c[static_cast<std::size_t>(u)] = ClassFolded;
    return c;
}();

inline std::uint8_t ClassOf(char c)
{
    return ByteClasses[static_cast<unsigned char>(c)];
}

// Whether raw holds a byte that DecodeHtmlText changes: '&' or CR, and NUL
// in attributes. Eight bytes at a time, as most values hold none.
bool NeedsDecoding(std::string_view raw, bool inAttribute)
{
    constexpr std::uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    auto hasZero = [](std::uint64_t v) { return (v - ones) & ~v & highs; };
    const std::uint64_t nulMask = inAttribute ? ~std::uint64_t{0} : 0;
    auto special = [&](std::uint64_t v) {
        return (hasZero(v ^ (ones * '&')) | hasZero(v ^ (ones * '\r')) | (hasZero(v) & nulMask)) != 0;
    };
    const char* p = raw.data();
    const std::size_t n = raw.size();
    if (n == 0)
        return false;
    std::uint64_t v;
    if (n < 8) {
        // Short values are padded with a letter, which needs nothing.
        v = ones * 'a';
        std::memcpy(&v, p, n);
        return special(v);
    }
    for (std::size_t i = 0; i + 8 <= n; i += 8) {
        std::memcpy(&v, p + i, 8);
        if (special(v))
            return true;
    }
    // The last eight bytes, which may overlap the ones read.
    std::memcpy(&v, p + n - 8, 8);
    return special(v);
}

// The closing quote of an attribute value from p on (null: none before
// end), and whether the value holds a byte that decoding changes: '&', CR or
// NUL. Values are most of a tag's bytes, so each is looked at once, several
// at a time.
const char* ClosingQuote(const char* p, const char* end, char quote, bool& special)
{
    special = false;
#if defined(__SSE2__)
    // Sixteen at a time where every x86-64 processor can.
    const __m128i quotes = _mm_set1_epi8(quote), amps = _mm_set1_epi8('&'), crs = _mm_set1_epi8('\r'),
                  nuls = _mm_setzero_si128();
    for (; end - p >= 16; p += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const unsigned q = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, quotes)));
        const unsigned sp = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, amps), _mm_cmpeq_epi8(v, crs)), _mm_cmpeq_epi8(v, nuls))));
        if (q != 0) {
            special = sp != 0 && std::countr_zero(sp) < std::countr_zero(q);
            return p + std::countr_zero(q);
        }
        if (sp != 0) {
            special = true;
            return static_cast<const char*>(std::memchr(p + 16, quote, static_cast<std::size_t>(end - p - 16)));
        }
    }
#endif
    if constexpr (std::endian::native == std::endian::little) {
        constexpr std::uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
        // The lowest bit this sets is exact: the first byte that matches.
        auto zeros = [](std::uint64_t v) { return (v - ones) & ~v & highs; };
        const std::uint64_t quotes = ones * static_cast<unsigned char>(quote);
        for (; end - p >= 8; p += 8) {
            std::uint64_t v;
            std::memcpy(&v, p, 8);
            const std::uint64_t q = zeros(v ^ quotes);
            const std::uint64_t sp = zeros(v ^ (ones * '&')) | zeros(v ^ (ones * '\r')) | zeros(v);
            if (q != 0) {
                special = sp != 0 && std::countr_zero(sp) < std::countr_zero(q);
                return p + std::countr_zero(q) / 8;
            }
            if (sp != 0) {
                special = true;
                p += 8;
                break;
            }
        }
        if (special)
            return static_cast<const char*>(std::memchr(p, quote, static_cast<std::size_t>(end - p)));
    }
    for (; p < end; ++p) {
        if (*p == quote)
            return p;
        special = special || *p == '&' || *p == '\r' || *p == '\0';
    }
    return nullptr;
}

inline bool SameLower(const char* text, std::string_view lower)
{
    for (std::size_t i = 0; i < lower.size(); ++i)
        if (Lower(text[i]) != lower[i])
            return false;
    return true;
}


// Numeric references to the C1 range mean what windows-1252 puts there.
std::uint32_t NumericValue(std::uint32_t cp)
{
    static const std::uint16_t c1[32] = {0x20AC, 0x81,   0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                         0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x8D,   0x017D, 0x8F,
                                         0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                         0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x9D,   0x017E, 0x0178};
    if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0xFFFD;
    if (cp >= 0x80 && cp <= 0x9F)
        return c1[cp - 0x80];
    return cp;
}

const TEntity* FindEntity(std::string_view name)
{
    const TEntity* first = std::begin(Entities);
    const TEntity* last = std::end(Entities);
    const TEntity* at = std::lower_bound(first, last, name, [](const TEntity& e, std::string_view n) {
        return std::string_view(e.Name) < n;
    });
    return at != last && std::string_view(at->Name) == name ? at : nullptr;
}

// One reference at raw[i] == '&'; appends its value and gives the position
// after it.
std::size_t DecodeReference(std::string_view raw, std::size_t i, bool inAttribute, std::string& out)
{
    const std::size_t n = raw.size();
    std::size_t p = i + 1;
    if (p < n && raw[p] == '#') {
        ++p;
        const bool hex = p < n && (raw[p] == 'x' || raw[p] == 'X');
        if (hex)
            ++p;
        const std::size_t digits = p;
        std::uint32_t value = 0;
        bool tooLarge = false;
        while (p < n) {
            const char c = raw[p];
            std::uint32_t d;
            if (IsDigit(c))
                d = static_cast<std::uint32_t>(c - '0');
            else if (hex && c >= 'a' && c <= 'f')
                d = static_cast<std::uint32_t>(c - 'a' + 10);
            else if (hex && c >= 'A' && c <= 'F')
                d = static_cast<std::uint32_t>(c - 'A' + 10);
            else
                break;
            value = value * (hex ? 16 : 10) + d;
            if (value > 0x10FFFF) {
                tooLarge = true;
                value = 0x110000;
            }
            ++p;
        }
        if (p == digits) {
            out.append(raw.data() + i, p - i);
            return p;
        }
        if (p < n && raw[p] == ';')
            ++p;
        AppendUtf8(tooLarge ? 0xFFFD : NumericValue(value), out);
        return p;
    }
    std::size_t run = 0;
    while (p + run < n && run < LongestEntity && IsAlnum(raw[p + run]))
        ++run;
    if (run == 0) {
        out += '&';
        return p;
    }
    char name[LongestEntity + 2];
    std::memcpy(name, raw.data() + p, run);
    const TEntity* found = nullptr;
    std::size_t used = 0;
    if (p + run < n && raw[p + run] == ';') {
        name[run] = ';';
        found = FindEntity(std::string_view(name, run + 1));
        used = run + 1;
    }
    for (std::size_t length = run; !found && length > 0; --length) {
        found = FindEntity(std::string_view(name, length));
        used = length;
    }
    if (!found) {
        out += '&';
        return p;
    }
    if (inAttribute && name[used - 1] != ';' && p + used < n && (raw[p + used] == '=' || IsAlnum(raw[p + used]))) {
        // An old-style reference without its semicolon inside an address
        // ("?a=1&copy=2") stays as written.
        out += '&';
        return p;
    }
    out += found->Value;
    return p + used;
}

} // namespace

void AppendUtf8(std::uint32_t cp, std::string& out)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool DecodeHtmlText(std::string_view raw, bool inAttribute, std::string& out)
{
    if (!NeedsDecoding(raw, inAttribute)) {
        out.append(raw);
        return false;
    }
    bool changed = false;
    std::size_t i = 0;
    const std::size_t n = raw.size();
    while (i < n) {
        std::size_t j = i;
        while (j < n && raw[j] != '&' && raw[j] != '\r' && !(inAttribute && raw[j] == '\0'))
            ++j;
        out.append(raw.data() + i, j - i);
        if (j == n)
            break;
        changed = true;
        if (raw[j] == '&') {
            i = DecodeReference(raw, j, inAttribute, out);
        } else if (raw[j] == '\r') {
            out += '\n';
            i = j + 1 < n && raw[j + 1] == '\n' ? j + 2 : j + 1;
        } else {
            out += "\xEF\xBF\xBD";
            i = j + 1;
        }
    }
    return changed;
}

void THtmlScanner::Scan(std::string_view page, THtmlTreeBuilder& builder)
{
    page_ = page;
    builder_ = &builder;
    stop_ = false;
    content_ = THtmlContent::Data;
    const std::size_t n = page.size();
    std::size_t pos = 0;
    while (pos < n && !stop_) {
        switch (content_) {
        case THtmlContent::Data: {
            // Tags often follow one another: the search is spared then.
            const void* found = page[pos] == '<' ? page.data() + pos : std::memchr(page.data() + pos, '<', n - pos);
            if (!found) {
                builder.Text(pos, n);
                pos = n;
                break;
            }
            const std::size_t lt = static_cast<std::size_t>(static_cast<const char*>(found) - page.data());
            if (lt > pos)
                builder.Text(pos, lt);
            // Tags are most of the markup: they go straight to their state.
            if (lt + 1 < n && IsAlpha(page[lt + 1]))
                pos = Tag(lt, lt + 1, false);
            else if (lt + 2 < n && page[lt + 1] == '/' && IsAlpha(page[lt + 2]))
                pos = Tag(lt, lt + 2, true);
            else
                pos = Markup(lt);
            break;
        }
        case THtmlContent::RcData:
        case THtmlContent::RawText:
        case THtmlContent::ScriptData: {
            const std::size_t lt = content_ == THtmlContent::ScriptData ? ScriptEnd(pos) : RawEnd(pos);
            if (lt == std::string_view::npos) {
                builder.Text(pos, n);
                pos = n;
                break;
            }
            if (lt > pos)
                builder.Text(pos, lt);
            content_ = THtmlContent::Data;
            pos = Tag(lt, lt + 2, true);
            break;
        }
        case THtmlContent::PlainText:
            builder.Text(pos, n);
            pos = n;
            break;
        }
    }
    builder_ = nullptr;
}

// At a '<' in the data state.
std::size_t THtmlScanner::Markup(std::size_t lt)
{
    const std::size_t n = page_.size();
    const std::size_t p = lt + 1;
    if (p >= n) {
        builder_->Text(lt, n);
        return n;
    }
    const char c = page_[p];
    if (c == '!') {
        const std::size_t q = p + 1;
        if (q + 1 < n && page_[q] == '-' && page_[q + 1] == '-')
            return CommentFrom(lt, q + 2);
        if (q + 7 <= n && SameLower(page_.data() + q, "doctype")) {
            const void* gt = std::memchr(page_.data() + q, '>', n - q);
            return gt ? static_cast<std::size_t>(static_cast<const char*>(gt) - page_.data()) + 1 : n;
        }
        if (q + 7 <= n && std::memcmp(page_.data() + q, "[CDATA[", 7) == 0 && builder_->InForeignContent()) {
            const std::size_t from = q + 7;
            const std::size_t end = page_.find("]]>", from);
            if (end == std::string_view::npos) {
                if (from < n)
                    builder_->Text(from, n);
                return n;
            }
            if (end > from)
                builder_->Text(from, end);
            return end + 3;
        }
        return BogusComment(lt, q);
    }
    if (c == '/') {
        const std::size_t q = p + 1;
        if (q >= n) {
            builder_->Text(lt, n);
            return n;
        }
        if (IsAlpha(page_[q]))
            return Tag(lt, q, true);
        if (page_[q] == '>')
            return q + 1;
        return BogusComment(lt, q);
    }
    if (IsAlpha(c))
        return Tag(lt, p, false);
    if (c == '?')
        return BogusComment(lt, p);
    builder_->Text(lt, p);
    return p;
}

std::size_t THtmlScanner::BogusComment(std::size_t lt, std::size_t at)
{
    const std::size_t n = page_.size();
    const void* gt = at < n ? std::memchr(page_.data() + at, '>', n - at) : nullptr;
    const std::size_t end = gt ? static_cast<std::size_t>(static_cast<const char*>(gt) - page_.data()) + 1 : n;
    builder_->Comment(lt, end);
    return end;
}

// After "<!--": the comment ends at "-->", "--!>", or right away at "<!-->"
// and "<!--->"; the page's end ends it too.
std::size_t THtmlScanner::CommentFrom(std::size_t lt, std::size_t p)
{
    const std::size_t n = page_.size();
    auto done = [&](std::size_t end) {
        builder_->Comment(lt, end);
        return end;
    };
    if (p < n && page_[p] == '>')
        return done(p + 1);
    if (p < n && page_[p] == '-') {
        if (p + 1 < n && page_[p + 1] == '>')
            return done(p + 2);
        // "<!---" ends like any "-" inside the comment.
    }
    for (;;) {
        const void* dash = p < n ? std::memchr(page_.data() + p, '-', n - p) : nullptr;
        if (!dash)
            return done(n);
        p = static_cast<std::size_t>(static_cast<const char*>(dash) - page_.data()) + 1;
        // Comment end dash.
        if (p >= n)
            return done(n);
        if (page_[p] != '-')
            continue;
        ++p;
        // Comment end: more dashes stay in it.
        for (;;) {
            while (p < n && page_[p] == '-')
                ++p;
            if (p >= n)
                return done(n);
            if (page_[p] == '>')
                return done(p + 1);
            if (page_[p] != '!')
                break;
            ++p; // comment end bang
            if (p >= n)
                return done(n);
            if (page_[p] == '>')
                return done(p + 1);
            if (page_[p] != '-')
                break;
            // "--!-" is a comment end dash again.
            ++p;
            if (p >= n)
                return done(n);
            if (page_[p] != '-')
                break;
            ++p;
        }
    }
}

// The name of the element that opened raw text, in any letter case, followed
// by what ends a tag name.
bool THtmlScanner::EndNameAt(std::size_t at) const
{
    const std::size_t n = page_.size();
    if (at + rawName_.size() >= n)
        return false;
    if (!SameLower(page_.data() + at, rawName_))
        return false;
    const char c = page_[at + rawName_.size()];
    return IsAsciiSpace(c) || c == '/' || c == '>';
}

std::size_t THtmlScanner::RawEnd(std::size_t from) const
{
    const std::size_t n = page_.size();
    std::size_t p = from;
    for (;;) {
        const void* found = p < n ? std::memchr(page_.data() + p, '<', n - p) : nullptr;
        if (!found)
            return std::string_view::npos;
        const std::size_t lt = static_cast<std::size_t>(static_cast<const char*>(found) - page_.data());
        if (lt + 1 < n && page_[lt + 1] == '/' && EndNameAt(lt + 2))
            return lt;
        p = lt + 1;
    }
}

// Script data with its escaped ("<!--") and double-escaped ("<script" inside
// the escape) states: gives where the script's end tag begins.
std::size_t THtmlScanner::ScriptEnd(std::size_t from) const
{
    enum { Plain, Escaped, EscapedDash, EscapedDashDash, Double, DoubleDash, DoubleDashDash } state = Plain;
    const std::size_t n = page_.size();
    const char* s = page_.data();
    std::size_t i = from;
    // A run of letters at at; true when it spells "script" and is followed
    // by what ends a tag name, with next set past that character.
    auto scriptWord = [&](std::size_t at, std::size_t& next) {
        std::size_t j = at;
        while (j < n && IsAlpha(s[j]))
            ++j;
        next = j;
        if (j >= n || !(IsAsciiSpace(s[j]) || s[j] == '/' || s[j] == '>'))
            return false;
        if (j - at != 6 || !SameLower(s + at, "script"))
            return false;
        next = j + 1;
        return true;
    };
    while (i < n) {
        if (state == Plain) {
            const void* found = std::memchr(s + i, '<', n - i);
            if (!found)
                return std::string_view::npos;
            const std::size_t lt = static_cast<std::size_t>(static_cast<const char*>(found) - s);
            if (lt + 1 < n && s[lt + 1] == '/' && EndNameAt(lt + 2))
                return lt;
            if (lt + 3 < n && s[lt + 1] == '!' && s[lt + 2] == '-' && s[lt + 3] == '-') {
                state = EscapedDashDash;
                i = lt + 4;
            } else {
                i = lt + 1;
            }
            continue;
        }
        const char c = s[i];
        const bool dbl = state == Double || state == DoubleDash || state == DoubleDashDash;
        if (c == '-') {
            if (state == Escaped)
                state = EscapedDash;
            else if (state == EscapedDash)
                state = EscapedDashDash;
            else if (state == Double)
                state = DoubleDash;
            else if (state == DoubleDash)
                state = DoubleDashDash;
            ++i;
            continue;
        }
        if (c == '>' && (state == EscapedDashDash || state == DoubleDashDash)) {
            state = Plain;
            ++i;
            continue;
        }
        if (c == '<') {
            const std::size_t q = i + 1;
            if (!dbl) {
                if (q < n && s[q] == '/') {
                    if (EndNameAt(q + 1))
                        return i;
                    state = Escaped;
                    i = q + 1;
                } else if (q < n && IsAlpha(s[q])) {
                    std::size_t next;
                    state = scriptWord(q, next) ? Double : Escaped;
                    i = next;
                } else {
                    state = Escaped;
                    i = q;
                }
            } else {
                if (q < n && s[q] == '/') {
                    std::size_t next;
                    state = scriptWord(q + 1, next) ? Escaped : Double;
                    i = next;
                } else {
                    state = Double;
                    i = q;
                }
            }
            continue;
        }
        state = dbl ? Double : Escaped;
        ++i;
    }
    return std::string_view::npos;
}

inline std::string_view THtmlScanner::PendingName(const TPendingAttribute& a) const
{
    return a.NameLowered ? std::string_view(names_).substr(a.NameAt, a.NameLength)
                         : page_.substr(a.NameAt, a.NameLength);
}

// Only the first of two attributes of one name counts: the last one taken
// is compared with those before it. Tags with many attributes look names up
// in a table instead of comparing with each.
bool THtmlScanner::Duplicate(std::string_view name)
{
    const std::size_t count = pending_.size() - 1;
    if (count < 16) {
        for (std::size_t i = 0; i < count; ++i)
            if (pending_[i].NameLength == name.size() && PendingName(pending_[i]) == name)
                return true;
        return false;
    }
    auto slotOf = [&](std::string_view s) { return static_cast<std::size_t>(NameHash(s)) & (seen_.size() - 1); };
    if (seen_.size() < 4 * (count + 1)) {
        std::size_t size = 64;
        while (size < 8 * (count + 1))
            size *= 2;
        seen_.assign(size, -1);
        seenFilled_ = 0;
    }
    for (; seenFilled_ < count; ++seenFilled_) {
        std::size_t s = slotOf(PendingName(pending_[seenFilled_]));
        while (seen_[s] >= 0)
            s = (s + 1) & (seen_.size() - 1);
        seen_[s] = static_cast<std::int32_t>(seenFilled_);
    }
    for (std::size_t s = slotOf(name);; s = (s + 1) & (seen_.size() - 1)) {
        if (seen_[s] < 0)
            return false;
        if (PendingName(pending_[static_cast<std::size_t>(seen_[s])]) == name)
            return true;
    }
}

// A name written with capitals or NULs is looked up, and hashed, as it reads
// folded; few pages have one, so the scanning loop calls out for it.
void THtmlScanner::FoldTagName()
{
    const char* s = page_.data();
    tagName_.clear();
    for (std::size_t i = tagNameAt_; i < tagNameAt_ + tagNameLength_; ++i) {
        if (s[i] == '\0')
            tagName_ += "\xEF\xBF\xBD";
        else
            tagName_ += Lower(s[i]);
    }
    tagNameHash_ = NameHash(tagName_);
}

// A tag from its name (at nameAt) to its '>'. Gives where the data goes on;
// a tag that the page's end cuts off is dropped, as the tokenizer drops it.
std::size_t THtmlScanner::Tag(std::size_t lt, std::size_t nameAt, bool end)
{
    const std::size_t n = page_.size();
    const char* s = page_.data();
    std::size_t p = nameAt;
    std::uint8_t classes = 0;
    // The tree builder looks every name up by its hash: it is worked out on
    // the way over the name, which is read byte by byte anyway.
    std::uint64_t hash = NameHashStart;
    while (p < n) {
        const std::uint8_t k = ClassOf(s[p]);
        if (k & (ClassSpace | ClassTagEnd))
            break;
        classes |= k;
        hash = NameHashStep(hash, s[p]);
        ++p;
    }
    const bool lowered = (classes & ClassFolded) != 0;
    if (p >= n)
        return n;
    tagNameAt_ = nameAt;
    tagNameLength_ = p - nameAt;
    tagNameLowered_ = lowered;
    tagNameHash_ = hash;
    if (lowered)
        FoldTagName();
    if (s[p] == '>') {
        // Most tags have no attributes.
        if (end) {
            EmitEnd(lt, p + 1);
        } else {
            THtmlStartTag t;
            t.Name = TagName();
            t.Hash = tagNameHash_;
            t.Offset = lt;
            t.End = p + 1;
            builder_->StartTag(t);
        }
        return p + 1;
    }
    pending_.clear();
    return Attributes(lt, p, end);
}

// A tag's attributes, from the end of its name (at p) to its '>'.
std::size_t THtmlScanner::Attributes(std::size_t lt, std::size_t p, bool end)
{
    const std::size_t n = page_.size();
    const char* s = page_.data();
    names_.clear();
    if (seenFilled_ > 0) {
        std::fill(seen_.begin(), seen_.end(), -1);
        seenFilled_ = 0;
    }
    bool selfClosing = false;
    for (;;) {
        while (p < n && IsAsciiSpace(s[p]))
            ++p;
        if (p >= n)
            return n;
        char c = s[p];
        if (c == '/') {
            ++p;
            if (p >= n)
                return n;
            if (s[p] == '>') {
                selfClosing = true;
                ++p;
                break;
            }
            continue;
        }
        if (c == '>') {
            ++p;
            break;
        }
        // Attribute name; a first '=' belongs to it.
        const std::size_t nameStart = p;
        std::uint8_t nameClasses = ClassOf(c);
        ++p;
        while (p < n) {
            const std::uint8_t k = ClassOf(s[p]);
            if (k & (ClassSpace | ClassTagEnd | ClassEquals))
                break;
            nameClasses |= k;
            ++p;
        }
        const bool nameLowered = (nameClasses & ClassFolded) != 0;
        // Made in place; a duplicate is taken back below.
        TPendingAttribute& a = pending_.emplace_back();
        a.NameAt = nameStart;
        a.NameLength = p - nameStart;
        a.NameLowered = nameLowered;
        if (nameLowered) {
            a.NameAt = names_.size();
            for (std::size_t i = nameStart; i < p; ++i) {
                if (s[i] == '\0')
                    names_ += "\xEF\xBF\xBD";
                else
                    names_ += Lower(s[i]);
            }
            a.NameLength = names_.size() - a.NameAt;
        }
        // After the name.
        while (p < n && IsAsciiSpace(s[p]))
            ++p;
        if (p >= n)
            return n;
        if (s[p] == '=') {
            ++p;
            while (p < n && IsAsciiSpace(s[p]))
                ++p;
            if (p >= n)
                return n;
            c = s[p];
            a.HasValue = true;
            if (c == '"' || c == '\'') {
                bool special = false;
                const char* close = ClosingQuote(s + p + 1, s + n, c, special);
                if (!close)
                    return n;
                const std::size_t q = static_cast<std::size_t>(close - s);
                a.Quote = c;
                a.RawOffset = p + 1;
                a.RawLength = q - p - 1;
                a.Decoded = special;
                p = q + 1;
            } else if (c == '>') {
                // A missing value; the tag ends here.
                a.RawOffset = p;
                a.RawLength = 0;
            } else {
                const std::size_t start = p;
                while (p < n && !IsAsciiSpace(s[p]) && s[p] != '>')
                    ++p;
                if (p >= n)
                    return n;
                a.RawOffset = start;
                a.RawLength = p - start;
                a.Decoded = NeedsDecoding(std::string_view(s + start, p - start), true);
            }
        } else {
            a.RawOffset = p;
        }
        if (pending_.size() > 1 && Duplicate(PendingName(a))) {
            if (a.NameLowered)
                names_.resize(a.NameAt);
            pending_.pop_back();
        }
    }
    if (end)
        EmitEnd(lt, p);
    else
        EmitStart(lt, p, selfClosing);
    return p;
}


void THtmlScanner::EmitStart(std::size_t lt, std::size_t end, bool selfClosing)
{
    // Values are decoded into one buffer first and made views afterwards,
    // once the buffer has stopped moving.
    decoded_.clear();
    for (TPendingAttribute& a : pending_) {
        if (!a.Decoded)
            continue;
        const std::string_view raw(page_.data() + a.RawOffset, a.RawLength);
        a.DecodedAt = decoded_.size();
        DecodeHtmlText(raw, true, decoded_);
        a.DecodedLength = decoded_.size() - a.DecodedAt;
    }
    // The array only grows: its entries are overwritten, not made afresh.
    if (attributes_.size() < pending_.size())
        attributes_.resize(pending_.size());
    for (std::size_t i = 0; i < pending_.size(); ++i) {
        const TPendingAttribute& a = pending_[i];
        THtmlAttribute& v = attributes_[i];
        v.Name = PendingName(a);
        v.Value = a.Decoded ? std::string_view(decoded_.data() + a.DecodedAt, a.DecodedLength)
                            : std::string_view(page_.data() + a.RawOffset, a.RawLength);
        v.RawOffset = a.RawOffset;
        v.RawLength = a.RawLength;
        v.Quote = a.Quote;
        v.HasValue = a.HasValue;
    }

    THtmlStartTag t;
    t.Name = TagName();
    t.Hash = tagNameHash_;
    t.Offset = lt;
    t.End = end;
    t.SelfClosing = selfClosing;
    t.Attributes = attributes_.data();
    t.Count = pending_.size();
    builder_->StartTag(t);
}

void THtmlScanner::EmitEnd(std::size_t lt, std::size_t end)
{
    builder_->EndTag(TagName(), tagNameHash_, lt, end);
}
