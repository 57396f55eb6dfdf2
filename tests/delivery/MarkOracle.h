#pragma once

// gumbo's tree of a page before and after its changes were marked, compared:
// the marked page must build the same elements, attributes, comments and
// text once our marks are taken out (their text put back in their place) and
// the summary box at the start of the body is passed over. Each mark must sit
// where it stays an HTML mark around text: not in a script, style, title,
// textarea or select, not taken for an SVG or MathML element (where HTML may
// stand inside them, it may too), and holding text only. The elements (in order) and
// the text (in order, white space left out) are compared apart: a mark may
// move the white space beside it into a table whose text the tree
// construction puts before it, or out of the head, which nobody sees; and
// gumbo places text before an end tag it ignores after the element that the
// next end tag closes, where a mark between the two puts it back.

#include <string>
#include <string_view>

struct TMarkCheck {
    // Empty when the trees agree; else the first difference.
    std::string Error;
    int Marks = 0;
    bool SummaryFirst = false; // the summary box is the body's first element
    std::string MarkedText;    // the text of every mark, one "[...]" each
};

TMarkCheck CompareMarkedTree(std::string_view original, std::string_view marked);
