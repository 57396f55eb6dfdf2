#include "delivery/PageRewriter.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <thread>

#include "platform/ScopeExit.h"
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

bool HasDotSegment(std::string_view path)
{
    for (std::size_t i = 0; i < path.size(); ++i)
        if (path[i] == '.' && (i == 0 || path[i - 1] == '/'))
            return true;
    return false;
}

void RemoveDotSegments(std::string_view input, std::string& output)
{
    // Most paths have no segment that starts with a dot: nothing to remove.
    if (!HasDotSegment(input)) {
        output.assign(input);
        return;
    }
    output.clear();
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
}

// Characters that cannot stand in an address as written into a page, and
// the two that only some places in a page cannot take as they are; and those
// that end or may change a path.
enum : std::uint8_t { Unsafe = 1, Apostrophe = 2, Ampersand = 4, PathEnd = 8, Dot = 16 };
constexpr std::array<std::uint8_t, 256> ByteKinds = [] {
    std::array<std::uint8_t, 256> kinds{};
    for (int c = 0; c < 256; ++c) {
        if (c <= 0x20 || c >= 0x7F || c == '"' || c == '<' || c == '>' || c == '\\' || c == '^' || c == '`' ||
            c == '{' || c == '|' || c == '}')
            kinds[static_cast<std::size_t>(c)] = Unsafe;
    }
    kinds['\''] = Apostrophe;
    kinds['&'] = Ampersand;
    kinds[':'] = kinds['?'] = kinds['#'] = PathEnd;
    kinds['.'] = Dot;
    return kinds;
}();

// Appends s with unsafe characters escaped; within a page that writes its
// ampersands as "&amp;", an ampersand is written so as well.
void AppendEscaped(std::string& out, std::string_view s, bool escapeApostrophe = false, bool ampersands = false)
{
    static const char hex[] = "0123456789ABCDEF";
    const std::uint8_t wanted = Unsafe | (escapeApostrophe ? Apostrophe : 0) | (ampersands ? Ampersand : 0);
    std::size_t copied = 0;
    const auto kindAt = [&](std::size_t i) { return ByteKinds[static_cast<unsigned char>(s[i])]; };
    for (std::size_t i = 0; i < s.size(); ++i) {
        // Most of an address needs nothing: four bytes are asked at once.
        while (i + 4 <= s.size() && ((kindAt(i) | kindAt(i + 1) | kindAt(i + 2) | kindAt(i + 3)) & wanted) == 0)
            i += 4;
        if (i == s.size())
            break;
        const auto c = static_cast<unsigned char>(s[i]);
        const std::uint8_t kind = ByteKinds[c] & wanted;
        if (kind == 0)
            continue;
        out.append(s.data() + copied, i - copied);
        if (kind == Ampersand) {
            out += "&amp;";
        } else {
            const char code[3] = {'%', hex[c >> 4], hex[c & 15]};
            out.append(code, 3);
        }
        copied = i + 1;
    }
    out.append(s.data() + copied, s.size() - copied);
}

// "TP:/" in any letter case, anywhere: the addresses of HTTP, HTTPS and FTP.
bool HoldsTpColonSlash(std::string_view s)
{
    for (auto at = s.find(":/"); at != std::string_view::npos; at = s.find(":/", at + 1))
        if (at >= 2 && UpperChar(s[at - 2]) == 'T' && UpperChar(s[at - 1]) == 'P')
            return true;
    return false;
}

bool SameFolded(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    // A page repeats its links as written far more often than in another case.
    if (a == b)
        return true;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i] && LowerChar(a[i]) != LowerChar(b[i]))
            return false;
    return true;
}

// Texts that are the same without regard to case hash the same: setting the
// bit that tells an ASCII letter's case folds more than letters, which only
// makes a few more texts share a hash. Eight bytes are taken at a time; the
// last steps carry every bit into the low ones that pick a slot.
std::uint64_t FoldedHash(std::string_view s)
{
    constexpr std::uint64_t prime = 1099511628211ull;
    std::uint64_t h = 14695981039346656037ull ^ s.size();
    std::size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, s.data() + i, 8);
        h = (h ^ (word | 0x2020202020202020ull)) * prime;
    }
    for (; i < s.size(); ++i)
        h = (h ^ (static_cast<unsigned char>(s[i]) | 0x20u)) * prime;
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    return h;
}

} // namespace

TUrlResolver::TUrlResolver(std::string_view base) : base_(base)
{
    if (base.empty())
        return;
    usable_ = true;
    // Site addresses may leave out the scheme; the download fetches them over
    // HTTP, so that is what they resolve against.
    const std::string fullBase = SchemeLength(base) > 0 ? std::string(base) : "http://" + std::string(base);
    const TUrlParts b = SplitReference(fullBase);
    AppendEscaped(scheme_, b.Scheme);
    origin_ = scheme_;
    baseHasAuthority_ = b.HasAuthority;
    if (b.HasAuthority) {
        origin_ += "//";
        AppendEscaped(origin_, b.Authority);
    }
    basePath_ = b.Path;
    baseHasQuery_ = b.HasQuery;
    baseQuery_ = b.Query;
    if (b.HasAuthority && b.Path.empty()) {
        baseDirectory_ = "/";
    } else {
        const auto slash = b.Path.rfind('/');
        if (slash != std::string::npos)
            baseDirectory_ = b.Path.substr(0, slash + 1);
    }
    if (!baseDirectory_.empty() && baseDirectory_[0] == '/' && !HasDotSegment(baseDirectory_)) {
        plainDirectory_ = origin_;
        AppendEscaped(plainDirectory_, baseDirectory_);
    }
}

// Most links of a page are a path relative to the page's folder, perhaps
// after "./" and "../", or to the site's root, with no dot segment, query or
// fragment to follow: what merging and removing dot segments would make of
// them is the base's folder, less a segment for each "../", and the path.
// False, with resolved untouched, for any other form.
bool TUrlResolver::ResolvePlainPath(std::string_view link, std::string& out, bool& resolved) const
{
    std::size_t ups = 0, at = 0;
    for (;;) {
        if (link.substr(at, 3) == "../") {
            ++ups;
            at += 3;
        } else if (link.substr(at, 2) == "./") {
            at += 2;
        } else {
            break;
        }
    }
    const std::string_view path = link.substr(at);
    if (path.empty() || path[0] == '.')
        return false;
    const bool rooted = path[0] == '/';
    // "//" starts an authority, and a "/" after leading dots an empty segment.
    if (rooted && (at > 0 || path.substr(0, 2) == "//"))
        return false;
    if (!rooted && plainDirectory_.empty())
        return false;
    // No colon: neither a scheme nor "TP:/" can stand in the link. The same
    // look at each byte tells whether the path needs escaping at all.
    const auto kindAt = [&](std::size_t i) { return ByteKinds[static_cast<unsigned char>(path[i])]; };
    std::uint8_t kinds = 0;
    for (std::size_t i = 0; i < path.size(); ++i) {
        // Most of a path is letters, digits and "/": four bytes are asked at
        // once.
        while (i + 4 <= path.size() &&
               ((kindAt(i) | kindAt(i + 1) | kindAt(i + 2) | kindAt(i + 3)) & (Unsafe | PathEnd | Dot)) == 0)
            i += 4;
        if (i == path.size())
            break;
        const std::uint8_t kind = kindAt(i);
        if ((kind & PathEnd) || ((kind & Dot) && path[i - 1] == '/'))
            return false;
        kinds |= kind;
    }
    if (rooted) {
        out = origin_;
    } else {
        // The folder loses a segment to each "../", back to the "/" its path
        // starts with. No escape holds a "/".
        const std::size_t root = origin_.size();
        std::size_t end = plainDirectory_.size() - 1;
        for (std::size_t i = 0; i < ups && end > root; ++i)
            end = plainDirectory_.rfind('/', end - 1);
        out.assign(plainDirectory_, 0, end + 1);
    }
    if (kinds & Unsafe)
        AppendEscaped(out, path);
    else
        out += path;
    resolved = out.size() <= MaxCombinedLength;
    return true;
}

bool TUrlResolver::Resolve(std::string_view link, std::string& out)
{
    if (!usable_)
        return false;
    if (bool resolved = false; ResolvePlainPath(link, out, resolved))
        return resolved;
    if (HoldsTpColonSlash(link))
        return false;
    // A reference with a scheme of its own (mailto:, javascript:, ...) is
    // absolute already.
    if (SchemeLength(link) > 0)
        return false;

    std::string_view rest = link, fragment, query, authority;
    const auto hash = rest.find('#');
    const bool hasFragment = hash != std::string_view::npos;
    if (hasFragment) {
        fragment = rest.substr(hash + 1);
        rest = rest.substr(0, hash);
    }
    const auto questionMark = rest.find('?');
    const bool hasQuery = questionMark != std::string_view::npos;
    if (hasQuery) {
        query = rest.substr(questionMark + 1);
        rest = rest.substr(0, questionMark);
    }
    const bool hasAuthority = rest.substr(0, 2) == "//";
    if (hasAuthority) {
        const auto slash = rest.find('/', 2);
        authority = rest.substr(2, slash == std::string_view::npos ? std::string_view::npos : slash - 2);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
    }
    const std::string_view referencePath = rest;

    std::string_view path;
    bool withAuthority = true;
    bool withQuery = hasQuery;
    if (hasAuthority) {
        out = scheme_;
        out += "//";
        AppendEscaped(out, authority);
        RemoveDotSegments(referencePath, path_);
        path = path_;
    } else {
        out = origin_;
        withAuthority = baseHasAuthority_;
        if (referencePath.empty()) {
            path = basePath_;
            withQuery = hasQuery || baseHasQuery_;
            if (!hasQuery)
                query = baseQuery_;
        } else if (referencePath[0] == '/') {
            RemoveDotSegments(referencePath, path_);
            path = path_;
        } else {
            merged_ = baseDirectory_;
            merged_ += referencePath;
            RemoveDotSegments(merged_, path_);
            path = path_;
        }
    }
    // A site's own address with no path still names its root folder.
    if (withAuthority && path.empty() && (withQuery || !referencePath.empty()))
        path = "/";
    AppendEscaped(out, path);
    if (withQuery) {
        out += '?';
        AppendEscaped(out, query);
    }
    if (hasFragment) {
        out += '#';
        AppendEscaped(out, fragment);
    }
    return out.size() <= MaxCombinedLength;
}

std::string MakeAbsoluteUrl(const std::string& base, const std::string& link)
{
    TUrlResolver resolver(base);
    std::string absolute;
    return resolver.Resolve(link, absolute) ? absolute : link;
}

namespace {

// The pairs that take part in the replacement, grouped by their original
// without regard to case: each group's pair indices ascending.
class TOriginalsIndex {
public:
    TOriginalsIndex(const std::vector<std::string>& originals, const std::vector<std::string>& absolutes,
                    std::size_t pairs)
        : originals_(originals)
    {
        std::vector<std::uint32_t> groupOf(pairs, NoGroup);
        std::size_t size = 16;
        while (size < pairs * 2)
            size *= 2;
        slots_.assign(size, NoGroup);
        mask_ = size - 1;
        std::vector<std::uint32_t> counts;
        for (std::size_t i = 0; i < pairs; ++i) {
            if (!TakesPart(originals[i], absolutes[i]))
                continue;
            const std::string_view key = originals[i];
            const std::uint64_t h = FoldedHash(key);
            std::size_t slot = h & mask_;
            std::uint32_t group = NoGroup;
            while (slots_[slot] != NoGroup) {
                const std::uint32_t g = slots_[slot];
                if (hashes_[g] == h && SameFolded(originals[representative_[g]], key)) {
                    group = g;
                    break;
                }
                slot = (slot + 1) & mask_;
            }
            if (group == NoGroup) {
                group = static_cast<std::uint32_t>(representative_.size());
                slots_[slot] = group;
                representative_.push_back(static_cast<std::uint32_t>(i));
                hashes_.push_back(h);
                counts.push_back(0);
            }
            groupOf[i] = group;
            ++counts[group];
            shortest_ = std::min(shortest_, key.size());
            longest_ = std::max(longest_, key.size());
            const auto first = static_cast<unsigned char>(LowerChar(key[0]));
            firstBytes_[first >> 6] |= std::uint64_t{1} << (first & 63);
        }
        begin_.resize(counts.size() + 1);
        for (std::size_t g = 0; g < counts.size(); ++g)
            begin_[g + 1] = begin_[g] + counts[g];
        members_.resize(begin_.back());
        std::vector<std::uint32_t> filled(begin_.begin(), begin_.end() - 1);
        for (std::size_t i = 0; i < pairs; ++i)
            if (groupOf[i] != NoGroup)
                members_[filled[groupOf[i]]++] = static_cast<std::uint32_t>(i);
    }

    bool Empty() const { return representative_.empty(); }

    // Whether some original could be this long: a cheap test before Find.
    bool MayHoldLength(std::size_t length) const { return length >= shortest_ && length <= longest_; }

    // The pairs whose original equals key without regard to case, ascending.
    std::pair<const std::uint32_t*, const std::uint32_t*> Find(std::string_view key) const
    {
        if (!MayHoldLength(key.size()))
            return {nullptr, nullptr};
        const auto first = static_cast<unsigned char>(LowerChar(key[0]));
        if (!(firstBytes_[first >> 6] >> (first & 63) & 1))
            return {nullptr, nullptr};
        const std::uint64_t h = FoldedHash(key);
        for (std::size_t slot = h & mask_; slots_[slot] != NoGroup; slot = (slot + 1) & mask_) {
            const std::uint32_t g = slots_[slot];
            if (hashes_[g] == h && SameFolded(originals_[representative_[g]], key))
                return {members_.data() + begin_[g], members_.data() + begin_[g + 1]};
        }
        return {nullptr, nullptr};
    }

private:
    static constexpr std::uint32_t NoGroup = UINT32_MAX;

    static bool TakesPart(const std::string& original, const std::string& absolute)
    {
        return !original.empty() && original.find('"') == std::string::npos &&
               absolute.find('"') == std::string::npos;
    }

    const std::vector<std::string>& originals_;
    std::vector<std::uint32_t> slots_;
    std::size_t mask_ = 0;
    std::vector<std::uint32_t> representative_;
    std::vector<std::uint64_t> hashes_;
    std::vector<std::uint32_t> begin_;
    std::vector<std::uint32_t> members_;
    std::size_t shortest_ = SIZE_MAX, longest_ = 0;
    std::uint64_t firstBytes_[4] = {};
};

} // namespace

void ReplaceQuotedLinks(std::string& text, const std::vector<std::string>& originals,
                        const std::vector<std::string>& absolutes, std::size_t maxBytes)
{
    const std::size_t pairs = std::min(originals.size(), absolutes.size());
    if (pairs == 0)
        return;

    // No address holds a quote, so every match is the stretch between two
    // neighbouring quotes and replacing it keeps the quotes where they are.
    // Each stretch can then be taken through the pairs on its own: in pair
    // order it becomes the absolute form of the first pair that matches,
    // then of a later pair that matches that, and so on. One rule ties a
    // stretch to its left neighbour: a pair that replaced the neighbour used
    // up the quote between them, so that pair cannot match this stretch.
    const TOriginalsIndex index(originals, absolutes, pairs);
    if (index.Empty())
        return;
    std::string out;
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
        if (index.MayHoldLength(length)) {
            std::string_view current(text.data() + open + 1, length);
            const std::string* replacement = nullptr;
            std::uint32_t from = 0;
            for (;;) {
                const auto [first, last] = index.Find(current);
                auto next = std::lower_bound(first, last, from);
                while (next != last && std::binary_search(previousPasses.begin(), previousPasses.end(), *next))
                    ++next;
                if (next == last)
                    break;
                passes.push_back(*next);
                replacement = &absolutes[*next];
                current = *replacement;
                from = *next + 1;
            }
            if (replacement) {
                if (!changed)
                    out.reserve(std::min(text.size() + text.size() / 4, maxBytes));
                // What is written so far plus the rest as it stands, checked
                // before each append: the copy never grows past the limit.
                if (out.size() + (open + 1 - copied) + replacement->size() + (text.size() - close) > maxBytes)
                    throw ERewriteTooLarge("the rewritten page would exceed " + std::to_string(maxBytes >> 20)
                                           + " MiB");
                out.append(text, copied, open + 1 - copied);
                out += *replacement;
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
    // The handlers read the address alone: bound through TAddressHandler,
    // the parser hands them just that.
    docparse.BindAddresses(*this);
}

void TPageRewriter::Address(TAddressEvent event, const std::string& address, const TSourceSpan& at)
{
    switch (event) {
    case TAddressEvent::Anchor: docparseAnchor(address, at); break;
    case TAddressEvent::Image: docparseImage(address, at); break;
    case TAddressEvent::Body: docparseBody(address, at); break;
    case TAddressEvent::Script: docparseScript(address, at); break;
    case TAddressEvent::LinkedItem: docparseOtherLinkedItem(address, at); break;
    case TAddressEvent::Base: docparseBase(address); break;
    }
}

// The first <base> with an address sets what the page's links resolve
// against, for the links before it as well.
void TPageRewriter::docparseBase(const std::string& hRef)
{
    if (baseSeen_)
        return;
    std::string href = hRef;
    if (StartsText("ABOUT:BLANK", href))
        href.erase(0, 11);
    if (href.empty())
        return;
    baseSeen_ = true;
    BaseUrl = MakeAbsoluteUrl(siteAddress_, href);
    OriginalLinks.clear();
    AbsoluteLinks.clear();
    placed_.clear();
    expectedSize_ = pageSize_;
    for (const auto& r : reported_)
        Resolve(std::string_view(reportedText_).substr(r.TextAt, r.TextLength), r.At);
}

void TPageRewriter::docparseAnchor(const std::string& hRef, const TSourceSpan& at)
{
    RecordLinkAt(hRef, at);
}

void TPageRewriter::docparseImage(const std::string& source, const TSourceSpan& at)
{
    RecordLinkAt(source, at);
}

void TPageRewriter::docparseBody(const std::string& background, const TSourceSpan& at)
{
    RecordLinkAt(background, at);
}

void TPageRewriter::docparseScript(const std::string& source, const TSourceSpan& at)
{
    RecordLinkAt(source, at);
}

void TPageRewriter::docparseOtherLinkedItem(const std::string& hRef, const TSourceSpan& at)
{
    RecordLinkAt(hRef, at);
}

void TPageRewriter::RecordLink(const std::string& link)
{
    RecordLinkAt(link, TSourceSpan{});
}

void TPageRewriter::RecordLinkAt(std::string_view link, const TSourceSpan& at)
{
    if (link.empty())
        return;
    // The parser puts "about:blank" before every relative address, in lower
    // case: that is checked first, as most addresses of a page are relative.
    if (link.substr(0, 11) == "about:blank" || StartsText("ABOUT:BLANK", link))
        link.remove_prefix(11);
    // "about:blank" itself names no address of the page; recording it would
    // turn every empty quoted string of the page into the page's address.
    if (link.empty())
        return;
    Resolve(link, at);
    reported_.push_back(TReportedLink{reportedText_.size(), link.size(), at});
    reportedText_.append(link);
}

void TPageRewriter::Resolve(std::string_view link, const TSourceSpan& at)
{
    // BaseUrl is public: whoever set it last decides what links resolve against.
    if (resolver_.Base() != BaseUrl)
        resolver_ = TUrlResolver(BaseUrl);
    if (!resolver_.Resolve(link, absolute_) || absolute_ == link)
        return;
    if (at.Known()) {
        if (absolute_.size() > at.Length)
            expectedSize_ += absolute_.size() - at.Length;
        if (expectedSize_ > MaxPageBytes)
            TooLarge();
    }
    OriginalLinks.emplace_back(link);
    AbsoluteLinks.push_back(absolute_);
    if (at.Known())
        placed_.push_back(TPlacedLink{at, OriginalLinks.size() - 1});
}

void TPageRewriter::TooLarge() const
{
    throw ERewriteTooLarge("the rewritten page would exceed " + std::to_string(MaxPageBytes >> 20) + " MiB");
}

namespace {

// Writes the absolute form of a link as it goes into the page at the link's
// place: safe inside the attribute's quoting, and with the page's own
// escaping kept where the absolute form is the page's text with the base in
// front.
class TPlacedWriter {
public:
    void Append(std::string& out, std::string_view raw, std::string_view original, std::string_view absolute,
                char quote)
    {
        const bool escapeApostrophe = quote != '"';
        const bool pageEscapes = raw.find('&') != std::string_view::npos;
        if (absolute.size() >= original.size() &&
            absolute.compare(absolute.size() - original.size(), original.size(), original) == 0) {
            // Most such links have the same front, the base's folder: it is
            // escaped again only when it or the escaping changes.
            const std::string_view front = absolute.substr(0, absolute.size() - original.size());
            if (!escaped_ || front != front_ || escapeApostrophe != apostrophe_ || pageEscapes != ampersands_) {
                front_.assign(front);
                apostrophe_ = escapeApostrophe;
                ampersands_ = pageEscapes;
                escapedFront_.clear();
                AppendEscaped(escapedFront_, front, escapeApostrophe, pageEscapes);
                escaped_ = true;
            }
            out += escapedFront_;
            out += raw;
            return;
        }
        AppendEscaped(out, absolute, escapeApostrophe, pageEscapes);
    }

private:
    bool escaped_ = false;
    std::string front_, escapedFront_;
    bool apostrophe_ = false, ampersands_ = false;
};

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
    // The size the placed links make, once: no doubling of a growing copy.
    out.reserve(std::min(std::max(expectedSize_, page.size()), MaxPageBytes) + 64);
    std::size_t copied = 0;
    TPlacedWriter writer;
    for (const TPlacedLink* p : order) {
        // Each stretch of the page is written once.
        if (p->At.Offset < copied || p->At.Offset + p->At.Length > page.size() || p->Pair >= OriginalLinks.size() ||
            p->Pair >= AbsoluteLinks.size())
            continue;
        out.append(page, copied, p->At.Offset - copied);
        writer.Append(out, std::string_view(page).substr(p->At.Offset, p->At.Length), OriginalLinks[p->Pair],
                      AbsoluteLinks[p->Pair], p->At.Quote);
        copied = p->At.Offset + p->At.Length;
        // The rest of the page follows unchanged at the least.
        if (out.size() + (page.size() - copied) > MaxPageBytes)
            TooLarge();
    }
    out.append(page, copied, std::string::npos);
    page.swap(out);
}

void TPageRewriter::ForgetPage()
{
    OriginalLinks = {};
    AbsoluteLinks = {};
}

void TPageRewriter::ForgetLinks()
{
    OriginalLinks.clear();
    AbsoluteLinks.clear();
    placed_.clear();
    reported_.clear();
    reportedText_.clear();
    baseSeen_ = false;
    BaseUrl = siteAddress_;
    expectedSize_ = pageSize_;
}

bool TPageRewriter::RewritePage(const std::string& siteAddress, std::string& page)
{
    bool result = true;
    siteAddress_ = siteAddress;
    pageSize_ = page.size();
    LastError.clear();
    LastTooLarge = false;
    ForgetLinks();
    // Neither the parser's copy of the page nor the link lists outlive the
    // rewrite: the mail is built from the page while they would still hold
    // a page's worth each.
    TScopeExit release([this] {
        std::string().swap(docparse.Html);
        placed_ = {};
        reported_ = {};
        std::string().swap(reportedText_);
    });
    try {
        try {
            if (page.size() > MaxPageBytes)
                TooLarge();
            docparse.Html = page;
            if (!docparse.Execute())
                throw std::runtime_error("Parse Error 2");
        } catch (const ERewriteTooLarge&) {
            throw;
        } catch (const std::exception&) {
            // The document service used to fail now and then on a first load;
            // one more run after a pause was enough. Html is still set.
            ForgetLinks();
            Wait(1000);
            if (!docparse.Execute())
                throw std::runtime_error("Parse Error 2");
        }
        RewritePlacedLinks(page);
        ReplaceQuotedLinks(page, OriginalLinks, AbsoluteLinks, MaxPageBytes);
    } catch (const std::exception& e) {
        LastError = e.what();
        LastTooLarge = dynamic_cast<const ERewriteTooLarge*>(&e) != nullptr;
        host_.AddToLog("HTML parsing error: " + LastError);
        result = false;
    }
    return result;
}
