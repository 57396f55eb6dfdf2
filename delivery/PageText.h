#pragma once

// The text a reader sees in a page, as blocks: the text between block-level
// boundaries (p, div, li, td, h1-h6, br and the like), each a list of words
// that remember where in the page they stand. Script, style, comments, the
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

struct TTextBlock {
    std::uint32_t FirstWord, WordCount;
    // Its words as a reader sees them: one blank where there was white
    // space, nothing where a tag joined two words. In TPageText::Text.
    std::uint32_t TextAt, TextLength;
};

struct TPageText {
    static constexpr std::size_t NoPlace = static_cast<std::size_t>(-1);

    std::string Text;
    std::vector<TTextWord> Words;
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
};

// False when a limit was reached before the end of the page.
bool ReadPageText(std::string_view page, TPageText& out, const TPageTextLimits& limits = {});
