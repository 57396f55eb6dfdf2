#include "delivery/PageRewriter.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <unordered_map>

#include "platform/Text.h"

namespace {

constexpr std::size_t MaxCombinedLength = 500;

bool IsSchemeChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' || c == '-' ||
           c == '.';
}

// Length of "scheme:" at the start of a reference, or 0.
std::size_t SchemeLength(std::string_view s)
{
    if (s.empty() || !((s[0] >= 'a' && s[0] <= 'z') || (s[0] >= 'A' && s[0] <= 'Z')))
        return 0;
    std::size_t i = 1;
    while (i < s.size() && IsSchemeChar(s[i]))
        ++i;
    return i < s.size() && s[i] == ':' ? i + 1 : 0;
}

struct TUrlParts {
    std::string Scheme; // with its colon
    bool HasAuthority = false;
    std::string Authority;
    std::string Path;
    bool HasQuery = false;
    std::string Query;
    bool HasFragment = false;
    std::string Fragment;
};

TUrlParts SplitReference(std::string_view s)
{
    TUrlParts p;
    const std::size_t scheme = SchemeLength(s);
    p.Scheme = std::string(s.substr(0, scheme));
    s.remove_prefix(scheme);
    const auto hash = s.find('#');
    if (hash != std::string_view::npos) {
        p.HasFragment = true;
        p.Fragment = std::string(s.substr(hash + 1));
        s = s.substr(0, hash);
    }
    const auto query = s.find('?');
    if (query != std::string_view::npos) {
        p.HasQuery = true;
        p.Query = std::string(s.substr(query + 1));
        s = s.substr(0, query);
    }
    if (s.substr(0, 2) == "//") {
        p.HasAuthority = true;
        const auto slash = s.find('/', 2);
        p.Authority = std::string(s.substr(2, slash == std::string_view::npos ? std::string_view::npos : slash - 2));
        s = slash == std::string_view::npos ? std::string_view() : s.substr(slash);
    }
    p.Path = std::string(s);
    return p;
}

std::string RemoveDotSegments(std::string_view input)
{
    std::string output;
    while (!input.empty()) {
        if (input.substr(0, 3) == "../") {
            input.remove_prefix(3);
        } else if (input.substr(0, 2) == "./") {
            input.remove_prefix(2);
        } else if (input.substr(0, 3) == "/./") {
            input.remove_prefix(2);
        } else if (input == "/.") {
            input = "/";
        } else if (input.substr(0, 4) == "/../" || input == "/..") {
            if (input == "/..")
                input = "/";
            else
                input.remove_prefix(3);
            const auto last = output.rfind('/');
            output.erase(last == std::string::npos ? 0 : last);
        } else if (input == "." || input == "..") {
            input = {};
        } else {
            const auto next = input.find('/', input[0] == '/' ? 1 : 0);
            const auto segment = input.substr(0, next);
            output += segment;
            input.remove_prefix(segment.size());
        }
    }
    return output;
}

std::string Recompose(const TUrlParts& p)
{
    std::string s = p.Scheme;
    if (p.HasAuthority)
        s += "//" + p.Authority;
    s += p.Path;
    if (p.HasQuery)
        s += "?" + p.Query;
    if (p.HasFragment)
        s += "#" + p.Fragment;
    return s;
}

// Characters that cannot stand in an address as written into a page.
std::string EscapeUnsafe(std::string_view s, bool escapeApostrophe)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(s.size());
    for (char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        const bool unsafe = c <= 0x20 || c >= 0x7F || ch == '"' || ch == '<' || ch == '>' || ch == '\\' ||
                            ch == '^' || ch == '`' || ch == '{' || ch == '|' || ch == '}' ||
                            (escapeApostrophe && ch == '\'');
        if (unsafe) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += ch;
        }
    }
    return out;
}

void LowerInto(std::string_view s, std::string& out)
{
    out.assign(s);
    for (auto& c : out)
        c = LowerChar(c);
}

} // namespace

std::string MakeAbsoluteUrl(const std::string& base, const std::string& link)
{
    if (base.empty())
        return link;
    if (UpperCase(link).find("TP:/") != std::string::npos)
        return link;
    // A reference with a scheme of its own (mailto:, javascript:, ...) is
    // absolute already.
    if (SchemeLength(link) > 0)
        return link;
    // Site addresses may leave out the scheme; the download fetches them over
    // HTTP, so that is what they resolve against.
    const std::string fullBase = SchemeLength(base) > 0 ? base : "http://" + base;
    const TUrlParts b = SplitReference(fullBase);
    const TUrlParts r = SplitReference(link);
    TUrlParts t;
    t.Scheme = b.Scheme;
    if (r.HasAuthority) {
        t.HasAuthority = true;
        t.Authority = r.Authority;
        t.Path = RemoveDotSegments(r.Path);
        t.HasQuery = r.HasQuery;
        t.Query = r.Query;
    } else {
        t.HasAuthority = b.HasAuthority;
        t.Authority = b.Authority;
        if (r.Path.empty()) {
            t.Path = b.Path;
            t.HasQuery = r.HasQuery || b.HasQuery;
            t.Query = r.HasQuery ? r.Query : b.Query;
        } else {
            if (r.Path[0] == '/') {
                t.Path = RemoveDotSegments(r.Path);
            } else {
                std::string merged;
                if (b.HasAuthority && b.Path.empty()) {
                    merged = "/" + r.Path;
                } else {
                    const auto slash = b.Path.rfind('/');
                    merged = (slash == std::string::npos ? std::string() : b.Path.substr(0, slash + 1)) + r.Path;
                }
                t.Path = RemoveDotSegments(merged);
            }
            t.HasQuery = r.HasQuery;
            t.Query = r.Query;
        }
    }
    // A site's own address with no path still names its root folder.
    if (t.HasAuthority && t.Path.empty() && (t.HasQuery || t.HasFragment || !r.Path.empty()))
        t.Path = "/";
    t.HasFragment = r.HasFragment;
    t.Fragment = r.Fragment;
    std::string result = EscapeUnsafe(Recompose(t), false);
    if (result.size() > MaxCombinedLength)
        return link;
    return result;
}

void ReplaceQuotedLinks(std::string& text, const std::vector<std::string>& originals,
                        const std::vector<std::string>& absolutes)
{
    const std::size_t pairs = std::min(originals.size(), absolutes.size());
    if (pairs == 0)
        return;
    auto takesPart = [&](std::size_t i) {
        return !originals[i].empty() && originals[i].find('"') == std::string::npos &&
               absolutes[i].find('"') == std::string::npos;
    };

    // No address holds a quote, so every match is the stretch between two
    // neighbouring quotes and replacing it keeps the quotes where they are.
    // Each stretch can then be taken through the pairs on its own: in pair
    // order it becomes the absolute form of the first pair that matches,
    // then of a later pair that matches that, and so on. One rule ties a
    // stretch to its left neighbour: a pair that replaced the neighbour used
    // up the quote between them, so that pair cannot match this stretch.
    std::unordered_map<std::string, std::vector<std::uint32_t>> pairsOf;
    std::size_t shortest = SIZE_MAX, longest = 0;
    for (std::size_t i = 0; i < pairs; ++i) {
        if (!takesPart(i))
            continue;
        std::string key;
        LowerInto(originals[i], key);
        pairsOf[key].push_back(static_cast<std::uint32_t>(i));
        shortest = std::min(shortest, key.size());
        longest = std::max(longest, key.size());
    }

    if (pairsOf.empty())
        return;
    std::string out;
    std::string key;
    std::vector<std::uint32_t> previousPasses, passes;
    std::size_t copied = 0;
    bool changed = false;
    std::size_t open = text.find('"');
    while (open != std::string::npos) {
        const std::size_t close = text.find('"', open + 1);
        if (close == std::string::npos)
            break;
        passes.clear();
        const std::size_t length = close - open - 1;
        if (length >= shortest && length <= longest) {
            std::string_view content(text.data() + open + 1, length);
            const std::string* current = nullptr;
            std::uint32_t from = 0;
            for (;;) {
                LowerInto(current ? std::string_view(*current) : content, key);
                const auto found = pairsOf.find(key);
                if (found == pairsOf.end())
                    break;
                const auto& list = found->second;
                auto next = std::lower_bound(list.begin(), list.end(), from);
                while (next != list.end() &&
                       std::binary_search(previousPasses.begin(), previousPasses.end(), *next))
                    ++next;
                if (next == list.end())
                    break;
                passes.push_back(*next);
                current = &absolutes[*next];
                from = *next + 1;
            }
            if (current) {
                out.append(text, copied, open + 1 - copied);
                out += *current;
                copied = close;
                changed = true;
            }
        }
        previousPasses.swap(passes);
        open = close;
    }
    if (!changed)
        return;
    out.append(text, copied, std::string::npos);
    text.swap(out);
}

TPageRewriter::TPageRewriter(TDeliveryHost& host, const TClock& clock) : host_(host)
{
    docparse.Clock = &clock;
    docparse.ElementTexts = false;
    Wait = [](int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); };
    docparse.OnAnchor = [this](const TAnchorInfo& a, const TElementInfo& e) { docparseAnchor(a, e); };
    docparse.OnImage = [this](const TImageInfo& i, const TElementInfo& e) { docparseImage(i, e); };
    docparse.OnBody = [this](const TBodyInfo& b, const TElementInfo& e) { docparseBody(b, e); };
    docparse.OnScript = [this](const TScriptInfo& s, const TElementInfo& e) { docparseScript(s, e); };
    docparse.OnOtherLinkedItem = [this](const TLinkedItemInfo& l, const TElementInfo& e) {
        docparseOtherLinkedItem(l, e);
    };
    docparse.OnBase = [this](const TBaseInfo& b, const TElementInfo& e) { docparseBase(b, e); };
}

// The first <base> with an address sets what the page's links resolve
// against, for the links before it as well.
void TPageRewriter::docparseBase(const TBaseInfo& base, const TElementInfo&)
{
    if (baseSeen_)
        return;
    std::string href = base.hRef;
    if (StartsText("ABOUT:BLANK", href))
        href.erase(0, 11);
    if (href.empty())
        return;
    baseSeen_ = true;
    BaseUrl = MakeAbsoluteUrl(siteAddress_, href);
    OriginalLinks.clear();
    AbsoluteLinks.clear();
    placed_.clear();
    for (const auto& r : reported_)
        Resolve(r);
}

void TPageRewriter::docparseAnchor(const TAnchorInfo& anchor, const TElementInfo&)
{
    RecordLinkAt(anchor.hRef, anchor.hRefAt);
}

void TPageRewriter::docparseImage(const TImageInfo& image, const TElementInfo&)
{
    RecordLinkAt(image.Source, image.SourceAt);
}

void TPageRewriter::docparseBody(const TBodyInfo& body, const TElementInfo&)
{
    RecordLinkAt(body.Background, body.BackgroundAt);
}

void TPageRewriter::docparseScript(const TScriptInfo& script, const TElementInfo&)
{
    RecordLinkAt(script.Source, script.SourceAt);
}

void TPageRewriter::docparseOtherLinkedItem(const TLinkedItemInfo& item, const TElementInfo&)
{
    RecordLinkAt(item.hRef, item.hRefAt);
}

void TPageRewriter::RecordLink(const std::string& link)
{
    RecordLinkAt(link, TSourceSpan{});
}

void TPageRewriter::RecordLinkAt(const std::string& reported, const TSourceSpan& at)
{
    if (reported.empty())
        return;
    TReportedLink link{reported, at};
    if (StartsText("ABOUT:BLANK", link.Link))
        link.Link.erase(0, 11);
    // "about:blank" itself names no address of the page; recording it would
    // turn every empty quoted string of the page into the page's address.
    if (link.Link.empty())
        return;
    Resolve(link);
    reported_.push_back(std::move(link));
}

void TPageRewriter::Resolve(const TReportedLink& reported)
{
    const std::string& link = reported.Link;
    std::string absolute = MakeAbsoluteUrl(BaseUrl, link);
    if (absolute == link)
        return;
    OriginalLinks.push_back(link);
    AbsoluteLinks.push_back(absolute);
    if (reported.At.Known())
        placed_.push_back({reported.At, link, std::move(absolute)});
}

namespace {

// The absolute form of a link as it goes into the page at the link's place:
// safe inside the attribute's quoting, and with the page's own escaping kept
// where the absolute form is the page's text with the base in front.
void AppendPlaced(std::string& out, std::string_view raw, std::string_view original, std::string_view absolute,
                  char quote)
{
    const bool escapeApostrophe = quote != '"';
    const bool pageEscapes = raw.find('&') != std::string_view::npos;
    auto appendWritten = [&](std::string_view text) {
        const std::string safe = EscapeUnsafe(text, escapeApostrophe);
        if (!pageEscapes) {
            out += safe;
            return;
        }
        for (char c : safe) {
            if (c == '&')
                out += "&amp;";
            else
                out += c;
        }
    };
    if (absolute.size() >= original.size() &&
        absolute.compare(absolute.size() - original.size(), original.size(), original) == 0) {
        appendWritten(absolute.substr(0, absolute.size() - original.size()));
        out += raw;
        return;
    }
    appendWritten(absolute);
}

} // namespace

void TPageRewriter::RewritePlacedLinks(std::string& page) const
{
    if (placed_.empty())
        return;
    std::vector<const TPlacedLink*> order;
    order.reserve(placed_.size());
    for (const auto& p : placed_)
        order.push_back(&p);
    // Document order already, but for a base found late or a body's
    // attributes given by a second <body>.
    if (!std::is_sorted(order.begin(), order.end(),
                        [](const TPlacedLink* a, const TPlacedLink* b) { return a->At.Offset < b->At.Offset; }))
        std::stable_sort(order.begin(), order.end(),
                         [](const TPlacedLink* a, const TPlacedLink* b) { return a->At.Offset < b->At.Offset; });
    std::string out;
    out.reserve(page.size() + page.size() / 4);
    std::size_t copied = 0;
    for (const TPlacedLink* p : order) {
        // Each stretch of the page is written once.
        if (p->At.Offset < copied || p->At.Offset + p->At.Length > page.size())
            continue;
        out.append(page, copied, p->At.Offset - copied);
        AppendPlaced(out, std::string_view(page).substr(p->At.Offset, p->At.Length), p->Original, p->Absolute,
                     p->At.Quote);
        copied = p->At.Offset + p->At.Length;
    }
    out.append(page, copied, std::string::npos);
    page.swap(out);
}

bool TPageRewriter::RewritePage(const std::string& siteAddress, std::string& page)
{
    bool result = true;
    OriginalLinks.clear();
    AbsoluteLinks.clear();
    placed_.clear();
    reported_.clear();
    baseSeen_ = false;
    siteAddress_ = siteAddress;
    BaseUrl = siteAddress;
    try {
        try {
            docparse.Html = page;
            if (!docparse.Execute())
                throw std::runtime_error("Parse Error 2");
        } catch (const std::exception&) {
            // The document service used to fail now and then on a first load;
            // one more run after a pause was enough. Html is still set.
            OriginalLinks.clear();
            AbsoluteLinks.clear();
            placed_.clear();
            reported_.clear();
            baseSeen_ = false;
            BaseUrl = siteAddress;
            Wait(1000);
            if (!docparse.Execute())
                throw std::runtime_error("Parse Error 2");
        }
        RewritePlacedLinks(page);
        ReplaceQuotedLinks(page, OriginalLinks, AbsoluteLinks);
    } catch (const std::exception& e) {
        host_.AddToLog(std::string("HTML parsing error: ") + e.what());
        result = false;
    }
    return result;
}
