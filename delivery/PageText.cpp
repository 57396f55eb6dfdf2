#include "delivery/PageText.h"

#include "delivery/HtmlScanner.h"

#include <algorithm>
#include <array>

namespace {

using namespace std::string_view_literals;

// Elements that start and end a block of text (sorted, for the search).
constexpr std::array BlockNames = {
    "address"sv, "article"sv, "aside"sv,    "blockquote"sv, "body"sv,     "br"sv,      "caption"sv, "center"sv,
    "dd"sv,      "details"sv, "dialog"sv,   "dir"sv,        "div"sv,      "dl"sv,      "dt"sv,      "fieldset"sv,
    "figcaption"sv, "figure"sv, "footer"sv, "form"sv,       "frameset"sv, "h1"sv,      "h2"sv,      "h3"sv,
    "h4"sv,      "h5"sv,      "h6"sv,       "head"sv,       "header"sv,   "hgroup"sv,  "hr"sv,      "html"sv,
    "legend"sv,  "li"sv,      "listing"sv,  "main"sv,       "menu"sv,     "nav"sv,     "ol"sv,      "optgroup"sv,
    "option"sv,  "p"sv,       "plaintext"sv, "pre"sv,       "section"sv,  "select"sv,  "summary"sv, "table"sv,
    "tbody"sv,   "td"sv,      "textarea"sv, "tfoot"sv,      "th"sv,       "thead"sv,   "title"sv,   "tr"sv,
    "ul"sv,      "xmp"sv,
};

// Start tags that may stand before a page's body without opening it.
constexpr std::array HeadNames = {
    "base"sv, "basefont"sv, "bgsound"sv, "head"sv,   "html"sv,     "link"sv,
    "meta"sv, "noframes"sv, "noscript"sv, "script"sv, "style"sv,   "template"sv, "title"sv,
};

static_assert(std::is_sorted(BlockNames.begin(), BlockNames.end()));
static_assert(std::is_sorted(HeadNames.begin(), HeadNames.end()));

// Asked for every tag of a page: the names of each length are few.
struct TNameTable {
    std::array<std::vector<std::string_view>, 11> ByLength;
    constexpr TNameTable() = default;
};

const TNameTable& BlockTable()
{
    static const TNameTable table = [] {
        TNameTable t;
        for (std::string_view name : BlockNames)
            t.ByLength[name.size()].push_back(name);
        return t;
    }();
    return table;
}

bool IsBlockName(std::string_view name)
{
    if (name.size() >= 11)
        return false;
    for (std::string_view candidate : BlockTable().ByLength[name.size()])
        if (candidate == name)
            return true;
    return false;
}

bool IsHeadName(std::string_view name)
{
    return std::binary_search(HeadNames.begin(), HeadNames.end(), name);
}

// The start tags after which the tokenizer reads text, not tags, up to the
// element's end tag: a mark there would be shown as text or break a script.
bool OpensRawText(THtmlTag tag)
{
    return IsRawText(tag) || tag == THtmlTag::PlainText;
}

constexpr std::array<bool, 256> SpaceTable = [] {
    std::array<bool, 256> t{};
    for (unsigned char c : {' ', '\t', '\n', '\r', '\f'})
        t[c] = true;
    return t;
}();

bool IsSpace(char c)
{
    return SpaceTable[static_cast<unsigned char>(c)];
}

class TTextSink final : public THtmlSink {
public:
    TTextSink(std::string_view page, TPageText& out, THtmlScanner& scanner, const TPageTextLimits& limits)
        : page_(page), out_(out), scanner_(scanner), limits_(limits)
    {
    }

    bool Stopped() const { return stopped_; }

    void Finish()
    {
        EndBlock();
        // A page with nothing for its body takes the summary after its last
        // whole token, when that leaves the tokenizer reading markup outside
        // any head element that holds text (else it would become a title's
        // text or a comment's, or move the head's elements into a body).
        if (!bodyPlaced_)
            out_.BodyStart = cleanEnd_;
        if (frameset_)
            out_.BodyStart = TPageText::NoPlace;
    }

    void StartTag(const THtmlStartTag& t) override
    {
        Tick();
        raw_ = !t.Foreign && OpensRawText(t.Tag);
        if (t.Tag == THtmlTag::PlainText && !t.Foreign)
            plainText_ = true;
        if (!t.Foreign && IsBlockName(t.Name))
            EndBlock();
        // A frameset replaces a body that has held nothing yet: a page with
        // one anywhere gets nothing put in, so that its frames stay.
        if (t.Tag == THtmlTag::FrameSet && !t.Foreign && templates_ == 0)
            frameset_ = true;
        if (!bodyPlaced_ && templates_ == 0 && !t.Foreign) {
            if (t.Tag == THtmlTag::Body) {
                PlaceBody(t.End);
            } else if (t.Tag == THtmlTag::FrameSet) {
                bodyPlaced_ = true;
            } else if (!IsHeadName(t.Name) || (afterHead_ && t.Tag == THtmlTag::NoScript)) {
                // After the head's end a noscript opens the body.
                PlaceBody(t.Offset);
            }
        }
        if ((t.Tag == THtmlTag::Svg || t.Tag == THtmlTag::Math) && !t.SelfClosing)
            roots_.push_back(t.Tag);
        if (!t.Foreign) {
            switch (t.Tag) {
            case THtmlTag::Template:
                ++templates_;
                break;
            case THtmlTag::Select:
                inSelect_ = true;
                break;
            default:
                break;
            }
        }
        // The scanner takes in an svg or math start tag after telling it.
        if (t.Foreign || t.Tag == THtmlTag::Svg || t.Tag == THtmlTag::Math)
            cleanEnd_ = TPageText::NoPlace;
        else
            Clean(t.End);
    }

    void EndTag(THtmlTag tag, std::string_view name, std::size_t offset, std::size_t end) override
    {
        Tick();
        raw_ = false;
        // These end tags open the body when it is not open yet.
        if (!bodyPlaced_ && templates_ == 0 && (tag == THtmlTag::Body || tag == THtmlTag::Html || tag == THtmlTag::BR))
            PlaceBody(offset);
        if (IsBlockName(name))
            EndBlock();
        if (tag == THtmlTag::Head)
            afterHead_ = true;
        switch (tag) {
        case THtmlTag::Svg:
        case THtmlTag::Math:
            if (!roots_.empty() && roots_.back() == tag)
                roots_.pop_back();
            break;
        case THtmlTag::Template:
            if (templates_ > 0)
                --templates_;
            break;
        case THtmlTag::Select:
            inSelect_ = false;
            break;
        default:
            break;
        }
        Clean(end);
    }

    void Comment(std::size_t, std::size_t end) override
    {
        Tick();
        // One that the page's end cut short takes in whatever follows it.
        if (end > 0 && page_[end - 1] == '>')
            Clean(end);
        else
            cleanEnd_ = TPageText::NoPlace;
    }

    void Text(std::size_t offset, std::size_t end) override
    {
        Tick();
        Clean(end);
        if (raw_ || plainText_ || templates_ > 0)
            return;
        const std::uint32_t node = nodes_++;
        const bool markable = !Foreign() && !inSelect_;
        std::size_t p = offset;
        while (p < end) {
            if (IsSpace(page_[p])) {
                space_ = true;
                ++p;
                continue;
            }
            const std::size_t begin = p;
            while (p < end && !IsSpace(page_[p]))
                ++p;
            // White space before the first word stays where it was: in the
            // head, or dropped before the document's start.
            if (!bodyPlaced_ && templates_ == 0)
                PlaceBody(begin);
            AddWord(begin, p, node, markable);
        }
    }

private:
    void Tick()
    {
        if (++ticks_ % 256 == 0 && TThreadClock::now() > limits_.Deadline)
            Stop();
    }

    void Stop()
    {
        stopped_ = true;
        scanner_.Stop();
    }

    // Inside SVG or MathML by either count: the scanner follows which
    // elements close around foreign content only roughly, in both ways, so
    // its word and that of the svg and math tags alone must both say no.
    bool Foreign() const { return !roots_.empty() || scanner_.InForeignContent(); }

    // The end of a token after which the tokenizer reads markup again, at
    // the top of the page, or NoPlace.
    void Clean(std::size_t end)
    {
        const bool top = !raw_ && !plainText_ && templates_ == 0 && !Foreign() && !inSelect_;
        cleanEnd_ = top ? end : TPageText::NoPlace;
    }

    void PlaceBody(std::size_t at)
    {
        out_.BodyStart = at;
        bodyPlaced_ = true;
    }

    void AddWord(std::size_t begin, std::size_t end, std::uint32_t node, bool markable)
    {
        bool spaceBefore = space_;
        if (!inBlock_) {
            inBlock_ = true;
            blockText_ = static_cast<std::uint32_t>(out_.Text.size());
            blockWord_ = static_cast<std::uint32_t>(out_.Words.size());
            spaceBefore = false;
        } else if (spaceBefore) {
            out_.Text += ' ';
        }
        space_ = false;
        const std::size_t at = out_.Text.size();
        const std::string_view raw = page_.substr(begin, end - begin);
        // A tag after a word's "</" (only ever at the page's end) would be
        // read as a comment.
        if (raw.ends_with("</"))
            markable = false;
        if (raw.find('&') == std::string_view::npos)
            out_.Text.append(raw);
        else
            DecodeHtmlText(raw, false, out_.Text);
        out_.Words.push_back(TTextWord{static_cast<std::uint32_t>(at), static_cast<std::uint32_t>(out_.Text.size() - at),
                                       begin, end, node, spaceBefore, markable});
    }

    void EndBlock()
    {
        space_ = false;
        if (!inBlock_)
            return;
        inBlock_ = false;
        const auto words = static_cast<std::uint32_t>(out_.Words.size()) - blockWord_;
        out_.Blocks.push_back(TTextBlock{blockWord_, words, blockText_,
                                         static_cast<std::uint32_t>(out_.Text.size()) - blockText_});
        if (out_.Blocks.size() >= limits_.MaxBlocks)
            Stop();
    }

    std::string_view page_;
    TPageText& out_;
    THtmlScanner& scanner_;
    const TPageTextLimits& limits_;
    bool stopped_ = false;
    std::size_t ticks_ = 0;

    bool raw_ = false;
    bool plainText_ = false;
    int templates_ = 0;
    bool inSelect_ = false;
    std::vector<THtmlTag> roots_; // svg and math start tags not yet ended
    bool bodyPlaced_ = false;
    bool frameset_ = false;
    bool afterHead_ = false;
    std::size_t cleanEnd_ = 0;

    std::uint32_t nodes_ = 0;
    bool inBlock_ = false;
    bool space_ = false;
    std::uint32_t blockText_ = 0, blockWord_ = 0;
};

} // namespace

bool ReadPageText(std::string_view page, TPageText& out, const TPageTextLimits& limits)
{
    out.Text.clear();
    out.Words.clear();
    out.Blocks.clear();
    out.BodyStart = TPageText::NoPlace;
    // Room enough for most pages at once: growing these by copying costs
    // as much as reading the page.
    out.Text.reserve(page.size() / 2);
    out.Words.reserve(page.size() / 8);
    out.Blocks.reserve(page.size() / 64);
    THtmlScanner scanner;
    TTextSink sink(page, out, scanner, limits);
    scanner.Scan(page, sink);
    sink.Finish();
    return !sink.Stopped();
}
