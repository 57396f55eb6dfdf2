#include "delivery/DocParser.h"

#include <gumbo.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <new>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <vector>

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

TTagEvent EventOfTag(const std::string& tag);

// The same lookup by gumbo's tag number; only unknown tags need their name.
TTagEvent EventOfNode(const GumboNode* node)
{
    if (node->type == GUMBO_NODE_COMMENT)
        return TTagEvent::Bang;
    switch (node->v.element.tag) {
    case GUMBO_TAG_FRAMESET: return TTagEvent::FrameSet;
    case GUMBO_TAG_FRAME: return TTagEvent::Frame;
    case GUMBO_TAG_NOFRAMES: return TTagEvent::NoFrames;
    case GUMBO_TAG_A: return TTagEvent::A;
    case GUMBO_TAG_IMG: return TTagEvent::Img;
    case GUMBO_TAG_BODY: return TTagEvent::Body;
    case GUMBO_TAG_BASE: return TTagEvent::Base;
    case GUMBO_TAG_BASEFONT: return TTagEvent::BaseFont;
    case GUMBO_TAG_FONT: return TTagEvent::Font;
    case GUMBO_TAG_META: return TTagEvent::Meta;
    case GUMBO_TAG_MARQUEE: return TTagEvent::Marquee;
    case GUMBO_TAG_FORM: return TTagEvent::Form;
    case GUMBO_TAG_SCRIPT: return TTagEvent::Script;
    case GUMBO_TAG_DIV: return TTagEvent::Div;
    case GUMBO_TAG_HR: return TTagEvent::HR;
    case GUMBO_TAG_BR: return TTagEvent::BR;
    case GUMBO_TAG_LINK: return TTagEvent::Link;
    case GUMBO_TAG_UNKNOWN: {
        GumboStringPiece piece = node->v.element.original_tag;
        gumbo_tag_from_original_text(&piece);
        return EventOfTag(std::string(piece.data ? piece.data : "", piece.length));
    }
    default: return TTagEvent::None;
    }
}

TTagEvent EventOfTag(const std::string& tag)
{
    static const std::pair<const char*, TTagEvent> tags[] = {
        {"FRAMESET", TTagEvent::FrameSet}, {"FRAME", TTagEvent::Frame}, {"NOFRAMES", TTagEvent::NoFrames},
        {"A", TTagEvent::A},               {"!", TTagEvent::Bang},       {"COMMENT", TTagEvent::Comment},
        {"IMG", TTagEvent::Img},           {"BODY", TTagEvent::Body},    {"BASE", TTagEvent::Base},
        {"BASEFONT", TTagEvent::BaseFont}, {"FONT", TTagEvent::Font},    {"META", TTagEvent::Meta},
        {"MARQUEE", TTagEvent::Marquee},   {"FORM", TTagEvent::Form},    {"SCRIPT", TTagEvent::Script},
        {"DIV", TTagEvent::Div},           {"HR", TTagEvent::HR},        {"BR", TTagEvent::BR},
        {"LINK", TTagEvent::Link},
    };
    for (const auto& [name, event] : tags)
        if (SameText(tag, name))
            return event;
    return TTagEvent::None;
}

bool IsElement(const GumboNode* node)
{
    return node->type == GUMBO_NODE_ELEMENT || node->type == GUMBO_NODE_TEMPLATE;
}

const GumboVector* ChildrenOf(const GumboNode* node)
{
    if (IsElement(node))
        return &node->v.element.children;
    if (node->type == GUMBO_NODE_DOCUMENT)
        return &node->v.document.children;
    return nullptr;
}

// Elements and comments in document order: what the `all` collection holds.
std::vector<const GumboNode*> AllElements(const GumboNode* document)
{
    std::vector<const GumboNode*> all;
    std::vector<const GumboNode*> stack;
    const GumboVector* top = ChildrenOf(document);
    for (unsigned i = top->length; i-- > 0;)
        stack.push_back(static_cast<const GumboNode*>(top->data[i]));
    while (!stack.empty()) {
        const GumboNode* node = stack.back();
        stack.pop_back();
        if (node->type == GUMBO_NODE_COMMENT) {
            all.push_back(node);
        } else if (IsElement(node)) {
            all.push_back(node);
            const GumboVector& kids = node->v.element.children;
            for (unsigned i = kids.length; i-- > 0;)
                stack.push_back(static_cast<const GumboNode*>(kids.data[i]));
        }
    }
    return all;
}

std::string LowerTagName(const GumboNode* node)
{
    const GumboElement& e = node->v.element;
    if (e.tag != GUMBO_TAG_UNKNOWN)
        return gumbo_normalized_tagname(e.tag);
    GumboStringPiece piece = e.original_tag;
    gumbo_tag_from_original_text(&piece);
    return LowerCase(std::string_view(piece.data ? piece.data : "", piece.length));
}

std::string TagNameOf(const GumboNode* node)
{
    if (node->type == GUMBO_NODE_COMMENT)
        return "!";
    return UpperCase(LowerTagName(node));
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

// Reads attribute values of one parse. The bytes of the source are preferred
// over gumbo's decoded value whenever no character reference was decoded, so
// that 8-bit text comes back exactly as the page has it.
class TAttributes {
public:
    explicit TAttributes(const std::string& source) : source_(source) {}

    const GumboAttribute* Find(const GumboNode* node, const char* name) const
    {
        return gumbo_get_attribute(&node->v.element.attributes, name);
    }

    std::string Text(const GumboNode* node, const char* name) const
    {
        const GumboAttribute* a = Find(node, name);
        if (!a)
            return {};
        TSourceSpan span = RawSpan(a);
        if (span.Known()) {
            std::string_view raw(source_.data() + span.Offset, span.Length);
            if (raw.find('&') == std::string_view::npos && raw.find('\0') == std::string_view::npos)
                return std::string(raw);
        }
        return a->value;
    }

    bool Has(const GumboNode* node, const char* name) const { return Find(node, name) != nullptr; }

    int Integer(const GumboNode* node, const char* name) const { return StrToIntDef(Trim(Text(node, name)), 0); }

    // An address attribute: its value without surrounding blanks, and where
    // that trimmed value stands in the source.
    std::string Address(const GumboNode* node, const char* name, TSourceSpan* at) const
    {
        const GumboAttribute* a = Find(node, name);
        if (!a)
            return {};
        std::string value = Text(node, name);
        std::size_t lead = 0;
        while (lead < value.size() && IsBlank(value[lead]))
            ++lead;
        std::size_t end = value.size();
        while (end > lead && IsBlank(value[end - 1]))
            --end;
        TSourceSpan span = RawSpan(a);
        if (at && span.Known()) {
            std::string_view raw(source_.data() + span.Offset, span.Length);
            if (raw == value) {
                span.Offset += lead;
                span.Length = end - lead;
                *at = span;
            }
        }
        return value.substr(lead, end - lead);
    }

private:
    TSourceSpan RawSpan(const GumboAttribute* a) const
    {
        TSourceSpan span;
        const char* data = a->original_value.data;
        std::size_t length = a->original_value.length;
        if (!data || length == 0 || data < source_.data() || data + length > source_.data() + source_.size())
            return span;
        span.Offset = static_cast<std::size_t>(data - source_.data());
        span.Length = length;
        if (length >= 2 && (data[0] == '"' || data[0] == '\'') && data[length - 1] == data[0]) {
            span.Quote = data[0];
            span.Offset += 1;
            span.Length -= 2;
        }
        return span;
    }

    const std::string& source_;
};

// The document service reports addresses of a page loaded from text against
// the empty document's address: a relative one gets "about:blank" in front.
std::string Reported(const std::string& address)
{
    if (address.empty())
        return address;
    std::size_t i = 0;
    if (std::isalpha(static_cast<unsigned char>(address[0]))) {
        while (i < address.size() && (std::isalnum(static_cast<unsigned char>(address[i])) || address[i] == '+' ||
                                      address[i] == '-' || address[i] == '.'))
            ++i;
        if (i < address.size() && address[i] == ':')
            return address;
    }
    return "about:blank" + address;
}

void FillAnchorParts(TAnchorInfo& a)
{
    const std::string& href = a.hRef;
    const auto colon = href.find(':');
    std::string rest = href;
    if (colon != std::string::npos) {
        a.Protocol = LowerCase(href.substr(0, colon + 1));
        rest = href.substr(colon + 1);
    }
    const auto hashAt = rest.find('#');
    if (hashAt != std::string::npos) {
        a.Hash = rest.substr(hashAt);
        rest.erase(hashAt);
    }
    const auto queryAt = rest.find('?');
    if (queryAt != std::string::npos) {
        a.Search = rest.substr(queryAt);
        rest.erase(queryAt);
    }
    if (rest.rfind("//", 0) == 0) {
        const auto slash = rest.find('/', 2);
        std::string authority = rest.substr(2, slash == std::string::npos ? std::string::npos : slash - 2);
        rest = slash == std::string::npos ? std::string("/") : rest.substr(slash);
        const auto at = authority.rfind('@');
        if (at != std::string::npos)
            authority.erase(0, at + 1);
        a.Host = authority;
        const auto portAt = authority.rfind(':');
        if (portAt != std::string::npos && authority.find(']', portAt) == std::string::npos) {
            a.HostName = authority.substr(0, portAt);
            a.Port = authority.substr(portAt + 1);
        } else {
            a.HostName = authority;
            if (a.Protocol == "http:")
                a.Port = "80";
            else if (a.Protocol == "https:")
                a.Port = "443";
            else if (a.Protocol == "ftp:")
                a.Port = "21";
        }
    }
    a.PathName = rest;
    const auto lastSlash = rest.rfind('/');
    a.NameProp = lastSlash == std::string::npos ? rest : rest.substr(lastSlash + 1);
    if (a.Protocol == "http:")
        a.ProtocolLong = "HyperText Transfer Protocol";
    else if (a.Protocol == "https:")
        a.ProtocolLong = "HyperText Transfer Protocol with Privacy";
    else if (a.Protocol == "ftp:")
        a.ProtocolLong = "File Transfer Protocol";
    else if (a.Protocol == "file:")
        a.ProtocolLong = "File Protocol";
}

bool IsVoid(const std::string& tag)
{
    static const char* voids[] = {"area", "base", "basefont", "bgsound", "br", "col", "embed", "frame", "hr",
                                  "img", "input", "keygen", "link", "meta", "param", "source", "track", "wbr"};
    for (const char* v : voids)
        if (tag == v)
            return true;
    return false;
}

bool IsRawTextParent(const GumboNode* node)
{
    if (!node || !IsElement(node))
        return false;
    const GumboTag t = node->v.element.tag;
    return t == GUMBO_TAG_SCRIPT || t == GUMBO_TAG_STYLE || t == GUMBO_TAG_XMP || t == GUMBO_TAG_NOSCRIPT ||
           t == GUMBO_TAG_IFRAME || t == GUMBO_TAG_NOEMBED || t == GUMBO_TAG_NOFRAMES || t == GUMBO_TAG_PLAINTEXT;
}

void Escape(std::string_view text, std::string& out, bool inAttribute)
{
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += inAttribute ? "<" : "&lt;"; break;
        case '>': out += inAttribute ? ">" : "&gt;"; break;
        case '"': out += inAttribute ? "&quot;" : "\""; break;
        default: out += c;
        }
    }
}

void Serialize(const GumboNode* node, std::string& out);

void SerializeChildren(const GumboNode* node, std::string& out)
{
    const GumboVector& kids = node->v.element.children;
    for (unsigned i = 0; i < kids.length; ++i)
        Serialize(static_cast<const GumboNode*>(kids.data[i]), out);
}

void Serialize(const GumboNode* node, std::string& out)
{
    switch (node->type) {
    case GUMBO_NODE_ELEMENT:
    case GUMBO_NODE_TEMPLATE: {
        const std::string tag = LowerTagName(node);
        out += '<';
        out += tag;
        const GumboVector& attrs = node->v.element.attributes;
        for (unsigned i = 0; i < attrs.length; ++i) {
            const auto* a = static_cast<const GumboAttribute*>(attrs.data[i]);
            out += ' ';
            out += a->name;
            out += "=\"";
            Escape(a->value, out, true);
            out += '"';
        }
        out += '>';
        if (IsVoid(tag))
            return;
        SerializeChildren(node, out);
        out += "</";
        out += tag;
        out += '>';
        return;
    }
    case GUMBO_NODE_TEXT:
    case GUMBO_NODE_WHITESPACE:
        if (IsRawTextParent(node->parent))
            out += node->v.text.text;
        else
            Escape(node->v.text.text, out, false);
        return;
    case GUMBO_NODE_CDATA:
        out += "<![CDATA[";
        out += node->v.text.text;
        out += "]]>";
        return;
    case GUMBO_NODE_COMMENT:
        out += "<!--";
        out += node->v.text.text;
        out += "-->";
        return;
    default:
        return;
    }
}

void CollectText(const GumboNode* node, std::string& out)
{
    switch (node->type) {
    case GUMBO_NODE_TEXT:
    case GUMBO_NODE_WHITESPACE:
    case GUMBO_NODE_CDATA:
        out += node->v.text.text;
        return;
    case GUMBO_NODE_ELEMENT:
    case GUMBO_NODE_TEMPLATE: {
        const GumboTag t = node->v.element.tag;
        if (t == GUMBO_TAG_BR) {
            out += "\r\n";
            return;
        }
        if (t == GUMBO_TAG_STYLE || t == GUMBO_TAG_SCRIPT)
            return;
        const GumboVector& kids = node->v.element.children;
        for (unsigned i = 0; i < kids.length; ++i)
            CollectText(static_cast<const GumboNode*>(kids.data[i]), out);
        return;
    }
    default:
        return;
    }
}

std::string InnerTextOf(const GumboNode* node)
{
    std::string text;
    if (node->type == GUMBO_NODE_COMMENT)
        return text;
    const GumboVector& kids = node->v.element.children;
    for (unsigned i = 0; i < kids.length; ++i)
        CollectText(static_cast<const GumboNode*>(kids.data[i]), text);
    return text;
}

// Script and style elements: their text as written.
std::string RawTextOf(const GumboNode* node)
{
    std::string text;
    const GumboVector& kids = node->v.element.children;
    for (unsigned i = 0; i < kids.length; ++i) {
        const auto* kid = static_cast<const GumboNode*>(kids.data[i]);
        if (kid->type == GUMBO_NODE_TEXT || kid->type == GUMBO_NODE_WHITESPACE || kid->type == GUMBO_NODE_CDATA)
            text += kid->v.text.text;
    }
    return text;
}

void FillElementInfo(const GumboNode* node, int index, const TAttributes& attrs, bool texts, TElementInfo& info)
{
    info = TElementInfo{};
    info.TagName = TagNameOf(node);
    info.SourceIndex = index;
    if (node->type == GUMBO_NODE_COMMENT) {
        if (texts)
            info.OuterHTML = "<!--" + std::string(node->v.text.text) + "-->";
        return;
    }
    info.ClassName = attrs.Text(node, "class");
    info.Id = attrs.Text(node, "id");
    info.Title = attrs.Text(node, "title");
    info.Language = attrs.Text(node, "language");
    info.Lang = attrs.Text(node, "lang");
    if (!texts)
        return;
    SerializeChildren(node, info.InnerHTML);
    info.InnerText = InnerTextOf(node);
    Serialize(node, info.OuterHTML);
    info.OuterText = info.InnerText;
}

} // namespace

// The parse makes a great many small allocations and frees them all at the
// end; a bump allocator emptied in one go is much cheaper than malloc, and
// keeping a few of its blocks from one page to the next spares the system
// from handing out fresh memory for every page.
class TParseArena {
public:
    TParseArena() = default;
    TParseArena(const TParseArena&) = delete;
    TParseArena& operator=(const TParseArena&) = delete;
    ~TParseArena()
    {
        for (char* block : blocks_)
            std::free(block);
        for (char* own : large_)
            std::free(own);
    }

    static void* Allocate(void* self, size_t size) { return static_cast<TParseArena*>(self)->Get(size); }
    static void Release(void* self, void* p) { static_cast<TParseArena*>(self)->Put(p); }

    // Forgets every allocation; keeps up to KeptBlocks blocks for the next page.
    void Reset()
    {
        for (char* own : large_)
            std::free(own);
        large_.clear();
        while (blocks_.size() > KeptBlocks) {
            std::free(blocks_.back());
            blocks_.pop_back();
        }
        current_ = 0;
        next_ = blocks_.empty() ? nullptr : blocks_[0];
        left_ = blocks_.empty() ? 0 : BlockSize;
        last_ = nullptr;
    }

private:
    static constexpr std::size_t BlockSize = std::size_t{1} << 20;
    static constexpr std::size_t KeptBlocks = 16;
    static constexpr std::size_t Align = 16;

    static char* Fresh(std::size_t size)
    {
        // The parser is C and cannot pass an exception on.
        char* p = static_cast<char*>(std::malloc(size));
        if (!p)
            std::abort();
        return p;
    }

    void* Get(std::size_t size)
    {
        size = (size + Align - 1) & ~(Align - 1);
        if (size > BlockSize / 4) {
            large_.push_back(Fresh(size));
            return large_.back();
        }
        if (left_ < size) {
            if (next_ == nullptr || current_ + 1 >= blocks_.size()) {
                blocks_.push_back(Fresh(BlockSize));
                current_ = blocks_.size() - 1;
            } else {
                ++current_;
            }
            next_ = blocks_[current_];
            left_ = BlockSize;
        }
        last_ = next_;
        next_ += size;
        left_ -= size;
        return last_;
    }

    // Only the newest allocation can be given back; growing buffers free
    // their old copy right after taking the new one, so that still helps.
    void Put(void* p)
    {
        if (p && p == last_) {
            left_ += static_cast<std::size_t>(next_ - last_);
            next_ = last_;
            last_ = nullptr;
        }
    }

    std::vector<char*> blocks_;
    std::vector<char*> large_;
    std::size_t current_ = 0;
    char* next_ = nullptr;
    char* last_ = nullptr;
    std::size_t left_ = 0;
};


TDocParser::~TDocParser() = default;

TDocParser::TDocParser()
    : DownloadOptions{TDownloadControlOption::DownloadImages,      TDownloadControlOption::DownloadVideos,
                      TDownloadControlOption::DownloadBGSounds,    TDownloadControlOption::DontExecuteScripts,
                      TDownloadControlOption::DontExecuteJava,     TDownloadControlOption::DontExecuteActiveX,
                      TDownloadControlOption::DontDownloadActiveX, TDownloadControlOption::DownloadButDontDisplay}
{
    arena_ = std::make_unique<TParseArena>();
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

    // Parsed from a copy: the handlers may touch Html while the tree, which
    // points into its source, is being walked.
    std::string source;
    if (Html.empty()) {
        Progress(E_FAIL_CODE, "Loading from string: ", "Error while loading from string: ");
    } else {
        Progress(S_OK_CODE, "Loading from string: ", "Error while loading from string: ");
        source = Html;
    }
    // The tree lives in the arena and goes with it; it is never destroyed
    // node by node.
    arena_->Reset();
    struct TResetLater {
        TParseArena& arena;
        ~TResetLater() { arena.Reset(); }
    } resetLater{*arena_};
    GumboOptions options = kGumboDefaultOptions;
    options.max_errors = 0;
    options.allocator = &TParseArena::Allocate;
    options.deallocator = &TParseArena::Release;
    options.userdata = arena_.get();
    const GumboOutput* output = gumbo_parse_with_options(&options, source.data(), source.size());
    if (!output)
        throw std::runtime_error("The page could not be parsed");

    if (Clock->TickMs() - started_ > TimeLimitMs)
        return false;
    busy_ = false;

    const std::vector<const GumboNode*> all = AllElements(output->document);
    if (all.size() <= 4) {
        if (OnParseError)
            OnParseError(E_FAIL_CODE, URL, "Bad document or bad Address.");
        return true;
    }

    if (!DownloadOnly) {
        const TAttributes attrs(source);
        TElementInfo info;
        for (std::size_t index = 0; index < all.size(); ++index) {
            const GumboNode* node = all[index];
            const TTagEvent event = EventOfNode(node);
            bool wanted = false;
            switch (event) {
            case TTagEvent::FrameSet: wanted = bool(OnFrameSet); break;
            case TTagEvent::Frame: wanted = bool(OnFrame); break;
            case TTagEvent::NoFrames: wanted = bool(OnNoFrame); break;
            case TTagEvent::A: wanted = bool(OnAnchor); break;
            case TTagEvent::Comment: wanted = bool(OnComment); break;
            case TTagEvent::Img: wanted = bool(OnImage); break;
            case TTagEvent::Body: wanted = bool(OnBody); break;
            case TTagEvent::Base: wanted = bool(OnBase); break;
            case TTagEvent::BaseFont: wanted = bool(OnBaseFont); break;
            case TTagEvent::Font: wanted = bool(OnFont); break;
            case TTagEvent::Meta: wanted = bool(OnMeta); break;
            case TTagEvent::Marquee: wanted = bool(OnMarquee); break;
            case TTagEvent::Form: wanted = bool(OnForm); break;
            case TTagEvent::Script: wanted = bool(OnScript); break;
            case TTagEvent::Div: wanted = bool(OnDiv); break;
            case TTagEvent::HR: wanted = bool(OnHR); break;
            case TTagEvent::BR: wanted = bool(OnBR); break;
            case TTagEvent::Link: wanted = bool(OnOtherLinkedItem); break;
            case TTagEvent::None:
            case TTagEvent::Bang: break;
            }
            // The record costs a serialisation of the element; nobody asking
            // for it costs nothing.
            if (!OnElement && !wanted)
                continue;
            FillElementInfo(node, static_cast<int>(index), attrs, ElementTexts, info);
            if (OnElement)
                OnElement(info);
            if (!wanted)
                continue;
            switch (event) {
            case TTagEvent::A: {
                TAnchorInfo a;
                a.hRef = Reported(attrs.Address(node, "href", &a.hRefAt));
                a.Target = attrs.Text(node, "target");
                a.Rel = attrs.Text(node, "rel");
                a.Rev = attrs.Text(node, "rev");
                a.Urn = attrs.Text(node, "urn");
                a.Methods = attrs.Text(node, "methods");
                a.Name = attrs.Text(node, "name");
                a.AccessKey = attrs.Text(node, "accesskey");
                a.MimeType = attrs.Text(node, "type");
                FillAnchorParts(a);
                OnAnchor(a, info);
                break;
            }
            case TTagEvent::Img: {
                TImageInfo m;
                m.Source = Reported(attrs.Address(node, "src", &m.SourceAt));
                m.LowSrc = Reported(attrs.Address(node, "lowsrc", nullptr));
                m.Vrml = attrs.Text(node, "vrml");
                m.DynSrc = Reported(attrs.Address(node, "dynsrc", nullptr));
                m.Alt = attrs.Text(node, "alt");
                m.Align = attrs.Text(node, "align");
                m.UseMap = attrs.Text(node, "usemap");
                m.IsMap = attrs.Has(node, "ismap");
                m.Border = attrs.Text(node, "border");
                m.Loop = attrs.Text(node, "loop");
                m.vSpace = attrs.Integer(node, "vspace");
                m.hSpace = attrs.Integer(node, "hspace");
                m.Width = attrs.Integer(node, "width");
                m.Height = attrs.Integer(node, "height");
                OnImage(m, info);
                break;
            }
            case TTagEvent::Body: {
                TBodyInfo b;
                b.Background = Reported(attrs.Address(node, "background", &b.BackgroundAt));
                b.bgProperties = attrs.Text(node, "bgproperties");
                b.LeftMargin = attrs.Text(node, "leftmargin");
                b.TopMargin = attrs.Text(node, "topmargin");
                b.RightMargin = attrs.Text(node, "rightmargin");
                b.BottomMargin = attrs.Text(node, "bottommargin");
                b.bgColor = attrs.Text(node, "bgcolor");
                b.Text = attrs.Text(node, "text");
                b.Link = attrs.Text(node, "link");
                b.vLink = attrs.Text(node, "vlink");
                b.aLink = attrs.Text(node, "alink");
                b.NoWrap = attrs.Has(node, "nowrap");
                OnBody(b, info);
                break;
            }
            case TTagEvent::Script: {
                TScriptInfo s;
                s.Source = Reported(attrs.Address(node, "src", &s.SourceAt));
                s.HtmlFor = attrs.Text(node, "for");
                s.Event = attrs.Text(node, "event");
                s.Text = RawTextOf(node);
                s.Defer = attrs.Has(node, "defer");
                OnScript(s, info);
                break;
            }
            case TTagEvent::Link: {
                TLinkedItemInfo l;
                l.TagName = info.TagName;
                l.hRef = Reported(attrs.Address(node, "href", &l.hRefAt));
                OnOtherLinkedItem(l, info);
                break;
            }
            case TTagEvent::Base:
                OnBase(TBaseInfo{Reported(attrs.Address(node, "href", nullptr)), attrs.Text(node, "target")}, info);
                break;
            case TTagEvent::BaseFont:
                OnBaseFont(TBaseFontInfo{attrs.Text(node, "color"), attrs.Text(node, "face"),
                                         attrs.Integer(node, "size")},
                           info);
                break;
            case TTagEvent::BR:
                OnBR(TBRInfo{attrs.Text(node, "clear")}, info);
                break;
            case TTagEvent::Comment:
                OnComment(TCommentInfo{info.InnerText}, info);
                break;
            case TTagEvent::Div:
                OnDiv(TDivInfo{attrs.Text(node, "align"), attrs.Has(node, "nowrap")}, info);
                break;
            case TTagEvent::Font:
                OnFont(TFontInfo{attrs.Text(node, "color"), attrs.Text(node, "size"), attrs.Text(node, "face")},
                       info);
                break;
            case TTagEvent::Form:
                OnForm(TFormInfo{Reported(attrs.Address(node, "action", nullptr)), attrs.Text(node, "dir"),
                                 attrs.Text(node, "enctype"), attrs.Text(node, "method"),
                                 attrs.Text(node, "target"), attrs.Text(node, "name")},
                       info);
                break;
            case TTagEvent::Frame:
                OnFrame(TFrameInfo{Reported(attrs.Address(node, "src", nullptr)), attrs.Text(node, "name")}, info);
                break;
            case TTagEvent::FrameSet:
                OnFrameSet(TFrameSetInfo{attrs.Text(node, "rows"), attrs.Text(node, "cols"),
                                         attrs.Text(node, "frameborder"), attrs.Text(node, "name"),
                                         attrs.Text(node, "border"), attrs.Text(node, "bordercolor"),
                                         attrs.Text(node, "framespacing")},
                           info);
                break;
            case TTagEvent::HR:
                OnHR(THRInfo{attrs.Text(node, "align"), attrs.Text(node, "color"), attrs.Text(node, "width"),
                             attrs.Text(node, "size"), attrs.Has(node, "noshade")},
                     info);
                break;
            case TTagEvent::Marquee:
                OnMarquee(TMarqueeInfo{attrs.Text(node, "bgcolor"), attrs.Text(node, "width"),
                                       attrs.Text(node, "height"), attrs.Text(node, "direction"),
                                       attrs.Text(node, "behavior"), attrs.Integer(node, "scrollamount"),
                                       attrs.Integer(node, "scrolldelay"), attrs.Integer(node, "loop"),
                                       attrs.Integer(node, "vspace"), attrs.Integer(node, "hspace")},
                          info);
                break;
            case TTagEvent::Meta:
                OnMeta(TMetaInfo{attrs.Text(node, "http-equiv"), attrs.Text(node, "content"),
                                 attrs.Text(node, "name"), attrs.Text(node, "url"), attrs.Text(node, "charset")},
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
            OnDocInfo("readyState: complete\r\nelements: " + std::to_string(all.size()) + "\r\n");
    }

    if (OnParseComplete)
        OnParseComplete(all.size());
    if (OnParseDocument) {
        OnParseDocument(S_OK_CODE, "Done.");
        OnParseDocument(S_OK_CODE, " Process Time: " + std::to_string(Clock->TickMs() - started_) + " ms");
    }
    Html.clear();
    SetState(TParserState::psStopped);
    return true;
}
