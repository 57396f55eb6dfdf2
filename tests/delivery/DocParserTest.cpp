#include "delivery/DocParser.h"

#include "tests/support/ManualClock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
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

std::string Fields(const TElementInfo& e)
{
    return e.ClassName + "|" + e.Id + "|" + e.InnerHTML + "|" + e.InnerText + "|" + e.Lang + "|" + e.Language + "|" +
           std::to_string(e.OffsetHeight + e.OffsetLeft + e.OffsetTop + e.OffsetWidth) + "|" + e.OuterHTML + "|" +
           e.OuterText + "|" + e.RecordNumber + "|" + e.TagName + "|" + e.Title;
}

std::string Fields(const TAnchorInfo& a)
{
    return a.hRef + "|" + a.Target + "|" + a.Rel + "|" + a.Rev + "|" + a.Urn + "|" + a.Methods + "|" + a.Name + "|" +
           a.Host + "|" + a.HostName + "|" + a.PathName + "|" + a.Port + "|" + a.Protocol + "|" + a.Search + "|" +
           a.Hash + "|" + a.AccessKey + "|" + a.ProtocolLong + "|" + a.MimeType + "|" + a.NameProp + "|" +
           std::to_string(a.hRefAt.Known());
}

std::string Fields(const TImageInfo& m)
{
    return m.Source + "|" + m.LowSrc + "|" + m.Vrml + "|" + m.DynSrc + "|" + m.Alt + "|" + m.Align + "|" + m.UseMap +
           "|" + std::to_string(m.IsMap) + "|" + m.Border + "|" + m.Loop + "|" + std::to_string(m.vSpace) + "|" +
           std::to_string(m.hSpace) + "|" + std::to_string(m.Width) + "|" + std::to_string(m.Height) + "|" +
           std::to_string(m.SourceAt.Known());
}

std::string Fields(const TScriptInfo& s)
{
    return s.Source + "|" + s.HtmlFor + "|" + s.Event + "|" + s.Text + "|" + std::to_string(s.Defer) + "|" +
           std::to_string(s.SourceAt.Known());
}

std::string Fields(const TLinkedItemInfo& l)
{
    return l.TagName + "|" + l.hRef + "|" + std::to_string(l.hRefAt.Known());
}

// The parser refills its records from one element to the next: an element
// that lacks an attribute must not show the one before it had.
TEST(DocParser, EachRecordHoldsOnlyItsOwnElementsValues)
{
    TDocParser parser;
    std::vector<std::string> anchors, images, scripts, links, records;
    parser.OnElement = [&](const TElementInfo& e) { records.push_back(Fields(e)); };
    parser.OnAnchor = [&](const TAnchorInfo& a, const TElementInfo&) { anchors.push_back(Fields(a)); };
    parser.OnImage = [&](const TImageInfo& m, const TElementInfo&) { images.push_back(Fields(m)); };
    parser.OnScript = [&](const TScriptInfo& s, const TElementInfo&) { scripts.push_back(Fields(s)); };
    parser.OnOtherLinkedItem = [&](const TLinkedItemInfo& l, const TElementInfo&) { links.push_back(Fields(l)); };
    parser.Html = "<html><head><link rel=x href=\"full.css\"><link></head><body><p>x</p>"
                  "<a id=i class=c title=t lang=l language=j href=\"https://u@h:1/p/n?q#f\" target=t rel=r rev=v "
                  "urn=u methods=m name=n accesskey=k type=y>A</a><!--c--><a>B</a><a href=\"rel.html\">C</a>"
                  "<a href=\"http://h/\">D</a><a href=\"ftp://h\">E</a>"
                  "<img src=s lowsrc=l vrml=v dynsrc=d alt=a align=g usemap=u ismap border=b loop=o vspace=1 "
                  "hspace=2 width=3 height=4><img>"
                  "<script src=x.js for=f event=e defer>t</script><script></script></body></html>";
    ASSERT_TRUE(parser.Execute());

    auto bare = [](const char* tag, const char* inner, const char* outer) {
        TElementInfo e;
        e.TagName = tag;
        e.InnerHTML = e.InnerText = e.OuterText = inner;
        e.OuterHTML = outer;
        return e;
    };
    ASSERT_EQ(anchors.size(), 5u);
    EXPECT_EQ(anchors[0], "https://u@h:1/p/n?q#f|t|r|v|u|m|n|h:1|h|/p/n|1|https:|?q|#f|k|"
                          "HyperText Transfer Protocol with Privacy|y|n|1");
    EXPECT_EQ(anchors[1], Fields(TAnchorInfo{}));
    EXPECT_EQ(anchors[2], "about:blankrel.html|||||||||blankrel.html||about:||||||blankrel.html|1");
    EXPECT_EQ(anchors[3], "http://h/|||||||h|h|/|80|http:||||HyperText Transfer Protocol|||1");
    EXPECT_EQ(anchors[4], "ftp://h|||||||h|h|/|21|ftp:||||File Transfer Protocol|||1");
    ASSERT_EQ(images.size(), 2u);
    EXPECT_EQ(images[0], "about:blanks|about:blankl|v|about:blankd|a|g|u|1|b|o|1|2|3|4|1");
    EXPECT_EQ(images[1], Fields(TImageInfo{}));
    ASSERT_EQ(scripts.size(), 2u);
    EXPECT_EQ(scripts[0], "about:blankx.js|f|e|t|1|1");
    EXPECT_EQ(scripts[1], Fields(TScriptInfo{}));
    ASSERT_EQ(links.size(), 2u);
    EXPECT_EQ(links[0], "LINK|about:blankfull.css|1");
    EXPECT_EQ(links[1], "LINK||0");
    const auto anchorAt = std::find(records.begin(), records.end(), Fields(bare("A", "B", "<a>B</a>")));
    EXPECT_NE(anchorAt, records.end()) << "the bare anchor's record keeps the one before's id, class or title";
    const auto commentAt = std::find(records.begin(), records.end(), Fields(bare("!", "", "<!--c-->")));
    EXPECT_NE(commentAt, records.end()) << "the comment's record keeps the anchor's id, class or title";
}

// What the address events give, one line each, in the order they come.
class TAddressLog : public TAddressSink {
public:
    std::vector<std::string> Lines;

    void Address(TAddressEvent event, const std::string& address, const TSourceSpan& at) override
    {
        Lines.push_back(std::to_string(static_cast<int>(event)) + "|" + address + "|" + std::to_string(at.Offset) +
                        "|" + std::to_string(at.Length) + "|" + std::to_string(at.Quote));
    }
};

// The address events as handlers of the records see them, through the same
// adapter's record path.
void BindRecords(TDocParser& p, TAddressLog& log)
{
    const TAddressHandler handler(log);
    p.OnAnchor = [handler](const TAnchorInfo& a, const TElementInfo& e) { handler(a, e); };
    p.OnImage = [handler](const TImageInfo& i, const TElementInfo& e) { handler(i, e); };
    p.OnBody = [handler](const TBodyInfo& b, const TElementInfo& e) { handler(b, e); };
    p.OnScript = [handler](const TScriptInfo& s, const TElementInfo& e) { handler(s, e); };
    p.OnOtherLinkedItem = [handler](const TLinkedItemInfo& l, const TElementInfo& e) { handler(l, e); };
    p.OnBase = [handler](const TBaseInfo& b, const TElementInfo& e) { handler(b, e); };
}

TEST(DocParser, AddressHandlersGetWhatTheRecordsGive)
{
    // Bound through TAddressHandler, a handler is called without records and
    // the elements keep only their address: on real pages and on copies with
    // markup that merges, drops or repeats what holds an address, each
    // handler must get what the records would give it, in the same order,
    // alone or beside handlers and an element handler that take the records.
    std::vector<std::string> pages;
    for (const char* name : {"blog.html", "frames.html", "legacy.html", "news.html", "scripts.html", "shop.html",
                             "svg.html"}) {
        std::ifstream in(std::string(VENDREL_FIXTURES_DIR) + "/pages/" + name, std::ios::binary);
        pages.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        ASSERT_FALSE(pages.back().empty()) << name;
    }
    const char* const inserts[] = {
        "<body background=\"second.gif\" bgcolor=red>", "<body id=b background='third.gif'>", "<html background=h.gif>",
        "<frameset><frame src=f.html></frameset>", "<base href=\"http://other/dir/\">", "<base target=_top>",
        "<a href=\" sp.html \" href=dup.html>", "<a HREF=Up.html title=t>", "<a>", "<a href>", "<img src=&quot;q&quot;>",
        "<img alt=a src='i.png' src=j.png>", "<script src=s.js></script>", "<link href=c.css rel=x>", "<svg><a href=v>",
        "<table><a href=t.html><td>", "<!-- <a href=c.html> -->", "<a href=\"a&amp;b\">", "<textarea><a href=x>",
        "</body><a href=after.html>", "<p>text</p>"};
    std::mt19937 random(20261210);
    for (int i = 0; i < 300; ++i) {
        std::string page = pages[random() % 7];
        for (int k = 1 + static_cast<int>(random() % 6); k > 0; --k)
            page.insert(random() % (page.size() + 1), inserts[random() % std::size(inserts)]);
        pages.push_back(page);
    }
    int compared = 0;
    for (std::size_t i = 0; i < pages.size(); ++i) {
        TAddressLog expected, direct, mixed;
        TDocParser records, handlers, both;
        BindRecords(records, expected);
        handlers.BindAddresses(direct);
        handlers.ElementTexts = i % 2 == 0;
        BindRecords(both, mixed);
        const TAddressHandler mixedHandler(mixed);
        both.OnAnchor = mixedHandler;
        both.OnBody = mixedHandler;
        both.OnBase = mixedHandler;
        int elements = 0;
        if (i % 3 == 0)
            both.OnElement = [&](const TElementInfo&) { ++elements; };
        records.Html = handlers.Html = both.Html = pages[i];
        ASSERT_TRUE(records.Execute());
        ASSERT_TRUE(handlers.Execute());
        ASSERT_TRUE(both.Execute());
        ASSERT_EQ(direct.Lines, expected.Lines) << "page " << i;
        ASSERT_EQ(mixed.Lines, expected.Lines) << "page " << i;
        compared += static_cast<int>(expected.Lines.size());
    }
    EXPECT_GT(compared, 3000);
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
