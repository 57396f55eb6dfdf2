#include "delivery/PageText.h"

#include "delivery/HtmlTreeBuilder.h"

#include <bit>
#include <cstring>

namespace {

// Start tags that may stand before a page's body without opening it.
bool IsHeadName(THtmlTag tag)
{
    return IsHeadTag(tag) || tag == THtmlTag::Head || tag == THtmlTag::Html;
}

// The start tags after which the tokenizer reads text, not tags, up to the
// element's end tag: a mark there would be shown as text or break a script.
bool OpensRawText(THtmlTag tag)
{
    return IsRawText(tag) || tag == THtmlTag::PlainText;
}

// Copies text (which starts with a word) to out with each run of white
// space made one blank; gap says whether it ended in white space. Out has
// room for text's size; what is written never runs ahead of what is read,
// so eight bytes at a time may be copied while eight are left to read.
// Gives the bytes written.
std::size_t CopyCollapsed(std::string_view text, char* out, bool& gap)
{
    constexpr std::uint64_t ones = 0x0101010101010101ull;
    const char* p = text.data();
    const char* const end = p + text.size();
    char* o = out;
    gap = false;
    while (p < end) {
        if (std::endian::native == std::endian::little && end - p >= 8) {
            std::uint64_t v;
            std::memcpy(&v, p, 8);
            // Every byte below 0x21 is marked (white space is among them;
            // the others are copied one by one below), but a lone blank
            // between words stays as it is, and most white space is one.
            // The sums stay within their bytes, so each mark is exact.
            constexpr std::uint64_t highs = 0x80 * ones, lows = 0x7F * ones;
            const std::uint64_t below = ~(((v & lows) + (0x7F - 0x20) * ones) | v) & highs;
            const std::uint64_t x = v ^ (0x20 * ones);
            const std::uint64_t blank = ~(((x & lows) + lows) | x) & highs;
            // The next byte is no white space: the last byte's next is
            // unknown, so a blank there is marked.
            const std::uint64_t lone = blank & ~(below >> 8) & ~(highs << 56);
            const std::uint64_t marked = below & ~lone;
            std::memcpy(o, &v, 8);
            if (marked == 0) {
                p += 8;
                o += 8;
                continue;
            }
            const auto k = static_cast<std::size_t>(std::countr_zero(marked) / 8);
            p += k;
            o += k;
        }
        if (!IsAsciiSpace(*p)) {
            *o++ = *p++;
            continue;
        }
        while (p < end && IsAsciiSpace(*p))
            ++p;
        if (p == end) {
            gap = true;
            break;
        }
        *o++ = ' ';
    }
    return static_cast<std::size_t>(o - out);
}

// Where the word at text[p] ends: at the first white space from p, or end.
std::size_t WordEnd(std::string_view text, std::size_t p, std::size_t end)
{
    constexpr std::uint64_t ones = 0x0101010101010101ull;
    while (p < end) {
        if (std::endian::native == std::endian::little && end - p >= 8) {
            std::uint64_t v;
            std::memcpy(&v, text.data() + p, 8);
            // As in CopyCollapsed: the lowest byte below 0x21, exactly.
            const std::uint64_t low = (v - 0x21 * ones) & ~v & (0x80 * ones);
            if (low == 0) {
                p += 8;
                continue;
            }
            p += static_cast<std::size_t>(std::countr_zero(low) / 8);
        }
        if (IsAsciiSpace(text[p]))
            return p;
        ++p;
    }
    return end;
}

// A word's text as the reader sees it, appended.
void AppendWord(std::string_view raw, std::string& text)
{
    if (std::memchr(raw.data(), '&', raw.size()) == nullptr)
        text.append(raw);
    else
        DecodeHtmlText(raw, false, text);
}

class TTextSink final : public THtmlSink {
public:
    TTextSink(std::string_view page, TPageText& out, THtmlTreeBuilder& scanner, const TPageTextLimits& limits)
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
        if (!t.Foreign && (t.Kind & KindBlock))
            EndBlock();
        // A frameset replaces a body that has held nothing yet: a page with
        // one anywhere gets nothing put in, so that its frames stay.
        if (t.Tag == THtmlTag::FrameSet && !t.Foreign && templates_ == 0) {
            frameset_ = true;
            if (limits_.BodyStartOnly)
                Done();
        }
        if (!bodyPlaced_ && templates_ == 0 && !t.Foreign) {
            if (t.Tag == THtmlTag::Body) {
                PlaceBody(t.End);
            } else if (t.Tag == THtmlTag::FrameSet) {
                bodyPlaced_ = true;
            } else if (!IsHeadName(t.Tag) || (afterHead_ && t.Tag == THtmlTag::NoScript)) {
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

    void EndTag(const THtmlEndTag& tag) override
    {
        Tick();
        raw_ = false;
        // These end tags open the body when it is not open yet.
        if (!bodyPlaced_ && templates_ == 0 && (tag.Tag == THtmlTag::Body || tag.Tag == THtmlTag::Html || tag.Tag == THtmlTag::BR))
            PlaceBody(tag.Offset);
        if (tag.Kind & KindBlock)
            EndBlock();
        if (tag.Tag == THtmlTag::Head)
            afterHead_ = true;
        switch (tag.Tag) {
        case THtmlTag::Svg:
        case THtmlTag::Math:
            if (!roots_.empty() && roots_.back() == tag.Tag)
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
        Clean(tag.End);
    }

    void Comment(std::size_t offset, std::size_t end) override
    {
        Tick();
        // One that the page's end cut short takes in whatever follows it.
        if (Closed(page_.substr(offset, end - offset)))
            Clean(end);
        else
            cleanEnd_ = TPageText::NoPlace;
    }

    // Whether a comment ends with its own closing, not with the page: a
    // comment cut short may end in a '>' of its text ("<!-- a ->").
    static bool Closed(std::string_view comment)
    {
        if (comment.starts_with("<!--"))
            return comment.size() >= 5 && (comment.ends_with("-->") || comment.ends_with("--!>"));
        return comment.ends_with('>');
    }

    void Text(std::size_t offset, std::size_t end) override
    {
        Tick();
        Clean(end);
        if (raw_ || plainText_ || templates_ > 0)
            return;
        const std::uint32_t node = nodes_++;
        std::size_t p = offset;
        while (p < end && IsAsciiSpace(page_[p]))
            ++p;
        if (p > offset)
            space_ = true;
        if (p == end)
            return;
        // White space before the first word stays where it was: in the
        // head, or dropped before the document's start.
        if (!bodyPlaced_) {
            PlaceBody(p);
            if (done_)
                return;
        }
        // The tree construction drops NUL characters from a page's text: a
        // node of nothing else (and white space) shows nothing, and a mark
        // around it would only make elements of its own.
        std::size_t shown = p;
        bool blank = false;
        for (; shown < end; ++shown) {
            if (IsAsciiSpace(page_[shown]))
                blank = true;
            else if (page_[shown] != '\0')
                break;
        }
        if (shown == end) {
            space_ = space_ || blank;
            return;
        }
        AddPiece(p, end, node, !Foreign() && !inSelect_);
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

    // The reading has found what it was asked for.
    void Done()
    {
        done_ = true;
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
        if (limits_.BodyStartOnly && !frameset_ && !FramesetFrom(at))
            Done();
    }

    // A frameset start tag may still come after at (in any case of letters).
    bool FramesetFrom(std::size_t at) const
    {
        constexpr std::string_view name = "frameset";
        const char* const end = page_.data() + page_.size();
        for (const char* p = page_.data() + at;
             (p = static_cast<const char*>(std::memchr(p, '<', static_cast<std::size_t>(end - p)))) != nullptr; ++p) {
            if (static_cast<std::size_t>(end - p) <= name.size())
                return false;
            bool same = true;
            for (std::size_t i = 0; i < name.size() && same; ++i)
                same = (p[1 + i] | 0x20) == name[i];
            if (same)
                return true;
        }
        return false;
    }

    // The words of one text node from its first word on: the block's text
    // takes them with one blank for each run of white space between them.
    void AddPiece(std::size_t begin, std::size_t end, std::uint32_t node, bool markable)
    {
        const std::string_view raw = page_.substr(begin, end - begin);
        const bool references = std::memchr(raw.data(), '&', raw.size()) != nullptr;
        std::string& text = out_.Text;
        bool spaceBefore = space_;
        if (!inBlock_) {
            inBlock_ = true;
            blockText_ = static_cast<std::uint32_t>(text.size());
            blockPiece_ = static_cast<std::uint32_t>(out_.Pieces.size());
            spaceBefore = false;
        } else if (spaceBefore) {
            text += ' ';
        }
        out_.Pieces.push_back(TTextPiece{begin, end, node, spaceBefore, markable, references});
        bool gap = false;
        if (!references) {
            const std::size_t at = text.size();
            text.resize(at + raw.size());
            char* const start = text.data() + at;
            const std::size_t length = CopyCollapsed(raw, start, gap);
            text.resize(at + length);
        } else {
            // Word by word, as ReadBlockWords reads them again.
            for (std::size_t p = 0; p < raw.size();) {
                if (IsAsciiSpace(raw[p])) {
                    gap = true;
                    ++p;
                    continue;
                }
                const std::size_t wordAt = p;
                while (p < raw.size() && !IsAsciiSpace(raw[p]))
                    ++p;
                if (gap)
                    text += ' ';
                gap = false;
                AppendWord(raw.substr(wordAt, p - wordAt), text);
            }
        }
        space_ = gap;
    }

    void EndBlock()
    {
        space_ = false;
        if (!inBlock_)
            return;
        inBlock_ = false;
        const auto pieces = static_cast<std::uint32_t>(out_.Pieces.size()) - blockPiece_;
        const auto length = static_cast<std::uint32_t>(out_.Text.size()) - blockText_;
        out_.Blocks.push_back(TTextBlock{blockPiece_, pieces, blockText_, length,
                                         TextHash(std::string_view(out_.Text).substr(blockText_, length))});
        if (out_.Blocks.size() >= limits_.MaxBlocks)
            Stop();
    }

    std::string_view page_;
    TPageText& out_;
    THtmlTreeBuilder& scanner_;
    const TPageTextLimits& limits_;
    bool stopped_ = false;
    bool done_ = false;
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
    std::uint32_t blockText_ = 0, blockPiece_ = 0;
};

} // namespace

bool ReadPageText(std::string_view page, TPageText& out, const TPageTextLimits& limits)
{
    out.Text.clear();
    out.Pieces.clear();
    out.Blocks.clear();
    out.BodyStart = TPageText::NoPlace;
    // Room enough for most pages at once: growing these by copying costs
    // as much as reading the page.
    out.Text.reserve(page.size() / 2);
    out.Pieces.reserve(page.size() / 32);
    out.Blocks.reserve(page.size() / 64);
    THtmlTreeBuilder scanner;
    TTextSink sink(page, out, scanner, limits);
    scanner.Scan(page, sink);
    sink.Finish();
    return !sink.Stopped();
}

void ReadBlockWords(std::string_view page, const TPageText& text, const TTextBlock& block,
                    std::vector<TTextWord>& words)
{
    std::uint32_t at = block.TextAt;
    bool first = true;
    std::string decoded;
    for (std::uint32_t i = block.FirstPiece; i < block.FirstPiece + block.PieceCount; ++i) {
        const TTextPiece& piece = text.Pieces[i];
        bool space = piece.SpaceBefore;
        for (std::size_t p = piece.RawBegin; p < piece.RawEnd;) {
            if (IsAsciiSpace(page[p])) {
                space = true;
                ++p;
                continue;
            }
            const std::size_t begin = p;
            p = WordEnd(page, p, piece.RawEnd);
            const std::string_view raw = page.substr(begin, p - begin);
            const bool spaceBefore = space && !first;
            at += spaceBefore ? 1 : 0;
            std::size_t length = raw.size();
            if (piece.References) {
                decoded.clear();
                AppendWord(raw, decoded);
                length = decoded.size();
            }
            // A tag after a word's "</" (only ever at the page's end) would
            // be read as a comment.
            const bool markable = piece.Markable && !raw.ends_with("</");
            words.push_back(TTextWord{at, static_cast<std::uint32_t>(length), begin, p, piece.Node, spaceBefore,
                                      markable});
            at += static_cast<std::uint32_t>(length);
            space = false;
            first = false;
        }
    }
}

namespace {

constexpr std::uint64_t HashSeed = 0x9E3779B97F4A7C15ull;
constexpr std::uint64_t HashStep = 0xBF58476D1CE4E5B9ull;

std::uint64_t HashEnd(std::uint64_t h)
{
    h ^= h >> 32;
    h *= HashSeed;
    return h ^ (h >> 29);
}

} // namespace

std::uint64_t TextHash(std::string_view text)
{
    std::uint64_t h = HashSeed ^ text.size();
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t v;
        std::memcpy(&v, text.data() + i, 8);
        h = (h ^ v) * HashStep;
        h ^= h >> 29;
    }
    if (i < text.size()) {
        std::uint64_t v = 0;
        for (std::size_t j = 0; i + j < text.size(); ++j)
            v |= static_cast<std::uint64_t>(static_cast<unsigned char>(text[i + j])) << (8 * j);
        h = (h ^ v) * HashStep;
    }
    return HashEnd(h);
}

std::uint64_t WordHash(const TPageText& text, const TTextWord& word)
{
    // A short word with eight bytes of the text from its start is read at
    // once, the bytes past it masked off: the same value as TextHash.
    if (std::endian::native == std::endian::little && word.TextLength > 0 && word.TextLength < 8 &&
        word.TextAt + 8 <= text.Text.size()) {
        std::uint64_t v;
        std::memcpy(&v, text.Text.data() + word.TextAt, 8);
        v &= (std::uint64_t{1} << (8 * word.TextLength)) - 1;
        return HashEnd(((HashSeed ^ word.TextLength) ^ v) * HashStep);
    }
    return TextHash(text.WordText(word));
}
