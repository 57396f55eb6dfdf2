#pragma once

// What changed in a page since the copy last delivered, told in its mail: a
// summary first in the page's body (and in the plain part), and each new
// run of text marked in the page itself. The blocks of visible text of both
// copies are compared (TextDiff over PageText), then the words inside each
// block that changed. Only text is ever touched: a mark goes around words
// inside one text node, never into a tag, an attribute, a script, a style,
// a comment, a title or a textarea, so the page's structure and links stay
// as they were.

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

// The highlight of new text, in the page and in the summary.
inline constexpr std::string_view MarkOpen = "<mark style=\"background:#fff3a0\">";
inline constexpr std::string_view MarkClose = "</mark>";

struct TChangeMarking {
    std::string SiteName;
    // The stored copy's date as the user reads dates.
    std::string Since;
    // The page's Content-Type as its server sent it (empty when unknown):
    // with the page's own declaration it says how to read its bytes.
    std::string HttpContentType;
    // How long the reading, the diff and the marks may take, in the thread's
    // processor time; zero: a budget that grows with the page's size. Past it the summary says "Too many
    // changes to list" and the page goes unmarked.
    std::chrono::milliseconds Budget{0};
    // The summary lists this many changed blocks at most, each text cut at
    // this many characters, and stays below this many bytes of HTML.
    std::size_t MaxListed = 20;
    std::size_t MaxChars = 300;
    std::size_t MaxSummaryBytes = 10000;
};

struct TChangeSummary {
    // Blocks that came, went or changed; -1 past the budget, or on a first delivery.
    long Changes = -1;
    bool TooMany = false;
    // The summary as plain text lines (UTF-8), joined with CR LF.
    std::string Plain;
};

// Marks page (the rewritten page about to be mailed) against stored (the copy
// last delivered; null for a first delivery) and puts the summary first in
// its body.
TChangeSummary MarkPageChanges(std::string& page, const std::string* stored, const TChangeMarking& how);

// The plain part with the summary after its first line and an empty line
// after the summary.
std::string PlainWithSummary(const std::string& plainText, const std::string& summary);
