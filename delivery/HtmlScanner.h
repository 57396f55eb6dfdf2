#pragma once

// A tokenizer for HTML that finds where start tags and their attributes are,
// the way a browser's tokenizer does: comments, doctypes, raw text, script
// data with its escapes, CDATA in SVG and MathML. It keeps only the few tree
// effects that decide which tokenizer state applies or which start tags an
// element-building parse would keep (select contents and the table parts that
// end a select, foreign content and, roughly, the HTML elements open around
// it, the first of two duplicate attributes, <image> as <img>). One pass over
// the page, no recursion, and no allocation per token once its buffers have
// grown.

#include <cstddef>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum class THtmlTag : std::uint8_t {
    Other, A, Img, Image, Body, Html, Head, Script, Link, Base, BaseFont, FrameSet, Frame, NoFrames, Font, Meta,
    Marquee, Form, Div, HR, BR, Comment, Title, TextArea, Style, Xmp, IFrame, NoEmbed, PlainText, NoScript, Select,
    Option, OptGroup, Input, Keygen, Template, Svg, Math, ForeignObject, Desc, AnnotationXml, Mi, Mo, Mn, Ms, MText,
    MGlyph, MAlignMark, Table, Caption, TBody, TFoot, THead, Tr, Td, Th, BgSound, Breakout,
};

struct THtmlAttribute {
    std::string_view Name;  // lower case
    std::string_view Value; // character references decoded, line breaks normalised
    // The value as written in the page: inside its quotes, if any.
    std::size_t RawOffset = 0;
    std::size_t RawLength = 0;
    char Quote = 0; // '"', '\'' or 0
    bool HasValue = false;
};

struct THtmlStartTag {
    THtmlTag Tag = THtmlTag::Other;
    std::string_view Name; // lower case
    std::size_t Offset = 0; // the '<'
    std::size_t End = 0;    // just after the '>'
    bool SelfClosing = false;
    // Inside SVG or MathML, where a name means the foreign element.
    bool Foreign = false;
    const THtmlAttribute* Attributes = nullptr;
    std::size_t Count = 0;

    const THtmlAttribute* Find(std::string_view name) const
    {
        for (std::size_t i = 0; i < Count; ++i)
            if (Attributes[i].Name == name)
                return &Attributes[i];
        return nullptr;
    }
};

class THtmlSink {
public:
    virtual ~THtmlSink() = default;
    virtual void StartTag(const THtmlStartTag& tag) = 0;
    virtual void EndTag(THtmlTag tag, std::string_view name, std::size_t offset, std::size_t end) = 0;
    // Comments, bogus comments included; not doctypes.
    virtual void Comment(std::size_t offset, std::size_t end) = 0;
    // Character data between tokens, raw. In script data, style and the other
    // raw text elements it is the element's whole content.
    virtual void Text(std::size_t offset, std::size_t end) = 0;
};

// The hash the scanner and the parser keep open elements' names by (FNV-1a):
// every start and end tag asks for one.
inline std::uint64_t NameHash(std::string_view name)
{
    std::uint64_t h = 14695981039346656037ull;
    for (char c : name)
        h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    return h;
}

class THtmlScanner {
public:
    void Scan(std::string_view page, THtmlSink& sink);
    // Ends the scan after the current token (a sink's time limit).
    void Stop() { stop_ = true; }
    bool Stopped() const { return stop_; }
    // Where the last token left the scan: inside an SVG or MathML element,
    // where a start tag makes one of theirs (a sink's question in Text).
    bool InForeignContent() const { return ForeignNow(); }

    static THtmlTag TagOf(std::string_view lowerName);

private:
    enum class TContent { Data, RcData, RawText, ScriptData, PlainText };
    enum class TSpace : std::uint8_t { Html, Svg, Math };

    struct TOpen {
        std::uint64_t Hash;
        TSpace Space;
        // Start tags under it are HTML again: SVG foreignObject, desc, title
        // and MathML annotation-xml for HTML; MathML text elements.
        bool HtmlPoint;
        bool TextPoint;
        bool AnnotationXml;
        // An end tag of HTML content stops at it (an HTML "special" element
        // or an integration point).
        bool Special;
        // An HTML element before which a <p> that a block's start tag ends
        // is not looked for.
        bool ButtonBoundary = false;
        // HTML formatting elements, and the elements that end them for good
        // (a cell, a caption).
        bool Formatting = false;
        bool Marker = false;
    };

    struct TPendingAttribute {
        std::size_t NameAt, NameLength; // in names_ when NameLowered, else in the page
        bool NameLowered;
        bool HasValue;
        char Quote;
        std::size_t RawOffset, RawLength;
        bool Decoded;
        std::size_t DecodedAt, DecodedLength; // in decoded_
    };

    std::size_t Markup(std::size_t lt);
    std::size_t Tag(std::size_t lt, std::size_t nameAt, bool end);
    std::size_t CommentFrom(std::size_t lt, std::size_t at);
    std::size_t BogusComment(std::size_t lt, std::size_t at);
    std::size_t RawEnd(std::size_t from) const;
    std::size_t ScriptEnd(std::size_t from) const;
    bool EndNameAt(std::size_t at) const;
    void EmitStart(std::size_t lt, std::size_t end, bool selfClosing);
    void EmitEnd(std::size_t lt, std::size_t end);
    bool Duplicate(std::string_view name);
    std::string_view PendingName(const TPendingAttribute& a) const;
    bool ForeignNow() const;
    bool AcceptsHtmlStart(THtmlTag tag) const;
    void CloseOpen(std::uint64_t hash, std::string_view name);
    bool CloseOutside(std::uint64_t hash, std::string_view name);
    void BreakOut();
    void TableStart(THtmlTag tag);
    void CloseP();
    void PopOutside(std::size_t at);
    void PopOpen(std::size_t at);
    void TableEnd(THtmlTag tag);

    std::string_view page_;
    THtmlSink* sink_ = nullptr;
    bool stop_ = false;
    TContent content_ = TContent::Data;
    std::string rawName_; // the start tag that opened RCDATA, RAWTEXT or script data

    std::string tagName_;
    bool tagNameLowered_ = false;
    std::size_t tagNameAt_ = 0, tagNameLength_ = 0;
    std::vector<TPendingAttribute> pending_;
    std::string names_;
    std::string decoded_;
    std::vector<THtmlAttribute> attributes_;
    std::vector<std::int32_t> seen_; // open-addressing table of attribute names, for tags with many
    std::size_t seenFilled_ = 0;

    std::vector<TOpen> open_; // the open SVG and MathML elements, with HTML ones inside them
    // The HTML elements open around the foreign content, roughly (the end
    // tags the tree construction supplies are not followed): an end tag
    // inside SVG or MathML that closes one of them ends the foreign content.
    struct TOutside {
        std::uint32_t Hash; // the name's, its low half
        bool Special;  // a stray end tag stops at it
        bool Boundary; // an end tag that looks for its element in scope stops at it
        bool ButtonBoundary; // and a <p> ending before a block's start tag
        bool Formatting;
    };
    std::vector<TOutside> outside_;
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
};

// Appends the value of raw text with its character references decoded, as
// an attribute value (inAttribute) or as character data; CR LF and lone CR
// become LF and NUL becomes U+FFFD in attributes. Gives false when out is
// just raw.
bool DecodeHtmlText(std::string_view raw, bool inAttribute, std::string& out);

// A code point as UTF-8, as character references and selector escapes give it.
void AppendUtf8(std::uint32_t cp, std::string& out);

// The elements whose contents the tokenizer reads as text up to their own
// end tag (PLAINTEXT aside, which has none).
bool IsRawText(THtmlTag tag);
