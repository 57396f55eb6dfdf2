// The parser's addresses against gumbo's: on generated pages, on pages shaped
// like real ones, and on messy ones. Where gumbo is known to be wrong the
// comparison falls back to the values and names the fault.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tests/delivery/LinkOracle.h"

namespace {

std::string ReadFixture(const std::string& name)
{
    std::ifstream in(std::string(VENDREL_FIXTURES_DIR) + "/pages/" + name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Pages built from the pieces that move a tokenizer between its states.
class TPageGenerator {
public:
    explicit TPageGenerator(unsigned seed) : random_(seed) {}

    std::string Page()
    {
        std::string page;
        if (Chance(3))
            page += Pick({"<!DOCTYPE html>", "<!doctype HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\">", "<!DOCTYPE>"});
        const int pieces = 5 + static_cast<int>(random_() % 40);
        for (int i = 0; i < pieces; ++i)
            page += Piece();
        return page;
    }

private:
    bool Chance(unsigned in) { return random_() % in == 0; }

    std::string Pick(std::initializer_list<const char*> items)
    {
        auto it = items.begin();
        std::advance(it, random_() % items.size());
        return *it;
    }

    std::string Space() { return Pick({" ", " ", "  ", "\n", "\r\n", "\t", "\f", "\r"}); }

    std::string Address()
    {
        std::string a = Pick({"page.html", "dir/x.png", "../up.css", "/root.js", "?q=1&amp;r=2", "a.php?x=1&y=2",
                              "it&#39;s.html", "&quot;q.png&quot;", "x&#x26;y", "&copy=3", "&copy;2", "&notin;x",
                              "&amp", "#top", "mailto:ed@example.com", "HTTP://h/abs", "javascript:void(0)",
                              "about:blank", "a b.html", " padded.html ", "&#0;x", "&#x110000;", "&#128;",
                              "caf&eacute;.html", "&lt;&gt;", "x=y", "", "a\"b", "a'b", "a>b"});
        return a;
    }

    std::string Value()
    {
        std::string a = Address();
        switch (random_() % 4) {
        case 0:
            if (a.find('"') == std::string::npos)
                return "\"" + a + "\"";
            [[fallthrough]];
        case 1:
            if (a.find('\'') == std::string::npos)
                return "'" + a + "'";
            [[fallthrough]];
        case 2: {
            std::string unquoted;
            for (char c : a)
                if (c != ' ' && c != '>')
                    unquoted += c;
            return unquoted.empty() ? "x" : unquoted;
        }
        default:
            return "\"" + std::string(Chance(2) ? "" : "plain") + "\"";
        }
    }

    std::string Attributes(const char* address)
    {
        std::string s;
        const int count = static_cast<int>(random_() % 4);
        for (int i = 0; i < count; ++i) {
            s += Space();
            switch (random_() % 8) {
            case 0: s += Pick({"class=x", "id='k'", "alt=\"\"", "width=3", "title=\"a > b\""}); break;
            case 1: s += address; break; // no value
            // The draws of one piece are made one statement each: the order
            // in which operands of one expression are evaluated differs
            // between compilers, and so would the pages. (This order keeps
            // the pages the test has always compared.)
            case 2: {
                const std::string value = Value();
                const std::string after = Pick({"", " "});
                const std::string before = Pick({"", "", "", " "});
                s += before + address + "=" + after + value;
                break;
            }
            case 3: {
                const std::string value = Value();
                s += std::string(Chance(2) ? "HREF" : "Src") + "=" + value;
                break;
            }
            case 4: s += "/"; break;
            case 5: s += "=x"; break;
            default: s += std::string(address) + "=" + Value(); break;
            }
        }
        return s;
    }

    std::string Element()
    {
        struct TKind {
            const char* Tag;
            const char* Address;
        };
        // SVG and MathML come as islands of their own (below). gumbo takes
        // an end tag of one element it does not know (an SVG "g") for the
        // end of any other it does not know.
        static const TKind html[] = {
            {"a", "href"},         {"A", "HREF"},        {"img", "src"},       {"image", "src"},
            {"body", "background"}, {"script", "src"},   {"link", "href"},     {"LINK", "href"},
            {"base", "href"},      {"div", "class"},     {"p", "class"},       {"html", "lang"},
            {"head", "x"},         {"table", "x"},       {"tr", "x"},          {"td", "x"},
            {"select", "name"},    {"option", "value"},  {"title", "x"},       {"textarea", "x"},
            {"style", "x"},        {"xmp", "x"},         {"iframe", "src"},    {"noembed", "x"},
            {"noframes", "x"},     {"noscript", "x"},    {"template", "x"},    {"frameset", "x"},
            {"frame", "src"},      {"b", "x"},           {"font", "color"},    {"input", "src"},
            {"form", "action"},    {"span", "x"},
        };
        static const TKind foreign[] = {
            {"foreignObject", "x"}, {"desc", "x"}, {"mi", "x"}, {"annotation-xml", "encoding"}, {"circle", "x"},
            {"title", "x"},         {"a", "href"}, {"image", "href"}, {"script", "src"}, {"font", "face"},
        };
        const TKind& k = inIsland_ && Chance(2) ? foreign[random_() % std::size(foreign)]
                                                : html[random_() % std::size(html)];
        std::string s = "<" + std::string(k.Tag) + Attributes(k.Address);
        s += Chance(6) ? "/>" : ">";
        return s;
    }

    std::string Island()
    {
        const bool svg = Chance(2);
        std::string s = svg ? "<svg width=1>" : "<math>";
        inIsland_ = true;
        const int pieces = static_cast<int>(random_() % 8);
        for (int i = 0; i < pieces; ++i) {
            switch (random_() % 5) {
            case 0:
                s += "</" + Pick({"foreignObject", "desc", "mi", "title", "annotation-xml"}) + ">";
                break;
            case 1:
                s += Pick({"<![CDATA[<a href=c>]]>", "text", "<!-- c -->", "<p>", "<b>"});
                break;
            default:
                s += Element();
            }
        }
        inIsland_ = false;
        return s + (svg ? "</svg>" : "</math>");
    }

    std::string Piece()
    {
        switch (random_() % 17) {
        case 0:
        case 1:
        case 2:
        case 3:
        case 4:
            return Element();
        case 5: {
            const std::string name = Pick({"a", "select", "svg", "math", "table", "body", "html", "head", "p",
                                           "div", "template", "frameset", "title", "script", "style"});
            // gumbo does not close an SVG or MathML element by an end tag
            // with anything between its name and its '>'.
            const bool foreign = name == "svg" || name == "math";
            return "</" + name + (!foreign && Chance(4) ? " x=\">\"" : "") + ">";
        }
        case 6:
            return Pick({"<!-- c -->", "<!-->", "<!--->", "<!-- a --!>", "<!-- <a href=x> -->", "<!--x--->",
                         "<!-- -- -->", "<?php echo 1 ?>", "<!x>", "</ x>", "</>", "<![CDATA[<a href=c>]]>",
                         "<!-- --!-->"});
        case 7:
            return Pick({"<script>var s = \"<a href='in-script'>\";</script>",
                         "<script><!-- document.write('<script src=x></script>'); --></script>",
                         "<script><!--<script>x</script>--></script>", "<script><!-- </script>",
                         "<style>a[href=\"x\"]{}</style>", "<title>t <a href=t></title>",
                         "<textarea><img src=t></textarea>", "<script>a<b</SCRIPT >", "<script><!--->"});
        case 8:
            return Pick({"text", " ", "\r\n", "a < b", "x &amp; y", "<", "&", "caf\xC3\xA9"});
        case 9:
            return Pick({"<a <a href=n>", "<a href=\"x\"<img src=y>", "<img src=x/>", "<a href=x/ >",
                         "<a href=\"unclosed", "<img\r\nsrc\r\n=\r\n'cr.png'>", "<a href=&#39;\r\nx>"});
        case 10:
            return Island();
        default:
            return "<p>" + Pick({"Lorem ipsum", "dolor", "sit amet"}) + "</p>";
        }
    }

    std::mt19937 random_;
    bool inIsland_ = false;
};

TEST(HtmlDifferential, GeneratedPagesGiveGumbosAddresses)
{
    TPageGenerator generator(20261208);
    int compared = 0;
    std::vector<std::string> faults;
    for (int round = 0; round < 3000; ++round) {
        const std::string page = generator.Page();
        const std::string difference = CompareLinks(page, &faults);
        if (!difference.empty() && std::getenv("VENDREL_DUMP_PAGE"))
            std::ofstream(std::getenv("VENDREL_DUMP_PAGE"), std::ios::binary) << page;
        ASSERT_EQ(difference, "") << "page:\n" << page;
        ++compared;
    }
    EXPECT_EQ(compared, 3000);
}

TEST(HtmlDifferential, RealWorldShapedPagesGiveGumbosAddresses)
{
    for (const char* name : {"news.html", "shop.html", "blog.html", "frames.html", "scripts.html", "legacy.html",
                             "svg.html"}) {
        const std::string page = ReadFixture(name);
        ASSERT_FALSE(page.empty()) << name;
        const auto links = ParserLinks(page);
        EXPECT_GE(links.size(), 2u) << name;
        EXPECT_EQ(CompareLinks(page), "") << name;
    }
}

TEST(HtmlDifferential, MessyPagesGiveGumbosAddresses)
{
    const std::string frame = "<html><head><title>t</title></head><body><p>1</p><p>2</p>";
    const char* const messy[] = {
        "<a href=x.html>unclosed <b>bold <i>both</a> after</b></i><a href=y.html>y</a>",
        "<table><a href=foster.html>f</a><tr><td><img src=cell.png></td></tr></table>",
        "<select><a href=dropped.html>d</a><option>o<img src=dropped.png></select><a href=kept.html>k</a>",
        "<table><tr><td><select><td><a href=after.html>a</a>",
        "<svg><a href=svg-a.html>s</a><foreignObject><a href=fo.html>f</a></foreignObject></svg>",
        "<svg><p><a href=broke-out.html>b</a>",
        "<math><mi><a href=mi.html>m</a></mi><annotation-xml encoding=text/html><a href=ax.html></a>",
        "<svg><![CDATA[<a href=cdata.html>]]><a href=after-cdata.html></svg>",
        "<![CDATA[<a href=html-cdata.html>]]><a href=after.html>",
        "<script><!--<script></script><a href=still-script.html>--></script><a href=out.html>",
        "<script><!--</script><a href=out2.html>",
        "<body background=b1.png><body background=b2.png bgcolor=red><img src=i.png>",
        "<html lang=en><body><html background=x.png><body background=late.png>",
        "<image src=image.png><IMAGE SRC=IMAGE.PNG>",
        "<a href=a1.html href=a2.html>first wins</a><img SRC=s1.png src=s2.png>",
        "<a href>empty</a><a href=''>empty</a><a href=\" \">blank</a>",
        "<a href=&#39;\r\nx>crash</a>",
        "<img src=&quot;q.png&quot;><a href=&amp;x>r</a>",
        "<a href=&#xa/blank-first.html>r</a><img src=&#32;x.png>",
        "<plaintext><a href=plain.html>",
        "<noscript><img src=ns.png></noscript><noembed><img src=ne.png></noembed>",
        "<iframe><img src=if.png></iframe><xmp><a href=xmp.html></xmp>",
        "<!-- <a href=c1.html> --!><a href=c2.html><!--><a href=c3.html>",
        "<a\thref\t=\tt.html\f>tabs</a><a/href=slash.html>",
        "<a href=\"x.html\"title=\"t\">no space</a><a href='y.html'/>",
        "<template><a href=tpl.html>t</a></template>",
        "<frameset><frame src=f.html><a href=dropped.html></frameset>",
        "<a href=\"caf&eacute;&#x20AC;&#8364;&euro;.html\">e</a><a href='&notit;&notin;'>n</a>",
        "<a href=\"?a=1&copy=2&amp=3&lt\">legacy refs</a>",
        "<a href='\0nul'>nul</a>",
        "<textarea></textarea><a href=after-ta.html><title></title x><a href=after-title.html>",
        // A select in a table ends at the end tag of an open cell, row or
        // section of the table, and what follows is put before the table.
        "<table><tr><td><select><option>1</option></tr><a href=after-tr.html>a</a></table>",
        "<table><tr><td><select><option>1</td><img src=after-td.png></table>",
        "<table><tr><td><select></tbody><a href=after-tbody.html>a</a></table>",
        "<table><thead><tr><th><select></thead><a href=after-thead.html>a</a></table>",
        "<table><caption><select></caption><a href=after-caption.html>a</a></table>",
        // ... and only at those that are open: these end tags are dropped.
        "<table><caption><select></td></tr><a href=in-select.html>s</a></select><a href=after.html>a</a></table>",
        "<table><tr><td><select></caption></thead><a href=in-select.html>s</a></select></table>",
        "<table><tr><td><table><tr><td><select></td></tr></table><a href=inner.html>i</a></td></tr></table>",
        // A template whose contents begin with a table's part is a table
        // to a select inside it.
        "<template><tr><select><td><a href=in-cell.html>c</a></template>",
        "<template><script></script><tr><select><td><a href=in-cell.html>c</a></template>",
        "<template><div><tr><select><td><a href=in-select.html>c</a></select></template>",
        "<template><td><select></table><img src=in-select.png></select></template>",
        // A table's start tag in a table (not in a cell) ends the first
        // table: after its end tag no table is open around the select.
        "<table><table></table><select><tr><a href=in-select.html>s</a></select><a href=after.html>a</a>",
        "<table><tr><td><table></table><select><tr><a href=after-tr.html>s</a></select></table>",
        // An end tag inside SVG ends it when it closes an HTML element
        // around it: not when a special element stands in between, nor when
        // the end tag of a formatting element has closed that element
        // already; and a <body> in a foreignObject opens no element.
        "<a href=a.html><b><mi></a><svg></mi><image src=in-svg.png></svg>",
        "<span><div><svg></span><image src=in-svg.png></svg>",
        "<svg><foreignObject><body background=b.png></foreignObject><title><a href=in-title.html>t</a></title></svg>",
        // An open <p> ends before a block's start tag, and a table's
        // parts open nothing outside a table: neither stays around SVG or
        // MathML for a stray end tag to close.
        "<p><p></p><math></p><script><!-- </script><img src=in-math-comment.png>",
        "<p><desc><p></p><math></desc><script><a href=in-math-script.html>",
        "<annotation-xml><td><math></annotation-xml><script src=after-math.js></script>",
        "<svg><title><p><p></p></title><textarea><img src=after-title.png>",
        // A stray end tag inside MathML or SVG stops at an integration
        // point on its way to the HTML elements around it.
        "<q><math><annotation-xml></q><textarea><a href=in-math.html>",
        "<q><math><mi></q><mglyph><textarea><a href=in-math.html>",
        // A formatting element that another element's end tag closes is
        // opened again before what follows, and stands around it.
        "<p><b></p><svg></b><image src=out-of-svg.png>",
        "<svg><desc><p><a></p><math></desc></math><title><a href=in-title-text.html>",
        // An <a> inside an open one ends it and what is opened after it.
        "<a href=a.html><span><a href=b.html><math></span><script><img src=after-math.png>",
        // gumbo's faults in foreign content (named below).
        "</><svg></svg><select><img src=after-svg.png>",
        "<svg><frameset><foreignObject><select><textarea></textarea><img src=reset.png></svg>",
        "<q><svg><title><span><svg></q><textarea><a href=in-svg.html>",
        "<svg><script><desc><svg></svg></script x=\">\"><image src=in-svg.png>",
        "<a href=\"x&#821111111111111111111111111111111111111111y.html\">overflow</a><a href=after.html>a</a>",
        "<a href=&amp?x&#xDFFFFCCa/late-overflow.html>o</a>",
        // A valueless second attribute of one name before the address.
        "<link x=1 x href=after-duplicate.css><a x y x href=after-duplicate.html>d</a>",
    };
    std::vector<std::string> faults;
    for (const char* tail : messy) {
        std::string page = frame + std::string(tail);
        if (std::string(tail) == "<a href='\0nul'>nul</a>")
            page = frame + std::string("<a href='\0nul'>nul</a>", 22);
        EXPECT_EQ(CompareLinks(page, &faults), "") << tail;
    }
    // The page that crashed the program through gumbo's length.
    bool named = false;
    for (const auto& f : faults)
        named = named || f.find("past the page") != std::string::npos;
    EXPECT_TRUE(named) << "gumbo's known fault on an unquoted value at CR LF is met and named";
    for (const char* fault : {"after \"</>\" the name of the next SVG or MathML tag is not matched",
                              "is taken for the HTML one when the insertion mode is reset",
                              "a numeric character reference far past U+10FFFF overflows",
                              "a stray end tag inside SVG passes an SVG <title>",
                              "an end tag with attributes does not close an SVG or MathML element"}) {
        named = false;
        for (const auto& f : faults)
            named = named || f.find(fault) != std::string::npos;
        EXPECT_TRUE(named) << fault;
    }
}

TEST(HtmlDifferential, FramesetPagesGiveGumbosAddresses)
{
    for (const char* page : {
             // A template's text opens no body: the frameset still may.
             "<template>text</template><frameset><frame src=f.html><img src=dropped.png></frameset>",
             "<head><template><p>text</p></template></head><frameset><frame src=f.html><a href=d.html></frameset>",
             "<head></head><template>text</template><frameset><frame src=f.html><a href=d.html></frameset>",
             // But a template ends a frameset's chance to replace a body.
             "<template></template><a href=kept.html><frameset><frame src=f.html></frameset>",
             "<template><!-- c --></template><a href=kept.html><frameset><frame src=f.html></frameset>",
         })
        EXPECT_EQ(CompareLinks(page), "") << page;
}

TEST(HtmlDifferential, ElementsLeftOpenBeyondAnyRealDepthKeepTheEndTagsNearTheTop)
{
    // More unclosed elements than the scanner keeps: the oldest go, the
    // ones an end tag inside SVG closes stay. (Too deep for gumbo to
    // compare in good time.)
    std::string page = "<html><head><title>t</title></head><body>";
    for (int i = 0; i < 70000; ++i)
        page += i % 2 ? "<span>" : "<em>";
    page += "<svg></span><image src=out-of-svg.png></svg><img src=after.png>";
    const auto links = ParserLinks(page);
    ASSERT_EQ(links.size(), 2u);
    EXPECT_EQ(links[0].Value, "about:blankout-of-svg.png");
    EXPECT_EQ(links[1].Value, "about:blankafter.png");
}

TEST(HtmlDifferential, PagesWithNulGiveGumbosAddresses)
{
    using namespace std::string_literals;
    // A NUL after the head opens the body but is dropped there, so the
    // frameset still takes the body's place and the anchor in it goes.
    EXPECT_EQ(CompareLinks("<html><head><title>t</title></head>\0\0\n<frameset><frame src=f.html>"
                           "<a href=not-in-frameset.html>x</a><frame src=g.html></frameset>"s),
              "");
    EXPECT_EQ(CompareLinks("<html><head><title>t</title><link href=h.css>\0<frameset><frame src=f.html>"
                           "<img src=not-in-frameset.png></frameset>"s),
              "");
    // But a letter after the NUL does keep the body.
    EXPECT_EQ(CompareLinks("<html><head><title>t</title></head>\0x<frameset><frame src=f.html></frameset>"
                           "<a href=in-body.html>x</a><img src=i.png>"s),
              "");

    // gumbo drops a NUL where an attribute's name begins: "\0src" is not
    // src. The comparison leaves such tags out and names the fault.
    std::vector<std::string> faults;
    const std::string frame = "<html><head><title>t</title></head><body><p>1</p><p>2</p>";
    EXPECT_EQ(CompareLinks(frame + "<script type='text/javascript'\0src='nul-name.js'></script>"s +
                               "<img \0src=nul.png src=second.png><a href=kept.html>k</a>",
                           &faults),
              "");
    EXPECT_NE(std::find(faults.begin(), faults.end(), "a NUL in front of an attribute's name is dropped"),
              faults.end());
    // On a <body> the fault keeps a second one from giving its address.
    EXPECT_EQ(CompareLinks("<html><head><title>t</title></head><body /\0background><p>1</p><p>2</p>"
                           "<body background=second.gif><img src=i.png>"s),
              "");
    // Which the parser does not share: neither link is an address.
    const auto links = ParserLinks(frame + "<script type='t'\0src='nul-name.js'></script><a \0href=n.html>"s +
                                   "<a href=kept.html>k</a>");
    ASSERT_EQ(links.size(), 1u);
    EXPECT_EQ(links[0].Value, "about:blankkept.html");
}

} // namespace
