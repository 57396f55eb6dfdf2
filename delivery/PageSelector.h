#pragma once

// The part of a page a site watches, named by a CSS selector: type, "*",
// #id, .class, [attr], [attr=v], [attr~=v], [attr^=v], [attr$=v],
// [attr*=v], compounds of these, the descendant and child combinators, and
// lists of selectors. The elements and their tree come from the tree
// builder (THtmlTreeBuilder::Nest), which closes the elements whose end tags
// pages leave out (paragraphs, list items, table cells, options) as a
// browser would. Element and attribute names compare without regard to
// letter case; ids, classes and attribute values compare exactly.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct TSelectorError {
    std::size_t Position = 0; // 1-based, in characters of the selector's text
    std::string What;         // what was not understood, and why
};

// "at position 7: ":hover" is not understood (pseudo-classes are not supported)"
std::string SelectorErrorText(const TSelectorError& error);

class TPageSelector {
public:
    // The most parts (compounds) a selector list may have.
    static constexpr std::size_t MaxParts = 64;

    // Gives false, with what was not understood, when text is no selector of
    // the supported kinds; the selector is then empty and matches nothing.
    bool Parse(std::string_view text, TSelectorError& error);
    bool Empty() const { return parts_.empty(); }

    struct TMatch {
        std::size_t Start = 0; // the start tag's '<'
        std::size_t End = 0;   // just after the element's end
    };
    // Every element the selector matches, in document order. An element ends
    // with its end tag, where the tree closes it without one (at the tag that
    // closes it), or with the page; a void or self-closed one with its start
    // tag.
    std::vector<TMatch> Select(std::string_view page) const;

    // The text the change measure sees of a page: each matched element's
    // source followed by CR LF, in document order. count, when given, gets
    // the number of elements matched.
    std::string SelectedText(std::string_view page, std::size_t* count = nullptr) const;

private:
    friend class TSelectingSink;

    enum class TOp : std::uint8_t { Exists, Equals, Includes, Prefix, Suffix, Contains };
    struct TTest {
        enum class TKind : std::uint8_t { Id, Class, Attribute } Kind;
        TOp Op = TOp::Exists;
        std::string Name;  // attribute name, lower case
        std::string Value;
    };
    struct TPart {
        std::string Type; // lower case; empty for any element
        std::uint64_t TypeHash = 0;
        std::vector<TTest> Tests;
    };

    std::vector<TPart> parts_;
    // Bit i stands for parts_[i]: the first part of each selector of the list,
    // the parts that follow their neighbour by a child or descendant
    // combinator, and the last part of each selector.
    std::uint64_t first_ = 0, child_ = 0, descendant_ = 0, last_ = 0;
};
