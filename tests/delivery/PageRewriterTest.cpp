#include "delivery/PageRewriter.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "platform/Text.h"
#include "tests/support/ManualClock.h"
#include "tests/support/RecordingHost.h"

namespace {

TEST(MakeAbsoluteUrl, ResolvesReferencesAgainstTheBase)
{
    const std::string base = "http://a/b/c/d;p?q";
    const std::pair<const char*, const char*> cases[] = {
        {"g", "http://a/b/c/g"},         {"./g", "http://a/b/c/g"},       {"g/", "http://a/b/c/g/"},
        {"/g", "http://a/g"},            {"//g", "http://g"},            {"?y", "http://a/b/c/d;p?y"},
        {"g?y", "http://a/b/c/g?y"},     {"#s", "http://a/b/c/d;p?q#s"},  {"g#s", "http://a/b/c/g#s"},
        {";x", "http://a/b/c/;x"},       {".", "http://a/b/c/"},          {"..", "http://a/b/"},
        {"../g", "http://a/b/g"},        {"../..", "http://a/"},          {"../../g", "http://a/g"},
        {"../../../g", "http://a/g"},    {"/./g", "http://a/g"},          {"/../g", "http://a/g"},
        {"g.", "http://a/b/c/g."},       {"..g", "http://a/b/c/..g"},     {"g/../h", "http://a/b/c/h"},
        {"a b.html", "http://a/b/c/a%20b.html"},
        {"x\"<y>.html", "http://a/b/c/x%22%3Cy%3E.html"},
        {"x%20y.html", "http://a/b/c/x%20y.html"},
    };
    for (const auto& [link, absolute] : cases)
        EXPECT_EQ(MakeAbsoluteUrl(base, link), absolute) << link;

    EXPECT_EQ(MakeAbsoluteUrl("http://www.example.com/news/", "today.html"), "http://www.example.com/news/today.html");
    EXPECT_EQ(MakeAbsoluteUrl("http://www.example.com", "today.html"), "http://www.example.com/today.html");
    EXPECT_EQ(MakeAbsoluteUrl("http://www.example.com:8080/a/b.html", "../c.html"), "http://www.example.com:8080/c.html");
    // Site addresses written without a scheme are fetched over HTTP.
    EXPECT_EQ(MakeAbsoluteUrl("www.example.com/news/", "x.html"), "http://www.example.com/news/x.html");
}

TEST(MakeAbsoluteUrl, LeavesWhatItCannotOrNeedNotResolve)
{
    EXPECT_EQ(MakeAbsoluteUrl("", "x.html"), "x.html");
    EXPECT_EQ(MakeAbsoluteUrl("http://a/b/", "HtTp://other/x"), "HtTp://other/x");
    EXPECT_EQ(MakeAbsoluteUrl("http://a/b/", "ftp://other/x"), "ftp://other/x");
    // Anything holding TP:/ is taken as absolute, wherever it stands.
    EXPECT_EQ(MakeAbsoluteUrl("http://a/b/", "go.cgi?to=http://x"), "go.cgi?to=http://x");
    EXPECT_EQ(MakeAbsoluteUrl("http://a/b/", "mailto:someone@example.com"), "mailto:someone@example.com");
    EXPECT_EQ(MakeAbsoluteUrl("http://a/b/", "javascript:void(0)"), "javascript:void(0)");
    const std::string base = "http://www.example.com/" + std::string(460, 'd') + "/";
    EXPECT_EQ(MakeAbsoluteUrl(base, "short.html").size(), base.size() + 10);
    EXPECT_EQ(MakeAbsoluteUrl(base, std::string(40, 'f')), std::string(40, 'f')) << "over 500 characters";
}

// Resolution in its plain form, one string per part, as it stood before the
// rewriting resolved a page's links against a base split once.
namespace plain {

bool IsSchemeChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' || c == '-' ||
           c == '.';
}

std::size_t SchemeLength(std::string_view s)
{
    if (s.empty() || !((s[0] >= 'a' && s[0] <= 'z') || (s[0] >= 'A' && s[0] <= 'Z')))
        return 0;
    std::size_t i = 1;
    while (i < s.size() && IsSchemeChar(s[i]))
        ++i;
    return i < s.size() && s[i] == ':' ? i + 1 : 0;
}

struct TUrlParts {
    std::string Scheme;
    bool HasAuthority = false;
    std::string Authority;
    std::string Path;
    bool HasQuery = false;
    std::string Query;
    bool HasFragment = false;
    std::string Fragment;
};

TUrlParts SplitReference(std::string_view s)
{
    TUrlParts p;
    const std::size_t scheme = SchemeLength(s);
    p.Scheme = std::string(s.substr(0, scheme));
    s.remove_prefix(scheme);
    const auto hash = s.find('#');
    if (hash != std::string_view::npos) {
        p.HasFragment = true;
        p.Fragment = std::string(s.substr(hash + 1));
        s = s.substr(0, hash);
    }
    const auto query = s.find('?');
    if (query != std::string_view::npos) {
        p.HasQuery = true;
        p.Query = std::string(s.substr(query + 1));
        s = s.substr(0, query);
    }
    if (s.substr(0, 2) == "//") {
        p.HasAuthority = true;
        const auto slash = s.find('/', 2);
        p.Authority = std::string(s.substr(2, slash == std::string_view::npos ? std::string_view::npos : slash - 2));
        s = slash == std::string_view::npos ? std::string_view() : s.substr(slash);
    }
    p.Path = std::string(s);
    return p;
}

std::string RemoveDotSegments(std::string_view input)
{
    std::string output;
    while (!input.empty()) {
        if (input.substr(0, 3) == "../") {
            input.remove_prefix(3);
        } else if (input.substr(0, 2) == "./") {
            input.remove_prefix(2);
        } else if (input.substr(0, 3) == "/./") {
            input.remove_prefix(2);
        } else if (input == "/.") {
            input = "/";
        } else if (input.substr(0, 4) == "/../" || input == "/..") {
            if (input == "/..")
                input = "/";
            else
                input.remove_prefix(3);
            const auto last = output.rfind('/');
            output.erase(last == std::string::npos ? 0 : last);
        } else if (input == "." || input == "..") {
            input = {};
        } else {
            const auto next = input.find('/', input[0] == '/' ? 1 : 0);
            const auto segment = input.substr(0, next);
            output += segment;
            input.remove_prefix(segment.size());
        }
    }
    return output;
}

std::string EscapeUnsafe(std::string_view s)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c >= 0x7F || std::string_view("\"<>\\^`{|}").find(ch) != std::string_view::npos) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += ch;
        }
    }
    return out;
}

std::string MakeAbsoluteUrl(const std::string& base, const std::string& link)
{
    if (base.empty() || UpperCase(link).find("TP:/") != std::string::npos || SchemeLength(link) > 0)
        return link;
    const TUrlParts b = SplitReference(SchemeLength(base) > 0 ? base : "http://" + base);
    const TUrlParts r = SplitReference(link);
    TUrlParts t;
    t.Scheme = b.Scheme;
    if (r.HasAuthority) {
        t.HasAuthority = true;
        t.Authority = r.Authority;
        t.Path = RemoveDotSegments(r.Path);
        t.HasQuery = r.HasQuery;
        t.Query = r.Query;
    } else {
        t.HasAuthority = b.HasAuthority;
        t.Authority = b.Authority;
        if (r.Path.empty()) {
            t.Path = b.Path;
            t.HasQuery = r.HasQuery || b.HasQuery;
            t.Query = r.HasQuery ? r.Query : b.Query;
        } else if (r.Path[0] == '/') {
            t.Path = RemoveDotSegments(r.Path);
            t.HasQuery = r.HasQuery;
            t.Query = r.Query;
        } else {
            std::string merged;
            if (b.HasAuthority && b.Path.empty()) {
                merged = "/" + r.Path;
            } else {
                const auto slash = b.Path.rfind('/');
                merged = (slash == std::string::npos ? std::string() : b.Path.substr(0, slash + 1)) + r.Path;
            }
            t.Path = RemoveDotSegments(merged);
            t.HasQuery = r.HasQuery;
            t.Query = r.Query;
        }
    }
    if (t.HasAuthority && t.Path.empty() && (t.HasQuery || !r.Path.empty()))
        t.Path = "/";
    std::string s = t.Scheme;
    if (t.HasAuthority)
        s += "//" + t.Authority;
    s += t.Path;
    if (t.HasQuery)
        s += "?" + t.Query;
    if (r.HasFragment)
        s += "#" + r.Fragment;
    const std::string result = EscapeUnsafe(s);
    return result.size() > 500 ? link : result;
}

} // namespace plain

TEST(MakeAbsoluteUrl, MatchesThePlainResolutionOnGeneratedReferences)
{
    const std::vector<std::string> bases = {
        "http://a/b/c/d;p?q", "http://www.example.com", "http://www.example.com/", "www.example.com/news/",
        "www.example.com", "HTTPS://h:8080/x/../y/./z?k#frag", "http://h/dir with space/\xC3\xA9/",
        "file:///tmp/x", "mailto:x@y", "http:", "http://h?q", "//h/p", "x:", "a", "/abs/path", "http://h/a/..",
        "http://user@h/" + std::string(470, 'd') + "/", "h/" + std::string(495, 'e')};
    const std::vector<std::string> starts = {"",  "",  "",   "//host", "//Ho st:80", "//", "/",    "./", "../",
                                             "../../", ".", "..", "/./", "/../", "?", "#", "http:/", "mailto:",
                                             "tP:/", "x:y", "1a:b", "a+b.c-d:e", ":", "-a:b"};
    const std::vector<std::string> segments = {"a", "b.html", ".", "..", "x y", "\xC3\xA9", "\"", "<", "'", "%20",
                                               "~", "{x}", "", "g;p", "tp:", "\x01\x7F", "..g", "g."};
    const std::vector<std::string> ends = {"", "", "?q=1&r=2", "?", "?a b#c", "#f", "#", "#a#b", "?x?y", "/"};
    std::mt19937 random(20261208);
    auto pick = [&](const std::vector<std::string>& from) { return from[random() % from.size()]; };
    for (const std::string& base : bases) {
        // One resolver takes every link of its base in turn, as a page does.
        TUrlResolver resolver(base);
        std::string absolute;
        for (int round = 0; round < 4000; ++round) {
            std::string link = pick(starts);
            const int count = static_cast<int>(random() % 5);
            for (int i = 0; i < count; ++i) {
                if (i > 0 || random() % 2)
                    link += '/';
                link += pick(segments);
            }
            if (round % 97 == 0)
                link += std::string(200 + random() % 400, 'l');
            link += pick(ends);
            const std::string expected = plain::MakeAbsoluteUrl(base, link);
            ASSERT_EQ(MakeAbsoluteUrl(base, link), expected) << "base: " << base << " link: " << link;
            const bool resolved = resolver.Resolve(link, absolute);
            ASSERT_EQ(resolved ? absolute : link, expected) << "base: " << base << " link: " << link;
        }
    }
}

// The replacement in its plain form: one case-insensitive replace-all
// per pair, each on the previous pair's output. Pairs that hold a quote or
// an empty original take no part.
void NaiveReplace(std::string& text, const std::vector<std::string>& from, const std::vector<std::string>& to)
{
    for (std::size_t i = 0; i < from.size(); ++i) {
        if (from[i].empty() || from[i].find('"') != std::string::npos || to[i].find('"') != std::string::npos)
            continue;
        const std::string pattern = "\"" + from[i] + "\"";
        const std::string replacement = "\"" + to[i] + "\"";
        std::string out;
        std::size_t done = 0;
        for (std::size_t at = FindText(text, pattern); at != std::string::npos; at = FindText(text, pattern, done)) {
            out.append(text, done, at - done);
            out += replacement;
            done = at + pattern.size();
        }
        out.append(text, done, std::string::npos);
        text = out;
    }
}

TEST(ReplaceQuotedLinks, GivesTheResultOfReplacingPairByPair)
{
    std::mt19937 random(20261208);
    const std::vector<std::string> words = {"a", "A", "b", "ab", "aB", "c", "x y", "", "="};
    auto word = [&] { return words[random() % words.size()]; };
    for (int round = 0; round < 4000; ++round) {
        std::string text;
        const int pieces = 1 + static_cast<int>(random() % 12);
        for (int i = 0; i < pieces; ++i)
            text += (random() % 3 ? "\"" : "") + word();
        std::vector<std::string> from, to;
        const int pairs = 1 + static_cast<int>(random() % 5);
        for (int i = 0; i < pairs; ++i) {
            std::string f = word();
            if (f.empty())
                f = "a";
            from.push_back(f);
            // Chains: an absolute form may be a later pair's original.
            to.push_back(random() % 2 ? word() + "z" : words[random() % 6]);
        }
        // Now and then a quote inside an address.
        if (round % 50 == 0)
            to[0] += "\"";
        std::string expected = text, actual = text;
        NaiveReplace(expected, from, to);
        ReplaceQuotedLinks(actual, from, to);
        ASSERT_EQ(actual, expected) << "text: " << text;
    }
}

// Pages hold thousands of links, many of them repeated in other spellings:
// many pairs whose originals share a key, or only its letters' case.
TEST(ReplaceQuotedLinks, ManyPairsGiveTheResultOfReplacingPairByPair)
{
    std::mt19937 random(8122026);
    auto word = [&] {
        std::string w;
        const int length = 1 + static_cast<int>(random() % 4);
        for (int i = 0; i < length; ++i)
            w += "aAbB/."[random() % 6];
        return w;
    };
    for (int round = 0; round < 40; ++round) {
        std::string text;
        for (int i = 0; i < 600; ++i)
            text += (random() % 4 ? "\"" : " ") + word();
        std::vector<std::string> from, to;
        const int pairs = 50 + static_cast<int>(random() % 400);
        for (int i = 0; i < pairs; ++i) {
            from.push_back(word());
            to.push_back(random() % 3 ? word() : "http://h/" + word());
        }
        std::string expected = text, actual = text;
        NaiveReplace(expected, from, to);
        ReplaceQuotedLinks(actual, from, to);
        ASSERT_EQ(actual, expected) << "round " << round;
    }
}

class RewritePage : public ::testing::Test {
protected:
    TRecordingHost host;
    TManualClock clock;
    TPageRewriter rewriter{host, clock};
    std::vector<int> waits;
    void SetUp() override
    {
        rewriter.Wait = [this](int ms) { waits.push_back(ms); };
    }
};

TEST_F(RewritePage, MakesEveryReportedAddressAbsolute)
{
    std::string page =
        "<html><head><title>News</title>\r\n"
        "<LINK REL=\"stylesheet\" HREF=\"css/site.css\">\r\n"
        "<script src=\"/js/menu.js\" type=\"text/javascript\"></script>\r\n"
        "</head>\r\n<body background=\"img/paper.gif\">\r\n"
        "<a href=\"today.html\">Today</a> <A HREF=\"../archive/index.html\">Archive</A>\r\n"
        "<a href=\"search.cgi?q=news&amp;page=2\">Search</a> <a href=\"list.php?id=7\">List</a>\r\n"
        "<img src='pics/logo.png' alt=\"don't touch 'pics/logo.png' in text\"> <img src=pics/unquoted.png width=3>\r\n"
        "<a href=\"http://www.example.org/\">Away</a> <a href=\"mailto:ed@example.com\">Mail</a>\r\n"
        "<p>Plain text mentioning \"today.html\" keeps the old replacement's reach.</p>\r\n"
        "</body></html>\r\n";
    ASSERT_TRUE(rewriter.RewritePage("http://www.example.com/news/", page));
    EXPECT_TRUE(host.Log.empty());
    EXPECT_EQ(page,
              "<html><head><title>News</title>\r\n"
              "<LINK REL=\"stylesheet\" HREF=\"http://www.example.com/news/css/site.css\">\r\n"
              "<script src=\"http://www.example.com/js/menu.js\" type=\"text/javascript\"></script>\r\n"
              "</head>\r\n<body background=\"http://www.example.com/news/img/paper.gif\">\r\n"
              "<a href=\"http://www.example.com/news/today.html\">Today</a> "
              "<A HREF=\"http://www.example.com/archive/index.html\">Archive</A>\r\n"
              "<a href=\"http://www.example.com/news/search.cgi?q=news&amp;page=2\">Search</a> "
              "<a href=\"http://www.example.com/news/list.php?id=7\">List</a>\r\n"
              "<img src='http://www.example.com/news/pics/logo.png' alt=\"don't touch 'pics/logo.png' in text\"> "
              "<img src=http://www.example.com/news/pics/unquoted.png width=3>\r\n"
              "<a href=\"http://www.example.org/\">Away</a> <a href=\"mailto:ed@example.com\">Mail</a>\r\n"
              "<p>Plain text mentioning \"http://www.example.com/news/today.html\" keeps the old replacement's "
              "reach.</p>\r\n"
              "</body></html>\r\n");
    // The address with a character reference is recorded as the parser
    // decoded it and rewritten where it stands, with the page's escaping.
    const std::vector<std::string> originals = {"css/site.css",          "/js/menu.js",
                                                "img/paper.gif",         "today.html",
                                                "../archive/index.html", "search.cgi?q=news&page=2",
                                                "list.php?id=7",         "pics/logo.png",
                                                "pics/unquoted.png"};
    EXPECT_EQ(rewriter.OriginalLinks, originals);
    ASSERT_EQ(rewriter.AbsoluteLinks.size(), originals.size());
    EXPECT_EQ(rewriter.AbsoluteLinks[5], "http://www.example.com/news/search.cgi?q=news&page=2");
    EXPECT_EQ(rewriter.BaseUrl, "http://www.example.com/news/");
    EXPECT_TRUE(waits.empty());
}

TEST_F(RewritePage, CaseVariantsAndRepeatsOfOneLink)
{
    std::string page = "<html><body><p>x</p><a href=\"Page.html\">1</a><a href=\"page.HTML\">2</a>"
                       "<a href=\"Page.html\">3</a><img src='Page.html'></body></html>";
    ASSERT_TRUE(rewriter.RewritePage("http://h/dir/", page));
    // Each link is rewritten at its own place, in its own spelling.
    EXPECT_EQ(rewriter.OriginalLinks, (std::vector<std::string>{"Page.html", "page.HTML", "Page.html", "Page.html"}));
    EXPECT_EQ(page, "<html><body><p>x</p><a href=\"http://h/dir/Page.html\">1</a><a href=\"http://h/dir/page.HTML\">2</a>"
                    "<a href=\"http://h/dir/Page.html\">3</a><img src='http://h/dir/Page.html'></body></html>");
}

TEST_F(RewritePage, AddressesThatMustNotBreakTheirQuotes)
{
    std::string page = "<html><body><p>x</p><a href='it&#39;s.html'>1</a><a href=b.html?x=1>2</a>"
                       "<a href='c d.html'>3</a></body></html>";
    ASSERT_TRUE(rewriter.RewritePage("http://h/o'k/", page));
    EXPECT_EQ(page, "<html><body><p>x</p><a href='http://h/o%27k/it&#39;s.html'>1</a><a href=http://h/o%27k/b.html?x=1>2</a>"
                    "<a href='http://h/o%27k/c%20d.html'>3</a></body></html>");
}

TEST_F(RewritePage, ASmallDocumentIsDeliveredAsItIs)
{
    std::string page = "<a href=\"x.html\">only</a>";
    ASSERT_TRUE(rewriter.RewritePage("http://h/", page));
    EXPECT_EQ(page, "<a href=\"x.html\">only</a>");
    EXPECT_TRUE(rewriter.OriginalLinks.empty());
    EXPECT_TRUE(host.Log.empty());

    // Absolute addresses only: nothing recorded, nothing changed.
    page = "<html><body><p><a href=\"HTTPS://h/x\">x</a><img src=\"ftp://h/y\"></p></body></html>";
    const std::string before = page;
    ASSERT_TRUE(rewriter.RewritePage("http://h/", page));
    EXPECT_EQ(page, before);
    EXPECT_TRUE(rewriter.OriginalLinks.empty());
}

TEST_F(RewritePage, ParseFailuresAreRetriedOnceThenLogged)
{
    // The first run raises; the retry, with the text still in place, succeeds.
    int runs = 0;
    rewriter.docparse.OnElement = [&](const TElementInfo&) {
        if (runs++ == 0)
            throw std::runtime_error("document service failed");
    };
    std::string page = "<html><body><p>x</p><a href=\"x.html\">1</a></body></html>";
    ASSERT_TRUE(rewriter.RewritePage("http://h/", page));
    EXPECT_EQ(waits, std::vector<int>{1000});
    EXPECT_NE(page.find("\"http://h/x.html\""), std::string::npos);
    EXPECT_TRUE(host.Log.empty());

    // Both runs outlast the limit.
    rewriter.docparse.OnElement = nullptr;
    clock.TickStepMs = TDocParser::TimeLimitMs + 1;
    waits.clear();
    page = "<html><body><p>x</p><a href=\"x.html\">1</a></body></html>";
    EXPECT_FALSE(rewriter.RewritePage("http://h/", page));
    EXPECT_EQ(waits, std::vector<int>{1000});
    EXPECT_EQ(host.Log, std::vector<std::string>{"HTML parsing error: Parse Error 2"});
    EXPECT_EQ(page, "<html><body><p>x</p><a href=\"x.html\">1</a></body></html>");
}

} // namespace

namespace {

// Faults of the gumbo-based parse, each of which used to reach the mail.
TEST_F(RewritePage, PagesThatBrokeTheOldParse)
{
    // A 60-byte page: gumbo gave the unquoted value before CR LF a length
    // of SIZE_MAX and the range check read past the page.
    std::string page = "<html><body><p>x</p><a href=&#39;\r\nx>1</a><p>y</p></body></html>";
    ASSERT_TRUE(rewriter.RewritePage("http://h/d/", page));
    EXPECT_EQ(page, "<html><body><p>x</p><a href=http://h/d/&#39;\r\nx>1</a><p>y</p></body></html>");

    // A missing value was taken from the attribute's name.
    page = "<html><body><p>x</p><a href>1</a><img src></body></html>";
    ASSERT_TRUE(rewriter.RewritePage("http://h/d/", page));
    EXPECT_EQ(page, "<html><body><p>x</p><a href>1</a><img src></body></html>");

    // An unquoted value that starts with a reference was placed six bytes off.
    page = "<html><body><p>x</p><img src=&quot;q.png&quot; alt=x></body></html>";
    ASSERT_TRUE(rewriter.RewritePage("http://h/d/", page));
    EXPECT_EQ(page, "<html><body><p>x</p><img src=http://h/d/%22q.png%22 alt=x></body></html>");

    // 100,000 nested elements took the parse most of a minute and then
    // failed on every pass.
    page = "<html><body>";
    for (int i = 0; i < 100000; ++i)
        page += "<div>";
    page += "<a href=\"deep.html\">deep</a>";
    ASSERT_TRUE(rewriter.RewritePage("http://h/d/", page));
    EXPECT_NE(page.find("<a href=\"http://h/d/deep.html\">"), std::string::npos);
    EXPECT_TRUE(host.Log.empty());
    EXPECT_TRUE(waits.empty());
}

TEST_F(RewritePage, AboutBlankRecordsNothing)
{
    // The empty original "" used to rewrite every empty quoted string.
    std::string page = "<html><body><p>x</p><a href=\"about:blank\">b</a><img src=\"a.png\" alt=\"\">"
                       "<script>var s = \"\";</script></body></html>";
    ASSERT_TRUE(rewriter.RewritePage("http://h/d/", page));
    EXPECT_EQ(rewriter.OriginalLinks, std::vector<std::string>{"a.png"});
    EXPECT_EQ(page, "<html><body><p>x</p><a href=\"about:blank\">b</a><img src=\"http://h/d/a.png\" alt=\"\">"
                    "<script>var s = \"\";</script></body></html>");
}

TEST_F(RewritePage, ReferencesAndQuotesInsideLinksInEveryQuoting)
{
    // A link holding a quote used to send the replacement pair by pair over
    // the whole page; copies of the other links are still replaced.
    std::string page = "<html><body><p>x</p>"
                       "<a href=\"list.php?a=1&amp;b=2\">1</a><a href='list.php?a=1&amp;b=2'>2</a>"
                       "<a href=list.php?a=1&amp;b=2>3</a><a href='say\"hi\".html'>4</a>"
                       "<a href=\"&#x61;.html\">5</a><p>\"a.html\"</p></body></html>";
    ASSERT_TRUE(rewriter.RewritePage("http://h/d/", page));
    EXPECT_EQ(page, "<html><body><p>x</p>"
                    "<a href=\"http://h/d/list.php?a=1&amp;b=2\">1</a><a href='http://h/d/list.php?a=1&amp;b=2'>2</a>"
                    "<a href=http://h/d/list.php?a=1&amp;b=2>3</a><a href='http://h/d/say%22hi%22.html'>4</a>"
                    "<a href=\"http://h/d/&#x61;.html\">5</a><p>\"http://h/d/a.html\"</p></body></html>");
}

TEST_F(RewritePage, LinksResolveAgainstThePagesBase)
{
    std::string page = "<html><head><link rel=stylesheet href=\"s.css\"><base href=\"http://cdn.example.net/x/\">"
                       "<base href=\"http://ignored.example/\"></head><body><a href=\"a.html\">a</a>"
                       "<img src=\"/i.png\"></body></html>";
    ASSERT_TRUE(rewriter.RewritePage("http://h/d/", page));
    EXPECT_EQ(page, "<html><head><link rel=stylesheet href=\"http://cdn.example.net/x/s.css\">"
                    "<base href=\"http://cdn.example.net/x/\"><base href=\"http://ignored.example/\"></head><body>"
                    "<a href=\"http://cdn.example.net/x/a.html\">a</a><img src=\"http://cdn.example.net/i.png\">"
                    "</body></html>");

    // A relative base resolves against the page's own address first.
    page = "<html><head><base href=\"../other/\"></head><body><p>x</p><a href=\"a.html\">a</a></body></html>";
    ASSERT_TRUE(rewriter.RewritePage("http://h/d/page.html", page));
    EXPECT_NE(page.find("<a href=\"http://h/other/a.html\">"), std::string::npos) << page;
}

} // namespace
