#include "delivery/DocParser.h"

#include "tests/support/ManualClock.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const char* const NewsPage = R"(<!DOCTYPE html>
<HTML><HEAD><TITLE>Daily News</TITLE>
<link rel="stylesheet" href="css/site.css">
<SCRIPT src="js/menu.js"></SCRIPT>
<script>var x = "<b>";</script>
</HEAD>
<BODY background="img/paper.gif" bgcolor="#ffffff">
<!-- top -->
<A HREF="today.html" target="_top">Today</A>
<a href="http://www.example.org/abs.html">Elsewhere</a>
<IMG SRC='pics/logo.png' ALT="Logo" WIDTH=120 height="40">
<img src=pics/unquoted.png>
<a href="a.php?x=1&amp;y=2">Query</a>
</BODY></HTML>
)";

struct TSeen {
    std::vector<std::string> elements;
    std::vector<int> indexes;
    std::vector<std::string> events;
    std::vector<std::string> errors;
    std::vector<std::string> progress;
    std::vector<TParserState> states;
};

void Bind(TDocParser& p, TSeen& seen)
{
    p.OnElement = [&](const TElementInfo& e) {
        seen.elements.push_back(e.TagName);
        seen.indexes.push_back(e.SourceIndex);
    };
    p.OnAnchor = [&](const TAnchorInfo& a, const TElementInfo& e) {
        seen.events.push_back("A " + a.hRef + " " + a.Target + " " + e.InnerText);
    };
    p.OnImage = [&](const TImageInfo& i, const TElementInfo&) {
        seen.events.push_back("IMG " + i.Source + " " + i.Alt + " " + std::to_string(i.Width));
    };
    p.OnBody = [&](const TBodyInfo& b, const TElementInfo&) { seen.events.push_back("BODY " + b.Background); };
    p.OnScript = [&](const TScriptInfo& s, const TElementInfo&) {
        seen.events.push_back("SCRIPT " + s.Source + "|" + s.Text);
    };
    p.OnOtherLinkedItem = [&](const TLinkedItemInfo& l, const TElementInfo&) {
        seen.events.push_back(l.TagName + " " + l.hRef);
    };
    p.OnParseError = [&](std::int32_t code, const std::string&, const std::string& text) {
        seen.errors.push_back(std::to_string(code == E_FAIL_CODE) + " " + text);
    };
    p.OnParseDocument = [&](std::int32_t, const std::string& text) { seen.progress.push_back(text); };
    p.OnStateChange = [&](TParserState s) { seen.states.push_back(s); };
}

TEST(DocParser, ReportsTheAddressesOfAPageInDocumentOrder)
{
    TDocParser parser;
    TSeen seen;
    Bind(parser, seen);
    EXPECT_EQ(parser.State(), TParserState::psReady);
    parser.Html = NewsPage;
    ASSERT_TRUE(parser.Execute());

    const std::vector<std::string> expected = {
        "LINK about:blankcss/site.css",
        "SCRIPT about:blankjs/menu.js|",
        "SCRIPT |var x = \"<b>\";",
        "BODY about:blankimg/paper.gif",
        "A about:blanktoday.html _top Today",
        "A http://www.example.org/abs.html  Elsewhere",
        "IMG about:blankpics/logo.png Logo 120",
        "IMG about:blankpics/unquoted.png  0",
        "A about:blanka.php?x=1&y=2  Query",
    };
    EXPECT_EQ(seen.events, expected);

    // Every element once, in order, implied ones and the comment included.
    ASSERT_EQ(seen.elements.size(), 13u);
    EXPECT_EQ(seen.elements[0], "HTML");
    EXPECT_EQ(seen.elements[1], "HEAD");
    EXPECT_EQ(seen.elements[2], "TITLE");
    EXPECT_EQ(seen.elements[6], "BODY");
    EXPECT_EQ(seen.elements[7], "!");
    for (std::size_t i = 0; i < seen.indexes.size(); ++i)
        EXPECT_EQ(seen.indexes[i], static_cast<int>(i));

    EXPECT_EQ(seen.states, (std::vector<TParserState>{TParserState::psBusy, TParserState::psStopped}));
    EXPECT_EQ(parser.State(), TParserState::psStopped);
    EXPECT_TRUE(parser.Html.empty()) << "a completed run empties Html";
    EXPECT_TRUE(seen.errors.empty());
    ASSERT_GE(seen.progress.size(), 3u);
    EXPECT_EQ(seen.progress[5], "Loading from string: " + ResultCodeText(S_OK_CODE));
    EXPECT_EQ(seen.progress[6], "Done.");
    EXPECT_EQ(seen.progress[7].rfind(" Process Time: ", 0), 0u);

    // Run again without new text: nothing to load, so a bad document.
    seen = {};
    EXPECT_TRUE(parser.Execute());
    EXPECT_EQ(seen.errors, (std::vector<std::string>{"1 Error while loading from string: " + ResultCodeText(E_FAIL_CODE),
                                                     "1 Bad document or bad Address."}));
    EXPECT_TRUE(seen.elements.empty());
}

TEST(DocParser, TagLetterCaseDoesNotMatter)
{
    auto run = [](const std::string& html) {
        TDocParser parser;
        TSeen seen;
        Bind(parser, seen);
        parser.Html = html;
        EXPECT_TRUE(parser.Execute());
        return seen.events;
    };
    const auto lower = run("<html><body><a href=\"x.html\">x</a><img src=\"y.gif\"><p>z</p></body></html>");
    const auto upper = run("<HTML><BODY><A HREF=\"x.html\">x</A><IMG SRC=\"y.gif\"><P>z</P></BODY></HTML>");
    const auto mixed = run("<Html><Body><a HrEf=\"x.html\">x</A><Img sRc=\"y.gif\"><p>z</P></bOdY></hTmL>");
    EXPECT_EQ(lower.size(), 3u);
    EXPECT_EQ(lower, upper);
    EXPECT_EQ(lower, mixed);
}

TEST(DocParser, FourElementsOrFewerIsABadDocument)
{
    TDocParser parser;
    TSeen seen;
    Bind(parser, seen);
    // html, head and body come with every parse; one element more makes four.
    parser.Html = "<a href=\"x.html\">x</a>";
    EXPECT_TRUE(parser.Execute());
    EXPECT_EQ(seen.errors, std::vector<std::string>{"1 Bad document or bad Address."});
    EXPECT_TRUE(seen.elements.empty());
    EXPECT_TRUE(seen.events.empty());
    EXPECT_EQ(parser.State(), TParserState::psBusy) << "a bad document leaves the run unfinished";
    EXPECT_FALSE(parser.Html.empty());

    seen = {};
    parser.Html = "<p><a href=\"x.html\">x</a></p>";
    EXPECT_TRUE(parser.Execute());
    EXPECT_TRUE(seen.errors.empty());
    EXPECT_EQ(seen.elements.size(), 5u);
    EXPECT_EQ(seen.events, (std::vector<std::string>{"BODY ", "A about:blankx.html  x"}));
}

TEST(DocParser, DownloadOnlyAndTheTimeLimitSuppressTheWalk)
{
    TDocParser parser;
    TSeen seen;
    Bind(parser, seen);
    parser.DownloadOnly = true;
    parser.Html = NewsPage;
    EXPECT_TRUE(parser.Execute());
    EXPECT_TRUE(seen.elements.empty());
    EXPECT_TRUE(seen.events.empty());
    EXPECT_EQ(parser.State(), TParserState::psStopped);

    // The clock jumps past the limit while the document loads.
    parser.DownloadOnly = false;
    parser.Html = NewsPage;
    TManualClock clock;
    clock.SetTickMs(1000);
    clock.TickStepMs = TDocParser::TimeLimitMs + 1;
    parser.Clock = &clock;
    seen = {};
    EXPECT_FALSE(parser.Execute());
    EXPECT_TRUE(seen.elements.empty());
    EXPECT_EQ(parser.State(), TParserState::psBusy);
    EXPECT_EQ(parser.Html, NewsPage) << "a timed-out run keeps its text for the retry";
}

TEST(DocParser, AddressesCarryWhereTheyStandInTheSource)
{
    const std::string html = "<html><body><a href=\"dq.html\">1</a><a href='sq.html'>2</a><a href=uq.html>3</a>"
                             "<a href=' padded.html '>4</a><a href='e.php?a=1&amp;b=2'>5</a><a>6</a>"
                             "<a href>7</a><a href=&quot;q.png&quot;>8</a></body></html>";
    TDocParser parser;
    std::vector<TAnchorInfo> anchors;
    parser.OnAnchor = [&](const TAnchorInfo& a, const TElementInfo&) { anchors.push_back(a); };
    parser.Html = html;
    ASSERT_TRUE(parser.Execute());
    ASSERT_EQ(anchors.size(), 8u);
    auto at = [&](const TSourceSpan& s) { return html.substr(s.Offset, s.Length); };
    EXPECT_EQ(anchors[0].hRefAt.Quote, '"');
    EXPECT_EQ(at(anchors[0].hRefAt), "dq.html");
    EXPECT_EQ(anchors[1].hRefAt.Quote, '\'');
    EXPECT_EQ(at(anchors[1].hRefAt), "sq.html");
    EXPECT_EQ(anchors[2].hRefAt.Quote, 0);
    EXPECT_EQ(at(anchors[2].hRefAt), "uq.html");
    EXPECT_EQ(anchors[3].hRef, "about:blankpadded.html");
    EXPECT_EQ(at(anchors[3].hRefAt), "padded.html");
    // The value decoded, its place as written.
    EXPECT_EQ(anchors[4].hRef, "about:blanke.php?a=1&b=2");
    EXPECT_EQ(anchors[4].hRefAt.Quote, '\'');
    EXPECT_EQ(at(anchors[4].hRefAt), "e.php?a=1&amp;b=2");
    EXPECT_EQ(anchors[5].hRef, "");
    EXPECT_FALSE(anchors[5].hRefAt.Known());
    // gumbo gave the attribute's name as the source of a missing value.
    EXPECT_EQ(anchors[6].hRef, "");
    EXPECT_FALSE(anchors[6].hRefAt.Known());
    // gumbo put an unquoted value that starts with a reference six bytes off.
    EXPECT_EQ(anchors[7].hRef, "about:blank\"q.png\"");
    EXPECT_EQ(anchors[7].hRefAt.Quote, 0);
    EXPECT_EQ(at(anchors[7].hRefAt), "&quot;q.png&quot;");
}

TEST(DocParser, ElementRecordAndAnchorParts)
{
    TDocParser parser;
    TElementInfo record;
    TAnchorInfo anchor;
    parser.OnAnchor = [&](const TAnchorInfo& a, const TElementInfo& e) {
        anchor = a;
        record = e;
    };
    parser.Html = "<html><body><p>x</p><a id=\"k\" class=\"big\" title=\"T\" lang=\"en\" "
                  "href=\"https://user@www.example.com:8443/dir/file.html?q=1#part\">Go <b>now</b></a></body></html>";
    ASSERT_TRUE(parser.Execute());
    EXPECT_EQ(record.TagName, "A");
    EXPECT_EQ(record.Id, "k");
    EXPECT_EQ(record.ClassName, "big");
    EXPECT_EQ(record.Title, "T");
    EXPECT_EQ(record.Lang, "en");
    EXPECT_EQ(record.SourceIndex, 4);
    EXPECT_EQ(record.InnerText, "Go now");
    EXPECT_EQ(record.InnerHTML, "Go <b>now</b>");
    EXPECT_EQ(record.OuterHTML.rfind("<a ", 0), 0u);
    EXPECT_EQ(anchor.Protocol, "https:");
    EXPECT_EQ(anchor.Host, "www.example.com:8443");
    EXPECT_EQ(anchor.HostName, "www.example.com");
    EXPECT_EQ(anchor.Port, "8443");
    EXPECT_EQ(anchor.PathName, "/dir/file.html");
    EXPECT_EQ(anchor.Search, "?q=1");
    EXPECT_EQ(anchor.Hash, "#part");
    EXPECT_EQ(anchor.NameProp, "file.html");
}

TEST(DocParser, DownloadControlFlags)
{
    TDocParser parser;
    EXPECT_EQ(DownloadControlFlags(parser.DownloadOptions), 0x0FF0u);
    EXPECT_EQ(DownloadControlFlags({}), 0u);
    EXPECT_EQ(DownloadControlFlags({TDownloadControlOption::WorkOffline, TDownloadControlOption::DontDownloadFrame}),
              0x80001000u);
}

} // namespace
