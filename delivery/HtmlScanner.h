#pragma once

// The HTML tokenizer and its tokens. What the tokens make of a document, and
// which tokenizer state follows each start tag, is the tree builder's
// (delivery/HtmlTreeBuilder.h), which also hands the tokens on to whoever
// reads the page.

#include "platform/Text.h"

#include <cstddef>
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
    // The tree builder's: from the name, <image> as <img>.
    THtmlTag Tag = THtmlTag::Other;
    std::string_view Name; // lower case
    // Its NameHash, from the tokenizer; and the tree builder's, from one look
    // at the name: what its element is to the tree rules (THtmlKind bits).
    std::uint64_t Hash = 0;
    std::uint32_t Kind = 0;
    std::size_t Offset = 0; // the '<'
    std::size_t End = 0;    // just after the '>'
    bool SelfClosing = false;
    // The tree builder's: inside SVG or MathML, where a name means the
    // foreign element.
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

// The hash the tree builder keeps open elements' names by and looks names up
// by (FNV-1a): the tokenizer works it out once for every start and end tag,
// on its way over the name.
constexpr std::uint64_t NameHashStart = 14695981039346656037ull;

inline std::uint64_t NameHashStep(std::uint64_t h, char c)
{
    return (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
}

inline std::uint64_t NameHash(std::string_view name)
{
    std::uint64_t h = NameHashStart;
    for (char c : name)
        h = NameHashStep(h, c);
    return h;
}

// How the tokenizer reads what follows a start tag; the tree builder, which
// knows the element, switches it.
enum class THtmlContent : std::uint8_t { Data, RcData, RawText, ScriptData, PlainText };

class THtmlTreeBuilder;

// The tokenizer: tags with their attributes, comments, doctypes, character
// data, raw text and script data with its escapes, CDATA, character
// references and where every token stands in the page. It hands each token
// to the tree builder, which decides what the token makes and which state the
// tokenizer goes on in. One pass over the page, no recursion, and no
// allocation per token once its buffers have grown.
class THtmlScanner {
public:
    void Scan(std::string_view page, THtmlTreeBuilder& builder);
    // Ends the scan after the current token.
    void Stop() { stop_ = true; }
    bool Stopped() const { return stop_; }
    // From the next character on: text up to the end tag of `name` (RCDATA,
    // RAWTEXT, script data), or everything to the page's end (PLAINTEXT).
    void SwitchTo(THtmlContent content, std::string_view name)
    {
        content_ = content;
        rawName_.assign(name);
    }

private:
    struct TPendingAttribute {
        std::size_t NameAt, NameLength; // in names_ when NameLowered, else in the page
        bool NameLowered;
        bool HasValue;
        char Quote;
        std::size_t RawOffset, RawLength;
        bool Decoded; // the value holds something decoding changes
        std::size_t DecodedAt, DecodedLength; // in decoded_
    };

    std::size_t Markup(std::size_t lt);
    // Inside the scanning loop: a tag's own work is about as cheap as a
    // call's register saves.
    [[gnu::always_inline]] inline std::size_t Tag(std::size_t lt, std::size_t nameAt, bool end);
    [[gnu::noinline]] void FoldTagName();
    std::size_t Attributes(std::size_t lt, std::size_t p, bool end);
    std::size_t CommentFrom(std::size_t lt, std::size_t at);
    std::size_t BogusComment(std::size_t lt, std::size_t at);
    std::size_t RawEnd(std::size_t from) const;
    std::size_t ScriptEnd(std::size_t from) const;
    bool EndNameAt(std::size_t at) const;
    void EmitStart(std::size_t lt, std::size_t end, bool selfClosing);
    void EmitEnd(std::size_t lt, std::size_t end);
    bool Duplicate(std::string_view name);
    std::string_view TagName() const
    {
        return tagNameLowered_ ? std::string_view(tagName_) : std::string_view(page_.data() + tagNameAt_, tagNameLength_);
    }
    std::string_view PendingName(const TPendingAttribute& a) const;

    std::string_view page_;
    THtmlTreeBuilder* builder_ = nullptr;
    bool stop_ = false;
    THtmlContent content_ = THtmlContent::Data;
    std::string rawName_; // the start tag that opened RCDATA, RAWTEXT or script data

    std::string tagName_;
    bool tagNameLowered_ = false;
    std::size_t tagNameAt_ = 0, tagNameLength_ = 0;
    std::uint64_t tagNameHash_ = 0;
    std::vector<TPendingAttribute> pending_;
    std::string names_;
    std::string decoded_;
    std::vector<THtmlAttribute> attributes_;
    std::vector<std::int32_t> seen_; // open-addressing table of attribute names, for tags with many
    std::size_t seenFilled_ = 0;
};

// Appends the value of raw text with its character references decoded, as
// an attribute value (inAttribute) or as character data; CR LF and lone CR
// become LF and NUL becomes U+FFFD in attributes. Gives false when out is
// just raw.
bool DecodeHtmlText(std::string_view raw, bool inAttribute, std::string& out);

// A code point as UTF-8, as character references and selector escapes give it.
void AppendUtf8(std::uint32_t cp, std::string& out);
