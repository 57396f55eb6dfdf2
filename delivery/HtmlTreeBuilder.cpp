#include "delivery/HtmlTreeBuilder.h"

#include <algorithm>
#include <array>
#include <initializer_list>
#include <string>

namespace {

inline char Lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
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

// Every name the tree rules know, by NameHash: a tag's name is hashed once
// and found with one probe, which gives its THtmlTag and its kind together.
class TNameTable {
public:
    struct TEntry {
        std::uint64_t Hash = 0;
        std::uint32_t Kind = 0;
        std::uint16_t NameAt = 0;
        std::uint8_t Length = 0; // 0: a free slot
        THtmlTag Tag = THtmlTag::Other;
    };

    TNameTable()
    {
        for (const TTagName& t : TagNames)
            Entry(t.Name).Tag = t.Tag;
        // What the elements of the names are to the tree rules.
        Mark(KindVoid,
             {"area", "base", "basefont", "bgsound", "br", "col", "embed", "frame", "hr", "img", "input", "keygen",
              "link", "meta", "param", "source", "track", "wbr"});
        Mark(KindSpecial,
             {"address", "applet", "area", "article", "aside", "base", "basefont", "bgsound", "blockquote", "body",
              "br", "button", "caption", "center", "col", "colgroup", "dd", "details", "dir", "div", "dl", "dt",
              "embed", "fieldset", "figcaption", "figure", "footer", "form", "frame", "frameset", "h1", "h2", "h3",
              "h4", "h5", "h6", "head", "header", "hgroup", "hr", "html", "iframe", "img", "input", "keygen", "li",
              "link", "listing", "main", "marquee", "menu", "meta", "nav", "noembed", "noframes", "noscript",
              "object", "ol", "p", "param", "plaintext", "pre", "script", "section", "select", "source", "style",
              "summary", "table", "tbody", "td", "template", "textarea", "tfoot", "th", "thead", "title", "tr",
              "track", "ul", "wbr", "xmp"});
        // Newer than the token rules' list of special elements, which gumbo's
        // tree bears out; the element tree counts it.
        Mark(KindSearch, {"search"});
        Mark(KindBoundary, {"applet", "caption", "html", "marquee", "object", "table", "td", "template", "th"});
        Mark(KindButton, {"button"});
        Mark(KindClosesP,
             {"address", "article", "aside", "blockquote", "center", "dd", "details", "dialog", "dir", "div", "dl",
              "dt", "fieldset", "figcaption", "figure", "footer", "form", "h1", "h2", "h3", "h4", "h5", "h6",
              "header", "hgroup", "hr", "li", "listing", "main", "menu", "nav", "ol", "p", "plaintext", "pre",
              "search", "section", "summary", "ul", "xmp"});
        Mark(KindFormatting,
             {"a", "b", "big", "code", "em", "font", "i", "nobr", "s", "small", "strike", "strong", "tt", "u"});
        Mark(KindTableScope, {"html", "table", "template"});
        Mark(KindListItem, {"li"});
        Mark(KindDefinition, {"dd", "dt"});
        Mark(KindHeading, {"h1", "h2", "h3", "h4", "h5", "h6"});
        Mark(KindSection, {"tbody", "tfoot", "thead"});
        Mark(KindRow, {"tr"});
        Mark(KindCell, {"td", "th"});
        Mark(KindOption, {"option"});
        Mark(KindOptGroup, {"optgroup"});
        Mark(KindHead, {"head"});
        Mark(KindBody, {"body"});
        Mark(KindHtml, {"html"});
        Mark(KindAnchor, {"a"});
        Mark(KindTable, {"table"});
        Mark(KindListScope, {"ol", "ul"});
        Mark(KindParagraph, {"p"});
        Mark(KindCaption, {"caption"});
        Mark(KindColGroup, {"colgroup"});
        // The page's text takes these as the ends of its blocks.
        Mark(KindBlock,
             {"address", "article", "aside", "blockquote", "body", "br", "caption", "center", "dd", "details",
              "dialog", "dir", "div", "dl", "dt", "fieldset", "figcaption", "figure", "footer", "form", "frameset",
              "h1", "h2", "h3", "h4", "h5", "h6", "head", "header", "hgroup", "hr", "html", "legend", "li", "listing",
              "main", "menu", "nav", "ol", "optgroup", "option", "p", "plaintext", "pre", "section", "select",
              "summary", "table", "tbody", "td", "textarea", "tfoot", "th", "thead", "title", "tr", "ul", "xmp"});
    }

    // A name of none of the lists gives an entry of THtmlTag::Other and no
    // kind.
    const TEntry& Find(std::string_view name, std::uint64_t hash) const
    {
        for (std::size_t s = hash & (Size - 1);; s = (s + 1) & (Size - 1)) {
            const TEntry& e = slots_[s];
            if (e.Length == 0)
                return none_;
            if (e.Hash == hash && e.Length == name.size()) {
                // The names are a few letters: a call to memcmp costs more.
                const char* candidate = names_.data() + e.NameAt;
                std::size_t i = 0;
                while (i < name.size() && candidate[i] == name[i])
                    ++i;
                if (i == name.size())
                    return e;
            }
        }
    }

private:
    static constexpr std::size_t Size = 512;

    void Mark(std::uint32_t kind, std::initializer_list<std::string_view> names)
    {
        for (std::string_view n : names)
            Entry(n).Kind |= kind;
    }

    TEntry& Entry(std::string_view name)
    {
        const std::uint64_t hash = NameHash(name);
        std::size_t s = hash & (Size - 1);
        for (; slots_[s].Length != 0; s = (s + 1) & (Size - 1))
            if (slots_[s].Hash == hash && std::string_view(names_).substr(slots_[s].NameAt, slots_[s].Length) == name)
                return slots_[s];
        TEntry& e = slots_[s];
        e.Hash = hash;
        e.NameAt = static_cast<std::uint16_t>(names_.size());
        e.Length = static_cast<std::uint8_t>(name.size());
        names_.append(name);
        return e;
    }

    std::array<TEntry, Size> slots_{};
    std::string names_;
    TEntry none_{};
};

const TNameTable NameTable;

const TNameTable::TEntry& Named(std::string_view name, std::uint64_t hash)
{
    return NameTable.Find(name, hash);
}

const std::uint64_t ImgHash = NameHash("img");
const std::uint32_t ImgKind = Named("img", ImgHash).Kind;
const std::uint64_t BrHash = NameHash("br");
const std::uint32_t BrKind = Named("br", BrHash).Kind;

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

} // namespace

bool IsHeadTag(THtmlTag tag)
{
    switch (tag) {
    case THtmlTag::Base:
    case THtmlTag::BaseFont:
    case THtmlTag::BgSound:
    case THtmlTag::Link:
    case THtmlTag::Meta:
    case THtmlTag::Title:
    case THtmlTag::NoScript:
    case THtmlTag::NoFrames:
    case THtmlTag::Style:
    case THtmlTag::Script:
    case THtmlTag::Template:
        return true;
    default:
        return false;
    }
}

THtmlTag THtmlTreeBuilder::TagOf(std::string_view lowerName)
{
    return Named(lowerName, NameHash(lowerName)).Tag;
}

namespace {

// The tree that Scan and Nest give the document's modes: they need to know
// where a frameset takes over, not what the tree holds.
class TNoTree final : public THtmlTreeSink {
public:
    void DocumentElement(THtmlTag, const THtmlStartTag*, std::size_t) override {}
    void Element(const THtmlStartTag&, bool) override {}
    void Merge(THtmlTag, const THtmlStartTag&) override {}
    void BodyReplaced() override {}
    void Closed(std::uint64_t, std::size_t, std::size_t) override {}
    void Comment(std::size_t, std::size_t) override {}
    void RawText(std::size_t, std::size_t) override {}
    bool FollowsEnds() const override { return false; }
};

THtmlTreeSink& NoTree()
{
    static TNoTree none;
    return none;
}

} // namespace

void THtmlTreeBuilder::Reset(std::string_view page)
{
    page_ = page;
    open_.clear();
    foreignAt_ = NotForeign;
    inSelect_ = selectInTable_ = false;
    tables_ = 0;
    tableParts_.clear();
    templates_.clear();
    templateFresh_ = false;
    mode_ = TMode::Initial;
    framesetOk_ = true;
    settled_ = false;
    documentTemplates_ = 0;
    rawPending_ = rawReported_ = false;
    ticks_ = 0;
    timedOut_ = false;
    sink_ = nullptr;
    nest_ = nullptr;
    tree_ = &NoTree();
    building_ = false;
    followsEnds_ = false;
    overTime_ = nullptr;
}

void THtmlTreeBuilder::Scan(std::string_view page, THtmlSink& sink)
{
    Reset(page);
    sink_ = &sink;
    scanner_.Scan(page, *this);
    sink_ = nullptr;
}

void THtmlTreeBuilder::ScanContent(std::string_view content, THtmlSink& sink)
{
    Reset(content);
    mode_ = TMode::InBody;
    framesetOk_ = false;
    settled_ = true;
    sink_ = &sink;
    scanner_.Scan(content, *this);
    sink_ = nullptr;
}

void THtmlTreeBuilder::Build(std::string_view page, THtmlTreeSink& tree, std::function<bool()> overTime)
{
    Reset(page);
    tree_ = &tree;
    building_ = true;
    followsEnds_ = tree.FollowsEnds();
    overTime_ = std::move(overTime);
    scanner_.Scan(page, *this);
    // The page has ended: what a browser would still have supplied.
    if (!timedOut_ && mode_ != TMode::InFrameset)
        EnterBody(page.size());
    tree_ = &NoTree();
    building_ = false;
    overTime_ = nullptr;
}

bool THtmlTreeBuilder::AcceptsHtmlStart(THtmlTag tag) const
{
    const TOpen& top = open_.back();
    if (top.HtmlPoint)
        return true;
    if (top.TextPoint && tag != THtmlTag::MGlyph && tag != THtmlTag::MAlignMark)
        return true;
    return top.AnnotationXml && tag == THtmlTag::Svg;
}

// The foreign part of the stack is gone when nothing is left above its base.
void THtmlTreeBuilder::EndForeign()
{
    if (foreignAt_ != NotForeign && open_.size() <= foreignAt_)
        foreignAt_ = NotForeign;
}

void THtmlTreeBuilder::BreakOut()
{
    while (foreignAt_ != NotForeign && open_.size() > foreignAt_ && open_.back().Space != TSpace::Html &&
           !open_.back().HtmlPoint && !open_.back().TextPoint)
        open_.pop_back();
    EndForeign();
}

// An end tag while SVG or MathML is open: in foreign content it closes the
// nearest foreign element of its name; in HTML content (inside an integration
// point) the nearest HTML element of its name, unless a special element
// stands in between. An end tag that finds none of them goes on to the HTML
// elements around the foreign content.
void THtmlTreeBuilder::CloseOpen(std::uint64_t hash, std::uint32_t kind)
{
    // Looking further down than this would make a page of deep nesting and
    // stray end tags quadratic.
    constexpr std::size_t Reach = 256;
    const std::size_t base = foreignAt_;
    const std::size_t count = open_.size() - base;
    const std::size_t bottom = base + (count > Reach ? count - Reach : 0);
    std::size_t i = open_.size();
    if (InForeignContent()) {
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
                EndForeign();
                return;
            }
            special = special || open_[i].Special;
        }
        if (special)
            return;
        if (!html) {
            if (bottom == base)
                CloseOutside(hash, kind);
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
    if (bottom == base)
        CloseOutside(hash, kind);
}

// An end tag for the HTML elements outside any foreign content; true when it
// closes one, and then the foreign content above them is closed too. The end
// tag of a formatting element closes everything opened after it but the
// special elements; a stray end tag stops at a special element; the other
// end tags look for their element in scope. The elements outside keep only
// the low half of their names' hashes.
bool THtmlTreeBuilder::CloseOutside(std::uint64_t hash, std::uint32_t kind)
{
    constexpr std::size_t Reach = 256;
    const std::size_t top = foreignAt_ == NotForeign ? open_.size() : foreignAt_;
    const std::size_t bottom = top > Reach ? top - Reach : 0;
    const bool formatting = (kind & KindFormatting) != 0;
    const bool scoped = (kind & (KindFormatting | KindSpecial)) != 0;
    std::size_t i = top;
    for (;;) {
        if (i == bottom)
            return false;
        --i;
        if (static_cast<std::uint32_t>(open_[i].Hash) == static_cast<std::uint32_t>(hash))
            break;
        if (scoped ? open_[i].Boundary : open_[i].Special)
            return false;
    }
    if (formatting) {
        std::size_t kept = i;
        for (std::size_t j = i + 1; j < top; ++j)
            if (open_[j].Special || open_[j].Formatting)
                open_[kept++] = open_[j];
        open_.resize(kept);
    } else {
        PopOutside(i);
    }
    foreignAt_ = NotForeign;
    return true;
}

// Closes the element at `at` of those outside foreign content, and the ones
// opened after it. Formatting elements among those are opened again before
// whatever comes next, so they stay, unless a cell, caption or the like (the
// element at `at`) ends them.
void THtmlTreeBuilder::PopOutside(std::size_t at)
{
    const std::size_t top = foreignAt_ == NotForeign ? open_.size() : foreignAt_;
    std::size_t kept = at;
    if (!open_[at].Boundary)
        for (std::size_t j = at + 1; j < top; ++j)
            if (open_[j].Formatting)
                open_[kept++] = open_[j];
    open_.resize(kept);
}

// The same inside foreign content, among the HTML elements of an
// integration point.
void THtmlTreeBuilder::PopOpen(std::size_t at)
{
    std::size_t kept = at;
    if (!open_[at].Boundary)
        for (std::size_t j = at + 1; j < open_.size(); ++j)
            if (open_[j].Formatting)
                open_[kept++] = open_[j];
    open_.resize(kept);
    EndForeign();
}

void THtmlTreeBuilder::Forward(const THtmlStartTag& t)
{
    if (building_) {
        DocumentStart(t);
        return;
    }
    if (!settled_) {
        DocumentStart(t);
        Settle();
    }
    if (sink_)
        sink_->StartTag(t);
    else
        NestStart(t);
}

namespace {

// Start tags that no rule but the one for an open <p> and the stack of open
// elements has anything to do with, outside SVG, MathML, a select, a
// template's first tags and a frameset: most of a page's.
bool Routine(THtmlTag tag)
{
    switch (tag) {
    case THtmlTag::A:
    case THtmlTag::Image:
    case THtmlTag::Html:
    case THtmlTag::Head:
    case THtmlTag::Body:
    case THtmlTag::FrameSet:
    case THtmlTag::Script:
    case THtmlTag::Title:
    case THtmlTag::TextArea:
    case THtmlTag::Style:
    case THtmlTag::Xmp:
    case THtmlTag::IFrame:
    case THtmlTag::NoEmbed:
    case THtmlTag::NoFrames:
    case THtmlTag::PlainText:
    case THtmlTag::Select:
    case THtmlTag::Template:
    case THtmlTag::Svg:
    case THtmlTag::Math:
    case THtmlTag::Table:
    case THtmlTag::Caption:
    case THtmlTag::TBody:
    case THtmlTag::TFoot:
    case THtmlTag::THead:
    case THtmlTag::Tr:
    case THtmlTag::Td:
    case THtmlTag::Th:
        return false;
    default:
        return true;
    }
}

} // namespace

// A page of unclosed elements would grow the stack without end; the bottom
// half goes when it is full, which only a page nested deeper than any real
// one can tell.
void THtmlTreeBuilder::HalveOutside()
{
    open_.erase(open_.begin(), open_.begin() + MaxOutside / 2);
}

void THtmlTreeBuilder::StartTag(THtmlStartTag& t)
{
    const TNameTable::TEntry& named = Named(t.Name, t.Hash);
    t.Tag = named.Tag;
    t.Kind = named.Kind;
    if (foreignAt_ == NotForeign && !inSelect_ && !templateFresh_ && mode_ != TMode::InFrameset && Routine(t.Tag) &&
        !(t.Kind & KindColGroup)) {
        if (sink_ && settled_)
            sink_->StartTag(t);
        else
            Forward(t);
        if (t.Kind & KindClosesP)
            CloseP();
        if (!(t.Kind & KindVoid))
            PushOutside(t);
        return;
    }
    // A frameset document takes its frames and their fallback, and no other
    // start tag: one dropped there makes no element and leaves the tokenizer
    // reading on as before, so what follows a <script> there is no script.
    if (mode_ == TMode::InFrameset && t.Tag != THtmlTag::Html && t.Tag != THtmlTag::FrameSet &&
        t.Tag != THtmlTag::Frame && t.Tag != THtmlTag::NoFrames)
        return;
    const bool selfClosing = t.SelfClosing;
    if (InForeignContent() && !AcceptsHtmlStart(t.Tag)) {
        if (!EndsForeignContent(t)) {
            const TOpen& top = open_.back();
            // A start tag here makes an element of the current one's kind:
            // <math> inside SVG is an SVG element (and its annotation-xml no
            // way back to HTML), <svg> inside MathML a MathML one.
            const TSpace space = top.Space;
            t.Foreign = true;
            Forward(t);
            if (!selfClosing) {
                const bool svg = space == TSpace::Svg, math = space == TSpace::Math;
                const bool htmlPoint =
                    (svg && (t.Tag == THtmlTag::ForeignObject || t.Tag == THtmlTag::Desc || t.Tag == THtmlTag::Title)) ||
                    (math && t.Tag == THtmlTag::AnnotationXml && HtmlAnnotation(t));
                const bool textPoint = math && (t.Tag == THtmlTag::Mi || t.Tag == THtmlTag::Mo || t.Tag == THtmlTag::Mn ||
                                                t.Tag == THtmlTag::Ms || t.Tag == THtmlTag::MText);
                const bool annotation = math && t.Tag == THtmlTag::AnnotationXml;
                open_.push_back(TOpen{t.Hash, space, htmlPoint, textPoint, annotation,
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
        } else if (!IsHeadTag(t.Tag) || t.Tag == THtmlTag::NoScript) {
            // Only the start tags the head takes (a template among them)
            // leave the contents open to a table's parts.
            templateFresh_ = false;
        }
    }
    if (t.Tag == THtmlTag::Image) {
        t.Tag = THtmlTag::Img;
        t.Name = "img";
        t.Hash = ImgHash;
        t.Kind = ImgKind;
    }
    // A reader of the tokens, once the document can no longer turn into a
    // frameset, is all there is to tell.
    if (sink_ && settled_)
        sink_->StartTag(t);
    else
        Forward(t);
    switch (t.Tag) {
    case THtmlTag::Svg:
    case THtmlTag::Math:
        if (!selfClosing) {
            if (foreignAt_ == NotForeign)
                foreignAt_ = open_.size();
            open_.push_back(TOpen{t.Hash, t.Tag == THtmlTag::Svg ? TSpace::Svg : TSpace::Math});
        }
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
        scanner_.SwitchTo(THtmlContent::RcData, t.Name);
        break;
    case THtmlTag::Style:
    case THtmlTag::Xmp:
    case THtmlTag::IFrame:
    case THtmlTag::NoEmbed:
    case THtmlTag::NoFrames:
        scanner_.SwitchTo(THtmlContent::RawText, t.Name);
        break;
    case THtmlTag::Script:
        scanner_.SwitchTo(THtmlContent::ScriptData, t.Name);
        break;
    case THtmlTag::PlainText:
        scanner_.SwitchTo(THtmlContent::PlainText, {});
        break;
    default:
        break;
    }
    // HTML elements inside SVG or MathML integration points are tracked so
    // that their end tags do not close the foreign elements around them.
    // (A '/' before the '>' does not close an HTML element.) A second
    // <html> or <body>, and <head> or <frameset> in the body, open nothing.
    // Outside a table its parts open nothing either.
    auto opensNothing = [&] {
        return t.Tag == THtmlTag::Html || t.Tag == THtmlTag::Head || t.Tag == THtmlTag::Body ||
               t.Tag == THtmlTag::FrameSet || (tables_ == 0 && (TablePartOf(t.Tag) != 0 || (t.Kind & KindColGroup)));
    };
    if (foreignAt_ == NotForeign) {
        const std::uint32_t kind = t.Kind;
        if (kind & KindClosesP)
            CloseP();
        // An <a> inside an open one ends it as its end tag would.
        if (t.Tag == THtmlTag::A)
            CloseOutside(t.Hash, kind);
        if (!(kind & KindVoid) && !opensNothing())
            PushOutside(t);
    } else {
        // Inside an integration point: the same, among the HTML elements
        // above it.
        const std::uint32_t kind = t.Kind;
        if (kind & KindClosesP) {
            static const std::uint64_t p = NameHash("p");
            for (std::size_t i = open_.size();
                 i-- > foreignAt_ && open_[i].Space == TSpace::Html && !open_[i].ButtonBoundary;)
                if (open_[i].Hash == p) {
                    PopOpen(i);
                    break;
                }
        }
        // Not halved: the stack holds the foreign element that this is inside.
        if (!(kind & KindVoid) && !opensNothing())
            open_.push_back(HtmlOpen(t));
    }
}

// The start tags before which an open <p> ends, when it is in button scope.
void THtmlTreeBuilder::CloseP()
{
    static const std::uint64_t p = NameHash("p");
    constexpr std::size_t Reach = 256;
    const std::size_t bottom = open_.size() > Reach ? open_.size() - Reach : 0;
    for (std::size_t i = open_.size(); i-- > bottom;) {
        if (static_cast<std::uint32_t>(open_[i].Hash) == static_cast<std::uint32_t>(p)) {
            PopOutside(i);
            return;
        }
        if (open_[i].ButtonBoundary)
            return;
    }
}

void THtmlTreeBuilder::EndTag(std::string_view name, std::uint64_t hash, std::size_t lt, std::size_t end)
{
    const TNameTable::TEntry& named = Named(name, hash);
    const THtmlTag tag = named.Tag;
    const THtmlEndTag e{tag, name, hash, named.Kind, lt, end};
    if (sink_ && settled_) {
        sink_->EndTag(e);
    } else if (building_) {
        DocumentEnd(tag, hash, lt, end);
    } else {
        if (!settled_) {
            DocumentEnd(tag, hash, lt, end);
            Settle();
        }
        if (sink_)
            sink_->EndTag(e);
        else
            NestEnd(e);
    }
    if (foreignAt_ != NotForeign)
        CloseOpen(hash, named.Kind);
    else if (!open_.empty() && static_cast<std::uint32_t>(open_.back().Hash) == static_cast<std::uint32_t>(hash))
        // Most end tags close the element opened last, which ends nothing else.
        open_.pop_back();
    else
        CloseOutside(hash, named.Kind);
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
void THtmlTreeBuilder::TableStart(THtmlTag tag)
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
void THtmlTreeBuilder::TableEnd(THtmlTag tag)
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

// ------------------------------------------------------------ the document

namespace {

// Start tags after which a frameset can no longer replace the body.
bool EndsFramesetChance(const THtmlStartTag& t)
{
    switch (t.Tag) {
    case THtmlTag::Img:
    case THtmlTag::BR:
    case THtmlTag::HR:
    case THtmlTag::Keygen:
    case THtmlTag::TextArea:
    case THtmlTag::Xmp:
    case THtmlTag::IFrame:
    case THtmlTag::Select:
    case THtmlTag::Table:
    case THtmlTag::Marquee:
        return !t.Foreign;
    case THtmlTag::Input: {
        if (t.Foreign)
            return false;
        const THtmlAttribute* type = t.Find("type");
        if (!type || type->Value.size() != 6)
            return true;
        for (std::size_t i = 0; i < 6; ++i)
            if (Lower(type->Value[i]) != "hidden"[i])
                return true;
        return false;
    }
    default:
        if (t.Foreign)
            return false;
        return t.Name == "applet" || t.Name == "object" || t.Name == "area" || t.Name == "embed" ||
               t.Name == "wbr" || t.Name == "pre" || t.Name == "listing" || t.Name == "li" || t.Name == "dd" ||
               t.Name == "dt" || t.Name == "button";
    }
}

const std::uint64_t HeadHash = NameHash("head");

} // namespace

void THtmlTreeBuilder::Tick()
{
    // The clock is read now and then, not for every token.
    if ((++ticks_ & 1023) == 0 && overTime_ && overTime_()) {
        timedOut_ = true;
        scanner_.Stop();
    }
}

// The document's insertion modes up to the body: html, head and body are
// supplied when the page leaves them out, a second <html> or <body> only
// adds attributes to the first, a frameset takes the body's place while
// nothing of the body shows yet. Template contents are elements of their
// own, but never the document's html or body, and no frameset.
void THtmlTreeBuilder::DocumentStart(const THtmlStartTag& t)
{
    Tick();
    rawPending_ = !t.Foreign && IsRawText(t.Tag);
    rawReported_ = false;
    THtmlTreeSink& tree = *tree_;
    auto add = [&] {
        tree.Element(t, followsEnds_ && !(t.Foreign && t.SelfClosing) && !(t.Kind & KindVoid) &&
                            t.Tag != THtmlTag::PlainText);
        rawReported_ = rawPending_;
    };
    if (t.Foreign) {
        if (mode_ == TMode::InFrameset)
            return;
        if (documentTemplates_ == 0)
            EnterBody(t.Offset);
        add();
        return;
    }
    if (documentTemplates_ > 0) {
        switch (t.Tag) {
        case THtmlTag::Html:
        case THtmlTag::Body:
        case THtmlTag::Head:
        case THtmlTag::FrameSet:
        case THtmlTag::Frame:
            return;
        case THtmlTag::Template:
            ++documentTemplates_;
            [[fallthrough]];
        default:
            add();
            return;
        }
    }
    if (t.Tag == THtmlTag::Template && mode_ != TMode::InFrameset) {
        ++documentTemplates_;
        // A template ends the frameset's chance, wherever it stands.
        framesetOk_ = false;
    }
    switch (mode_) {
    case TMode::Initial:
        if (t.Tag == THtmlTag::Html) {
            tree.DocumentElement(THtmlTag::Html, &t, t.Offset);
            mode_ = TMode::BeforeHead;
            return;
        }
        tree.DocumentElement(THtmlTag::Html, nullptr, t.Offset);
        mode_ = TMode::BeforeHead;
        [[fallthrough]];
    case TMode::BeforeHead:
        if (t.Tag == THtmlTag::Html)
            return tree.Merge(THtmlTag::Html, t);
        if (t.Tag == THtmlTag::Head) {
            tree.DocumentElement(THtmlTag::Head, &t, t.Offset);
            mode_ = TMode::InHead;
            return;
        }
        tree.DocumentElement(THtmlTag::Head, nullptr, t.Offset);
        mode_ = TMode::InHead;
        [[fallthrough]];
    case TMode::InHead:
        if (t.Tag == THtmlTag::Html)
            return tree.Merge(THtmlTag::Html, t);
        if (t.Tag == THtmlTag::Head)
            return;
        if (IsHeadTag(t.Tag))
            return add();
        if (followsEnds_)
            tree.Closed(HeadHash, t.Offset, std::string_view::npos);
        mode_ = TMode::AfterHead;
        [[fallthrough]];
    case TMode::AfterHead:
        if (t.Tag == THtmlTag::Html)
            return tree.Merge(THtmlTag::Html, t);
        if (t.Tag == THtmlTag::Head)
            return;
        if (t.Tag == THtmlTag::Body) {
            // A body the page opens itself can no longer give way to a
            // frameset.
            framesetOk_ = false;
            tree.DocumentElement(THtmlTag::Body, &t, t.Offset);
            mode_ = TMode::InBody;
            return;
        }
        if (t.Tag == THtmlTag::FrameSet) {
            add();
            mode_ = TMode::InFrameset;
            return;
        }
        if (IsHeadTag(t.Tag))
            return add();
        tree.DocumentElement(THtmlTag::Body, nullptr, t.Offset);
        mode_ = TMode::InBody;
        [[fallthrough]];
    case TMode::InBody:
        switch (t.Tag) {
        case THtmlTag::Html:
            return tree.Merge(THtmlTag::Html, t);
        case THtmlTag::Body:
            framesetOk_ = false;
            return tree.Merge(THtmlTag::Body, t);
        case THtmlTag::FrameSet:
            if (framesetOk_) {
                // Nothing of the body shows yet: the frameset replaces it.
                tree.BodyReplaced();
                add();
                mode_ = TMode::InFrameset;
            }
            return;
        case THtmlTag::Head:
        case THtmlTag::Frame:
            return;
        default:
            if (framesetOk_ && EndsFramesetChance(t))
                framesetOk_ = false;
            return add();
        }
    case TMode::InFrameset:
        if (t.Tag == THtmlTag::Html)
            return tree.Merge(THtmlTag::Html, t);
        if (t.Tag == THtmlTag::FrameSet || t.Tag == THtmlTag::Frame || t.Tag == THtmlTag::NoFrames)
            add();
        return;
    }
}

void THtmlTreeBuilder::DocumentEnd(THtmlTag tag, std::uint64_t hash, std::size_t offset, std::size_t end)
{
    Tick();
    rawPending_ = false;
    if (tag == THtmlTag::Template && documentTemplates_ > 0)
        --documentTemplates_;
    const bool structural =
        tag == THtmlTag::Html || tag == THtmlTag::Head || tag == THtmlTag::Body || tag == THtmlTag::BR;
    switch (mode_) {
    case TMode::Initial:
    case TMode::BeforeHead:
    case TMode::InHead:
        if (mode_ == TMode::InHead && tag == THtmlTag::Head) {
            if (followsEnds_)
                tree_->Closed(HeadHash, offset, end);
            mode_ = TMode::AfterHead;
            return;
        }
        if (!structural)
            return;
        EnterBody(offset);
        break;
    case TMode::AfterHead:
        if (!structural)
            return;
        EnterBody(offset);
        break;
    case TMode::InBody:
    case TMode::InFrameset:
        break;
    }
    if (mode_ == TMode::InBody && tag == THtmlTag::BR) {
        framesetOk_ = false;
        // "</br>" makes a br element.
        THtmlStartTag br;
        br.Tag = THtmlTag::BR;
        br.Name = "br";
        br.Hash = BrHash;
        br.Kind = BrKind;
        br.Offset = offset;
        br.End = end;
        tree_->Element(br, false);
        return;
    }
    if (followsEnds_)
        tree_->Closed(hash, offset, end);
}

void THtmlTreeBuilder::DocumentComment(std::size_t offset, std::size_t end)
{
    Tick();
    rawPending_ = false;
    tree_->Comment(offset, end);
}

void THtmlTreeBuilder::DocumentText(std::size_t offset, std::size_t end)
{
    if (rawPending_) {
        rawPending_ = false;
        if (rawReported_)
            tree_->RawText(offset, end);
        return;
    }
    // A template's text is its own: it opens no body.
    if (mode_ == TMode::InFrameset || (mode_ == TMode::InBody && !framesetOk_) || documentTemplates_ > 0)
        return;
    for (std::size_t i = offset; i < end; ++i) {
        if (mode_ == TMode::InBody) {
            if (!IsAsciiSpace(page_[i]) && page_[i] != '\0') {
                framesetOk_ = false;
                return;
            }
            continue;
        }
        if (!IsAsciiSpace(page_[i])) {
            EnterBody(i);
            // A NUL opens the body but is dropped there: a frameset after it
            // still takes the body's place.
            if (page_[i] != '\0') {
                framesetOk_ = false;
                return;
            }
        }
    }
}

void THtmlTreeBuilder::EnterBody(std::size_t at)
{
    switch (mode_) {
    case TMode::Initial:
        tree_->DocumentElement(THtmlTag::Html, nullptr, at);
        [[fallthrough]];
    case TMode::BeforeHead:
        tree_->DocumentElement(THtmlTag::Head, nullptr, at);
        [[fallthrough]];
    case TMode::InHead:
        if (followsEnds_)
            tree_->Closed(HeadHash, at, std::string_view::npos);
        [[fallthrough]];
    case TMode::AfterHead:
        tree_->DocumentElement(THtmlTag::Body, nullptr, at);
        mode_ = TMode::InBody;
        break;
    case TMode::InBody:
    case TMode::InFrameset:
        break;
    }
}

// ------------------------------------------------------- the element tree

namespace {

const std::uint64_t TBodyHash = NameHash("tbody");
const std::uint64_t TrHash = NameHash("tr");
const std::uint32_t TBodyKind = Named("tbody", TBodyHash).Kind;
const std::uint32_t TrKind = Named("tr", TrHash).Kind;
const std::uint64_t AddressHash = NameHash("address");
const std::uint64_t DivHash = NameHash("div");

// The special elements as the element tree counts them, and the start tags
// that end an open <p> there (a table's as well).
constexpr std::uint32_t NestSpecial = KindSpecial | KindSearch;
constexpr std::uint32_t NestClosesP = KindClosesP | KindTable;

// Looking further down the element tree's stack than this for an end tag's
// element would make a page of deep nesting and stray end tags quadratic.
constexpr std::size_t NestReach = 512;

bool IsIntegrationPoint(THtmlTag tag)
{
    switch (tag) {
    case THtmlTag::ForeignObject:
    case THtmlTag::Desc:
    case THtmlTag::Title:
    case THtmlTag::AnnotationXml:
    case THtmlTag::Mi:
    case THtmlTag::Mo:
    case THtmlTag::Mn:
    case THtmlTag::Ms:
    case THtmlTag::MText:
        return true;
    default:
        return false;
    }
}

} // namespace

void THtmlTreeBuilder::Nest(std::string_view page, THtmlElementSink& elements)
{
    Reset(page);
    nest_ = &elements;
    nested_.clear();
    seenHtml_ = seenHead_ = seenBody_ = false;
    scanner_.Scan(page, *this);
    while (!nested_.empty())
        NestPop(page.size());
    nest_ = nullptr;
}

void THtmlTreeBuilder::NestStart(const THtmlStartTag& t)
{
    const THtmlElement e{t.Hash, &t, t.Offset, t.End};
    if (t.Foreign) {
        NestOpen(e, 0, true, IsIntegrationPoint(t.Tag), t.SelfClosing);
        return;
    }
    // HTML again: foreign elements that are no integration point end.
    while (!nested_.empty() && nested_.back().Foreign && !nested_.back().Integration)
        NestPop(t.Offset);

    if (t.Tag == THtmlTag::Svg || t.Tag == THtmlTag::Math) {
        NestOpen(e, 0, true, false, t.SelfClosing);
        return;
    }
    const std::uint32_t k = t.Kind;
    if (k & KindHtml) {
        if (seenHtml_)
            return;
        seenHtml_ = true;
    } else if (k & KindHead) {
        if (seenHead_ || seenBody_)
            return;
        seenHead_ = true;
    } else if (k & KindBody) {
        if (seenBody_)
            return;
        seenBody_ = true;
    }
    // Body content ends an open head.
    if (!(k & (KindHead | KindHtml)) && !IsHeadTag(t.Tag))
        NestCloseTop(KindHead, t.Offset);

    if (k & NestClosesP)
        NestCloseInScope(KindParagraph, KindBoundary | KindButton, t.Offset);
    if (k & KindListItem) {
        NestCloseItem(KindListItem, t.Offset);
    } else if (k & KindDefinition) {
        NestCloseItem(KindDefinition, t.Offset);
    } else if (k & KindHeading) {
        NestCloseTop(KindHeading, t.Offset);
    } else if (k & KindOption) {
        NestCloseTop(KindOption, t.Offset);
    } else if (k & KindOptGroup) {
        NestCloseTop(KindOption, t.Offset);
        NestCloseTop(KindOptGroup, t.Offset);
    } else if (k & KindAnchor) {
        NestCloseInScope(KindAnchor, KindBoundary, t.Offset);
    } else if (k & (KindSection | KindCaption | KindColGroup)) {
        NestClearBackTo(KindTable, t.Offset);
    } else if (k & KindRow) {
        NestClearBackTo(KindTable | KindSection, t.Offset);
        // A row directly in a table has a body the page did not write.
        if (!nested_.empty() && (nested_.back().Kind & KindTable))
            NestOpen(THtmlElement{TBodyHash, nullptr, t.Offset, t.Offset}, TBodyKind, false, false, false);
    } else if (k & KindCell) {
        NestClearBackTo(KindTable | KindSection | KindRow, t.Offset);
        if (!nested_.empty() && (nested_.back().Kind & KindTable))
            NestOpen(THtmlElement{TBodyHash, nullptr, t.Offset, t.Offset}, TBodyKind, false, false, false);
        if (!nested_.empty() && (nested_.back().Kind & KindSection))
            NestOpen(THtmlElement{TrHash, nullptr, t.Offset, t.Offset}, TrKind, false, false, false);
    }
    NestOpen(e, k, false, false, (k & KindVoid) != 0);
}

void THtmlTreeBuilder::NestEnd(const THtmlEndTag& t)
{
    const std::uint64_t hash = t.Hash;
    // Inside SVG or MathML an end tag closes its own foreign element.
    for (std::size_t i = nested_.size(), seen = 0; i > 0 && seen < NestReach && nested_[i - 1].Foreign;
         --i, ++seen) {
        if (nested_[i - 1].Hash == hash) {
            NestPopTo(i - 1, t.Offset, t.End);
            return;
        }
    }
    const std::uint32_t k = t.Kind;
    if (k & (KindHtml | KindBody)) {
        // Whatever follows still belongs to them; they end with the page.
        return;
    }
    std::uint32_t stop;
    if (k & (KindRow | KindSection | KindCell | KindTable | KindCaption | KindColGroup))
        stop = KindTableScope;
    else if (k & KindListItem)
        stop = KindBoundary | KindListScope;
    else if (k & KindParagraph)
        stop = KindBoundary | KindButton;
    else if (k & NestSpecial)
        stop = KindBoundary;
    else
        stop = NestSpecial; // a stray end tag: its element is not open above the nearest special one
    for (std::size_t i = nested_.size(), seen = 0; i > 0 && seen < NestReach; --i, ++seen) {
        const TNested& o = nested_[i - 1];
        // Any heading's end tag ends the open heading.
        if (!o.Foreign && (o.Hash == hash || (k & o.Kind & KindHeading))) {
            NestPopTo(i - 1, t.Offset, t.End);
            return;
        }
        if ((o.Kind & stop) || o.Foreign)
            return;
    }
}

void THtmlTreeBuilder::NestOpen(const THtmlElement& e, std::uint32_t kind, bool foreign, bool integration, bool leaf)
{
    nest_->Opened(e, leaf);
    if (!leaf)
        nested_.push_back(TNested{e.Hash, kind, foreign, integration});
}

void THtmlTreeBuilder::NestPop(std::size_t end)
{
    nested_.pop_back();
    nest_->Closed(end);
}

// Pops everything above at, then at itself, which ends at end; the ones
// above end where its end tag starts.
void THtmlTreeBuilder::NestPopTo(std::size_t at, std::size_t endTag, std::size_t end)
{
    while (nested_.size() > at + 1)
        NestPop(endTag);
    NestPop(end);
}

void THtmlTreeBuilder::NestCloseTop(std::uint32_t kind, std::size_t at)
{
    if (!nested_.empty() && !nested_.back().Foreign && (nested_.back().Kind & kind))
        NestPop(at);
}

// Closes the nearest open element of kind unless one of stop comes first.
void THtmlTreeBuilder::NestCloseInScope(std::uint32_t kind, std::uint32_t stop, std::size_t at)
{
    for (std::size_t i = nested_.size(), seen = 0; i > 0 && seen < NestReach; --i, ++seen) {
        const TNested& o = nested_[i - 1];
        if (o.Foreign)
            return;
        if (o.Kind & kind) {
            while (nested_.size() > i - 1)
                NestPop(at);
            return;
        }
        if (o.Kind & stop)
            return;
    }
}

// A table's part ends the row, cell or section open in the nearest table:
// everything above the nearest element of keep closes, unless a template or
// the root comes first (no table is open).
void THtmlTreeBuilder::NestClearBackTo(std::uint32_t keep, std::size_t at)
{
    for (std::size_t i = nested_.size(), seen = 0; i > 0 && seen < NestReach; --i, ++seen) {
        const TNested& o = nested_[i - 1];
        if (!o.Foreign && (o.Kind & keep)) {
            while (nested_.size() > i)
                NestPop(at);
            return;
        }
        if (!o.Foreign && (o.Kind & KindTableScope))
            return;
    }
}

// A list item or definition ends the open one of its kind, unless a special
// element other than address, div and p stands between.
void THtmlTreeBuilder::NestCloseItem(std::uint32_t kind, std::size_t at)
{
    for (std::size_t i = nested_.size(), seen = 0; i > 0 && seen < NestReach; --i, ++seen) {
        const TNested& o = nested_[i - 1];
        if (o.Foreign)
            return;
        if (o.Kind & kind) {
            while (nested_.size() > i - 1)
                NestPop(at);
            return;
        }
        if ((o.Kind & NestSpecial) && o.Hash != AddressHash && o.Hash != DivHash && !(o.Kind & KindParagraph))
            return;
    }
}
