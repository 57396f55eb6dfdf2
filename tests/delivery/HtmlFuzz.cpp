// libFuzzer target: the parser's addresses against gumbo's, the rewrite of
// the same page, its text read whole and again in parts, the elements as the
// selector sees them nested, and the marks of what changed in it against
// gumbo's tree, under the address and undefined-behaviour sanitizers.
// Run with ./build.sh fuzz.

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "delivery/ChangeMarks.h"
#include "delivery/HtmlTreeBuilder.h"
#include "delivery/PageRewriter.h"
#include "delivery/PageText.h"
#include "tests/delivery/MarkOracle.h"
#include "tests/delivery/LinkOracle.h"

namespace {

class TQuietHost : public TDeliveryHost {
public:
    void AddToLog(const std::string&) override {}
    TModalResult MessageBox(const std::string&, TMsgKind, TMsgButtons) override { return TModalResult::OK; }
    TCursor Cursor() const override { return TCursor::Default; }
    void SetCursor(TCursor) override {}
    void ProcessMessages() override {}
};

// The elements nested as a tree: each starts no earlier than the one before
// it and lies inside its parent, and every one that opens is closed.
class TNestChecker : public THtmlElementSink {
public:
    explicit TNestChecker(std::string_view page) : page_(page) {}

    std::string Fault;
    std::size_t Open() const { return open_.size(); }

    void Opened(const THtmlElement& e, bool leaf) override
    {
        if (e.Offset < last_ || e.End < e.Offset || e.End > page_.size() || (e.Start && page_[e.Offset] != '<'))
            Note("element at " + std::to_string(e.Offset) + " out of order or out of the page");
        last_ = e.Offset;
        if (!leaf)
            open_.push_back(e.Offset);
    }
    void Closed(std::size_t end) override
    {
        if (open_.empty()) {
            Note("an element closed that was not open");
            return;
        }
        if (end < open_.back() || end > page_.size() || end < lastEnd_)
            Note("element at " + std::to_string(open_.back()) + " ends at " + std::to_string(end));
        lastEnd_ = end;
        open_.pop_back();
    }

private:
    void Note(std::string what)
    {
        if (Fault.empty())
            Fault = std::move(what);
    }

    std::string_view page_;
    std::vector<std::size_t> open_;
    std::size_t last_ = 0, lastEnd_ = 0;
};

} // namespace

// gumbo leaks the strings of a DOCTYPE it drops after "<!><noscript>" (a
// few bytes, "<!><noscript><!DOCTYPE" is enough): its leaks are its own.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libgumbo.so\n";
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string raw(reinterpret_cast<const char*>(data), size);

    // Any bytes at all through the rewrite.
    static TQuietHost host;
    static TPageRewriter rewriter(host, SystemClock());
    rewriter.Wait = [](int) {};
    std::string page = raw;
    rewriter.RewritePage("http://www.example.com/dir/page.html", page);

    // Any bytes at all read as text, whole and as far as the body's start:
    // the words read again give back each block's text, and both readings
    // find the body's start in the same place.
    TPageText text, start;
    ReadPageText(raw, text);
    TPageTextLimits bodyOnly;
    bodyOnly.BodyStartOnly = true;
    ReadPageText(raw, start, bodyOnly);
    if (start.BodyStart != text.BodyStart) {
        std::fprintf(stderr, "page:\n%s\nbody at %zu, read whole at %zu\n", raw.c_str(), start.BodyStart,
                     text.BodyStart);
        std::abort();
    }
    std::vector<TTextWord> words;
    for (const TTextBlock& block : text.Blocks) {
        words.clear();
        ReadBlockWords(raw, text, block, words);
        std::string joined;
        for (const TTextWord& w : words)
            joined.append(w.SpaceBefore ? " " : "").append(text.WordText(w));
        if (joined != text.BlockText(block)) {
            std::fprintf(stderr, "page:\n%s\nblock \"%s\" read again as \"%s\"\n", raw.c_str(),
                         std::string(text.BlockText(block)).c_str(), joined.c_str());
            std::abort();
        }
    }

    // Any bytes at all nested as the selector takes them.
    THtmlTreeBuilder builder;
    TNestChecker nest(raw);
    builder.Nest(raw, nest);
    if (nest.Fault.empty() && nest.Open() != 0)
        nest.Fault = std::to_string(nest.Open()) + " elements left open";
    if (!nest.Fault.empty()) {
        std::fprintf(stderr, "page:\n%s\nnested: %s\n", raw.c_str(), nest.Fault.c_str());
        std::abort();
    }

    // gumbo replaces bytes that are not UTF-8, and control characters,
    // which the parser keeps as they are: the comparison takes the page with
    // such bytes made plain ASCII.
    static const char swap[] = "<>\"'&=/-! a;#x\r\n?[]";
    std::string ascii = raw;
    for (char& c : ascii) {
        const auto u = static_cast<unsigned char>(c);
        const bool control = (u < 0x20 && u != 0 && c != '\t' && c != '\n' && c != '\r' && c != '\f') || u == 0x7F;
        if (u >= 0x80 || control)
            c = swap[u % (sizeof swap - 1)];
    }
    // Inside SVG and MathML the parser follows which elements an end tag
    // closes around the foreign content only roughly, and gumbo has faults
    // of its own there (one of them an assertion that aborts it, on
    // "<table><svg><foreignObject><![CDATA[x]]>y"): such pages go through
    // the sanitizers only.
    std::string lower = ascii;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower.find("<svg") != std::string::npos || lower.find("<math") != std::string::npos)
        return 0;
    const std::string difference = CompareLinks(ascii);
    if (!difference.empty()) {
        std::fprintf(stderr, "page:\n%s\n%s", ascii.c_str(), difference.c_str());
        std::abort();
    }

    // A page that is one comment never ended has no token to put the
    // summary after: it goes first in the document, as the mail's summary
    // does on a page without a body, and the comment moves behind it into
    // the body. Nothing of such a page shows either way.
    const std::size_t first = ascii.find_first_not_of(" \t\n\r\f");
    if (first != std::string::npos && ascii.compare(first, 4, "<!--") == 0 &&
        ascii.find("-->", first + 4) == std::string::npos && ascii.find("--!>", first + 4) == std::string::npos)
        return 0;

    // The page marked against a copy of itself with some bytes gone: gumbo
    // builds the same tree around the marks.
    std::string stored;
    for (std::size_t i = 0; i < ascii.size(); ++i)
        if (i % 7 != 3)
            stored += ascii[i];
    std::string marked = ascii;
    TChangeMarking how;
    how.SiteName = "Fuzz";
    MarkPageChanges(marked, &stored, how);
    const TMarkCheck check = CompareMarkedTree(ascii, marked);
    if (!check.Error.empty()) {
        std::fprintf(stderr, "page:\n%s\nstored:\n%s\n%s", ascii.c_str(), stored.c_str(), check.Error.c_str());
        std::abort();
    }
    return 0;
}
