#pragma once

// The text a reader sees in a page, as blocks: the text between block-level
// boundaries (p, div, li, td, h1-h6, br and the like), each with the text
// nodes it was read from, whose words can be told where in the page they
// stand. Script, style, comments, the
// title and the other raw text elements hold no visible text; nor does a
// template. A noscript's content is read as a reader's mail program shows
// it, scripts off. Read with the same tokenizer the rewriting uses.

#include "delivery/ThreadClock.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct TTextWord {
    // The word with its character references decoded, in TPageText::Text.
    std::uint32_t TextAt, TextLength;
    // The word as written, in the page.
    std::size_t RawBegin, RawEnd;
    // The text node it is in: a mark never spans two of them.
    std::uint32_t Node;
    // White space stood between it and the word before it in its block.
    bool SpaceBefore;
    // A <mark> around it would stay text in the page's own element: not in
    // SVG or MathML, a select, or anywhere a tag would be taken as text.
    bool Markable;
};

// The words of one text node inside a block, as written: from its first
// word to the node's end. The words themselves are split out only for the
// few blocks that changed (ReadBlockWords); a page's worth of them costs
// more than reading the page.
struct TTextPiece {
    std::size_t RawBegin, RawEnd;
    std::uint32_t Node;
    // White space stood before its first word (since the word before it).
    bool SpaceBefore;
    // A mark may go around its words (see TTextWord::Markable).
    bool Markable;
    // Its words hold character references: they are decoded one by one.
    bool References;
};

struct TTextBlock {
    std::uint32_t FirstPiece, PieceCount;
    // Its words as a reader sees them: one blank where there was white
    // space, nothing where a tag joined two words. In TPageText::Text.
    std::uint32_t TextAt, TextLength;
    // Of that text: blocks of equal text have equal hashes.
    std::uint64_t Hash;
};

struct TPageText {
    static constexpr std::size_t NoPlace = static_cast<std::size_t>(-1);

    std::string Text;
    std::vector<TTextPiece> Pieces;
    std::vector<TTextBlock> Blocks;
    // Where something put first in the page's body goes: just after the
    // <body> start tag, or before the first thing that would open the body.
    // NoPlace for a frameset page, which a body's content would replace.
    std::size_t BodyStart = NoPlace;

    std::string_view BlockText(const TTextBlock& b) const { return {Text.data() + b.TextAt, b.TextLength}; }
    std::string_view WordText(const TTextWord& w) const { return {Text.data() + w.TextAt, w.TextLength}; }
};

struct TPageTextLimits {
    std::size_t MaxBlocks = 1u << 20;
    TThreadClock::time_point Deadline = TThreadClock::time_point::max();
    // Only BodyStart is wanted: the reading ends as soon as it is known.
    bool BodyStartOnly = false;
};

// False when a limit was reached before the end of the page.
bool ReadPageText(std::string_view page, TPageText& out, const TPageTextLimits& limits = {});

// Eight bytes at a time; only ever compared with hashes of other texts
// that a comparison of the texts themselves then confirms.
std::uint64_t TextHash(std::string_view text);
// TextHash of a word's text, sooner.
std::uint64_t WordHash(const TPageText& text, const TTextWord& word);

// Appends the words of block (of page, read into text) to words, in order.
void ReadBlockWords(std::string_view page, const TPageText& text, const TTextBlock& block,
                    std::vector<TTextWord>& words);
