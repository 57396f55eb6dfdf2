#include "delivery/PageSelector.h"

#include "delivery/HtmlTreeBuilder.h"

#include <algorithm>
#include <array>

namespace {

// ------------------------------------------------------------------ reading

inline bool IsNameStart(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || static_cast<unsigned char>(c) >= 0x80;
}

inline bool IsNameChar(char c)
{
    return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-';
}

inline bool IsHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

inline char Lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

std::string Lowered(std::string s)
{
    for (char& c : s)
        c = Lower(c);
    return s;
}

void AppendCodePoint(std::uint32_t cp, std::string& out)
{
    if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        cp = 0xFFFD;
    AppendUtf8(cp, out);
}

class ESelectorSyntax {
public:
    std::size_t At;
    std::string What;
};

// Reads the selector text; every refusal names the byte it stopped at.
class TReader {
public:
    explicit TReader(std::string_view text) : s_(text) {}

    bool AtEnd() const { return p_ >= s_.size(); }
    char Peek(std::size_t ahead = 0) const { return p_ + ahead < s_.size() ? s_[p_ + ahead] : '\0'; }
    std::size_t Pos() const { return p_; }
    void Skip(std::size_t n = 1) { p_ += n; }
    bool SkipBlanks()
    {
        const std::size_t from = p_;
        while (!AtEnd() && IsAsciiSpace(s_[p_]))
            ++p_;
        return p_ > from;
    }

    [[noreturn]] void Fail(std::size_t at, std::string what) const { throw ESelectorSyntax{at, std::move(what)}; }

    // The token at at, as the user sees it: up to the next blank or
    // punctuation that starts something else.
    std::string TokenAt(std::size_t at) const
    {
        if (at >= s_.size())
            return {};
        std::size_t end = at + 1;
        if (s_[at] == ':' && end < s_.size() && s_[end] == ':')
            ++end;
        while (end < s_.size() && (IsNameChar(s_[end]) || s_[end] == '(' || s_[end] == ')' || s_[end] == '\\')) {
            if (s_[end] == '(') {
                const auto close = s_.find(')', end);
                end = close == std::string_view::npos ? s_.size() : close + 1;
                break;
            }
            ++end;
        }
        return std::string(s_.substr(at, end - at));
    }

    bool StartsIdent() const
    {
        const char c = Peek();
        if (IsNameStart(c) || (c == '\\' && Peek(1) != '\n' && Peek(1) != '\0'))
            return true;
        if (c == '-') {
            const char d = Peek(1);
            return IsNameStart(d) || d == '-' || (d == '\\' && Peek(2) != '\n' && Peek(2) != '\0');
        }
        return false;
    }

    std::string Ident(const char* what)
    {
        if (!StartsIdent())
            Fail(p_, AtEnd() ? std::string("the selector ends where ") + what + " should follow"
                             : "\"" + TokenAt(p_) + "\" is not understood (" + what + " should follow)");
        std::string out;
        while (!AtEnd()) {
            const char c = s_[p_];
            if (c == '\\') {
                Escape(out);
            } else if (IsNameChar(c)) {
                out += c;
                ++p_;
            } else {
                break;
            }
        }
        return out;
    }

    std::string Quoted()
    {
        const std::size_t open = p_;
        const char quote = s_[p_++];
        std::string out;
        for (;;) {
            if (AtEnd())
                Fail(open, "the quoted text is not closed");
            const char c = s_[p_];
            if (c == quote) {
                ++p_;
                return out;
            }
            if (c == '\n')
                Fail(p_, "a quoted text cannot hold a line break");
            if (c == '\\') {
                if (Peek(1) == '\n') {
                    p_ += 2; // a line continued
                    continue;
                }
                if (p_ + 1 >= s_.size()) {
                    ++p_;
                    continue;
                }
                Escape(out);
                continue;
            }
            out += c;
            ++p_;
        }
    }

private:
    void Escape(std::string& out)
    {
        ++p_; // the backslash
        if (AtEnd())
            Fail(p_ - 1, "a backslash ends the selector");
        if (IsHex(s_[p_])) {
            std::uint32_t cp = 0;
            std::size_t n = 0;
            while (n < 6 && !AtEnd() && IsHex(s_[p_])) {
                const char c = s_[p_];
                cp = cp * 16 + static_cast<std::uint32_t>(c <= '9' ? c - '0' : Lower(c) - 'a' + 10);
                ++p_;
                ++n;
            }
            if (!AtEnd() && s_[p_] == '\r' && Peek(1) == '\n')
                p_ += 2;
            else if (!AtEnd() && IsAsciiSpace(s_[p_]))
                ++p_;
            AppendCodePoint(cp, out);
            return;
        }
        if (s_[p_] == '\n')
            Fail(p_ - 1, "a backslash cannot escape a line break here");
        out += s_[p_++];
    }

    std::string_view s_;
    std::size_t p_ = 0;
};

std::size_t CharacterPosition(std::string_view text, std::size_t byte)
{
    std::size_t chars = 0;
    for (std::size_t i = 0; i < byte && i < text.size(); ++i)
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80)
            ++chars;
    return chars + 1;
}

} // namespace

std::string SelectorErrorText(const TSelectorError& error)
{
    return "at position " + std::to_string(error.Position) + ": " + error.What;
}

// --------------------------------------------------------------- parsing

bool TPageSelector::Parse(std::string_view text, TSelectorError& error)
{
    *this = TPageSelector{};
    TReader r(text);
    std::vector<TPart> parts;
    std::uint64_t first = 0, child = 0, descendant = 0, last = 0;
    try {
        r.SkipBlanks();
        if (r.AtEnd())
            r.Fail(0, "the selector is empty");
        enum class TJoin { First, Descendant, Child } join = TJoin::First;
        for (;;) {
            // One compound: an optional type or "*", then ids, classes and
            // attribute tests.
            const std::size_t partAt = r.Pos();
            TPart part;
            bool any = false;
            if (r.Peek() == '*') {
                r.Skip();
                any = true;
                if (r.Peek() == '|')
                    r.Fail(r.Pos(), "\"|\" is not understood (namespaces are not supported)");
            } else if (r.StartsIdent()) {
                part.Type = Lowered(r.Ident("an element name"));
                part.TypeHash = NameHash(part.Type);
                any = true;
                if (r.Peek() == '|')
                    r.Fail(r.Pos(), "\"|\" is not understood (namespaces are not supported)");
            }
            for (;;) {
                const char c = r.Peek();
                if (c == '#') {
                    r.Skip();
                    part.Tests.push_back({TTest::TKind::Id, TOp::Equals, "id", r.Ident("a name after \"#\"")});
                } else if (c == '.') {
                    r.Skip();
                    part.Tests.push_back({TTest::TKind::Class, TOp::Includes, "class", r.Ident("a class name after \".\"")});
                } else if (c == '[') {
                    const std::size_t open = r.Pos();
                    r.Skip();
                    r.SkipBlanks();
                    if (r.Peek() == '|' || (r.Peek() == '*' && r.Peek(1) == '|'))
                        r.Fail(r.Pos(), "\"" + std::string(1, r.Peek()) + "\" is not understood (namespaces are not supported)");
                    TTest test{TTest::TKind::Attribute, TOp::Exists, Lowered(r.Ident("an attribute name")), {}};
                    if (r.Peek() == '|' && r.Peek(1) != '=')
                        r.Fail(r.Pos(), "\"|\" is not understood (namespaces are not supported)");
                    r.SkipBlanks();
                    const char o = r.Peek();
                    if (o == ']') {
                        r.Skip();
                    } else {
                        const std::size_t opAt = r.Pos();
                        if (o == '=') {
                            test.Op = TOp::Equals;
                            r.Skip();
                        } else if ((o == '~' || o == '^' || o == '$' || o == '*') && r.Peek(1) == '=') {
                            test.Op = o == '~' ? TOp::Includes : o == '^' ? TOp::Prefix : o == '$' ? TOp::Suffix : TOp::Contains;
                            r.Skip(2);
                        } else if ((o == '|' || o == '!') && r.Peek(1) == '=') {
                            r.Fail(opAt, std::string("\"") + o + "=\" is not understood (use =, ~=, ^=, $= or *=)");
                        } else if (r.AtEnd()) {
                            r.Fail(open, "the \"[\" is not closed");
                        } else {
                            r.Fail(opAt, "\"" + r.TokenAt(opAt) + "\" is not understood (=, ~=, ^=, $=, *= or \"]\" should follow the attribute name)");
                        }
                        r.SkipBlanks();
                        if (r.Peek() == '"' || r.Peek() == '\'')
                            test.Value = r.Quoted();
                        else
                            test.Value = r.Ident("a value or a quoted text");
                        r.SkipBlanks();
                        if (r.AtEnd())
                            r.Fail(open, "the \"[\" is not closed");
                        if (r.Peek() != ']') {
                            if (r.StartsIdent())
                                r.Fail(r.Pos(), "\"" + r.TokenAt(r.Pos()) + "\" is not understood (attribute flags are not supported)");
                            r.Fail(r.Pos(), "\"" + r.TokenAt(r.Pos()) + "\" is not understood (\"]\" should follow the value)");
                        }
                        r.Skip();
                    }
                    part.Tests.push_back(std::move(test));
                } else if (c == ':') {
                    const bool element = r.Peek(1) == ':';
                    r.Fail(r.Pos(), "\"" + r.TokenAt(r.Pos()) + "\" is not understood (" +
                                        (element ? "pseudo-elements" : "pseudo-classes") + " are not supported)");
                } else {
                    break;
                }
                any = true;
            }
            if (!any) {
                if (r.AtEnd())
                    r.Fail(r.Pos(), "the selector ends where an element should follow");
                const char c = r.Peek();
                if (c == '+' || c == '~')
                    r.Fail(r.Pos(), std::string("\"") + c + "\" is not understood (only the descendant and \">\" combinators are supported)");
                if (c == ',' || c == '>')
                    r.Fail(r.Pos(), std::string("\"") + c + "\" is not understood (an element should come first)");
                r.Fail(r.Pos(), "\"" + r.TokenAt(r.Pos()) + "\" is not understood");
            }
            if (parts.size() == MaxParts)
                r.Fail(partAt, "the selector has more than " + std::to_string(MaxParts) + " parts");
            const std::uint64_t bit = std::uint64_t{1} << parts.size();
            if (join == TJoin::First)
                first |= bit;
            else if (join == TJoin::Child)
                child |= bit;
            else
                descendant |= bit;
            parts.push_back(std::move(part));

            // What joins this compound to the next one.
            const bool blank = r.SkipBlanks();
            if (r.AtEnd()) {
                last |= bit;
                break;
            }
            const char c = r.Peek();
            if (c == ',') {
                last |= bit;
                r.Skip();
                r.SkipBlanks();
                if (r.AtEnd())
                    r.Fail(r.Pos() - 1, "a selector should follow the \",\"");
                join = TJoin::First;
            } else if (c == '>') {
                r.Skip();
                r.SkipBlanks();
                if (r.AtEnd())
                    r.Fail(r.Pos() - 1, "an element should follow the \">\"");
                join = TJoin::Child;
            } else if (c == '+' || c == '~') {
                r.Fail(r.Pos(), std::string("\"") + c + "\" is not understood (only the descendant and \">\" combinators are supported)");
            } else if (blank) {
                join = TJoin::Descendant;
            } else {
                r.Fail(r.Pos(), "\"" + r.TokenAt(r.Pos()) + "\" is not understood");
            }
        }
    } catch (const ESelectorSyntax& e) {
        error.Position = CharacterPosition(text, e.At);
        error.What = e.What;
        return false;
    }
    parts_ = std::move(parts);
    first_ = first;
    child_ = child;
    descendant_ = descendant;
    last_ = last;
    return true;
}

// --------------------------------------------------------------- matching

namespace {

bool HasWord(std::string_view list, std::string_view word)
{
    if (word.empty())
        return false;
    for (char c : word)
        if (IsAsciiSpace(c))
            return false;
    std::size_t i = 0;
    while (i < list.size()) {
        while (i < list.size() && IsAsciiSpace(list[i]))
            ++i;
        std::size_t j = i;
        while (j < list.size() && !IsAsciiSpace(list[j]))
            ++j;
        if (list.substr(i, j - i) == word)
            return true;
        i = j;
    }
    return false;
}

} // namespace

// Matches the selector against the page's elements as the tree builder nests
// them.
class TSelectingSink final : public THtmlElementSink {
public:
    explicit TSelectingSink(const TPageSelector& selector) : sel_(selector) {}

    std::vector<TPageSelector::TMatch> Matches;

    // Which parts a new element matches follows from its parent's parts
    // (child) and its ancestors' (descendant), so the whole list is decided
    // in one step per element.
    void Opened(const THtmlElement& e, bool leaf) override
    {
        const std::uint64_t parentHere = open_.empty() ? 0 : open_.back().Here;
        const std::uint64_t parentAbove = open_.empty() ? 0 : open_.back().Above;
        std::uint64_t candidates = sel_.first_ | (sel_.child_ & (parentHere << 1)) | (sel_.descendant_ & (parentAbove << 1));
        std::uint64_t here = 0;
        while (candidates) {
            const int i = __builtin_ctzll(candidates);
            candidates &= candidates - 1;
            if (PartMatches(sel_.parts_[static_cast<std::size_t>(i)], e.Hash, e.Start))
                here |= std::uint64_t{1} << i;
        }
        std::size_t match = std::string::npos;
        if (here & sel_.last_) {
            match = Matches.size();
            Matches.push_back({e.Offset, e.End});
        }
        if (!leaf)
            open_.push_back(TOpen{here, parentAbove | here, match});
    }

    void Closed(std::size_t end) override
    {
        const TOpen& o = open_.back();
        if (o.Match != std::string::npos)
            Matches[o.Match].End = end;
        open_.pop_back();
    }

private:
    // What the selector made of each open element, innermost last.
    struct TOpen {
        std::uint64_t Here;  // the selector's parts matched by this element
        std::uint64_t Above; // ... by it or any element around it
        std::size_t Match;   // its index in Matches, or npos
    };

    bool PartMatches(const TPageSelector::TPart& part, std::uint64_t hash, const THtmlStartTag* t) const
    {
        if (!part.Type.empty() && part.TypeHash != hash)
            return false;
        for (const auto& test : part.Tests) {
            const THtmlAttribute* a = t ? t->Find(test.Name) : nullptr;
            if (!a)
                return false;
            const std::string_view v = a->Value;
            const std::string_view want = test.Value;
            switch (test.Op) {
            case TPageSelector::TOp::Exists:
                break;
            case TPageSelector::TOp::Equals:
                if (v != want)
                    return false;
                break;
            case TPageSelector::TOp::Includes:
                if (!HasWord(v, want))
                    return false;
                break;
            case TPageSelector::TOp::Prefix:
                if (want.empty() || v.substr(0, want.size()) != want)
                    return false;
                break;
            case TPageSelector::TOp::Suffix:
                if (want.empty() || v.size() < want.size() || v.substr(v.size() - want.size()) != want)
                    return false;
                break;
            case TPageSelector::TOp::Contains:
                if (want.empty() || v.find(want) == std::string_view::npos)
                    return false;
                break;
            }
        }
        return true;
    }

    const TPageSelector& sel_;
    std::vector<TOpen> open_;
};

std::vector<TPageSelector::TMatch> TPageSelector::Select(std::string_view page) const
{
    if (parts_.empty())
        return {};
    TSelectingSink sink(*this);
    THtmlTreeBuilder builder;
    builder.Nest(page, sink);
    return std::move(sink.Matches);
}

std::string TPageSelector::SelectedText(std::string_view page, std::size_t* count) const
{
    const std::vector<TMatch> matches = Select(page);
    if (count)
        *count = matches.size();
    std::size_t size = 0;
    for (const TMatch& m : matches)
        size += m.End - m.Start + 2;
    std::string out;
    out.reserve(size);
    for (const TMatch& m : matches) {
        out.append(page.substr(m.Start, m.End - m.Start));
        out += "\r\n";
    }
    return out;
}
