// A page's text is read twice over: whole, as blocks, and again word by word
// for the few blocks that changed; and on a first delivery only as far as
// the body's start. The second readings must agree with the first on pages
// with character references, odd white space and framesets anywhere.

#include "delivery/PageText.h"
#include "tests/support/TempDataFolder.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

std::string Fixture(const std::string& name)
{
    return ReadFile(std::string(VENDREL_FIXTURES_DIR) + "/pages/" + name);
}

// Random pieces put anywhere, tags and all: references that decode to white
// space or to more bytes than they take, runs of every kind of white space,
// control characters, and framesets in and out of the places where they
// count.
std::string Mutated(std::string page, std::mt19937& rng, int edits)
{
    static const std::vector<std::string> pieces = {
        " ", "\t\t", "\r\n", "\f", "\x0B", std::string(1, '\0'), "\x01x", "  \n  ", "a&#32;b", "&#x0A;", "&nGt;",
        "&amp", "&notit;", "&#128;", "x&nbsp;y", "&#0;", "&lt;p&gt;", "word", "longerwordthaneightbytes", "</",
        "<p>", "</p>", "<b>", "</b>", "<br>", "<div>", "<li>", "<td>", "<title>t</title>", "<!-- c -->",
        "<script>s</script>", "<svg><text>v</text></svg>", "<template><p>t</p></template>", "<select><option>o",
        "<frameset><frame></frameset>", "<FRAMESET>", "<template><frameset></template>", "<svg><frameset/></svg>",
        "<frame", "<body>", "</body>", "<head>", "</head>", "<noscript>n</noscript>", "<plaintext>", "\xC3\xA9",
        "\xE6\xBC\xA2\xE5\xAD\x97"};
    for (int e = 0; e < edits; ++e) {
        const std::size_t at = page.empty() ? 0 : rng() % (page.size() + 1);
        if (rng() % 4 == 0)
            page.erase(at, 1 + rng() % 12);
        else
            page.insert(at, pieces[rng() % pieces.size()]);
    }
    return page;
}

std::vector<std::string> Pages()
{
    std::vector<std::string> pages;
    for (const char* name : {"blog.html", "news.html", "shop.html", "legacy.html", "scripts.html", "svg.html",
                             "frames.html"})
        pages.push_back(Fixture(name));
    pages.push_back("");
    pages.push_back("plain words &amp; more");
    pages.push_back("<frameset><frame src=a></frameset>");
    pages.push_back("<html><body><p>x</p><frameset></frameset>");
    return pages;
}

} // namespace

TEST(PageText, ReadingOnlyAsFarAsTheBodyFindsTheSamePlace)
{
    std::mt19937 rng(2026);
    const std::vector<std::string> pages = Pages();
    TPageTextLimits bodyOnly;
    bodyOnly.BodyStartOnly = true;
    for (int i = 0; i < 3000; ++i) {
        const std::string& base = pages[static_cast<std::size_t>(i) % pages.size()];
        const std::string page = i < static_cast<int>(pages.size()) ? base : Mutated(base, rng, 1 + rng() % 8);
        TPageText whole, start;
        ASSERT_TRUE(ReadPageText(page, whole));
        ASSERT_TRUE(ReadPageText(page, start, bodyOnly)) << "finding the body is no limit";
        ASSERT_EQ(start.BodyStart, whole.BodyStart) << "case " << i << "\n" << page;
    }
}

TEST(PageText, WordsReadAgainGiveBackTheirBlocksText)
{
    std::mt19937 rng(77);
    const std::vector<std::string> pages = Pages();
    std::size_t words = 0;
    for (int i = 0; i < 1500; ++i) {
        const std::string& base = pages[static_cast<std::size_t>(i) % pages.size()];
        const std::string page = i < static_cast<int>(pages.size()) ? base : Mutated(base, rng, 1 + rng() % 20);
        TPageText text;
        ASSERT_TRUE(ReadPageText(page, text));
        std::size_t at = 0;
        for (const TTextBlock& block : text.Blocks) {
            ASSERT_EQ(block.TextAt, at) << "blocks follow each other in the text";
            at += block.TextLength;
            EXPECT_EQ(block.Hash, TextHash(text.BlockText(block)));
            std::vector<TTextWord> read;
            ReadBlockWords(page, text, block, read);
            ASSERT_FALSE(read.empty()) << "a block starts with a word";
            std::string joined;
            for (const TTextWord& w : read) {
                if (w.SpaceBefore)
                    joined += ' ';
                ASSERT_EQ(w.TextAt, block.TextAt + joined.size()) << "case " << i;
                joined += text.WordText(w);
                EXPECT_EQ(WordHash(text, w), TextHash(text.WordText(w)));
                const std::string_view raw = std::string_view(page).substr(w.RawBegin, w.RawEnd - w.RawBegin);
                ASSERT_FALSE(raw.empty());
                EXPECT_EQ(raw.find_first_of(" \t\n\r\f"), std::string_view::npos) << raw;
            }
            EXPECT_FALSE(read.front().SpaceBefore);
            ASSERT_EQ(joined, text.BlockText(block)) << "case " << i << "\n" << page;
            words += read.size();
        }
        ASSERT_EQ(at, text.Text.size());
    }
    EXPECT_GT(words, 15000u) << "the edits left words to read";
}
