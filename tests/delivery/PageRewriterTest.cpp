#include "delivery/PageRewriter.h"

#include <gtest/gtest.h>

#include <curl/curl.h>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "platform/Text.h"
#include "tests/support/ManualClock.h"
#include "tests/support/RecordingHost.h"

namespace {

// libcurl's URL parser resolving link against base; empty when it refuses.
std::string CurlResolve(const std::string& base, const std::string& link)
{
    CURLU* url = curl_url();
    std::string result;
    char* text = nullptr;
    if (curl_url_set(url, CURLUPART_URL, base.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK
        && curl_url_set(url, CURLUPART_URL, link.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK
        && curl_url_get(url, CURLUPART_URL, &text, 0) == CURLUE_OK)
        result = text;
    curl_free(text);
    curl_url_cleanup(url);
    return result;
}

TEST(MakeAbsoluteUrl, ResolvesTheExamplesOfRfc3986AsCurlDoes)
{
    // RFC 3986 section 5.4, normal and abnormal examples, in order.
    const std::string base = "http://a/b/c/d;p?q";
    const std::pair<const char*, const char*> examples[] = {
        {"g:h", "g:h"},
        {"g", "http://a/b/c/g"},
        {"./g", "http://a/b/c/g"},
        {"g/", "http://a/b/c/g/"},
        {"/g", "http://a/g"},
        {"//g", "http://g"},
        {"?y", "http://a/b/c/d;p?y"},
        {"g?y", "http://a/b/c/g?y"},
        {"#s", "http://a/b/c/d;p?q#s"},
        {"g#s", "http://a/b/c/g#s"},
        {"g?y#s", "http://a/b/c/g?y#s"},
        {";x", "http://a/b/c/;x"},
        {"g;x", "http://a/b/c/g;x"},
        {"g;x?y#s", "http://a/b/c/g;x?y#s"},
        {"", "http://a/b/c/d;p?q"},
        {".", "http://a/b/c/"},
        {"./", "http://a/b/c/"},
        {"..", "http://a/b/"},
        {"../", "http://a/b/"},
        {"../g", "http://a/b/g"},
        {"../..", "http://a/"},
        {"../../", "http://a/"},
        {"../../g", "http://a/g"},
        {"../../../g", "http://a/g"},
        {"../../../../g", "http://a/g"},
        {"/./g", "http://a/g"},
        {"/../g", "http://a/g"},
        {"g.", "http://a/b/c/g."},
        {".g", "http://a/b/c/.g"},
        {"g..", "http://a/b/c/g.."},
        {"..g", "http://a/b/c/..g"},
        {"./../g", "http://a/b/g"},
        {"./g/.", "http://a/b/c/g/"},
        {"g/./h", "http://a/b/c/g/h"},
        {"g/../h", "http://a/b/c/h"},
        {"g;x=1/./y", "http://a/b/c/g;x=1/y"},
        {"g;x=1/../y", "http://a/b/c/y"},
        {"g?y/./x", "http://a/b/c/g?y/./x"},
        {"g?y/../x", "http://a/b/c/g?y/../x"},
        {"g#s/./x", "http://a/b/c/g#s/./x"},
        {"g#s/../x", "http://a/b/c/g#s/../x"},
        {"http:g", "http:g"},
    };
    // Where libcurl (7.88) parts from the RFC: it refuses a reference with a
    // scheme but no host, it adds "/" to an empty path (a normalisation the
    // RFC allows in its section 6.2.3), and for a reference that is empty or
    // only a fragment it drops the base's last segment and query.
    const std::map<std::string, std::string> curlDiffers = {
        {"g:h", ""}, {"http:g", ""}, {"//g", "http://g/"}, {"#s", "http://a/b/c/#s"}, {"", "http://a/b/c/"}};
    TUrlResolver resolver(base);
    std::string absolute;
    for (const auto& [link, expected] : examples) {
        EXPECT_EQ(MakeAbsoluteUrl(base, link), expected) << link;
        EXPECT_EQ(resolver.Resolve(link, absolute) ? absolute : link, expected) << link;
        const auto differs = curlDiffers.find(link);
        EXPECT_EQ(CurlResolve(base, link), differs == curlDiffers.end() ? expected : differs->second) << link;
    }

    // What the page fetcher's addresses need besides.
    const std::pair<const char*, const char*> escapes[] = {
        {"a b.html", "http://a/b/c/a%20b.html"},
        {"x\"<y>.html", "http://a/b/c/x%22%3Cy%3E.html"},
        {"x%20y.html", "http://a/b/c/x%20y.html"},
    };
    for (const auto& [link, absolute] : escapes)
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

// curl takes the leading "./" and "../" off a relative path before it
// merges, and with them an empty segment or the last "/" that follows:
// "..//x" becomes ".../b/x" where the RFC gives ".../b//x", and "./?y"
// becomes ".../c?y" where the RFC gives ".../c/?y".
bool CurlDropsWhatFollowsLeadingDots(std::string_view link)
{
    bool stripped = false;
    for (;;) {
        if (link.substr(0, 2) == "./")
            link.remove_prefix(2);
        else if (link.substr(0, 3) == "../")
            link.remove_prefix(3);
        else
            break;
        stripped = true;
    }
    return stripped && !link.empty() && (link[0] == '/' || link[0] == '?');
}

// The bytes the resolver escapes in the address it gives: controls, the
// blank, 8-bit bytes and "\"<>\^`{|}". Each stands in the text handed to curl
// as a token that curl leaves alone, "~U" and its hex value and "~", and the
// token becomes the escape the resolver must give: curl would refuse some of
// these bytes and escape others differently.
bool Unsafe(unsigned char c)
{
    return c <= 0x20 || c >= 0x7F || std::string_view("\"<>\\^`{|}").find(static_cast<char>(c)) != std::string_view::npos;
}

std::string Tokens(const std::string& text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (Unsafe(c))
            out += std::string("~U") + hex[c >> 4] + hex[c & 15] + "~";
        else
            out += ch;
    }
    return out;
}

std::string Escapes(std::string text)
{
    for (std::size_t at = text.find("~U"); at != std::string::npos; at = text.find("~U", at + 1))
        if (at + 5 <= text.size() && text[at + 4] == '~')
            text.replace(at, 5, "%" + text.substr(at + 2, 2));
    return text;
}

TEST(MakeAbsoluteUrl, AgreesWithCurlOnGeneratedReferences)
{
    // Bases with a normal, non-empty path: on a path with dot segments the
    // RFC keeps them for a query-only reference where curl removes them. A
    // site address without a scheme is fetched over HTTP.
    const std::vector<std::string> bases = {
        "http://a/b/c/d;p?q", "http://www.example.com/", "http://www.example.com/news/", "https://h:8080/x/y/z?k",
        "http://user@h/" + std::string(300, 'd') + "/", "http://h/a%20b/c", "ftp://h/pub/", "www.example.com/news/",
        "http://h/dir with space/\xC3\xA9/", "HTTP://H/x", "http://h", "http://h/a//b/c"};
    const std::vector<std::string> starts = {"", "", "", "./", "../", "../../", "/", "/./", "/../", "./../", "../../../"};
    const std::vector<std::string> segments = {
        "a",   "b.html", ".",   "..",     "g;p",   "%20",         "~", "g.", "..g", "x-y_z", "!$&'()*+,=@", "",
        "c:d", "%2e%2e", "..;", "A%2F",   "x y",   "\xC3\xA9",     "\"", "<",  "'",   "{x}",   "\x01\x7F",   "a|b^`\\"};
    const std::vector<std::string> queries = {"", "", "?q=1&r=2", "?/../x", "?a?b", "?x=y;z", "?a b<c>"};
    const std::vector<std::string> fragments = {"", "", "#f", "#a#b", "#/./x", "#?y", "#{f}"};
    std::mt19937 random(20261209);
    auto pick = [&](const std::vector<std::string>& from) { return from[random() % from.size()]; };
    int compared = 0;
    for (const std::string& base : bases) {
        // One resolver takes every link of its base in turn, as a page does.
        TUrlResolver resolver(base);
        std::string absolute;
        const std::string curlBase = Tokens(base.find("://") == std::string::npos ? "http://" + base : base);
        for (int round = 0; round < 3000; ++round) {
            std::string link = pick(starts);
            const int count = static_cast<int>(random() % 5);
            for (int i = 0; i < count; ++i)
                link += (i > 0 ? "/" : "") + pick(segments);
            if (count > 0 && random() % 3 == 0)
                link += '/';
            if (round % 97 == 0)
                link += std::string(200 + random() % 400, 'l');
            link += pick(queries);
            link += pick(fragments);
            // A colon in the first segment makes a scheme and "//" an
            // authority. curl parts from the RFC on an empty or fragment-only
            // reference, and after leading dot segments.
            const auto firstEnd = link.find_first_of("/?#");
            if (link.substr(0, firstEnd).find(':') != std::string::npos || link.rfind("//", 0) == 0 || link.empty()
                || link[0] == '#' || CurlDropsWhatFollowsLeadingDots(link))
                continue;
            const std::string resolved = CurlResolve(curlBase, Tokens(link));
            ASSERT_FALSE(resolved.empty()) << "curl refused base: " << base << " link: " << link;
            // curl writes the scheme in lower case; the resolver keeps the base's.
            const auto schemeEnd = resolved.find(':');
            std::string expected = Escapes(curlBase.substr(0, schemeEnd) + resolved.substr(schemeEnd));
            // An address longer than 500 characters is left as the page has it.
            if (expected.size() > 500)
                expected = link;
            ASSERT_EQ(MakeAbsoluteUrl(base, link), expected) << "base: " << base << " link: " << link;
            ASSERT_EQ(resolver.Resolve(link, absolute) ? absolute : link, expected) << "base: " << base << " link: " << link;
            ++compared;
        }
    }
    EXPECT_GT(compared, 20000) << "the filters above left too little to compare";
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
    EXPECT_TRUE(host.Messages.empty());
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
    EXPECT_TRUE(host.Messages.empty());

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
    EXPECT_TRUE(host.Messages.empty());

    // Both runs outlast the limit.
    rewriter.docparse.OnElement = nullptr;
    clock.TickStepMs = TDocParser::TimeLimitMs + 1;
    waits.clear();
    page = "<html><body><p>x</p><a href=\"x.html\">1</a></body></html>";
    EXPECT_FALSE(rewriter.RewritePage("http://h/", page));
    EXPECT_EQ(waits, std::vector<int>{1000});
    EXPECT_EQ(host.Messages, std::vector<std::string>{"HTML parsing error: Parse Error 2"});
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
    EXPECT_TRUE(host.Messages.empty());
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
