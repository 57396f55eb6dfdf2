#include "delivery/DocParser.h"

#include <algorithm>
#include <chrono>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <new>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "delivery/HtmlTreeBuilder.h"
#include "platform/Text.h"

std::uint32_t DownloadControlFlags(const TDownloadControlOptions& options)
{
    static const std::uint32_t flags[] = {0x10,    0x20,    0x40,    0x80,       0x100,      0x200,      0x400,
                                          0x800,   0x1000,  0x2000,  0x4000,     0x8000,     0x10000,    0x20000,
                                          0x40000, 0x10000000, 0x20000000, 0x40000000, 0x80000000};
    std::uint32_t sum = 0;
    for (auto option : options)
        sum += flags[static_cast<int>(option)];
    return sum;
}

std::string ResultCodeText(std::int32_t code)
{
    if (code == S_OK_CODE)
        return "The operation completed successfully.";
    if (code == E_FAIL_CODE)
        return "Unspecified error";
    char text[32];
    std::snprintf(text, sizeof text, "Error 0x%08X", static_cast<unsigned>(code));
    return text;
}

namespace {

enum class TTagEvent { None, FrameSet, Frame, NoFrames, A, Bang, Comment, Img, Body, Base, BaseFont, Font, Meta,
                       Marquee, Form, Script, Div, HR, BR, Link };
constexpr int EventCount = static_cast<int>(TTagEvent::Link) + 1;

TTagEvent EventOf(THtmlTag tag)
{
    switch (tag) {
    case THtmlTag::FrameSet: return TTagEvent::FrameSet;
    case THtmlTag::Frame: return TTagEvent::Frame;
    case THtmlTag::NoFrames: return TTagEvent::NoFrames;
    case THtmlTag::A: return TTagEvent::A;
    case THtmlTag::Comment: return TTagEvent::Comment;
    case THtmlTag::Img: return TTagEvent::Img;
    case THtmlTag::Body: return TTagEvent::Body;
    case THtmlTag::Base: return TTagEvent::Base;
    case THtmlTag::BaseFont: return TTagEvent::BaseFont;
    case THtmlTag::Font: return TTagEvent::Font;
    case THtmlTag::Meta: return TTagEvent::Meta;
    case THtmlTag::Marquee: return TTagEvent::Marquee;
    case THtmlTag::Form: return TTagEvent::Form;
    case THtmlTag::Script: return TTagEvent::Script;
    case THtmlTag::Div: return TTagEvent::Div;
    case THtmlTag::HR: return TTagEvent::HR;
    case THtmlTag::BR: return TTagEvent::BR;
    case THtmlTag::Link: return TTagEvent::Link;
    default: return TTagEvent::None;
    }
}

// The attribute that holds the address of the events that carry one.
std::string_view AddressAttribute(TTagEvent event)
{
    switch (event) {
    case TTagEvent::A: return "href";
    case TTagEvent::Img: return "src";
    case TTagEvent::Body: return "background";
    case TTagEvent::Script: return "src";
    case TTagEvent::Link: return "href";
    case TTagEvent::Base: return "href";
    default: return {};
    }
}

TAddressEvent AddressEventOf(TTagEvent event)
{
    switch (event) {
    case TTagEvent::A: return TAddressEvent::Anchor;
    case TTagEvent::Img: return TAddressEvent::Image;
    case TTagEvent::Body: return TAddressEvent::Body;
    case TTagEvent::Script: return TAddressEvent::Script;
    case TTagEvent::Link: return TAddressEvent::LinkedItem;
    default: return TAddressEvent::Base;
    }
}

// The document service reports addresses of a page loaded from text against
// the empty document's address: a relative one gets "about:blank" in front.
void AssignReported(std::string& to, std::string_view address)
{
    if (address.empty()) {
        to.clear();
        return;
    }
    std::size_t i = 0;
    // Without a colon there is no scheme to read.
    if (address.find(':') != std::string_view::npos && std::isalpha(static_cast<unsigned char>(address[0]))) {
        while (i < address.size() && (std::isalnum(static_cast<unsigned char>(address[i])) || address[i] == '+' ||
                                      address[i] == '-' || address[i] == '.'))
            ++i;
        if (i < address.size() && address[i] == ':') {
            to.assign(address);
            return;
        }
    }
    // A record refilled for each element mostly holds a relative address
    // already: only what follows "about:blank" is written again.
    if (to.size() < 11 || std::memcmp(to.data(), "about:blank", 11) != 0)
        to.assign("about:blank");
    to.resize(11);
    to.append(address);
}

std::string Reported(std::string_view address)
{
    std::string reported;
    AssignReported(reported, address);
    return reported;
}

// The parts of an anchor's address; sets every one of them, so that a
// record refilled for each anchor keeps nothing of the one before.
void FillAnchorParts(TAnchorInfo& a)
{
    using namespace std::string_view_literals;
    const std::string_view href = a.hRef;
    const auto colon = href.find(':');
    std::string_view rest = href;
    a.Protocol.clear();
    if (colon != std::string_view::npos) {
        a.Protocol.assign(href.substr(0, colon + 1));
        for (char& c : a.Protocol)
            c = LowerChar(c);
        rest = href.substr(colon + 1);
    }
    a.Hash.clear();
    const auto hashAt = rest.find('#');
    if (hashAt != std::string_view::npos) {
        a.Hash.assign(rest.substr(hashAt));
        rest = rest.substr(0, hashAt);
    }
    a.Search.clear();
    const auto queryAt = rest.find('?');
    if (queryAt != std::string_view::npos) {
        a.Search.assign(rest.substr(queryAt));
        rest = rest.substr(0, queryAt);
    }
    a.Host.clear();
    a.HostName.clear();
    a.Port.clear();
    if (rest.substr(0, 2) == "//"sv) {
        const auto slash = rest.find('/', 2);
        std::string_view authority = rest.substr(2, slash == std::string_view::npos ? std::string_view::npos : slash - 2);
        rest = slash == std::string_view::npos ? "/"sv : rest.substr(slash);
        const auto at = authority.rfind('@');
        if (at != std::string_view::npos)
            authority.remove_prefix(at + 1);
        a.Host.assign(authority);
        const auto portAt = authority.rfind(':');
        if (portAt != std::string_view::npos && authority.find(']', portAt) == std::string_view::npos) {
            a.HostName.assign(authority.substr(0, portAt));
            a.Port.assign(authority.substr(portAt + 1));
        } else {
            a.HostName.assign(authority);
            if (a.Protocol == "http:")
                a.Port = "80";
            else if (a.Protocol == "https:")
                a.Port = "443";
            else if (a.Protocol == "ftp:")
                a.Port = "21";
        }
    }
    a.PathName.assign(rest);
    const auto lastSlash = rest.rfind('/');
    a.NameProp.assign(lastSlash == std::string_view::npos ? rest : rest.substr(lastSlash + 1));
    if (a.Protocol == "http:")
        a.ProtocolLong = "HyperText Transfer Protocol";
    else if (a.Protocol == "https:")
        a.ProtocolLong = "HyperText Transfer Protocol with Privacy";
    else if (a.Protocol == "ftp:")
        a.ProtocolLong = "File Transfer Protocol";
    else if (a.Protocol == "file:")
        a.ProtocolLong = "File Protocol";
    else
        a.ProtocolLong.clear();
}

} // namespace

// What one parse learnt, kept until its events have been fired. Names and
// values are copied into one text buffer; the vectors keep their capacity
// from one page to the next.
class TElementStore {
public:
    struct TAttribute {
        std::uint32_t NameAt, NameLength, ValueAt, ValueLength;
        std::size_t RawOffset, RawLength;
        char Quote;
        bool HasValue;
    };
    struct TElement {
        TTagEvent Event;
        THtmlTag Tag;
        bool IsComment;
        bool Merged; // a second <html> or <body> gave it attributes
        std::uint32_t NameAt, NameLength; // upper case
        std::uint32_t AttributesBegin, AttributesEnd;
        int SourceIndex;
        std::size_t Start, ContentStart, ContentEnd, End;
        std::size_t ScriptTextAt, ScriptTextLength;
    };

    std::string Strings;
    std::vector<TAttribute> Attributes;
    std::vector<TElement> Elements;
    // Attributes that a second <html> or <body> added: element, attribute.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> MergedAttributes;
    THtmlTreeBuilder Builder;
    THtmlTreeBuilder TextBuilder;

    void Clear()
    {
        Strings.clear();
        Attributes.clear();
        Elements.clear();
        MergedAttributes.clear();
    }

    std::uint32_t Keep(std::string_view text)
    {
        const auto at = static_cast<std::uint32_t>(Strings.size());
        Strings.append(text);
        return at;
    }

    std::string_view Text(std::uint32_t at, std::uint32_t length) const
    {
        return std::string_view(Strings).substr(at, length);
    }

    std::string_view TagName(const TElement& e) const { return Text(e.NameAt, e.NameLength); }

    const TAttribute* Find(std::size_t element, std::string_view name) const
    {
        const TElement& e = Elements[element];
        for (std::uint32_t i = e.AttributesBegin; i < e.AttributesEnd; ++i)
            if (Named(Attributes[i], name))
                return &Attributes[i];
        if (e.Merged)
            for (const auto& [owner, index] : MergedAttributes)
                if (owner == element && Named(Attributes[index], name))
                    return &Attributes[index];
        return nullptr;
    }

    std::string_view ValueView(std::size_t element, std::string_view name) const
    {
        const TAttribute* a = Find(element, name);
        return a ? Text(a->ValueAt, a->ValueLength) : std::string_view();
    }

    std::string Value(std::size_t element, std::string_view name) const
    {
        return std::string(ValueView(element, name));
    }

    // Refills a record's field: the records live through a whole walk.
    void AssignValue(std::string& to, std::size_t element, std::string_view name) const
    {
        const std::string_view value = ValueView(element, name);
        if (value.empty())
            to.clear();
        else
            to.assign(value);
    }

    bool Named(const TAttribute& a, std::string_view name) const
    {
        if (a.NameLength != name.size())
            return false;
        // Names are a few letters: a call to memcmp costs more than the loop.
        const char* stored = Strings.data() + a.NameAt;
        for (std::size_t i = 0; i < name.size(); ++i)
            if (stored[i] != name[i])
                return false;
        return true;
    }

    void AddAttribute(const THtmlAttribute& a)
    {
        const std::uint32_t nameAt = Keep(a.Name);
        const std::uint32_t valueAt = Keep(a.Value);
        Attributes.push_back(TAttribute{nameAt, static_cast<std::uint32_t>(a.Name.size()), valueAt,
                                        static_cast<std::uint32_t>(a.Value.size()), a.RawOffset, a.RawLength, a.Quote,
                                        a.HasValue});
    }
};

namespace {

// Records the tree builder's elements for the walk, and where each one's
// source ends for its HTML and text: an end tag closes its element and
// whatever is still open inside it.
class TCollector : public THtmlTreeSink {
public:
    // Of an event whose only reader wants one attribute, named in only, no
    // other attribute and not the element's name is kept.
    TCollector(TElementStore& store, std::string_view page, const bool* wanted, const std::string_view* only,
               bool everything, bool texts)
        : store_(store), page_(page), wanted_(wanted), only_(only), everything_(everything), texts_(texts)
    {
    }

    int Count() const { return count_; }

    bool FollowsEnds() const override { return texts_; }

    void DocumentElement(THtmlTag tag, const THtmlStartTag* written, std::size_t at) override
    {
        pendingScript_ = -1;
        if (tag == THtmlTag::Body) {
            bodyCount_ = count_;
            bodyStored_ = store_.Elements.size();
            bodyOpen_ = open_.size();
        }
        int element;
        if (written) {
            element = Add(*written, true);
        } else {
            element = Implied(tag, tag == THtmlTag::Html ? "HTML" : tag == THtmlTag::Head ? "HEAD" : "BODY", at);
        }
        if (tag == THtmlTag::Html)
            html_ = element;
        else if (tag == THtmlTag::Body)
            body_ = element;
    }

    void Element(const THtmlStartTag& t, bool awaitsEnd) override
    {
        pendingScript_ = -1;
        const int stored = Add(t, awaitsEnd);
        if (stored >= 0 && t.Tag == THtmlTag::Script && !t.Foreign)
            pendingScript_ = stored;
    }

    // A second <html> or <body>: attributes the first lacks are added to it.
    void Merge(THtmlTag tag, const THtmlStartTag& t) override
    {
        pendingScript_ = -1;
        const int element = tag == THtmlTag::Html ? html_ : body_;
        if (element < 0)
            return;
        auto& e = store_.Elements[static_cast<std::size_t>(element)];
        const std::string_view only = only_[static_cast<int>(e.Event)];
        for (std::size_t i = 0; i < t.Count; ++i) {
            if ((!only.empty() && t.Attributes[i].Name != only) ||
                store_.Find(static_cast<std::size_t>(element), t.Attributes[i].Name))
                continue;
            e.Merged = true;
            store_.MergedAttributes.emplace_back(static_cast<std::uint32_t>(element),
                                                 static_cast<std::uint32_t>(store_.Attributes.size()));
            store_.AddAttribute(t.Attributes[i]);
        }
    }

    void BodyReplaced() override
    {
        pendingScript_ = -1;
        count_ = bodyCount_;
        store_.Elements.resize(bodyStored_);
        auto& merged = store_.MergedAttributes;
        merged.erase(std::remove_if(merged.begin(), merged.end(),
                                    [&](const auto& m) { return m.first >= bodyStored_; }),
                     merged.end());
        if (open_.size() > bodyOpen_)
            open_.resize(bodyOpen_);
        body_ = -1;
    }

    void Closed(std::uint64_t hash, std::size_t at, std::size_t end) override
    {
        pendingScript_ = -1;
        if (!texts_)
            return;
        // As in the tree builder: looking deeper than this would make stray
        // end tags in deep nesting quadratic.
        constexpr std::size_t Reach = 256;
        const std::size_t bottom = open_.size() > Reach ? open_.size() - Reach : 0;
        for (std::size_t i = open_.size(); i-- > bottom;) {
            if (open_[i].Hash != hash)
                continue;
            for (std::size_t j = open_.size(); j-- > i;) {
                if (open_[j].Element < 0)
                    continue;
                auto& e = store_.Elements[static_cast<std::size_t>(open_[j].Element)];
                e.ContentEnd = at;
                e.End = j == i && end != std::string_view::npos ? end : at;
            }
            open_.resize(i);
            return;
        }
    }

    void Comment(std::size_t offset, std::size_t end) override
    {
        pendingScript_ = -1;
        const int index = count_++;
        if (!everything_)
            return;
        TElementStore::TElement e{};
        e.Event = TTagEvent::Bang;
        e.IsComment = true;
        e.NameAt = store_.Keep("!");
        e.NameLength = 1;
        e.SourceIndex = index;
        e.AttributesBegin = e.AttributesEnd = static_cast<std::uint32_t>(store_.Attributes.size());
        e.Start = e.ContentStart = offset;
        e.ContentEnd = e.End = end;
        store_.Elements.push_back(e);
    }

    void RawText(std::size_t offset, std::size_t end) override
    {
        if (pendingScript_ >= 0) {
            auto& e = store_.Elements[static_cast<std::size_t>(pendingScript_)];
            e.ScriptTextAt = offset;
            e.ScriptTextLength = end - offset;
        }
        pendingScript_ = -1;
    }

    // The page has ended: whatever is open ends with it.
    void Finish()
    {
        for (std::size_t i = open_.size(); i-- > 0;)
            if (open_[i].Element >= 0) {
                auto& e = store_.Elements[static_cast<std::size_t>(open_[i].Element)];
                e.ContentEnd = e.End = page_.size();
            }
        open_.clear();
    }

private:
    struct TOpen {
        std::uint64_t Hash;
        int Element;
    };

    bool Keeps(TTagEvent event) const { return everything_ || wanted_[static_cast<int>(event)]; }

    int Implied(THtmlTag tag, std::string_view upperName, std::size_t at)
    {
        const int index = count_++;
        const TTagEvent event = EventOf(tag);
        int stored = -1;
        if (Keeps(event)) {
            TElementStore::TElement e{};
            e.Event = event;
            e.Tag = tag;
            e.NameAt = store_.Keep(upperName);
            e.NameLength = static_cast<std::uint32_t>(upperName.size());
            e.AttributesBegin = e.AttributesEnd = static_cast<std::uint32_t>(store_.Attributes.size());
            e.SourceIndex = index;
            e.Start = e.ContentStart = at;
            e.ContentEnd = e.End = page_.size();
            stored = static_cast<int>(store_.Elements.size());
            store_.Elements.push_back(e);
        }
        if (texts_) {
            std::string lower(upperName);
            for (char& c : lower)
                c = LowerChar(c);
            open_.push_back(TOpen{NameHash(lower), stored});
        }
        return stored;
    }

    int Add(const THtmlStartTag& t, bool awaitsEnd)
    {
        const int index = count_++;
        const TTagEvent event = EventOf(t.Tag);
        int stored = -1;
        if (Keeps(event)) {
            TElementStore::TElement e{};
            e.Event = event;
            e.Tag = t.Tag;
            e.AttributesBegin = static_cast<std::uint32_t>(store_.Attributes.size());
            const std::string_view only = only_[static_cast<int>(event)];
            if (only.empty()) {
                e.NameAt = static_cast<std::uint32_t>(store_.Strings.size());
                for (char c : t.Name)
                    store_.Strings += static_cast<char>(c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c);
                e.NameLength = static_cast<std::uint32_t>(t.Name.size());
                for (std::size_t i = 0; i < t.Count; ++i)
                    store_.AddAttribute(t.Attributes[i]);
            } else {
                // The first of that name, as a look-up among all would find.
                for (std::size_t i = 0; i < t.Count; ++i)
                    if (t.Attributes[i].Name == only) {
                        store_.AddAttribute(t.Attributes[i]);
                        break;
                    }
            }
            e.AttributesEnd = static_cast<std::uint32_t>(store_.Attributes.size());
            e.SourceIndex = index;
            e.Start = t.Offset;
            e.ContentStart = e.ContentEnd = e.End = t.End;
            stored = static_cast<int>(store_.Elements.size());
            store_.Elements.push_back(e);
        }
        if (texts_ && awaitsEnd) {
            open_.push_back(TOpen{t.Hash, stored});
            if (stored >= 0)
                store_.Elements[static_cast<std::size_t>(stored)].ContentEnd =
                    store_.Elements[static_cast<std::size_t>(stored)].End = page_.size();
        }
        return stored;
    }

    TElementStore& store_;
    std::string_view page_;
    const bool* wanted_;
    const std::string_view* only_;
    bool everything_;
    bool texts_;
    int count_ = 0;
    int html_ = -1;
    int body_ = -1;
    int pendingScript_ = -1;
    int bodyCount_ = 0;
    std::size_t bodyStored_ = 0;
    std::size_t bodyOpen_ = 0;
    std::vector<TOpen> open_;
};

// The text of markup as a browser's innerText gives it, near enough: tags
// and comments left out, character references decoded, script and style
// contents skipped, a line break for each <br>.
class TTextCollector : public THtmlSink {
public:
    TTextCollector(std::string_view page, std::string& out) : page_(page), out_(out) {}
    void StartTag(const THtmlStartTag& t) override
    {
        skip_ = !t.Foreign && (t.Tag == THtmlTag::Script || t.Tag == THtmlTag::Style);
        if (t.Tag == THtmlTag::BR)
            out_ += "\r\n";
    }
    void EndTag(const THtmlEndTag&) override { skip_ = false; }
    void Comment(std::size_t, std::size_t) override { skip_ = false; }
    void Text(std::size_t offset, std::size_t end) override
    {
        if (!skip_)
            DecodeHtmlText(page_.substr(offset, end - offset), false, out_);
        skip_ = false;
    }

private:
    std::string_view page_;
    std::string& out_;
    bool skip_ = false;
};

void FillElementInfo(const TElementStore& store, std::size_t index, std::string_view page, bool texts,
                     THtmlTreeBuilder& textBuilder, TElementInfo& info)
{
    using namespace std::string_view_literals;
    const auto& e = store.Elements[index];
    // One record serves the whole walk: every field is set again here.
    info.ClassName.clear();
    info.Id.clear();
    info.InnerHTML.clear();
    info.InnerText.clear();
    info.Lang.clear();
    info.Language.clear();
    info.OffsetHeight = info.OffsetLeft = info.OffsetTop = info.OffsetWidth = 0;
    info.OuterHTML.clear();
    info.OuterText.clear();
    info.RecordNumber.clear();
    info.TagName.assign(store.TagName(e));
    info.SourceIndex = e.SourceIndex;
    info.Title.clear();
    if (e.IsComment) {
        if (texts)
            info.OuterHTML.assign(page.substr(e.Start, e.End - e.Start));
        return;
    }
    store.AssignValue(info.ClassName, index, "class"sv);
    store.AssignValue(info.Id, index, "id"sv);
    store.AssignValue(info.Title, index, "title"sv);
    store.AssignValue(info.Language, index, "language"sv);
    store.AssignValue(info.Lang, index, "lang"sv);
    if (!texts)
        return;
    const std::size_t end = std::min(e.End, page.size());
    const std::size_t contentEnd = std::min(e.ContentEnd, end);
    const std::size_t contentStart = std::min(e.ContentStart, contentEnd);
    const std::string_view inner = page.substr(contentStart, contentEnd - contentStart);
    info.InnerHTML.assign(inner);
    info.OuterHTML.assign(page.substr(e.Start, end - std::min(e.Start, end)));
    if (e.Tag == THtmlTag::Script || e.Tag == THtmlTag::Style || e.Tag == THtmlTag::Xmp ||
        e.Tag == THtmlTag::IFrame || e.Tag == THtmlTag::NoEmbed || e.Tag == THtmlTag::NoFrames) {
        info.InnerText = info.InnerHTML;
    } else if (e.Tag == THtmlTag::Title || e.Tag == THtmlTag::TextArea) {
        DecodeHtmlText(inner, false, info.InnerText);
    } else {
        TTextCollector collector(inner, info.InnerText);
        textBuilder.ScanContent(inner, collector);
    }
    info.OuterText = info.InnerText;
}

} // namespace

TDocParser::~TDocParser() = default;

TDocParser::TDocParser()
    : DownloadOptions{TDownloadControlOption::DownloadImages,      TDownloadControlOption::DownloadVideos,
                      TDownloadControlOption::DownloadBGSounds,    TDownloadControlOption::DontExecuteScripts,
                      TDownloadControlOption::DontExecuteJava,     TDownloadControlOption::DontExecuteActiveX,
                      TDownloadControlOption::DontDownloadActiveX, TDownloadControlOption::DownloadButDontDisplay}
{
    store_ = std::make_unique<TElementStore>();
}

void TDocParser::SetState(TParserState state)
{
    state_ = state;
    if (OnStateChange)
        OnStateChange(state);
}

void TDocParser::Progress(std::int32_t code, const std::string& progressText, const std::string& errorText)
{
    if (code != S_OK_CODE) {
        if (OnParseError)
            OnParseError(code, URL, errorText + ResultCodeText(code));
    } else if (OnParseDocument) {
        OnParseDocument(code, progressText + ResultCodeText(code));
    }
}

void TDocParser::BindAddresses(TAddressSink& sink)
{
    const TAddressHandler handler(sink);
    OnAnchor = handler;
    OnImage = handler;
    OnBody = handler;
    OnScript = handler;
    OnOtherLinkedItem = handler;
    OnBase = handler;
}

bool TDocParser::Execute(const std::string& address)
{
    if (!address.empty())
        throw std::runtime_error("Loading a document from an address is not supported");
    started_ = Clock->TickMs();
    SetState(TParserState::psBusy);
    busy_ = true;

    // The parse needs no set-up of its own; the steps still report, so that a
    // progress display reads the same as it always did.
    Progress(S_OK_CODE, "CoCreateInstance: ", "Error while CoCreateInstance: ");
    Progress(S_OK_CODE, "Getting SetClientSite: ", "Error while getting SetClientSite: ");
    Progress(S_OK_CODE, "Getting AmbientPropertyChange: ", "Error while getting AmbientPropertyChang: ");
    Progress(S_OK_CODE, "Getting IConnectionPointContainer: ", "Error while getting IConnectionPointContainer: ");
    Progress(S_OK_CODE, "Getting ConnectionPoint.Advise ", "Error while getting ConnectionPoint.Advise: ");

    const bool loaded = !Html.empty();
    if (!loaded)
        Progress(E_FAIL_CODE, "Loading from string: ", "Error while loading from string: ");
    else
        Progress(S_OK_CODE, "Loading from string: ", "Error while loading from string: ");

    bool wanted[EventCount] = {};
    wanted[static_cast<int>(TTagEvent::FrameSet)] = bool(OnFrameSet);
    wanted[static_cast<int>(TTagEvent::Frame)] = bool(OnFrame);
    wanted[static_cast<int>(TTagEvent::NoFrames)] = bool(OnNoFrame);
    wanted[static_cast<int>(TTagEvent::A)] = bool(OnAnchor);
    wanted[static_cast<int>(TTagEvent::Comment)] = bool(OnComment);
    wanted[static_cast<int>(TTagEvent::Img)] = bool(OnImage);
    wanted[static_cast<int>(TTagEvent::Body)] = bool(OnBody);
    wanted[static_cast<int>(TTagEvent::Base)] = bool(OnBase);
    wanted[static_cast<int>(TTagEvent::BaseFont)] = bool(OnBaseFont);
    wanted[static_cast<int>(TTagEvent::Font)] = bool(OnFont);
    wanted[static_cast<int>(TTagEvent::Meta)] = bool(OnMeta);
    wanted[static_cast<int>(TTagEvent::Marquee)] = bool(OnMarquee);
    wanted[static_cast<int>(TTagEvent::Form)] = bool(OnForm);
    wanted[static_cast<int>(TTagEvent::Script)] = bool(OnScript);
    wanted[static_cast<int>(TTagEvent::Div)] = bool(OnDiv);
    wanted[static_cast<int>(TTagEvent::HR)] = bool(OnHR);
    wanted[static_cast<int>(TTagEvent::BR)] = bool(OnBR);
    wanted[static_cast<int>(TTagEvent::Link)] = bool(OnOtherLinkedItem);
    const bool walk = !DownloadOnly;
    const bool everything = walk && bool(OnElement);
    bool any = everything;
    for (bool w : wanted)
        any = any || w;
    if (!walk)
        std::fill(std::begin(wanted), std::end(wanted), false);

    TElementStore& store = *store_;
    struct TClearLater {
        TElementStore& store;
        ~TClearLater() { store.Clear(); }
    } clearLater{store};
    store.Clear();
    // The events whose handler reads only the address: their sinks are
    // handed it directly, with no record filled, and with no other reader
    // the element keeps nothing but that attribute.
    TAddressSink* sinks[EventCount] = {};
    std::string_view only[EventCount] = {};
    if (walk) {
        const auto sinkOf = [](const auto& handler) -> TAddressSink* {
            const TAddressHandler* h = handler.template target<TAddressHandler>();
            return h ? &h->Sink() : nullptr;
        };
        sinks[static_cast<int>(TTagEvent::A)] = sinkOf(OnAnchor);
        sinks[static_cast<int>(TTagEvent::Img)] = sinkOf(OnImage);
        sinks[static_cast<int>(TTagEvent::Body)] = sinkOf(OnBody);
        sinks[static_cast<int>(TTagEvent::Script)] = sinkOf(OnScript);
        sinks[static_cast<int>(TTagEvent::Link)] = sinkOf(OnOtherLinkedItem);
        sinks[static_cast<int>(TTagEvent::Base)] = sinkOf(OnBase);
        if (!everything)
            for (int event = 0; event < EventCount; ++event)
                if (sinks[event])
                    only[event] = AddressAttribute(static_cast<TTagEvent>(event));
    }
    // Parsed from a copy where handlers other than address handlers run in
    // the walk: they may touch Html while the element texts, which point
    // into the source, are read.
    bool othersRun = everything;
    for (int event = 0; event < EventCount; ++event)
        othersRun = othersRun || (wanted[event] && !sinks[event]);
    std::string copy;
    if (loaded && othersRun)
        copy = Html;
    const std::string_view source = !loaded ? std::string_view() : othersRun ? std::string_view(copy) : Html;
    TCollector collector(store, source, wanted, only, everything, walk && any && ElementTexts);
    store.Builder.Build(source, collector, [this] { return Clock->TickMs() - started_ > TimeLimitMs; });
    if (store.Builder.TimedOut() || Clock->TickMs() - started_ > TimeLimitMs)
        return false;
    collector.Finish();
    busy_ = false;

    const std::size_t count = static_cast<std::size_t>(collector.Count());
    if (count <= 4) {
        if (OnParseError)
            OnParseError(E_FAIL_CODE, URL, "Bad document or bad Address.");
        return true;
    }

    if (walk) {
        using namespace std::string_view_literals;
        auto text = [&](std::size_t index, std::string_view name) { return store.Value(index, name); };
        auto has = [&](std::size_t index, std::string_view name) { return store.Find(index, name) != nullptr; };
        auto integer = [&](std::size_t index, std::string_view name) {
            return StrToIntDef(Trim(store.ValueView(index, name)), 0);
        };
        auto assign = [&](std::string& to, std::size_t index, std::string_view name) {
            store.AssignValue(to, index, name);
        };
        // An address attribute: its value without surrounding blanks, and
        // where that value stands in the source (left alone when it has no
        // value there).
        auto address = [&](std::size_t index, std::string_view name, TSourceSpan* at) {
            const TElementStore::TAttribute* a = store.Find(index, name);
            if (!a)
                return std::string_view();
            std::string_view value = store.Text(a->ValueAt, a->ValueLength);
            while (!value.empty() && IsAsciiSpace(value.front()))
                value.remove_prefix(1);
            while (!value.empty() && IsAsciiSpace(value.back()))
                value.remove_suffix(1);
            if (at && a->HasValue) {
                std::size_t offset = a->RawOffset, length = a->RawLength;
                while (length > 0 && IsAsciiSpace(source[offset])) {
                    ++offset;
                    --length;
                }
                while (length > 0 && IsAsciiSpace(source[offset + length - 1]))
                    --length;
                if (length > 0) {
                    at->Offset = offset;
                    at->Length = length;
                    at->Quote = a->Quote;
                }
            }
            return value;
        };
        // The records of the frequent elements are refilled field by field,
        // keeping their strings' room from one element to the next.
        TElementInfo info;
        TAnchorInfo a;
        TImageInfo m;
        TBodyInfo b;
        TScriptInfo sc;
        TLinkedItemInfo l;
        std::string reported;
        for (std::size_t index = 0; index < store.Elements.size(); ++index) {
            const auto& e = store.Elements[index];
            const TTagEvent event = e.Event;
            const bool fire = wanted[static_cast<int>(event)];
            if (!OnElement && !fire)
                continue;
            TAddressSink* const sink = sinks[static_cast<int>(event)];
            if (OnElement || !sink)
                FillElementInfo(store, index, source, ElementTexts, store.TextBuilder, info);
            if (OnElement)
                OnElement(info);
            if (!fire)
                continue;
            if (sink) {
                // A base's address is not rewritten where it stands.
                TSourceSpan at;
                AssignReported(reported,
                               address(index, AddressAttribute(event), event == TTagEvent::Base ? nullptr : &at));
                sink->Address(AddressEventOf(event), reported, at);
                continue;
            }
            switch (event) {
            case TTagEvent::A:
                a.hRefAt = TSourceSpan{};
                AssignReported(a.hRef, address(index, "href"sv, &a.hRefAt));
                assign(a.Target, index, "target"sv);
                assign(a.Rel, index, "rel"sv);
                assign(a.Rev, index, "rev"sv);
                assign(a.Urn, index, "urn"sv);
                assign(a.Methods, index, "methods"sv);
                assign(a.Name, index, "name"sv);
                assign(a.AccessKey, index, "accesskey"sv);
                assign(a.MimeType, index, "type"sv);
                FillAnchorParts(a);
                OnAnchor(a, info);
                break;
            case TTagEvent::Img:
                m.SourceAt = TSourceSpan{};
                AssignReported(m.Source, address(index, "src"sv, &m.SourceAt));
                AssignReported(m.LowSrc, address(index, "lowsrc"sv, nullptr));
                assign(m.Vrml, index, "vrml"sv);
                AssignReported(m.DynSrc, address(index, "dynsrc"sv, nullptr));
                assign(m.Alt, index, "alt"sv);
                assign(m.Align, index, "align"sv);
                assign(m.UseMap, index, "usemap"sv);
                m.IsMap = has(index, "ismap"sv);
                assign(m.Border, index, "border"sv);
                assign(m.Loop, index, "loop"sv);
                m.vSpace = integer(index, "vspace"sv);
                m.hSpace = integer(index, "hspace"sv);
                m.Width = integer(index, "width"sv);
                m.Height = integer(index, "height"sv);
                OnImage(m, info);
                break;
            case TTagEvent::Body:
                b.BackgroundAt = TSourceSpan{};
                AssignReported(b.Background, address(index, "background"sv, &b.BackgroundAt));
                assign(b.bgProperties, index, "bgproperties"sv);
                assign(b.LeftMargin, index, "leftmargin"sv);
                assign(b.TopMargin, index, "topmargin"sv);
                assign(b.RightMargin, index, "rightmargin"sv);
                assign(b.BottomMargin, index, "bottommargin"sv);
                assign(b.bgColor, index, "bgcolor"sv);
                assign(b.Text, index, "text"sv);
                assign(b.Link, index, "link"sv);
                assign(b.vLink, index, "vlink"sv);
                assign(b.aLink, index, "alink"sv);
                b.NoWrap = has(index, "nowrap"sv);
                OnBody(b, info);
                break;
            case TTagEvent::Script:
                sc.SourceAt = TSourceSpan{};
                AssignReported(sc.Source, address(index, "src"sv, &sc.SourceAt));
                assign(sc.HtmlFor, index, "for"sv);
                assign(sc.Event, index, "event"sv);
                sc.Text.assign(std::string_view(source).substr(std::min(e.ScriptTextAt, source.size()),
                                                               e.ScriptTextLength));
                sc.Defer = has(index, "defer"sv);
                OnScript(sc, info);
                break;
            case TTagEvent::Link:
                l.TagName = info.TagName;
                l.hRefAt = TSourceSpan{};
                AssignReported(l.hRef, address(index, "href"sv, &l.hRefAt));
                OnOtherLinkedItem(l, info);
                break;
            case TTagEvent::Base:
                OnBase(TBaseInfo{Reported(address(index, "href", nullptr)), text(index, "target")}, info);
                break;
            case TTagEvent::BaseFont:
                OnBaseFont(TBaseFontInfo{text(index, "color"), text(index, "face"), integer(index, "size")}, info);
                break;
            case TTagEvent::BR:
                OnBR(TBRInfo{text(index, "clear")}, info);
                break;
            case TTagEvent::Comment:
                OnComment(TCommentInfo{info.InnerText}, info);
                break;
            case TTagEvent::Div:
                OnDiv(TDivInfo{text(index, "align"), has(index, "nowrap")}, info);
                break;
            case TTagEvent::Font:
                OnFont(TFontInfo{text(index, "color"), text(index, "size"), text(index, "face")}, info);
                break;
            case TTagEvent::Form:
                OnForm(TFormInfo{Reported(address(index, "action", nullptr)), text(index, "dir"),
                                 text(index, "enctype"), text(index, "method"), text(index, "target"),
                                 text(index, "name")},
                       info);
                break;
            case TTagEvent::Frame:
                OnFrame(TFrameInfo{Reported(address(index, "src", nullptr)), text(index, "name")}, info);
                break;
            case TTagEvent::FrameSet:
                OnFrameSet(TFrameSetInfo{text(index, "rows"), text(index, "cols"), text(index, "frameborder"),
                                         text(index, "name"), text(index, "border"), text(index, "bordercolor"),
                                         text(index, "framespacing")},
                           info);
                break;
            case TTagEvent::HR:
                OnHR(THRInfo{text(index, "align"), text(index, "color"), text(index, "width"), text(index, "size"),
                             has(index, "noshade")},
                     info);
                break;
            case TTagEvent::Marquee:
                OnMarquee(TMarqueeInfo{text(index, "bgcolor"), text(index, "width"), text(index, "height"),
                                       text(index, "direction"), text(index, "behavior"),
                                       integer(index, "scrollamount"), integer(index, "scrolldelay"),
                                       integer(index, "loop"), integer(index, "vspace"), integer(index, "hspace")},
                          info);
                break;
            case TTagEvent::Meta:
                OnMeta(TMetaInfo{text(index, "http-equiv"), text(index, "content"), text(index, "name"),
                                 text(index, "url"), text(index, "charset")},
                       info);
                break;
            case TTagEvent::NoFrames:
                OnNoFrame(info);
                break;
            case TTagEvent::None:
            case TTagEvent::Bang:
                break;
            }
        }
        if (OnDocInfo)
            OnDocInfo("readyState: complete\r\nelements: " + std::to_string(count) + "\r\n");
    }

    if (OnParseComplete)
        OnParseComplete(count);
    if (OnParseDocument) {
        OnParseDocument(S_OK_CODE, "Done.");
        OnParseDocument(S_OK_CODE, " Process Time: " + std::to_string(Clock->TickMs() - started_) + " ms");
    }
    Html.clear();
    SetState(TParserState::psStopped);
    return true;
}
