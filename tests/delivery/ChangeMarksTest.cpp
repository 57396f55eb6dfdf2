// What changed, told in the page: the summary first in the body and marks
// around new text, checked against gumbo's tree of the page before and after.

#include "delivery/ChangeMarks.h"
#include "tests/delivery/MarkOracle.h"
#include "tests/support/TempDataFolder.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

const std::string BoxStart = "<div style=\"display:block;clear:both;";
const std::string BoxEnd = "</div></div>";

std::string Fixture(const std::string& name)
{
    return ReadFile(std::string(VENDREL_FIXTURES_DIR) + "/pages/" + name);
}

// The page with the summary box and every mark taken out again.
std::string Unmarked(std::string page)
{
    if (const auto at = page.find(BoxStart); at != std::string::npos) {
        const auto end = page.find(BoxEnd, at);
        if (end != std::string::npos)
            page.erase(at, end + BoxEnd.size() - at);
    }
    for (const std::string_view piece : {MarkOpen, MarkClose})
        for (auto at = page.find(piece); at != std::string::npos; at = page.find(piece, at))
            page.erase(at, piece.size());
    return page;
}

std::string Mutated(std::string page, std::mt19937& rng, int edits)
{
    static const std::vector<std::string> pieces = {
        "fresh words here ", "<p>", "</p>", "<div>a new paragraph of text</div>", "<br>", "<b>", "</b>", "<i>x",
        "<script>var s = \"new words\" < 3;</script>", "<!-- new comment words -->", "<style>p{color:red}</style>",
        "<svg><text>svg words</text></svg>", "<math><mi>x</mi></math>", "<select><option>opt words</option></select>",
        "<table><tr><td>cell words</td></tr></table>", "<table>loose table words<tr><td>c</td></tr></table>",
        "<textarea>area words</textarea>", "<title>title words</title>", "<template><p>template words</p></template>",
        "<noscript>noscript words</noscript>", "<a href=\"x.html\">link words</a>", "<img alt=\"alt words\">",
        "&amp; &lt;tag&gt; &nbsp;&eacute;", "a < b", "\r\n", "</body>", "<body>", "<li>item", "<pre>  pre  words</pre>",
        "<h1>heading words</h1>", "<plaintext>", "<xmp>x<p>mp</xmp>", "<iframe>frame words</iframe>", "<datalist><option>d"};
    for (int e = 0; e < edits; ++e) {
        const std::size_t at = page.empty() ? 0 : rng() % (page.size() + 1);
        switch (rng() % 3) {
        case 0:
            page.erase(at, 1 + rng() % 12);
            break;
        default:
            page.insert(at, pieces[rng() % pieces.size()]);
            break;
        }
    }
    return page;
}

TChangeMarking News(std::string since = "2026-12-01 07:00")
{
    TChangeMarking how;
    how.SiteName = "News";
    how.Since = std::move(since);
    how.HttpContentType = "text/html; charset=utf-8";
    // Time is not what these look at (sanitizer builds are slow).
    how.Budget = std::chrono::seconds(30);
    return how;
}

} // namespace

// Random edits anywhere in real pages, tags and all, on both the stored and
// the new copy: whatever the marks are, gumbo builds the page's own tree
// around them, each mark sits on text, and taking them out gives the page
// back byte for byte.
TEST(ChangeMarks, MarksOnlyWrapTextAndKeepEveryPageTreeAsItWas)
{
    const std::vector<std::string> pages = {Fixture("blog.html"),    Fixture("news.html"),   Fixture("shop.html"),
                                            Fixture("legacy.html"),  Fixture("scripts.html"), Fixture("svg.html"),
                                            Fixture("frames.html")};
    std::mt19937 rng(424242);
    int marks = 0;
    for (int i = 0; i < 1500; ++i) {
        const std::string& base = pages[static_cast<std::size_t>(i) % pages.size()];
        const std::string stored = Mutated(base, rng, 1 + static_cast<int>(rng() % 6));
        const std::string original = i < 7 ? base : Mutated(base, rng, 1 + static_cast<int>(rng() % 6));
        std::string page = original;
        const TChangeSummary summary = MarkPageChanges(page, &stored, News());
        ASSERT_FALSE(summary.TooMany) << i;
        EXPECT_EQ(Unmarked(page), original) << i;
        const TMarkCheck check = CompareMarkedTree(original, page);
        ASSERT_EQ(check.Error, "") << "case " << i << "\n--- stored\n" << stored << "\n--- new\n" << original;
        if (i < 7 && base.find("<FRAMESET") == std::string::npos) {
            EXPECT_TRUE(check.SummaryFirst) << i;
        }
        marks += check.Marks;
    }
    EXPECT_GT(marks, 300) << "the edits left words to mark";
}

// A browser drops NUL characters from a page's text. New text of nothing
// else must take no mark: its start tag would open again the formatting
// elements a paragraph's end left behind, and the page would gain a <b>.
TEST(ChangeMarks, TextOfNothingButNulCharactersTakesNoMark)
{
    const std::string stored = "<p><b>bold</p><p>after</p>";
    const std::string fresh = std::string("<p><b>bold</p>\0\0 \0<p>after</p>", 30);
    std::string page = fresh;
    MarkPageChanges(page, &stored, News());
    const TMarkCheck check = CompareMarkedTree(fresh, page);
    EXPECT_EQ(check.Error, "");
    EXPECT_EQ(check.Marks, 0);
    EXPECT_EQ(Unmarked(page), fresh);
}

// A comment that the page's end cuts short runs to that end, even where its
// text ends in a '>': the summary must not go after it, or a browser would
// read the summary as part of the comment.
TEST(ChangeMarks, NothingGoesIntoACommentThePagesEndCutsShort)
{
    for (const std::string ending : {" a ->", " b --!", " c -- >", "<!-- d>", " closed -->", " e --!>"}) {
        const std::string head = "<html><head><meta name=a>\n<!-- ";
        const std::string fresh = head + "today's news" + ending;
        const std::string stored = head + "older news" + ending;
        std::string page = fresh;
        MarkPageChanges(page, &stored, News());
        EXPECT_EQ(CompareMarkedTree(fresh, page).Error, "") << ending;
        const auto box = page.find(BoxStart);
        if (box != std::string::npos && ending.find("-->") == std::string::npos &&
            ending.find("--!>") == std::string::npos) {
            EXPECT_LT(box, page.find("<!--")) << ending;
        }
        EXPECT_EQ(Unmarked(page), fresh) << ending;
    }
}

TEST(ChangeMarks, TheSummaryListsNewAndGoneTextFirstInTheBody)
{
    const std::string stored = "<!DOCTYPE html><html><head><title>News</title></head>\r\n<body class=\"x\">\r\n"
                               "<h1>Front page</h1>\r\n<p>The price is 10 EUR today.</p>\r\n"
                               "<p>An old item that goes away.</p>\r\n<div>Footer</div></body></html>\r\n";
    const std::string fresh = "<!DOCTYPE html><html><head><title>News</title></head>\r\n<body class=\"x\">\r\n"
                              "<h1>Front page</h1>\r\n<p>The price is <b>12</b> EUR today.</p>\r\n"
                              "<ul><li>A brand new story &amp; more</li></ul>\r\n<div>Footer</div></body></html>\r\n";
    std::string page = fresh;
    const TChangeSummary summary = MarkPageChanges(page, &stored, News());
    EXPECT_EQ(summary.Changes, 2);
    EXPECT_EQ(summary.Plain, "Vendrel: 2 changes on News since 2026-12-01 07:00\r\n"
                             "+ The price is 12 EUR today.\r\n"
                             "- The price is 10 EUR today.\r\n"
                             "+ A brand new story & more\r\n"
                             "- An old item that goes away.");
    const auto body = page.find("<body class=\"x\">");
    EXPECT_EQ(page.find(BoxStart), body + 16) << "right after the body's start tag";
    EXPECT_LT(page.find("A brand new story &amp; more</span>"), page.find("<h1>")) << page;
    EXPECT_NE(page.find("<del style=\"color:#777777;text-decoration:line-through;\">An old item that goes away."),
              std::string::npos);
    const TMarkCheck check = CompareMarkedTree(fresh, page);
    EXPECT_EQ(check.Error, "");
    EXPECT_TRUE(check.SummaryFirst);
    EXPECT_EQ(check.MarkedText, "[12][A brand new story & more]");
    EXPECT_EQ(check.Marks, 2);

    // Without a body start tag the summary goes before the first thing of the body.
    std::string bare = "<title>t</title><p>new</p>";
    const std::string bareStored = "<title>t</title><p>old</p>";
    MarkPageChanges(bare, &bareStored, News());
    EXPECT_TRUE(bare.starts_with("<title>t</title>" + BoxStart)) << bare;
    std::string text = "just text";
    MarkPageChanges(text, &bareStored, News());
    EXPECT_TRUE(text.starts_with(BoxStart)) << text;
}

TEST(ChangeMarks, AFirstDeliverySaysSoAndMarksNothing)
{
    const std::string fresh = Fixture("news.html");
    std::string page = fresh;
    const TChangeSummary summary = MarkPageChanges(page, nullptr, News());
    EXPECT_EQ(summary.Plain, "Vendrel: first delivery of News");
    EXPECT_EQ(summary.Changes, -1);
    const TMarkCheck check = CompareMarkedTree(fresh, page);
    EXPECT_EQ(check.Error, "");
    EXPECT_EQ(check.Marks, 0);
    EXPECT_TRUE(check.SummaryFirst);
    EXPECT_NE(page.find(">Vendrel: first delivery of News</div>"), std::string::npos);
}

TEST(ChangeMarks, ChangesInAttributesScriptsStylesAndCommentsAreNoChangesToTheText)
{
    const std::string stored = "<html><head><title>Old title</title><style>p{color:red}</style></head><body>"
                               "<p title=\"old\">Same text <a href=\"a.html\">link</a></p><!-- old comment -->"
                               "<script>var x = 'old words';</script><textarea>old area</textarea></body></html>";
    const std::string fresh = "<html><head><title>New title</title><style>p{color:blue}</style></head><body>"
                              "<p title=\"new\">Same text <a href=\"b.html\">link</a></p><!-- new comment -->"
                              "<script>var x = 'new words';</script><textarea>new area</textarea></body></html>";
    std::string page = fresh;
    const TChangeSummary summary = MarkPageChanges(page, &stored, News());
    EXPECT_EQ(summary.Changes, 0);
    EXPECT_EQ(summary.Plain, "Vendrel: 0 changes on News since 2026-12-01 07:00");
    EXPECT_EQ(page.find("<mark"), std::string::npos);
    EXPECT_EQ(Unmarked(page), fresh);
}

// A hundred long paragraphs changed, in a script that takes many bytes per
// character: the list stops at the room it has, and says how many it left.
TEST(ChangeMarks, TheSummaryStaysUnderItsSizeAndCountsWhatItLeavesOut)
{
    std::string stored = "<html><body>", fresh = "<html><body>";
    const std::string han = "\xE6\xBC\xA2\xE5\xAD\x97"; // two Han characters
    for (int i = 0; i < 100; ++i) {
        std::string words;
        for (int w = 0; w < 200; ++w)
            words += han + std::to_string(w) + " ";
        stored += "<p>old " + words + "</p>";
        fresh += "<p>new " + words + "</p>";
    }
    for (const std::string contentType : {"text/html; charset=utf-8", ""}) {
        std::string page = fresh;
        TChangeMarking how = News();
        how.HttpContentType = contentType;
        const TChangeSummary summary = MarkPageChanges(page, &stored, how);
        EXPECT_EQ(summary.Changes, 100);
        const auto at = page.find(BoxStart), end = page.find(BoxEnd, at);
        ASSERT_NE(end, std::string::npos);
        const std::string box = page.substr(at, end + BoxEnd.size() - at);
        EXPECT_LT(box.size(), 10000u) << contentType;
        std::size_t listed = 0;
        for (auto p = box.find("<span"); p != std::string::npos; p = box.find("<span", p + 1))
            ++listed;
        EXPECT_GE(listed, 1u);
        EXPECT_LE(listed, 20u);
        EXPECT_NE(box.find("and " + std::to_string(100 - listed) + " more</div>"), std::string::npos) << contentType;
        EXPECT_NE(summary.Plain.find("\xE2\x80\xA6" "and " + std::to_string(100 - listed) + " more"),
                  std::string::npos);
        // Each text is cut at 300 characters (and an ellipsis).
        const auto first = summary.Plain.find("+ new ");
        const std::string line = summary.Plain.substr(first + 2, summary.Plain.find("\r\n", first) - first - 2);
        EXPECT_TRUE(line.ends_with("\xE2\x80\xA6"));
        std::size_t chars = 0;
        for (char c : line)
            chars += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
        EXPECT_EQ(chars, 301u);
        if (contentType.find("utf-8") == std::string::npos) {
            EXPECT_NE(box.find("&#28450;&#23383;"), std::string::npos) << "named by number outside UTF-8";
        }
    }
}

TEST(ChangeMarks, TextInAnotherCharsetReachesTheSummaryAsItsCharacters)
{
    // windows-1251: "Привет" became "Пока" in a page that declares its charset.
    const std::string head = "<html><head><meta charset=\"windows-1251\"></head><body><p>";
    const std::string stored = head + "\xCF\xF0\xE8\xE2\xE5\xF2 &amp; x</p></body></html>";
    const std::string fresh = head + "\xCF\xEE\xEA\xE0 &amp; x</p></body></html>";
    std::string page = fresh;
    TChangeMarking how = News();
    how.HttpContentType = "text/html";
    const TChangeSummary summary = MarkPageChanges(page, &stored, how);
    EXPECT_EQ(summary.Plain, "Vendrel: 1 change on News since 2026-12-01 07:00\r\n"
                             "+ \xD0\x9F\xD0\xBE\xD0\xBA\xD0\xB0 & x\r\n"
                             "- \xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 & x");
    EXPECT_NE(page.find("&#1055;&#1086;&#1082;&#1072; &amp; x</span>"), std::string::npos) << page;
    EXPECT_NE(page.find(std::string(MarkOpen) + "\xCF\xEE\xEA\xE0</mark> &amp; x</p>"), std::string::npos);
}

TEST(ChangeMarks, PastItsBudgetThePageGoesUnmarkedAndTheSummarySaysWhy)
{
    std::string stored = "<html><body>", fresh = "<html><body>";
    for (int i = 0; i < 40000; ++i) {
        stored += "<p>old paragraph " + std::to_string(i) + "</p>\n";
        fresh += "<p>new paragraph " + std::to_string(i) + "</p>\n";
    }
    std::string page = fresh;
    TChangeMarking how = News();
    how.Budget = std::chrono::milliseconds(1);
    const TChangeSummary summary = MarkPageChanges(page, &stored, how);
    EXPECT_TRUE(summary.TooMany);
    EXPECT_EQ(summary.Plain, "Vendrel: changes on News since 2026-12-01 07:00\r\nToo many changes to list");
    EXPECT_EQ(page.find("<mark"), std::string::npos);
    EXPECT_EQ(Unmarked(page), fresh);
    EXPECT_EQ(page.find(BoxStart), fresh.find("<body>") + 6);
}

// A stored copy large enough to be read on a thread of its own, with a few
// paragraphs changed in one place each: exactly those are told and marked.
TEST(ChangeMarks, ALargePageTellsExactlyItsFewChangedParagraphs)
{
    std::string stored = "<html><body>";
    for (int i = 0; i < 4000; ++i)
        stored += "<p>paragraph " + std::to_string(i) + " says the same as before</p>\n";
    ASSERT_GT(stored.size(), 128u * 1024);
    std::string fresh = stored;
    for (const int i : {7, 1999, 3998}) {
        const std::string was = "paragraph " + std::to_string(i) + " says";
        fresh.insert(fresh.find(was) + was.size(), " freshly");
    }
    std::string page = fresh;
    const TChangeSummary summary = MarkPageChanges(page, &stored, News());
    EXPECT_EQ(summary.Changes, 3);
    const TMarkCheck check = CompareMarkedTree(fresh, page);
    EXPECT_EQ(check.Error, "");
    EXPECT_EQ(check.MarkedText, "[freshly][freshly][freshly]");
    EXPECT_EQ(Unmarked(page), fresh);
}

TEST(ChangeMarks, ThePlainPartTakesTheSummaryAfterItsFirstLine)
{
    EXPECT_EQ(PlainWithSummary("\"News\" sent from Vendrel at now\r\nVendrel is free software", "S1\r\nS2"),
              "\"News\" sent from Vendrel at now\r\nS1\r\nS2\r\n\r\nVendrel is free software");
    EXPECT_EQ(PlainWithSummary("only line", "S"), "only line\r\nS\r\n");
}
