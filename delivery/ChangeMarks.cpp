#include "delivery/ChangeMarks.h"

#include "delivery/HtmlScanner.h"
#include "delivery/PageText.h"
#include "delivery/TextDiff.h"
#include "message/NetCharset.h"

#include <algorithm>
#include <cstdint>
#include <future>
#include <memory>
#include <system_error>
#include <vector>

namespace {

using TClockPoint = TThreadClock::time_point;

constexpr std::string_view Ellipsis = "\xE2\x80\xA6"; // U+2026

// Mail clients drop <style> and classes: every rule is inline.
constexpr std::string_view BoxStyle =
    "display:block;clear:both;margin:0 0 12px 0;padding:8px 12px;border:1px solid #e2d47c;"
    "background:#fffdf0;color:#222222;font-family:Arial,Helvetica,sans-serif;font-size:14px;"
    "font-weight:normal;font-style:normal;line-height:1.4;text-align:left;";
constexpr std::string_view HeadStyle = "font-weight:bold;margin:0 0 6px 0;";
constexpr std::string_view EntryStyle = "margin:0 0 4px 0;";
constexpr std::string_view NewStyle = "background:#fff3a0;";
constexpr std::string_view GoneStyle = "color:#777777;text-decoration:line-through;";
constexpr std::string_view MoreStyle = "margin:6px 0 0 0;color:#555555;";

// One block that came (New only), went (Old only) or changed (both); the
// first word of each that differs (counted in its block), where the
// summary's excerpt centres.
struct TChange {
    const TTextBlock* Old = nullptr;
    const TTextBlock* New = nullptr;
    std::uint32_t OldFirst = 0, NewFirst = 0;
};

bool IsContinuation(char c)
{
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

std::size_t CharCount(std::string_view utf8)
{
    return static_cast<std::size_t>(std::count_if(utf8.begin(), utf8.end(), [](char c) { return !IsContinuation(c); }));
}

// The code point at text[i] of valid UTF-8 and its length; a stray byte
// reads as U+FFFD.
std::uint32_t CodePointAt(std::string_view text, std::size_t i, std::size_t& length)
{
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t n = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (n == 0 || i + n > text.size()) {
        length = 1;
        return c < 0x80 ? c : 0xFFFD;
    }
    std::uint32_t value = c & (n == 2 ? 0x1F : n == 3 ? 0x0F : 0x07);
    for (std::size_t k = 1; k < n; ++k) {
        if (!IsContinuation(text[i + k])) {
            length = 1;
            return 0xFFFD;
        }
        value = (value << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    length = n;
    return value;
}

// Text for the summary's HTML. A page read as UTF-8 takes its characters as
// they are; any other keeps to ASCII and names the rest by number, so the
// summary reads the same whatever charset the mail part is in.
void AppendHtml(std::string& html, std::string_view utf8, bool utf8Page)
{
    for (std::size_t i = 0; i < utf8.size();) {
        const char c = utf8[i];
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x80) {
            switch (c) {
            case '&': html += "&amp;"; break;
            case '<': html += "&lt;"; break;
            case '>': html += "&gt;"; break;
            case '"': html += "&quot;"; break;
            default: html += (u < 0x20 || u == 0x7F) ? ' ' : c; break;
            }
            ++i;
            continue;
        }
        std::size_t length = 1;
        const std::uint32_t cp = CodePointAt(utf8, i, length);
        if (utf8Page && cp != 0xFFFD)
            html.append(utf8.substr(i, length));
        else
            html += "&#" + std::to_string(cp) + ";";
        i += length;
    }
}

// White space runs become one blank; control characters go.
std::string Collapse(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    bool space = false;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (IsAsciiSpace(c) || u < 0x20 || u == 0x7F) {
            space = !out.empty();
            continue;
        }
        if (space)
            out += ' ';
        space = false;
        out += c;
    }
    return out;
}

// The block's text for the summary, in UTF-8: from a little before the
// first word that differs, at most maxChars characters, with an ellipsis
// where text was left out.
std::string Excerpt(const TPageText& text, std::string_view page, const TTextBlock& block, std::uint32_t first,
                    const std::string& charset, std::size_t maxChars)
{
    std::vector<TTextWord> words;
    ReadBlockWords(page, text, block, words);
    const auto end = static_cast<std::uint32_t>(words.size());
    std::uint32_t start = 0;
    bool cutBefore = false;
    if (first > start && words[first].TextAt - block.TextAt > maxChars / 3) {
        // About a fifth of the room for the words before the change.
        std::size_t before = 0;
        start = first;
        while (start > 0 && before < maxChars / 5) {
            --start;
            before += words[start].TextLength + 1;
        }
        cutBefore = start > 0;
    }
    // The words as written, in the page's charset, references and all:
    // enough bytes for maxChars characters written as references.
    std::string raw;
    std::uint32_t i = start;
    for (; i < end && raw.size() < maxChars * 10; ++i) {
        const TTextWord& w = words[i];
        if (i > start && w.SpaceBefore)
            raw += ' ';
        raw.append(page.substr(w.RawBegin, w.RawEnd - w.RawBegin));
    }
    std::string decoded;
    DecodeHtmlText(CharsetToUTF8(raw, charset), false, decoded);
    std::string out = Collapse(decoded);
    bool cutAfter = i < end;
    if (CharCount(out) > maxChars) {
        std::size_t chars = 0, at = 0;
        while (at < out.size() && chars < maxChars) {
            ++at;
            while (at < out.size() && IsContinuation(out[at]))
                ++at;
            ++chars;
        }
        out.resize(at);
        cutAfter = true;
    }
    if (cutBefore)
        out.insert(0, Ellipsis);
    if (cutAfter)
        out.append(Ellipsis);
    return out;
}

// Numbers for texts, equal for equal texts, in an open table by their
// hashes: the blocks of two pages, or the words of two blocks. Reset for
// the next two blocks only makes the slots in use stale.
class TTextIds {
public:
    void Reset(std::size_t texts)
    {
        std::size_t capacity = 16;
        while (capacity < 2 * texts)
            capacity *= 2;
        if (capacity > slots_.size() || ++round_ == 0) {
            slots_.assign(std::max(capacity, slots_.size()), TSlot{});
            round_ = 1;
        }
        mask_ = capacity - 1;
        next_ = 0;
    }

    std::uint32_t Of(std::string_view text, std::uint64_t hash)
    {
        for (std::size_t at = static_cast<std::size_t>(hash) & mask_;; at = (at + 1) & mask_) {
            TSlot& slot = slots_[at];
            if (slot.Round != round_) {
                // Never full: Reset made room for twice the texts asked about.
                slot = TSlot{hash, text.data(), static_cast<std::uint32_t>(text.size()), next_, round_};
                return next_++;
            }
            if (slot.Hash == hash && slot.Length == text.size() && text.compare(0, text.size(), slot.Text, slot.Length) == 0)
                return slot.Id;
        }
    }

private:
    struct TSlot {
        std::uint64_t Hash = 0;
        const char* Text = nullptr;
        std::uint32_t Length = 0;
        std::uint32_t Id = 0;
        std::uint32_t Round = 0; // the Reset it was filled after
    };
    std::vector<TSlot> slots_;
    std::size_t mask_ = 0;
    std::uint32_t next_ = 0;
    std::uint32_t round_ = 0;
};

struct TInsert {
    std::size_t At;
    std::string_view Text;
};

class TMarker {
public:
    TMarker(std::string_view page, const std::string* stored, const TChangeMarking& how)
        : page_(page), stored_(stored ? std::string_view(*stored) : std::string_view()), how_(how)
    {
    }

    // False past a limit: nothing is known then.
    bool Compare(TClockPoint deadline)
    {
        if (!ReadBothCopies(deadline))
            return false;

        TTextIds ids;
        ids.Reset(old_.Blocks.size() + new_.Blocks.size());
        std::vector<std::uint32_t> oldIds, newIds;
        oldIds.reserve(old_.Blocks.size());
        newIds.reserve(new_.Blocks.size());
        for (const TTextBlock& b : old_.Blocks)
            oldIds.push_back(ids.Of(old_.BlockText(b), b.Hash));
        for (const TTextBlock& b : new_.Blocks)
            newIds.push_back(ids.Of(new_.BlockText(b), b.Hash));
        TDiffLimits limits;
        limits.Deadline = deadline;
        std::vector<TDiffRange> ranges;
        if (!DiffTokens(oldIds, newIds, ranges, limits))
            return false;

        // Room for the words of the blocks that changed, at a guess of one
        // in five bytes of their text.
        std::size_t changedText = 0;
        for (const TDiffRange& r : ranges)
            if (r.Op != TDiffOp::Equal)
                for (std::size_t b = r.NewBegin; b < r.NewEnd; ++b)
                    changedText += new_.Blocks[b].TextLength;
        newWords_.reserve(changedText / 5 + 16);

        std::vector<TDiffRange> wordRanges;
        std::vector<std::uint32_t> oldIdsOfWords, newIdsOfWords;
        for (const TDiffRange& r : ranges) {
            if (r.Op == TDiffOp::Equal)
                continue;
            const std::size_t olds = r.OldEnd - r.OldBegin, news = r.NewEnd - r.NewBegin;
            for (std::size_t k = 0; k < std::max(olds, news); ++k) {
                TChange change;
                if (k < olds)
                    change.Old = &old_.Blocks[r.OldBegin + k];
                if (k < news)
                    change.New = &new_.Blocks[r.NewBegin + k];
                if (change.New) {
                    // Only the blocks that changed are split into words.
                    const auto first = static_cast<std::uint32_t>(newWords_.size());
                    ReadBlockWords(page_, new_, *change.New, newWords_);
                    const auto end = static_cast<std::uint32_t>(newWords_.size());
                    if (!change.Old) {
                        MarkWords(first, end);
                    } else if (!CompareWords(change, first, end, oldIdsOfWords, newIdsOfWords, wordRanges, limits)) {
                        return false;
                    }
                }
                changes_.push_back(change);
            }
        }
        return true;
    }

    const std::vector<TChange>& Changes() const { return changes_; }
    const TPageText& NewText() const { return new_; }

    std::string Excerpt(const TChange& c, bool fromNew, const std::string& charset) const
    {
        return fromNew ? ::Excerpt(new_, page_, *c.New, c.NewFirst, charset, how_.MaxChars)
                       : ::Excerpt(old_, stored_, *c.Old, c.OldFirst, charset, how_.MaxChars);
    }

    // Where the marks go: one around each run of marked words in one text node.
    void AddMarks(std::vector<TInsert>& inserts) const
    {
        std::size_t i = 0;
        while (i < marked_.size()) {
            const TTextWord& first = newWords_[marked_[i]];
            std::size_t j = i + 1;
            while (j < marked_.size() && marked_[j] == marked_[j - 1] + 1 && newWords_[marked_[j]].Node == first.Node)
                ++j;
            inserts.push_back(TInsert{first.RawBegin, MarkOpen});
            inserts.push_back(TInsert{newWords_[marked_[j - 1]].RawEnd, MarkClose});
            i = j;
        }
    }

private:
    // Reading the two copies is most of what telling the changes costs, and
    // neither needs the other: a large stored copy is read on a thread of
    // its own meanwhile, so that a pass waits for one reading, not two. Each
    // reading keeps to what is left of the budget, in its own thread's
    // processor time.
    bool ReadBothCopies(TClockPoint deadline)
    {
        constexpr std::size_t OwnThreadFrom = 128 * 1024;
        TPageTextLimits limits;
        limits.Deadline = deadline;
        std::future<bool> stored;
        if (stored_.size() >= OwnThreadFrom) {
            const auto left = deadline - TThreadClock::now();
            try {
                stored = std::async(std::launch::async, [this, left] {
                    TPageTextLimits own;
                    own.Deadline = TThreadClock::now() + left;
                    return ReadPageText(stored_, old_, own);
                });
            } catch (const std::system_error&) {
                // No thread to be had: the copies are read one after the other.
            }
        }
        const bool fresh = ReadPageText(page_, new_, limits);
        const bool old = stored.valid() ? stored.get() : ReadPageText(stored_, old_, limits);
        return fresh && old;
    }

    // The words of a block that changed against those of the block it
    // replaced; the new block's words are newWords_[first, end).
    bool CompareWords(TChange& change, std::uint32_t first, std::uint32_t end, std::vector<std::uint32_t>& oldIds,
                      std::vector<std::uint32_t>& newIds, std::vector<TDiffRange>& ranges, const TDiffLimits& limits)
    {
        oldWords_.clear();
        ReadBlockWords(stored_, old_, *change.Old, oldWords_);
        const std::size_t olds = oldWords_.size(), news = end - first;
        const auto same = [&](std::size_t o, std::size_t n) {
            return old_.WordText(oldWords_[o]) == new_.WordText(newWords_[first + n]);
        };
        // Most changed blocks differ in one place, where one side has no
        // words of its own between the common head and tail: the diff then
        // follows from those alone, with no word hashed.
        std::size_t head = 0, tail = 0;
        while (head < olds && head < news && same(head, head))
            ++head;
        while (olds - tail > head && news - tail > head && same(olds - tail - 1, news - tail - 1))
            ++tail;
        if ((head == olds - tail || head == news - tail) && olds <= limits.MaxTokens && news <= limits.MaxTokens) {
            DiffAroundOnePlace(olds, news, head, tail, ranges);
        } else {
            wordIds_.Reset(olds + news);
            oldIds.clear();
            newIds.clear();
            for (const TTextWord& w : oldWords_)
                oldIds.push_back(wordIds_.Of(old_.WordText(w), WordHash(old_, w)));
            for (std::uint32_t w = first; w < end; ++w)
                newIds.push_back(wordIds_.Of(new_.WordText(newWords_[w]), WordHash(new_, newWords_[w])));
            if (!DiffTokens(oldIds, newIds, ranges, limits))
                return false;
        }
        bool firstFound = false;
        for (const TDiffRange& r : ranges) {
            if (r.Op == TDiffOp::Equal)
                continue;
            if (!firstFound) {
                change.OldFirst = static_cast<std::uint32_t>(std::min<std::size_t>(r.OldBegin, olds - 1));
                change.NewFirst = static_cast<std::uint32_t>(std::min<std::size_t>(r.NewBegin, news - 1));
                firstFound = true;
            }
            MarkWords(first + static_cast<std::uint32_t>(r.NewBegin), first + static_cast<std::uint32_t>(r.NewEnd));
        }
        return true;
    }

    void MarkWords(std::uint32_t begin, std::uint32_t end)
    {
        for (std::uint32_t w = begin; w < end; ++w)
            if (newWords_[w].Markable)
                marked_.push_back(w);
    }

    std::string_view page_, stored_;
    const TChangeMarking& how_;
    TPageText new_, old_;
    std::vector<TChange> changes_;
    // The words of the new page's blocks that changed, in page order, and
    // those of the stored block that one of them is compared with.
    std::vector<TTextWord> newWords_, oldWords_;
    TTextIds wordIds_;
    // Words to mark, in newWords_ (so in page order).
    std::vector<std::uint32_t> marked_;
};

std::string OpenDiv(std::string_view style)
{
    return "<div style=\"" + std::string(style) + "\">";
}

// The summary's headline, plain.
std::string Headline(long changes, const TChangeMarking& how)
{
    const std::string count = changes == 1 ? "1 change" : std::to_string(changes) + " changes";
    return "Vendrel: " + count + " on " + how.SiteName + " since " + how.Since;
}

} // namespace

TChangeSummary MarkPageChanges(std::string& page, const std::string* stored, const TChangeMarking& how)
{
    const auto start = TThreadClock::now();
    TChangeSummary summary;
    const std::string charset = PageCharset(how.HttpContentType, page);
    const bool utf8Page = charset == "UTF-8";
    const auto html = [&](std::string_view utf8) {
        std::string out;
        AppendHtml(out, utf8, utf8Page);
        return out;
    };
    const std::string name = AsUTF8(how.SiteName);

    std::vector<std::string> lines;          // the plain summary
    std::string box = OpenDiv(BoxStyle);     // the HTML summary
    std::vector<TInsert> inserts;
    std::unique_ptr<TMarker> marker;
    if (!stored) {
        const std::string line = "Vendrel: first delivery of " + name;
        lines.push_back(line);
        box += OpenDiv(HeadStyle) + html(line) + "</div>";
    } else {
        std::chrono::milliseconds budget = how.Budget;
        if (budget.count() <= 0) {
            // Under what the rest of a pass takes over the page (the
            // download, rewriting, encoding, sending, storing), so that a
            // pass that tells its changes, or gives up on them, stays well
            // below twice as long: 20 ms a MiB of the two copies, at least
            // 10 ms. Reading both copies of a 1 MiB page (at once) and
            // telling the changes in half its blocks takes about 11 ms, and
            // more on a machine busy with other work.
            const double mebibytes =
                (static_cast<double>(page.size()) + static_cast<double>(stored->size())) / 2 / (1 << 20);
            budget = std::chrono::milliseconds(std::max<long>(10, static_cast<long>(20.0 * mebibytes)));
        }
        marker = std::make_unique<TMarker>(page, stored, how);
        if (!marker->Compare(start + budget)) {
            summary.TooMany = true;
            const std::string head = "Vendrel: changes on " + name + " since " + AsUTF8(how.Since);
            lines = {head, "Too many changes to list"};
            box += OpenDiv(HeadStyle) + html(head) + "</div>" + OpenDiv(EntryStyle) + html(lines[1]) + "</div>";
            marker.reset();
        } else {
            const auto& changes = marker->Changes();
            summary.Changes = static_cast<long>(changes.size());
            TChangeMarking named = how;
            named.SiteName = name;
            named.Since = AsUTF8(how.Since);
            const std::string head = Headline(summary.Changes, named);
            lines.push_back(head);
            box += OpenDiv(HeadStyle) + html(head) + "</div>";
            // Room kept for the "…and K more" line and the box's end.
            const std::size_t room = how.MaxSummaryBytes > 200 ? how.MaxSummaryBytes - 200 : 0;
            std::size_t listed = 0;
            for (const TChange& c : changes) {
                if (listed == how.MaxListed)
                    break;
                std::string entry = "\r\n" + OpenDiv(EntryStyle);
                std::vector<std::string> entryLines;
                if (c.New) {
                    const std::string text = marker->Excerpt(c, true, charset);
                    entry += "<span style=\"" + std::string(NewStyle) + "\">" + html(text) + "</span>";
                    entryLines.push_back("+ " + text);
                }
                if (c.Old) {
                    const std::string text = marker->Excerpt(c, false, charset);
                    if (c.New)
                        entry += ' ';
                    entry += "<del style=\"" + std::string(GoneStyle) + "\">" + html(text) + "</del>";
                    entryLines.push_back("- " + text);
                }
                entry += "</div>";
                if (box.size() + entry.size() > room)
                    break;
                box += entry;
                lines.insert(lines.end(), entryLines.begin(), entryLines.end());
                ++listed;
            }
            if (listed < changes.size()) {
                const std::string more = std::string(Ellipsis) + "and " + std::to_string(changes.size() - listed) + " more";
                lines.push_back(more);
                box += "\r\n" + OpenDiv(MoreStyle) + html(more) + "</div>";
            }
        }
    }
    box += "</div>";

    std::string plain;
    for (const std::string& line : lines) {
        if (!plain.empty())
            plain += "\r\n";
        plain += line;
    }
    summary.Plain = std::move(plain);

    // The summary first, then the marks in page order; a mark that opens
    // where the summary goes comes after it.
    std::size_t at = TPageText::NoPlace;
    if (marker)
        at = marker->NewText().BodyStart;
    else {
        TPageText text;
        TPageTextLimits bodyOnly;
        bodyOnly.BodyStartOnly = true;
        ReadPageText(page, text, bodyOnly);
        at = text.BodyStart;
    }
    if (at != TPageText::NoPlace)
        inserts.push_back(TInsert{at, box});
    if (marker)
        marker->AddMarks(inserts);
    // The marks come in page order, and the summary mostly before them.
    const auto before = [](const TInsert& a, const TInsert& b) { return a.At < b.At; };
    if (!std::is_sorted(inserts.begin(), inserts.end(), before))
        std::stable_sort(inserts.begin(), inserts.end(), before);
    if (!inserts.empty()) {
        std::size_t extra = 0;
        for (const TInsert& i : inserts)
            extra += i.Text.size();
        std::string out;
        out.reserve(page.size() + extra);
        std::size_t from = 0;
        for (const TInsert& i : inserts) {
            out.append(page, from, i.At - from);
            out.append(i.Text);
            from = i.At;
        }
        out.append(page, from, std::string::npos);
        page = std::move(out);
    }
    return summary;
}

std::string PlainWithSummary(const std::string& plainText, const std::string& summary)
{
    std::size_t end = plainText.find_first_of("\r\n");
    if (end == std::string::npos)
        return plainText + "\r\n" + summary + "\r\n";
    const std::string first = plainText.substr(0, end);
    if (plainText.compare(end, 2, "\r\n") == 0)
        end += 2;
    else
        end += 1;
    return first + "\r\n" + summary + "\r\n\r\n" + plainText.substr(end);
}
