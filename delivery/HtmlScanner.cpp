#include "delivery/HtmlScanner.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

struct TEntity {
    const char* Name;
    const char* Value;
};

const TEntity Entities[] = {
#include "delivery/HtmlEntities.inc"
};

constexpr std::size_t LongestEntity = 32;

inline bool IsSpace(char c)
{
    // CR counts: the input stream turns it into LF before tokenizing.
    return c == ' ' || c == '\n' || c == '\t' || c == '\f' || c == '\r';
}

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

struct TTagName {
    std::string_view Name;
    THtmlTag Tag;
};

const TTagName TagNames[] = {
    {"a", THtmlTag::A},
    {"img", THtmlTag::Img},
    {"image", THtmlTag::Image},
    {"body", THtmlTag::Body},
    {"html", THtmlTag::Html},
    {"head", THtmlTag::Head},
    {"script", THtmlTag::Script},
    {"link", THtmlTag::Link},
    {"base", THtmlTag::Base},
    {"basefont", THtmlTag::BaseFont},
    {"frameset", THtmlTag::FrameSet},
    {"frame", THtmlTag::Frame},
    {"noframes", THtmlTag::NoFrames},
    {"font", THtmlTag::Font},
    {"meta", THtmlTag::Meta},
    {"marquee", THtmlTag::Marquee},
    {"form", THtmlTag::Form},
    {"div", THtmlTag::Div},
    {"hr", THtmlTag::HR},
    {"br", THtmlTag::BR},
    {"comment", THtmlTag::Comment},
    {"title", THtmlTag::Title},
    {"textarea", THtmlTag::TextArea},
    {"style", THtmlTag::Style},
    {"xmp", THtmlTag::Xmp},
    {"iframe", THtmlTag::IFrame},
    {"noembed", THtmlTag::NoEmbed},
    {"plaintext", THtmlTag::PlainText},
    {"noscript", THtmlTag::NoScript},
    {"select", THtmlTag::Select},
    {"option", THtmlTag::Option},
    {"optgroup", THtmlTag::OptGroup},
    {"input", THtmlTag::Input},
    {"keygen", THtmlTag::Keygen},
    {"template", THtmlTag::Template},
    {"svg", THtmlTag::Svg},
    {"math", THtmlTag::Math},
    {"foreignobject", THtmlTag::ForeignObject},
    {"desc", THtmlTag::Desc},
    {"annotation-xml", THtmlTag::AnnotationXml},
    {"mi", THtmlTag::Mi},
    {"mo", THtmlTag::Mo},
    {"mn", THtmlTag::Mn},
    {"ms", THtmlTag::Ms},
    {"mtext", THtmlTag::MText},
    {"mglyph", THtmlTag::MGlyph},
    {"malignmark", THtmlTag::MAlignMark},
    {"table", THtmlTag::Table},
    {"caption", THtmlTag::Caption},
    {"tbody", THtmlTag::TBody},
    {"tfoot", THtmlTag::TFoot},
    {"thead", THtmlTag::THead},
    {"tr", THtmlTag::Tr},
    {"td", THtmlTag::Td},
    {"th", THtmlTag::Th},
    {"bgsound", THtmlTag::BgSound},
    // The rest of the HTML elements that end SVG or MathML content.
    {"b", THtmlTag::Breakout},
    {"big", THtmlTag::Breakout},
    {"blockquote", THtmlTag::Breakout},
    {"center", THtmlTag::Breakout},
    {"code", THtmlTag::Breakout},
    {"dd", THtmlTag::Breakout},
    {"dl", THtmlTag::Breakout},
    {"dt", THtmlTag::Breakout},
    {"em", THtmlTag::Breakout},
    {"embed", THtmlTag::Breakout},
    {"h1", THtmlTag::Breakout},
    {"h2", THtmlTag::Breakout},
    {"h3", THtmlTag::Breakout},
    {"h4", THtmlTag::Breakout},
    {"h5", THtmlTag::Breakout},
    {"h6", THtmlTag::Breakout},
    {"i", THtmlTag::Breakout},
    {"li", THtmlTag::Breakout},
    {"listing", THtmlTag::Breakout},
    {"menu", THtmlTag::Breakout},
    {"nobr", THtmlTag::Breakout},
    {"ol", THtmlTag::Breakout},
    {"p", THtmlTag::Breakout},
    {"pre", THtmlTag::Breakout},
    {"ruby", THtmlTag::Breakout},
    {"s", THtmlTag::Breakout},
    {"small", THtmlTag::Breakout},
    {"span", THtmlTag::Breakout},
    {"strong", THtmlTag::Breakout},
    {"strike", THtmlTag::Breakout},
    {"sub", THtmlTag::Breakout},
    {"sup", THtmlTag::Breakout},
    {"tt", THtmlTag::Breakout},
    {"u", THtmlTag::Breakout},
    {"ul", THtmlTag::Breakout},
    {"var", THtmlTag::Breakout},
};

// Open addressing over the names above; built once.
class TTagTable {
public:
    TTagTable()
    {
        slots_.fill(-1);
        for (std::size_t i = 0; i < std::size(TagNames); ++i) {
            std::size_t s = Slot(TagNames[i].Name);
            while (slots_[s] >= 0)
                s = (s + 1) & (Size - 1);
            slots_[s] = static_cast<std::int16_t>(i);
        }
    }

    THtmlTag Find(std::string_view name) const
    {
        if (name.empty() || name.size() > 14)
            return THtmlTag::Other;
        for (std::size_t s = Slot(name);; s = (s + 1) & (Size - 1)) {
            const int i = slots_[s];
            if (i < 0)
                return THtmlTag::Other;
            if (name == TagNames[i].Name)
                return TagNames[i].Tag;
        }
    }

private:
    static constexpr std::size_t Size = 512;
    static std::size_t Slot(std::string_view n)
    {
        std::size_t h = n.size() * 131u;
        for (char c : n)
            h = h * 33u + static_cast<unsigned char>(c);
        return (h ^ (h >> 9)) & (Size - 1);
    }
    std::array<std::int16_t, Size> slots_;
};

const TTagTable& Tags()
{
    static const TTagTable table;
    return table;
}

bool IsVoid(THtmlTag tag, std::string_view name)
{
    switch (tag) {
    case THtmlTag::Img:
    case THtmlTag::Image:
    case THtmlTag::Base:
    case THtmlTag::BaseFont:
    case THtmlTag::BgSound:
    case THtmlTag::BR:
    case THtmlTag::Frame:
    case THtmlTag::HR:
    case THtmlTag::Input:
    case THtmlTag::Keygen:
    case THtmlTag::Link:
    case THtmlTag::Meta:
        return true;
    default:
        return name == "area" || name == "col" || name == "embed" || name == "param" || name == "source" ||
               name == "track" || name == "wbr";
    }
}

bool EndsForeignContent(const THtmlStartTag& t)
{
    switch (t.Tag) {
    case THtmlTag::Breakout:
    case THtmlTag::Body:
    case THtmlTag::BR:
    case THtmlTag::Div:
    case THtmlTag::Head:
    case THtmlTag::HR:
    case THtmlTag::Img:
    case THtmlTag::Meta:
    case THtmlTag::Table:
        return true;
    case THtmlTag::Font:
        return t.Find("color") || t.Find("face") || t.Find("size");
    default:
        return false;
    }
}

bool HtmlAnnotation(const THtmlStartTag& t)
{
    const THtmlAttribute* encoding = t.Find("encoding");
    if (!encoding)
        return false;
    std::string lower(encoding->Value);
    for (char& c : lower)
        c = Lower(c);
    return lower == "text/html" || lower == "application/xhtml+xml";
}

} // namespace

bool IsRawText(THtmlTag tag)
{
    switch (tag) {
    case THtmlTag::Title:
    case THtmlTag::TextArea:
    case THtmlTag::Style:
    case THtmlTag::Xmp:
    case THtmlTag::IFrame:
    case THtmlTag::NoEmbed:
    case THtmlTag::NoFrames:
    case THtmlTag::Script:
        return true;
    default:
        return false;
    }
}

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

THtmlTag THtmlScanner::TagOf(std::string_view lowerName)
{
    return Tags().Find(lowerName);
}

void THtmlScanner::Scan(std::string_view page, THtmlSink& sink)
{
    page_ = page;
    sink_ = &sink;
    stop_ = false;
    content_ = TContent::Data;
    open_.clear();
    inSelect_ = selectInTable_ = false;
    tables_ = 0;
    tableParts_.clear();
    templates_.clear();
    templateFresh_ = false;
    outside_.clear();
    const std::size_t n = page.size();
    std::size_t pos = 0;
    while (pos < n && !stop_) {
        switch (content_) {
        case TContent::Data: {
            const void* found = std::memchr(page.data() + pos, '<', n - pos);
            if (!found) {
                sink.Text(pos, n);
                pos = n;
                break;
            }
            const std::size_t lt = static_cast<std::size_t>(static_cast<const char*>(found) - page.data());
            if (lt > pos)
                sink.Text(pos, lt);
            pos = Markup(lt);
            break;
        }
        case TContent::RcData:
        case TContent::RawText:
        case TContent::ScriptData: {
            const std::size_t lt = content_ == TContent::ScriptData ? ScriptEnd(pos) : RawEnd(pos);
            if (lt == std::string_view::npos) {
                sink.Text(pos, n);
                pos = n;
                break;
            }
            if (lt > pos)
                sink.Text(pos, lt);
            content_ = TContent::Data;
            pos = Tag(lt, lt + 2, true);
            break;
        }
        case TContent::PlainText:
            sink.Text(pos, n);
            pos = n;
            break;
        }
    }
    sink_ = nullptr;
}

// At a '<' in the data state.
std::size_t THtmlScanner::Markup(std::size_t lt)
{
    const std::size_t n = page_.size();
    const std::size_t p = lt + 1;
    if (p >= n) {
        sink_->Text(lt, n);
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
        if (q + 7 <= n && std::memcmp(page_.data() + q, "[CDATA[", 7) == 0 && ForeignNow()) {
            const std::size_t from = q + 7;
            const std::size_t end = page_.find("]]>", from);
            if (end == std::string_view::npos) {
                if (from < n)
                    sink_->Text(from, n);
                return n;
            }
            if (end > from)
                sink_->Text(from, end);
            return end + 3;
        }
        return BogusComment(lt, q);
    }
    if (c == '/') {
        const std::size_t q = p + 1;
        if (q >= n) {
            sink_->Text(lt, n);
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
    sink_->Text(lt, p);
    return p;
}

std::size_t THtmlScanner::BogusComment(std::size_t lt, std::size_t at)
{
    const std::size_t n = page_.size();
    const void* gt = at < n ? std::memchr(page_.data() + at, '>', n - at) : nullptr;
    const std::size_t end = gt ? static_cast<std::size_t>(static_cast<const char*>(gt) - page_.data()) + 1 : n;
    sink_->Comment(lt, end);
    return end;
}

// After "<!--": the comment ends at "-->", "--!>", or right away at "<!-->"
// and "<!--->"; the page's end ends it too.
std::size_t THtmlScanner::CommentFrom(std::size_t lt, std::size_t p)
{
    const std::size_t n = page_.size();
    auto done = [&](std::size_t end) {
        sink_->Comment(lt, end);
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
    return IsSpace(c) || c == '/' || c == '>';
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
        if (j >= n || !(IsSpace(s[j]) || s[j] == '/' || s[j] == '>'))
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

std::string_view THtmlScanner::PendingName(const TPendingAttribute& a) const
{
    return a.NameLowered ? std::string_view(names_).substr(a.NameAt, a.NameLength)
                         : page_.substr(a.NameAt, a.NameLength);
}

// Only the first of two attributes of one name counts. Tags with many
// attributes look names up in a table instead of comparing with each.
bool THtmlScanner::Duplicate(std::string_view name)
{
    const std::size_t count = pending_.size();
    if (count < 16) {
        for (const auto& a : pending_)
            if (PendingName(a) == name)
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

// A tag from its name (at nameAt) to its '>'. Gives where the data goes on;
// a tag that the page's end cuts off is dropped, as the tokenizer drops it.
std::size_t THtmlScanner::Tag(std::size_t lt, std::size_t nameAt, bool end)
{
    const std::size_t n = page_.size();
    const char* s = page_.data();
    std::size_t p = nameAt;
    bool lowered = false;
    while (p < n) {
        const char c = s[p];
        if (IsSpace(c) || c == '/' || c == '>')
            break;
        if ((c >= 'A' && c <= 'Z') || c == '\0')
            lowered = true;
        ++p;
    }
    if (p >= n)
        return n;
    tagNameAt_ = nameAt;
    tagNameLength_ = p - nameAt;
    tagNameLowered_ = lowered;
    if (lowered) {
        tagName_.clear();
        for (std::size_t i = nameAt; i < p; ++i) {
            if (s[i] == '\0')
                tagName_ += "\xEF\xBF\xBD";
            else
                tagName_ += Lower(s[i]);
        }
    }
    pending_.clear();
    names_.clear();
    if (seenFilled_ > 0) {
        std::fill(seen_.begin(), seen_.end(), -1);
        seenFilled_ = 0;
    }
    bool selfClosing = false;
    for (;;) {
        while (p < n && IsSpace(s[p]))
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
        bool nameLowered = false;
        ++p;
        if ((c >= 'A' && c <= 'Z') || c == '\0')
            nameLowered = true;
        while (p < n) {
            c = s[p];
            if (IsSpace(c) || c == '/' || c == '>' || c == '=')
                break;
            if ((c >= 'A' && c <= 'Z') || c == '\0')
                nameLowered = true;
            ++p;
        }
        TPendingAttribute a{nameStart, p - nameStart, nameLowered, false, 0, 0, 0, false, 0, 0};
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
        while (p < n && IsSpace(s[p]))
            ++p;
        if (p >= n)
            return n;
        if (s[p] == '=') {
            ++p;
            while (p < n && IsSpace(s[p]))
                ++p;
            if (p >= n)
                return n;
            c = s[p];
            a.HasValue = true;
            if (c == '"' || c == '\'') {
                const void* close = std::memchr(s + p + 1, c, n - p - 1);
                if (!close)
                    return n;
                const std::size_t q = static_cast<std::size_t>(static_cast<const char*>(close) - s);
                a.Quote = c;
                a.RawOffset = p + 1;
                a.RawLength = q - p - 1;
                p = q + 1;
            } else if (c == '>') {
                // A missing value; the tag ends here.
                a.RawOffset = p;
                a.RawLength = 0;
            } else {
                const std::size_t start = p;
                while (p < n && !IsSpace(s[p]) && s[p] != '>')
                    ++p;
                if (p >= n)
                    return n;
                a.RawOffset = start;
                a.RawLength = p - start;
            }
        } else {
            a.RawOffset = p;
        }
        if (!Duplicate(PendingName(a)))
            pending_.push_back(a);
        else if (a.NameLowered)
            names_.resize(a.NameAt);
    }
    if (end)
        EmitEnd(lt, p);
    else
        EmitStart(lt, p, selfClosing);
    return p;
}

bool THtmlScanner::ForeignNow() const
{
    return !open_.empty() && open_.back().Space != TSpace::Html;
}

bool THtmlScanner::AcceptsHtmlStart(THtmlTag tag) const
{
    const TOpen& top = open_.back();
    if (top.HtmlPoint)
        return true;
    if (top.TextPoint && tag != THtmlTag::MGlyph && tag != THtmlTag::MAlignMark)
        return true;
    return top.AnnotationXml && tag == THtmlTag::Svg;
}

void THtmlScanner::BreakOut()
{
    while (!open_.empty() && open_.back().Space != TSpace::Html && !open_.back().HtmlPoint && !open_.back().TextPoint)
        open_.pop_back();
}

namespace {

enum TablePart : std::uint8_t {
    PartCaption = 1, PartTBody = 2, PartTHead = 4, PartTFoot = 8, PartTr = 16, PartTd = 32, PartTh = 64,
    PartSections = PartTBody | PartTHead | PartTFoot,
    // Not a table but a template whose contents are a table's.
    PartTemplate = 128,
};

std::uint8_t TablePartOf(THtmlTag tag)
{
    switch (tag) {
    case THtmlTag::Caption: return PartCaption;
    case THtmlTag::TBody: return PartTBody;
    case THtmlTag::THead: return PartTHead;
    case THtmlTag::TFoot: return PartTFoot;
    case THtmlTag::Tr: return PartTr;
    case THtmlTag::Td: return PartTd;
    case THtmlTag::Th: return PartTh;
    default: return 0;
    }
}

bool IsSpecialHtml(THtmlTag tag, std::string_view n)
{
    switch (tag) {
    // SVG and MathML names, here as HTML elements of those names.
    case THtmlTag::ForeignObject:
    case THtmlTag::Desc:
    case THtmlTag::AnnotationXml:
    case THtmlTag::Mi:
    case THtmlTag::Mo:
    case THtmlTag::Mn:
    case THtmlTag::Ms:
    case THtmlTag::MText:
    case THtmlTag::MGlyph:
    case THtmlTag::MAlignMark:
    case THtmlTag::Other:
    case THtmlTag::A:
    case THtmlTag::Font:
    case THtmlTag::Comment:
    case THtmlTag::Option:
    case THtmlTag::OptGroup:
    case THtmlTag::Svg:
    case THtmlTag::Math:
    case THtmlTag::Image:
        break;
    case THtmlTag::Breakout:
        return n == "blockquote" || n == "center" || n == "dd" || n == "dl" || n == "dt" || n == "embed" ||
               (n.size() == 2 && n[0] == 'h' && n[1] >= '1' && n[1] <= '6') || n == "li" || n == "listing" ||
               n == "menu" || n == "ol" || n == "p" || n == "pre" || n == "ul";
    default:
        // Every other named tag of the scanner's table is special.
        return true;
    }
    return n == "address" || n == "applet" || n == "area" || n == "article" || n == "aside" || n == "button" ||
           n == "col" || n == "colgroup" || n == "details" || n == "dir" || n == "fieldset" || n == "figcaption" ||
           n == "figure" || n == "footer" || n == "header" || n == "hgroup" || n == "main" || n == "nav" ||
           n == "object" || n == "param" || n == "section" || n == "source" || n == "summary" || n == "track" ||
           n == "wbr";
}

bool IsFormatting(THtmlTag tag, std::string_view n)
{
    if (tag == THtmlTag::A || tag == THtmlTag::Font)
        return true;
    return tag == THtmlTag::Breakout &&
           (n == "b" || n == "big" || n == "code" || n == "em" || n == "i" || n == "nobr" || n == "s" ||
            n == "small" || n == "strike" || n == "strong" || n == "tt" || n == "u");
}

bool ClosesP(THtmlTag tag, std::string_view n)
{
    switch (tag) {
    case THtmlTag::Div:
    case THtmlTag::HR:
    case THtmlTag::Xmp:
    case THtmlTag::PlainText:
    case THtmlTag::Form:
        return true;
    case THtmlTag::Breakout:
        return n == "p" || n == "blockquote" || n == "center" || n == "dd" || n == "dl" || n == "dt" || n == "li" ||
               n == "listing" || n == "menu" || n == "ol" || n == "pre" || n == "ul" ||
               (n.size() == 2 && n[0] == 'h' && n[1] >= '1' && n[1] <= '6');
    case THtmlTag::Other:
        return n == "address" || n == "article" || n == "aside" || n == "details" || n == "dialog" || n == "dir" ||
               n == "fieldset" || n == "figcaption" || n == "figure" || n == "footer" || n == "header" ||
               n == "hgroup" || n == "main" || n == "nav" || n == "search" || n == "section" || n == "summary";
    default:
        return false;
    }
}

// The start tags a template's contents take as the head would: after them
// the contents may still turn out to be a table's.
bool LeavesTemplateOpenToTables(THtmlTag tag)
{
    switch (tag) {
    case THtmlTag::Base:
    case THtmlTag::BaseFont:
    case THtmlTag::BgSound:
    case THtmlTag::Link:
    case THtmlTag::Meta:
    case THtmlTag::NoFrames:
    case THtmlTag::Script:
    case THtmlTag::Style:
    case THtmlTag::Title:
        return true;
    default:
        return false;
    }
}

bool IsScopeBoundary(THtmlTag tag, std::string_view n)
{
    switch (tag) {
    case THtmlTag::Html:
    case THtmlTag::Table:
    case THtmlTag::Td:
    case THtmlTag::Th:
    case THtmlTag::Caption:
    case THtmlTag::Marquee:
    case THtmlTag::Template:
        return true;
    default:
        return n == "object" || n == "applet";
    }
}


enum : std::uint8_t {
    KindSpecial = 1, KindBoundary = 2, KindButtonBoundary = 4, KindClosesP = 8, KindFormatting = 16, KindVoid = 32,
};

// What the element of a name is to the tree construction, looked up by the
// name's hash: a page's every start tag asks, and most names have nothing.
class TKindTable {
public:
    TKindTable()
    {
        static const std::string_view others[] = {
            "address", "applet",  "area",   "article", "aside",   "button",  "col",     "colgroup",
            "details", "dialog",  "dir",    "fieldset", "figcaption", "figure", "footer", "header",
            "hgroup",  "main",    "nav",    "object",  "param",   "search",  "section", "source",
            "summary", "track",   "wbr",
        };
        for (const TTagName& t : TagNames)
            Add(t.Name, t.Tag);
        for (std::string_view n : others)
            Add(n, THtmlTag::Other);
    }

    std::uint8_t Find(std::string_view name, std::uint64_t hash) const
    {
        for (std::size_t s = hash & (Size - 1);; s = (s + 1) & (Size - 1)) {
            const TSlot& slot = slots_[s];
            if (slot.Name.empty())
                return 0;
            // The names are a few letters: a call to memcmp costs more.
            if (slot.Hash == hash && slot.Name.size() == name.size()) {
                std::size_t i = 0;
                while (i < name.size() && slot.Name[i] == name[i])
                    ++i;
                if (i == name.size())
                    return slot.Kind;
            }
        }
    }

private:
    static constexpr std::size_t Size = 512;
    struct TSlot {
        std::string_view Name;
        std::uint64_t Hash = 0;
        std::uint8_t Kind = 0;
    };

    void Add(std::string_view name, THtmlTag tag)
    {
        const bool boundary = IsScopeBoundary(tag, name);
        const std::uint8_t kind = static_cast<std::uint8_t>(
            (IsSpecialHtml(tag, name) ? KindSpecial : 0) | (boundary ? KindBoundary : 0) |
            (boundary || name == "button" ? KindButtonBoundary : 0) | (ClosesP(tag, name) ? KindClosesP : 0) |
            (IsFormatting(tag, name) ? KindFormatting : 0) | (IsVoid(tag, name) ? KindVoid : 0));
        if (kind == 0)
            return;
        const std::uint64_t hash = NameHash(name);
        std::size_t s = hash & (Size - 1);
        while (!slots_[s].Name.empty())
            s = (s + 1) & (Size - 1);
        slots_[s] = TSlot{name, hash, kind};
    }

    std::array<TSlot, Size> slots_{};
};

const TKindTable KindTable;

const TKindTable& Kinds()
{
    return KindTable;
}

} // namespace

// An end tag while SVG or MathML is open: in foreign content it closes the
// nearest foreign element of its name; in HTML content (inside an integration
// point) the nearest HTML element of its name, unless a special element
// stands in between. An end tag that finds none of them goes on to the HTML
// elements around the foreign content.
void THtmlScanner::CloseOpen(std::uint64_t hash, std::string_view name)
{
    // Looking further down than this would make a page of deep nesting and
    // stray end tags quadratic.
    constexpr std::size_t Reach = 256;
    const std::size_t bottom = open_.size() > Reach ? open_.size() - Reach : 0;
    std::size_t i = open_.size();
    if (ForeignNow()) {
        bool html = false;
        // The HTML rules the end tag goes on to look from the current node
        // down, and stop at a special element: an integration point.
        bool special = false;
        while (i > bottom) {
            --i;
            if (open_[i].Space == TSpace::Html) {
                html = true;
                ++i;
                break;
            }
            if (open_[i].Hash == hash) {
                open_.resize(i);
                return;
            }
            special = special || open_[i].Special;
        }
        if (special)
            return;
        if (!html) {
            if (bottom == 0 && CloseOutside(hash, name))
                open_.clear();
            return;
        }
    }
    while (i-- > bottom) {
        if (open_[i].Space == TSpace::Html && open_[i].Hash == hash) {
            PopOpen(i);
            return;
        }
        if (open_[i].Special)
            return;
    }
    if (bottom == 0 && CloseOutside(hash, name))
        open_.clear();
}

// An end tag for the HTML elements outside any foreign content; true when it
// closes one. The end tag of a formatting element closes everything opened
// after it but the special elements; a stray end tag stops at a special
// element; the other end tags look for their element in scope.
bool THtmlScanner::CloseOutside(std::uint64_t hash, std::string_view name)
{
    constexpr std::size_t Reach = 256;
    const std::size_t bottom = outside_.size() > Reach ? outside_.size() - Reach : 0;
    const std::uint8_t kind = Kinds().Find(name, hash);
    const bool formatting = (kind & KindFormatting) != 0;
    const bool scoped = (kind & (KindFormatting | KindSpecial)) != 0;
    std::size_t i = outside_.size();
    for (;;) {
        if (i == bottom)
            return false;
        --i;
        if (outside_[i].Hash == static_cast<std::uint32_t>(hash))
            break;
        if (scoped ? outside_[i].Boundary : outside_[i].Special)
            return false;
    }
    if (formatting) {
        std::size_t kept = i;
        for (std::size_t j = i + 1; j < outside_.size(); ++j)
            if (outside_[j].Special || outside_[j].Formatting)
                outside_[kept++] = outside_[j];
        outside_.resize(kept);
    } else {
        PopOutside(i);
    }
    return true;
}

// Closes the element at `at` and the ones opened after it. Formatting
// elements among those are opened again before whatever comes next, so they
// stay, unless a cell, caption or the like (the element at `at`) ends them.
void THtmlScanner::PopOutside(std::size_t at)
{
    std::size_t kept = at;
    if (!outside_[at].Boundary)
        for (std::size_t j = at + 1; j < outside_.size(); ++j)
            if (outside_[j].Formatting)
                outside_[kept++] = outside_[j];
    outside_.resize(kept);
}

void THtmlScanner::PopOpen(std::size_t at)
{
    std::size_t kept = at;
    if (!open_[at].Marker)
        for (std::size_t j = at + 1; j < open_.size(); ++j)
            if (open_[j].Formatting)
                open_[kept++] = open_[j];
    open_.resize(kept);
}


void THtmlScanner::EmitStart(std::size_t lt, std::size_t end, bool selfClosing)
{
    // Values are decoded into one buffer first and made views afterwards,
    // once the buffer has stopped moving.
    decoded_.clear();
    for (TPendingAttribute& a : pending_) {
        a.DecodedAt = decoded_.size();
        a.Decoded = DecodeHtmlText(page_.substr(a.RawOffset, a.RawLength), true, decoded_);
        if (!a.Decoded)
            decoded_.resize(a.DecodedAt);
        a.DecodedLength = decoded_.size() - a.DecodedAt;
    }
    attributes_.resize(pending_.size());
    for (std::size_t i = 0; i < pending_.size(); ++i) {
        const TPendingAttribute& a = pending_[i];
        THtmlAttribute& v = attributes_[i];
        v.Name = PendingName(a);
        v.Value = a.Decoded ? std::string_view(decoded_).substr(a.DecodedAt, a.DecodedLength)
                            : page_.substr(a.RawOffset, a.RawLength);
        v.RawOffset = a.RawOffset;
        v.RawLength = a.RawLength;
        v.Quote = a.Quote;
        v.HasValue = a.HasValue;
    }
    std::vector<THtmlAttribute>& out = attributes_;

    THtmlStartTag t;
    t.Name = tagNameLowered_ ? std::string_view(tagName_) : page_.substr(tagNameAt_, tagNameLength_);
    t.Tag = TagOf(t.Name);
    t.Offset = lt;
    t.End = end;
    t.SelfClosing = selfClosing;
    t.Attributes = out.data();
    t.Count = out.size();

    const std::uint64_t hash = open_.empty() ? 0 : NameHash(t.Name);
    if (ForeignNow() && !AcceptsHtmlStart(t.Tag)) {
        if (!EndsForeignContent(t)) {
            const TOpen& top = open_.back();
            // A start tag here makes an element of the current one's kind:
            // <math> inside SVG is an SVG element (and its annotation-xml no
            // way back to HTML), <svg> inside MathML a MathML one.
            const TSpace space = top.Space;
            t.Foreign = true;
            sink_->StartTag(t);
            if (!selfClosing) {
                const bool svg = space == TSpace::Svg, math = space == TSpace::Math;
                const bool htmlPoint =
                    (svg && (t.Tag == THtmlTag::ForeignObject || t.Tag == THtmlTag::Desc || t.Tag == THtmlTag::Title)) ||
                    (math && t.Tag == THtmlTag::AnnotationXml && HtmlAnnotation(t));
                const bool textPoint = math && (t.Tag == THtmlTag::Mi || t.Tag == THtmlTag::Mo || t.Tag == THtmlTag::Mn ||
                                                t.Tag == THtmlTag::Ms || t.Tag == THtmlTag::MText);
                const bool annotation = math && t.Tag == THtmlTag::AnnotationXml;
                open_.push_back(TOpen{hash, space, htmlPoint, textPoint, annotation,
                                      htmlPoint || textPoint || annotation ||
                                          (svg && (t.Tag == THtmlTag::ForeignObject || t.Tag == THtmlTag::Desc ||
                                                   t.Tag == THtmlTag::Title))});
            }
            return;
        }
        BreakOut();
    }

    if (inSelect_) {
        switch (t.Tag) {
        case THtmlTag::Option:
        case THtmlTag::OptGroup:
        case THtmlTag::Script:
        case THtmlTag::Template:
        case THtmlTag::Html:
            break;
        case THtmlTag::Select:
            inSelect_ = false;
            return;
        case THtmlTag::Input:
        case THtmlTag::Keygen:
        case THtmlTag::TextArea:
            inSelect_ = false;
            break;
        case THtmlTag::Caption:
        case THtmlTag::Table:
        case THtmlTag::TBody:
        case THtmlTag::TFoot:
        case THtmlTag::THead:
        case THtmlTag::Tr:
        case THtmlTag::Td:
        case THtmlTag::Th:
            if (!selectInTable_)
                return;
            inSelect_ = false;
            break;
        default:
            // Tree construction drops every other start tag inside a select.
            return;
        }
    }
    if (templateFresh_) {
        if (TablePartOf(t.Tag) != 0 || t.Name == "colgroup" || t.Name == "col") {
            // The template's contents are a table's from here on.
            templateFresh_ = false;
            ++tables_;
            tableParts_.push_back(PartTemplate);
        } else if (!(LeavesTemplateOpenToTables(t.Tag) || t.Tag == THtmlTag::Template)) {
            templateFresh_ = false;
        }
    }
    if (t.Tag == THtmlTag::Image) {
        t.Tag = THtmlTag::Img;
        t.Name = "img";
    }
    sink_->StartTag(t);
    switch (t.Tag) {
    case THtmlTag::Svg:
    case THtmlTag::Math:
        if (!selfClosing)
            open_.push_back(TOpen{NameHash(t.Name), t.Tag == THtmlTag::Svg ? TSpace::Svg : TSpace::Math, false,
                                  false, false, false});
        return;
    case THtmlTag::Select:
        inSelect_ = true;
        selectInTable_ = tables_ > 0;
        break;
    case THtmlTag::Table:
        // Outside a cell or caption of a table, a table's start tag ends
        // that table before it opens its own.
        if (tables_ > 0 && !(tableParts_.back() & (PartCaption | PartTd | PartTh))) {
            if (!(tableParts_.back() & PartTemplate))
                tableParts_.back() = 0;
        } else {
            ++tables_;
            tableParts_.push_back(0);
        }
        break;
    case THtmlTag::Caption:
    case THtmlTag::TBody:
    case THtmlTag::THead:
    case THtmlTag::TFoot:
    case THtmlTag::Tr:
    case THtmlTag::Td:
    case THtmlTag::Th:
        TableStart(t.Tag);
        break;
    case THtmlTag::Template:
        templates_.push_back(TOuter{inSelect_, selectInTable_, tables_, tableParts_.size(), templateFresh_});
        templateFresh_ = true;
        inSelect_ = selectInTable_ = false;
        tables_ = 0;
        break;
    case THtmlTag::Title:
    case THtmlTag::TextArea:
        content_ = TContent::RcData;
        rawName_.assign(t.Name);
        break;
    case THtmlTag::Style:
    case THtmlTag::Xmp:
    case THtmlTag::IFrame:
    case THtmlTag::NoEmbed:
    case THtmlTag::NoFrames:
        content_ = TContent::RawText;
        rawName_.assign(t.Name);
        break;
    case THtmlTag::Script:
        content_ = TContent::ScriptData;
        rawName_.assign(t.Name);
        break;
    case THtmlTag::PlainText:
        content_ = TContent::PlainText;
        break;
    default:
        break;
    }
    // HTML elements inside SVG or MathML integration points are tracked so
    // that their end tags do not close the foreign elements around them.
    // (A '/' before the '>' does not close an HTML element.) A second
    // <html> or <body>, and <head> or <frameset> in the body, open nothing.
    // Outside a table its parts open nothing either.
    const bool opensNothing = t.Tag == THtmlTag::Html || t.Tag == THtmlTag::Head || t.Tag == THtmlTag::Body ||
                              t.Tag == THtmlTag::FrameSet ||
                              (tables_ == 0 && (TablePartOf(t.Tag) != 0 || t.Name == "colgroup"));
    if (open_.empty()) {
        const std::uint64_t h = NameHash(t.Name);
        const std::uint8_t kind = Kinds().Find(t.Name, h);
        if (kind & KindClosesP)
            CloseP();
        // An <a> inside an open one ends it as its end tag would.
        if (t.Tag == THtmlTag::A)
            CloseOutside(h, t.Name);
        if (!(kind & KindVoid) && !opensNothing) {
            // A page of unclosed elements would grow this without end; the
            // bottom half goes when it is full, which only a page nested
            // deeper than any real one can tell.
            constexpr std::size_t MaxOutside = std::size_t{1} << 16;
            if (outside_.size() == MaxOutside)
                outside_.erase(outside_.begin(), outside_.begin() + MaxOutside / 2);
            outside_.push_back(TOutside{static_cast<std::uint32_t>(h), (kind & KindSpecial) != 0,
                                        (kind & KindBoundary) != 0, (kind & KindButtonBoundary) != 0,
                                        (kind & KindFormatting) != 0});
        }
    } else {
        // Inside an integration point: the same, among the HTML elements
        // above it.
        const std::uint8_t kind = Kinds().Find(t.Name, hash);
        if (kind & KindClosesP) {
            static const std::uint64_t p = NameHash("p");
            for (std::size_t i = open_.size(); i-- > 0 && open_[i].Space == TSpace::Html && !open_[i].ButtonBoundary;)
                if (open_[i].Hash == p) {
                    PopOpen(i);
                    break;
                }
        }
        if (!IsVoid(t.Tag, t.Name) && !opensNothing)
            open_.push_back(TOpen{hash, TSpace::Html, false, false, false, (kind & KindSpecial) != 0,
                                  (kind & KindButtonBoundary) != 0, (kind & KindFormatting) != 0,
                                  (kind & KindBoundary) != 0});
    }
}

// The start tags before which an open <p> ends, when it is in button scope.
void THtmlScanner::CloseP()
{
    static const std::uint64_t p = NameHash("p");
    constexpr std::size_t Reach = 256;
    const std::size_t bottom = outside_.size() > Reach ? outside_.size() - Reach : 0;
    for (std::size_t i = outside_.size(); i-- > bottom;) {
        if (outside_[i].Hash == static_cast<std::uint32_t>(p)) {
            PopOutside(i);
            return;
        }
        if (outside_[i].ButtonBoundary)
            return;
    }
}

void THtmlScanner::EmitEnd(std::size_t lt, std::size_t end)
{
    const std::string_view name = tagNameLowered_ ? std::string_view(tagName_) : page_.substr(tagNameAt_, tagNameLength_);
    const THtmlTag tag = TagOf(name);
    sink_->EndTag(tag, name, lt, end);
    if (!open_.empty())
        CloseOpen(NameHash(name), name);
    else
        CloseOutside(NameHash(name), name);
    if (tag == THtmlTag::Select) {
        inSelect_ = false;
    } else if (tag == THtmlTag::Template) {
        if (!templates_.empty()) {
            inSelect_ = templates_.back().InSelect;
            selectInTable_ = templates_.back().SelectInTable;
            tables_ = templates_.back().Tables;
            tableParts_.resize(std::min(tableParts_.size(), templates_.back().Parts));
            templateFresh_ = templates_.back().TemplateFresh;
            templates_.pop_back();
        }
    } else if (tag == THtmlTag::Table) {
        // In a template that is a table's contents there is no table to end.
        if (tables_ > 0 && !(tableParts_.back() & PartTemplate)) {
            --tables_;
            tableParts_.pop_back();
            if (inSelect_ && selectInTable_)
                inSelect_ = false;
        }
    } else if (TablePartOf(tag) != 0) {
        TableEnd(tag);
    }
}

// A start tag of a table's part, in the innermost table: the parts it closes
// and the ones the tree construction supplies for it (a row's section, a
// cell's row).
void THtmlScanner::TableStart(THtmlTag tag)
{
    if (tables_ == 0)
        return;
    std::uint8_t& open = tableParts_.back();
    const std::uint8_t part = TablePartOf(tag);
    const std::uint8_t kept = open & PartTemplate;
    if (part == PartCaption || (part & PartSections)) {
        open = part | kept;
        return;
    }
    const std::uint8_t section = (open & PartSections) ? open & PartSections : PartTBody;
    open = static_cast<std::uint8_t>((part == PartTr ? section | PartTr : section | PartTr | part) | kept);
}

// An end tag of a table's part. Inside a select in the table it ends the
// select when the part is open, and then closes the part as well.
void THtmlScanner::TableEnd(THtmlTag tag)
{
    if (tables_ == 0)
        return;
    std::uint8_t& open = tableParts_.back();
    const std::uint8_t part = TablePartOf(tag);
    if (!(open & part))
        return;
    if (inSelect_ && selectInTable_)
        inSelect_ = false;
    if (part == PartTd || part == PartTh)
        open &= static_cast<std::uint8_t>(~(PartTd | PartTh));
    else if (part == PartTr)
        open &= static_cast<std::uint8_t>(~(PartTr | PartTd | PartTh));
    else
        open &= PartTemplate;
}
