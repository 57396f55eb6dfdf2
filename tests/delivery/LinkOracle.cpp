#include "tests/delivery/LinkOracle.h"

#include <gumbo.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <tuple>

#include "delivery/DocParser.h"
#include "delivery/HtmlScanner.h"

bool TOracleLink::operator<(const TOracleLink& o) const
{
    return std::tie(Offset, Tag, Value, Length) < std::tie(o.Offset, o.Tag, o.Value, o.Length);
}

bool TOracleLink::operator==(const TOracleLink& o) const
{
    return Tag == o.Tag && Value == o.Value && Offset == o.Offset && Length == o.Length;
}

namespace {

std::string_view Trimmed(std::string_view s)
{
    while (!s.empty() && IsAsciiSpace(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsAsciiSpace(s.back()))
        s.remove_suffix(1);
    return s;
}

// What the document service of old put in front of a relative address.
std::string Reported(std::string_view address)
{
    std::size_t i = 0;
    if (!address.empty() && std::isalpha(static_cast<unsigned char>(address[0]))) {
        while (i < address.size() && (std::isalnum(static_cast<unsigned char>(address[i])) || address[i] == '+' ||
                                      address[i] == '-' || address[i] == '.'))
            ++i;
        if (i < address.size() && address[i] == ':')
            return std::string(address);
    }
    return "about:blank" + std::string(address);
}

// "</name x>": an end tag with something between its name and its '>'.
bool EndTagWithAttributes(std::string_view page)
{
    for (std::size_t i = page.find("</"); i != std::string_view::npos; i = page.find("</", i + 2)) {
        std::size_t p = i + 2;
        if (p >= page.size() || !std::isalpha(static_cast<unsigned char>(page[p])))
            continue;
        while (p < page.size() && !IsAsciiSpace(page[p]) && page[p] != '/' && page[p] != '>')
            ++p;
        while (p < page.size() && (IsAsciiSpace(page[p]) || page[p] == '/'))
            ++p;
        if (p < page.size() && page[p] != '>')
            return true;
    }
    return false;
}

// A numeric character reference whose number is past the last code point.
bool OverflowingReference(std::string_view raw)
{
    for (std::size_t i = raw.find("&#"); i != std::string_view::npos; i = raw.find("&#", i + 1)) {
        std::size_t p = i + 2;
        const bool hex = p < raw.size() && (raw[p] == 'x' || raw[p] == 'X');
        if (hex)
            ++p;
        std::uint64_t value = 0;
        for (; p < raw.size() && (hex ? std::isxdigit(static_cast<unsigned char>(raw[p]))
                                      : std::isdigit(static_cast<unsigned char>(raw[p])));
             ++p) {
            const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(raw[p])));
            value = value * (hex ? 16 : 10) + static_cast<std::uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
            if (value > 0x10FFFF)
                return true;
        }
    }
    return false;
}

// The HTML elements that resetting the insertion mode looks for, which
// gumbo finds in SVG and MathML elements of those names as well.
bool ResetsInsertionMode(GumboTag tag)
{
    switch (tag) {
    case GUMBO_TAG_SELECT:
    case GUMBO_TAG_TD:
    case GUMBO_TAG_TH:
    case GUMBO_TAG_TR:
    case GUMBO_TAG_TBODY:
    case GUMBO_TAG_THEAD:
    case GUMBO_TAG_TFOOT:
    case GUMBO_TAG_CAPTION:
    case GUMBO_TAG_COLGROUP:
    case GUMBO_TAG_TABLE:
    case GUMBO_TAG_TEMPLATE:
    case GUMBO_TAG_HEAD:
    case GUMBO_TAG_BODY:
    case GUMBO_TAG_FRAMESET:
    case GUMBO_TAG_HTML:
        return true;
    default:
        return false;
    }
}

const char* AddressOf(GumboTag tag, const char** upper)
{
    switch (tag) {
    case GUMBO_TAG_A: *upper = "A"; return "href";
    case GUMBO_TAG_IMG: *upper = "IMG"; return "src";
    case GUMBO_TAG_BODY: *upper = "BODY"; return "background";
    case GUMBO_TAG_SCRIPT: *upper = "SCRIPT"; return "src";
    case GUMBO_TAG_LINK: *upper = "LINK"; return "href";
    default: return nullptr;
    }
}

} // namespace

TOracleResult GumboLinks(std::string_view page)
{
    TOracleResult result;
    // Error recording stays on: without it gumbo keeps the name of a second
    // attribute of the same name that has no value and puts it in front of
    // the next attribute's name ("<a x=1 x href=y>" gives "xhref").
    GumboOptions options = kGumboDefaultOptions;
    GumboOutput* output = gumbo_parse_with_options(&options, page.data(), page.size());
    std::vector<const GumboNode*> stack{output->document};
    std::vector<const char*> seen;
    bool foreign = false;
    auto fault = [&](const char* name) {
        if (std::find(result.KnownFaults.begin(), result.KnownFaults.end(), name) == result.KnownFaults.end())
            result.KnownFaults.push_back(name);
    };
    while (!stack.empty()) {
        const GumboNode* node = stack.back();
        stack.pop_back();
        const GumboVector* kids = nullptr;
        if (node->type == GUMBO_NODE_DOCUMENT) {
            kids = &node->v.document.children;
        } else if (node->type == GUMBO_NODE_ELEMENT || node->type == GUMBO_NODE_TEMPLATE) {
            kids = &node->v.element.children;
            if (node->v.element.tag_namespace != GUMBO_NAMESPACE_HTML) {
                foreign = true;
                if (node->v.element.tag_namespace == GUMBO_NAMESPACE_SVG && node->v.element.tag == GUMBO_TAG_TITLE) {
                    for (unsigned i = 0; i < node->v.element.children.length; ++i)
                        if (static_cast<const GumboNode*>(node->v.element.children.data[i])->type ==
                            GUMBO_NODE_ELEMENT) {
                            fault("a stray end tag inside SVG passes an SVG <title> with elements in it");
                            result.TreeUnsure = true;
                            break;
                        }
                }
                if (ResetsInsertionMode(node->v.element.tag)) {
                    fault("an SVG or MathML element named like a table part, select or frameset is taken for the "
                          "HTML one when the insertion mode is reset");
                    result.TreeUnsure = true;
                }
            }
            const char* upper = nullptr;
            const char* name = AddressOf(node->v.element.tag, &upper);
            const GumboAttribute* a = name ? gumbo_get_attribute(&node->v.element.attributes, name) : nullptr;
            // gumbo drops a NUL where an attribute's name begins; the
            // name is U+FFFD and the rest, which is not the address.
            const char* nameAt = a ? a->original_name.data : nullptr;
            if (a && nameAt > page.data() && nameAt <= page.data() + page.size() && nameAt[-1] == '\0') {
                fault("a NUL in front of an attribute's name is dropped");
                // The whole start tag, unless the attribute came from
                // another one (a second <body>).
                const std::size_t nameOffset = static_cast<std::size_t>(nameAt - page.data());
                const GumboStringPiece& tag = node->v.element.original_tag;
                std::size_t from = nameOffset - 1, to = nameOffset + a->original_name.length;
                if (tag.data && tag.data <= nameAt && nameAt < tag.data + tag.length) {
                    from = static_cast<std::size_t>(tag.data - page.data());
                    to = from + tag.length;
                } else if (a->original_value.data > nameAt) {
                    to = static_cast<std::size_t>(a->original_value.data - page.data()) + a->original_value.length;
                }
                result.Unsure.emplace_back(from, to);
                if (node->v.element.tag == GUMBO_TAG_BODY)
                    result.UnsureTags.push_back("BODY");
                a = nullptr;
            }
            if (a) {
                TOracleLink link;
                bool overflowed = false;
                link.Tag = upper;
                const std::string_view value = Trimmed(a->value);
                if (!value.empty()) {
                    link.Value = Reported(value);
                    const char* data = a->original_value.data;
                    const std::size_t length = a->original_value.length;
                    const bool inPage = data && data >= page.data() && length <= page.size() &&
                                        static_cast<std::size_t>(data - page.data()) <= page.size() - length;
                    if (!inPage) {
                        fault("value length past the page (gumbo reports SIZE_MAX for an unquoted value at CR LF)");
                    } else if (data == a->original_name.data) {
                        fault("a missing value's source is the attribute's name");
                    } else {
                        std::string_view raw(data, length);
                        std::size_t offset = static_cast<std::size_t>(data - page.data());
                        if (raw.size() >= 2 && (raw[0] == '"' || raw[0] == '\'') && raw.back() == raw[0]) {
                            raw = raw.substr(1, raw.size() - 2);
                            ++offset;
                        }
                        // The raw text must decode to the value gumbo gives,
                        // else gumbo's position is off.
                        std::string decoded;
                        if (!DecodeHtmlText(raw, true, decoded))
                            decoded.assign(raw);
                        if (Trimmed(decoded) != Trimmed(a->value) && OverflowingReference(raw)) {
                            fault("a numeric character reference far past U+10FFFF overflows instead of "
                                  "giving U+FFFD");
                            // From the attribute's name on: gumbo's value
                            // may start late as well (a reference first).
                            const std::size_t from =
                                nameAt >= page.data() && nameAt <= data ? static_cast<std::size_t>(nameAt - page.data())
                                                                        : offset;
                            result.Unsure.emplace_back(from, offset + raw.size());
                            overflowed = true;
                        } else if (decoded != a->value) {
                            // (Untrimmed: a reference to a blank in front,
                            // "&#xa;x", is left out of the position as well.)
                            fault("source position of a value does not hold the value (unquoted value "
                                  "starting with a character reference)");
                        } else {
                            while (!raw.empty() && IsAsciiSpace(raw.front())) {
                                raw.remove_prefix(1);
                                ++offset;
                            }
                            while (!raw.empty() && IsAsciiSpace(raw.back()))
                                raw.remove_suffix(1);
                            link.Offset = offset;
                            link.Length = raw.size();
                        }
                    }
                    // Elements that the tree construction re-creates for
                    // misnested markup carry the same attribute again.
                    const char* key = a->original_value.data;
                    if (!overflowed && std::find(seen.begin(), seen.end(), key) == seen.end()) {
                        seen.push_back(key);
                        result.Links.push_back(std::move(link));
                    }
                }
            }
        }
        if (kids)
            for (unsigned i = kids->length; i-- > 0;)
                stack.push_back(static_cast<const GumboNode*>(kids->data[i]));
    }
    gumbo_destroy_output(&options, output);
    if (foreign && EndTagWithAttributes(page)) {
        fault("an end tag with attributes does not close an SVG or MathML element");
        result.TreeUnsure = true;
    }
    if (foreign && page.find("</>") != std::string_view::npos) {
        fault("after \"</>\" the name of the next SVG or MathML tag is not matched (its element stays open)");
        result.TreeUnsure = true;
    }
    return result;
}

std::vector<TOracleLink> ParserLinks(const std::string& page, bool* badDocument)
{
    std::vector<TOracleLink> links;
    TDocParser parser;
    parser.ElementTexts = false;
    auto add = [&](const char* tag, const std::string& value, const TSourceSpan& at) {
        if (value.empty())
            return;
        TOracleLink link;
        link.Tag = tag;
        link.Value = value;
        if (at.Known()) {
            link.Offset = at.Offset;
            link.Length = at.Length;
        }
        links.push_back(std::move(link));
    };
    parser.OnAnchor = [&](const TAnchorInfo& a, const TElementInfo&) { add("A", a.hRef, a.hRefAt); };
    parser.OnImage = [&](const TImageInfo& i, const TElementInfo&) { add("IMG", i.Source, i.SourceAt); };
    parser.OnBody = [&](const TBodyInfo& b, const TElementInfo&) { add("BODY", b.Background, b.BackgroundAt); };
    parser.OnScript = [&](const TScriptInfo& s, const TElementInfo&) { add("SCRIPT", s.Source, s.SourceAt); };
    parser.OnOtherLinkedItem = [&](const TLinkedItemInfo& l, const TElementInfo&) { add("LINK", l.hRef, l.hRefAt); };
    bool bad = false;
    parser.OnParseError = [&](std::int32_t, const std::string&, const std::string& text) {
        bad = bad || text == "Bad document or bad Address.";
    };
    parser.Html = page;
    parser.Execute();
    if (badDocument)
        *badDocument = bad;
    return links;
}

std::string CompareLinks(const std::string& page, std::vector<std::string>* knownFaults)
{
    bool bad = false;
    std::vector<TOracleLink> ours = ParserLinks(page, &bad);
    // Small documents are not walked by the parser: nothing to compare.
    if (bad)
        return {};
    const TOracleResult oracle = GumboLinks(page);
    std::vector<TOracleLink> theirs = oracle.Links;
    ours.erase(std::remove_if(ours.begin(), ours.end(),
                              [&](const TOracleLink& o) {
                                  return std::find(oracle.UnsureTags.begin(), oracle.UnsureTags.end(), o.Tag) !=
                                         oracle.UnsureTags.end();
                              }),
               ours.end());
    for (const auto& span : oracle.Unsure)
        ours.erase(std::remove_if(ours.begin(), ours.end(),
                                  [&](const TOracleLink& o) {
                                      return o.Offset != std::string::npos && o.Offset >= span.first &&
                                             o.Offset < span.second;
                                  }),
                   ours.end());
    if (knownFaults)
        knownFaults->insert(knownFaults->end(), oracle.KnownFaults.begin(), oracle.KnownFaults.end());
    // Where gumbo has no position (a known fault) or the link is a base,
    // compare values only.
    for (auto& o : ours) {
        if (o.Tag == "BASE")
            continue;
        const bool gumboPlaced = std::any_of(theirs.begin(), theirs.end(), [&](const TOracleLink& t) {
            return t.Offset == o.Offset && t.Tag == o.Tag;
        });
        if (!gumboPlaced && !oracle.KnownFaults.empty()) {
            o.Offset = std::string::npos;
            o.Length = 0;
        }
    }
    for (auto& t : theirs)
        if (t.Tag == "BASE") {
            t.Offset = std::string::npos;
            t.Length = 0;
        }
    std::sort(ours.begin(), ours.end());
    std::sort(theirs.begin(), theirs.end());
    if (ours == theirs || oracle.TreeUnsure)
        return {};
    auto show = [&](const std::vector<TOracleLink>& list) {
        std::string s;
        for (const auto& l : list)
            s += "  " + l.Tag + " [" + l.Value + "] at " +
                 (l.Offset == std::string::npos ? std::string("-") : std::to_string(l.Offset)) + "+" +
                 std::to_string(l.Length) + "\n";
        return s;
    };
    return "ours:\n" + show(ours) + "gumbo:\n" + show(theirs);
}
