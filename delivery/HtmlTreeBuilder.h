#pragma once

// The tree rules of HTML parsing, in one place: which element each of the
// tokenizer's tokens makes, and which tokenizer state follows it. Nothing
// here builds a tree in memory: what the page's readers ask of one is which
// start tags make elements (select contents drop most; a table's parts end a
// select), which are SVG or MathML ones, which elements a browser supplies
// (html, head, body) or merges (a second html or body), when a frameset
// takes the body's place, and, for a selector, how the elements nest and
// where each ends. The rules follow the HTML insertion modes as far as
// those questions need, with one stack of the open elements that decide
// them (the HTML elements around foreign content only roughly: the end tags
// the tree construction supplies are not followed), and for the nesting a
// stack of the elements as nested.
//
// Three kinds of reader: a THtmlSink takes the tokens as the tree rules leave
// them (PageText, ChangeMarks); a THtmlTreeSink takes the document's
// elements as a browser's `all` collection lists them (DocParser); a
// THtmlElementSink takes the elements nested as a tree, each with where it
// ends (PageSelector).
//
// Every name is looked up once, in one table, which gives its THtmlTag, its
// NameHash and its THtmlKind bits; the tags the readers get carry all three.

#include "delivery/HtmlScanner.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

// What the element of a name is to the tree rules, as bits: one table holds
// them for every name the rules know.
enum THtmlKind : std::uint32_t {
    KindVoid = 1u << 0,           // no content, no end tag
    KindSpecial = 1u << 1,        // a stray end tag of another name stops at it
    KindSearch = 1u << 2,         // <search>: special to the element tree only
    KindBoundary = 1u << 3,       // "has an element in scope" stops at it
    KindButton = 1u << 4,         // with the boundaries, a <p>'s scope ends at it
    KindClosesP = 1u << 5,        // its start tag ends an open <p>
    KindFormatting = 1u << 6,     // a formatting element (b, a, font...)
    KindTableScope = 1u << 7,     // "in table scope" stops at it: html, table, template
    KindListItem = 1u << 8,       // li
    KindDefinition = 1u << 9,     // dt, dd
    KindHeading = 1u << 10,       // h1 to h6
    KindSection = 1u << 11,       // tbody, thead, tfoot
    KindRow = 1u << 12,           // tr
    KindCell = 1u << 13,          // td, th
    KindOption = 1u << 14,
    KindOptGroup = 1u << 15,
    KindHead = 1u << 16,
    KindBody = 1u << 17,
    KindHtml = 1u << 18,
    KindAnchor = 1u << 19,        // a
    KindTable = 1u << 20,
    KindListScope = 1u << 21,     // ol, ul: a list item's scope ends at them
    KindParagraph = 1u << 22,     // p
    KindCaption = 1u << 23,
    KindColGroup = 1u << 24,
    KindBlock = 1u << 25,         // starts and ends a block of the page's text
};

// An end tag, looked up as start tags are.
struct THtmlEndTag {
    THtmlTag Tag = THtmlTag::Other;
    std::string_view Name; // lower case
    std::uint64_t Hash = 0;
    std::uint32_t Kind = 0;
    std::size_t Offset = 0; // the '<'
    std::size_t End = 0;    // just after the '>'
};

// The tokens that make something, with the tree rules applied: start tags
// that make no element are left out, <image> comes as <img>, and start tags
// inside SVG or MathML say so.
class THtmlSink {
public:
    virtual ~THtmlSink() = default;
    virtual void StartTag(const THtmlStartTag& tag) = 0;
    virtual void EndTag(const THtmlEndTag& tag) = 0;
    // Comments, bogus comments included; not doctypes.
    virtual void Comment(std::size_t offset, std::size_t end) = 0;
    // Character data between tokens, raw. In script data, style and the other
    // raw text elements it is the element's whole content.
    virtual void Text(std::size_t offset, std::size_t end) = 0;
};

// The elements of a document in document order, as a browser's element
// collection holds them.
class THtmlTreeSink {
public:
    virtual ~THtmlTreeSink() = default;
    // The document's html, head or body element: from the page's own start
    // tag, or, with written null, supplied at `at` where the page left it out.
    virtual void DocumentElement(THtmlTag tag, const THtmlStartTag* written, std::size_t at) = 0;
    // Any other element of the page. awaitsEnd: it has content, which an
    // end tag or the page's end closes (not a void or self-closed one).
    virtual void Element(const THtmlStartTag& tag, bool awaitsEnd) = 0;
    // A second <html> or <body>: the attributes the first lacks go to it.
    virtual void Merge(THtmlTag tag, const THtmlStartTag& with) = 0;
    // A frameset takes the place of the body and everything put in it.
    virtual void BodyReplaced() = 0;
    // The nearest open element of the name (by NameHash) ends, and with it
    // every element opened after it: its content at `at`, its source at
    // `end` (npos: at `at` as well, for an element that no end tag closes).
    virtual void Closed(std::uint64_t nameHash, std::size_t at, std::size_t end) = 0;
    virtual void Comment(std::size_t offset, std::size_t end) = 0;
    // The contents of the raw text element just reported (a script's text).
    virtual void RawText(std::size_t offset, std::size_t end) = 0;
    // False spares a reader that needs no element's end (no Closed, and
    // awaitsEnd always false), asked once per parse.
    virtual bool FollowsEnds() const = 0;
};

// One element of the page's tree.
struct THtmlElement {
    std::uint64_t Hash = 0;
    // Its start tag; null for a table's body or row that the tree supplies
    // where the page left it out.
    const THtmlStartTag* Start = nullptr;
    std::size_t Offset = 0; // its start tag's '<' (a supplied one's: the tag it is supplied for)
    std::size_t End = 0;    // just after its start tag's '>'
};

// The page's elements as a tree, the way a browser nests them as far as a
// selector asks: html, head and body once each, the end tags pages leave out
// (paragraphs, list items, definitions, headings, options, a table's parts),
// a table's body and row where the page leaves them out, and SVG and MathML
// elements with their integration points. Formatting elements are not
// opened again after a block's end, and nothing moves out of a table.
class THtmlElementSink {
public:
    virtual ~THtmlElementSink() = default;
    // An element inside the innermost open one. leaf: a void or self-closed
    // one, which ends with its start tag (no Closed follows); any other is
    // the innermost open one now.
    virtual void Opened(const THtmlElement& element, bool leaf) = 0;
    // The innermost open element ends at `end`: after its end tag, at the
    // tag that closes it without one, or at the page's end.
    virtual void Closed(std::size_t end) = 0;
};

class THtmlTreeBuilder {
public:
    // The page's tokens, with the tree rules applied, to sink.
    void Scan(std::string_view page, THtmlSink& sink);
    // An element's contents the same way, read as the body reads them: there
    // is no document around them that could still turn into a frameset.
    void ScanContent(std::string_view content, THtmlSink& sink);
    // The page's elements to tree, the supplied ones included. overTime,
    // when given, is asked now and then; true ends the parse (TimedOut).
    void Build(std::string_view page, THtmlTreeSink& tree, std::function<bool()> overTime = {});
    // The page's elements to elements, nested; every one that opens is
    // closed before this returns.
    void Nest(std::string_view page, THtmlElementSink& elements);

    // Ends the parse after the current token (a sink's time limit).
    void Stop() { scanner_.Stop(); }
    bool Stopped() const { return scanner_.Stopped(); }
    bool TimedOut() const { return timedOut_; }
    // Where the last token left the parse: inside an SVG or MathML element,
    // where a start tag makes one of theirs (a sink's question in Text).
    bool InForeignContent() const { return foreignAt_ != NotForeign && open_.back().Space != TSpace::Html; }

    static THtmlTag TagOf(std::string_view lowerName);

private:
    friend class THtmlScanner;

    // From the tokenizer.
    void StartTag(THtmlStartTag& t);
    void EndTag(std::string_view name, std::uint64_t hash, std::size_t offset, std::size_t end);
    void Comment(std::size_t offset, std::size_t end)
    {
        if (sink_)
            sink_->Comment(offset, end);
        else if (building_)
            DocumentComment(offset, end);
    }
    void Text(std::size_t offset, std::size_t end)
    {
        // Only Scan's sinks settle.
        if (settled_ && sink_) {
            sink_->Text(offset, end);
            return;
        }
        if (building_) {
            DocumentText(offset, end);
            return;
        }
        if (!settled_) {
            DocumentText(offset, end);
            Settle();
        }
        if (sink_)
            sink_->Text(offset, end);
    }

    enum class TSpace : std::uint8_t { Html, Svg, Math };

    // One open element. Below foreignAt_ the HTML elements outside any SVG
    // or MathML; from it on the SVG and MathML elements, with the HTML ones
    // of their integration points.
    struct TOpen {
        std::uint64_t Hash;
        TSpace Space;
        // Start tags under it are HTML again: SVG foreignObject, desc, title
        // and MathML annotation-xml for HTML; MathML text elements.
        bool HtmlPoint = false;
        bool TextPoint = false;
        bool AnnotationXml = false;
        // An end tag of HTML content stops at it (an HTML "special" element
        // or an integration point).
        bool Special = false;
        // An HTML element before which a <p> that a block's start tag ends
        // is not looked for.
        bool ButtonBoundary = false;
        // HTML formatting elements, and the elements that end them for good
        // (a cell, a caption), which also bound the scope an end tag looks in.
        bool Formatting = false;
        bool Boundary = false;
    };
    static constexpr std::size_t NotForeign = static_cast<std::size_t>(-1);

    void Reset(std::string_view page);
    void Forward(const THtmlStartTag& t);
    bool AcceptsHtmlStart(THtmlTag tag) const;
    void BreakOut();
    void CloseOpen(std::uint64_t hash, std::uint32_t kind);
    bool CloseOutside(std::uint64_t hash, std::uint32_t kind);
    void CloseP();
    static constexpr std::size_t MaxOutside = std::size_t{1} << 16;
    void HalveOutside();
    // Most start tags come to this; the compiler leaves a call in StartTag,
    // which is too large for it, and the call costs as much as the push.
    [[gnu::always_inline]] void PushOutside(const THtmlStartTag& t)
    {
        if (open_.size() == MaxOutside)
            HalveOutside();
        open_.push_back(HtmlOpen(t));
    }
    // An HTML element's entry, from what its name is to the tree rules.
    static TOpen HtmlOpen(const THtmlStartTag& t)
    {
        const std::uint32_t kind = t.Kind;
        return TOpen{t.Hash, TSpace::Html, false, false, false, (kind & KindSpecial) != 0,
                     (kind & (KindBoundary | KindButton)) != 0, (kind & KindFormatting) != 0,
                     (kind & KindBoundary) != 0};
    }
    void PopOutside(std::size_t at);
    void PopOpen(std::size_t at);
    void EndForeign();
    void TableStart(THtmlTag tag);
    void TableEnd(THtmlTag tag);

    // The document's own modes, up to the body and the frameset.
    void DocumentStart(const THtmlStartTag& t);
    void DocumentEnd(THtmlTag tag, std::uint64_t hash, std::size_t offset, std::size_t end);
    void DocumentComment(std::size_t offset, std::size_t end);
    void DocumentText(std::size_t offset, std::size_t end);
    void EnterBody(std::size_t at);
    void Tick();
    // The readers that build no tree follow the document's modes only until
    // the page can no longer turn into a frameset, or has.
    void Settle() { settled_ = mode_ == TMode::InFrameset || (mode_ == TMode::InBody && !framesetOk_); }

    // The element tree (Nest).
    void NestStart(const THtmlStartTag& t);
    void NestEnd(const THtmlEndTag& t);
    void NestOpen(const THtmlElement& e, std::uint32_t kind, bool foreign, bool integration, bool leaf);
    void NestPop(std::size_t end);
    void NestPopTo(std::size_t at, std::size_t endTag, std::size_t end);
    void NestCloseTop(std::uint32_t kind, std::size_t at);
    void NestCloseInScope(std::uint32_t kind, std::uint32_t stop, std::size_t at);
    void NestClearBackTo(std::uint32_t keep, std::size_t at);
    void NestCloseItem(std::uint32_t kind, std::size_t at);

    THtmlScanner scanner_;
    std::string_view page_;
    THtmlSink* sink_ = nullptr;
    // The tree the document's modes report to: Build's, or one that keeps
    // nothing for the other readers, which follow the modes all the same.
    THtmlTreeSink* tree_ = nullptr;
    bool building_ = false;
    bool settled_ = false;
    THtmlElementSink* nest_ = nullptr;

    std::vector<TOpen> open_;
    std::size_t foreignAt_ = NotForeign;
    bool inSelect_ = false;
    bool selectInTable_ = false;
    int tables_ = 0;
    // For each open table, innermost last, the parts of it that are open
    // (TablePart bits): a select inside the table ends at the end tag of
    // one of them, and only then.
    std::vector<std::uint8_t> tableParts_;
    // A template's contents start afresh: no select, no table around them.
    struct TOuter {
        bool InSelect, SelectInTable;
        int Tables;
        std::size_t Parts;
        bool TemplateFresh;
    };
    // No start tag but the head's ones has come in the innermost template's
    // contents yet: a table's part there makes the template a table.
    bool templateFresh_ = false;
    std::vector<TOuter> templates_;

    enum class TMode { Initial, BeforeHead, InHead, AfterHead, InBody, InFrameset };
    TMode mode_ = TMode::Initial;
    bool framesetOk_ = true;
    bool followsEnds_ = false;
    // The templates the document's modes count: one in a frameset opens
    // no contents there.
    int documentTemplates_ = 0;
    // The last start tag was a raw text element's: the text that follows
    // is its content (rawReported_: and it was reported as an element).
    bool rawPending_ = false;
    bool rawReported_ = false;
    std::function<bool()> overTime_;
    std::uint32_t ticks_ = 0;
    bool timedOut_ = false;

    // The element tree's own stack: the elements open as a selector sees
    // them. It closes more than open_ does (the end tags pages leave out) and
    // opens nothing again, so the two are kept apart; both take their kinds
    // from the one table.
    struct TNested {
        std::uint64_t Hash;
        std::uint32_t Kind; // 0 for SVG and MathML elements
        bool Foreign;
        bool Integration; // an SVG or MathML element that HTML may go into
    };
    std::vector<TNested> nested_;
    bool seenHtml_ = false, seenHead_ = false, seenBody_ = false;
};

// The elements whose contents the tokenizer reads as text up to their own
// end tag (PLAINTEXT aside, which has none).
bool IsRawText(THtmlTag tag);

// The start tags that stay in the head while it is open, and that a
// template's contents take as the head would.
bool IsHeadTag(THtmlTag tag);
