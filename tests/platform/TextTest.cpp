#include "platform/Text.h"

#include <gtest/gtest.h>

#include <cctype>
#include <clocale>
#include <random>
#include <string>
#include <strings.h>

TEST(SplitLines, BreaksAtCrLfLoneCrAndLoneLf)
{
    EXPECT_EQ(SplitLines("a\r\nb\rc\nd"), (TLines{"a", "b", "c", "d"}));
    EXPECT_EQ(SplitLines("a\r\n\r\nb\r\n"), (TLines{"a", "", "b"}));
    EXPECT_EQ(SplitLines("\n"), (TLines{""}));
    EXPECT_TRUE(SplitLines("").empty());
}

TEST(SplitLines, KeepsNulBytesInTheirLines)
{
    using namespace std::string_literals;
    EXPECT_EQ(SplitLines("ab\r\ncd\0ef\r\ngh"s), (TLines{"ab", "cd\0ef"s, "gh"}));
    EXPECT_EQ(SplitLines("\0abc"s), (TLines{"\0abc"s}));
    EXPECT_EQ(SplitLines("\0\r\0\n"s), (TLines{"\0"s, "\0"s}));
    EXPECT_EQ(JoinLines(SplitLines("a\0\r\nb\0"s)), "a\0\r\nb\0\r\n"s);
}

TEST(JoinLines, EndsEveryLineWithCrLf)
{
    EXPECT_EQ(JoinLines({"a", "", "b"}), "a\r\n\r\nb\r\n");
    EXPECT_EQ(JoinedLength({"abc"}), 5u);
}

TEST(ParseInt32, AcceptsSignedDecimalsAndRejectsTheRest)
{
    EXPECT_EQ(ParseInt32("-2"), -2);
    EXPECT_EQ(ParseInt32("  45"), 45);
    EXPECT_EQ(ParseInt32("2147483647"), 2147483647);
    EXPECT_EQ(ParseInt32("-2147483648"), -2147483647 - 1);
    EXPECT_FALSE(ParseInt32("2147483648"));
    EXPECT_FALSE(ParseInt32(""));
    EXPECT_FALSE(ParseInt32("1.5"));
    EXPECT_FALSE(ParseInt32("12 "));
    EXPECT_FALSE(ParseInt32("abc"));
    EXPECT_EQ(ParseInt32("$1F"), 31);
}

TEST(TextCase, ComparesAndFindsWithoutRegardToCase)
{
    EXPECT_TRUE(SameText("About:Blank", "ABOUT:BLANK"));
    EXPECT_TRUE(StartsText("mailto:", "MAILTO:x@y"));
    EXPECT_EQ(FindText("xx\"A.HTML\"", "\"a.html\""), 2u);
    EXPECT_EQ(Trim(" \t a b \r\n"), "a b");
}

TEST(SplitLines, LongTextOfLoneCrsSplitsAtEach)
{
    std::string text;
    for (int i = 0; i < 200000; ++i)
        text += "line\r";
    text += "last\r\nx\n\ry";
    const TLines lines = SplitLines(text);
    ASSERT_EQ(lines.size(), 200004u);
    EXPECT_EQ(lines[199999], "line");
    EXPECT_EQ(lines[200000], "last");
    EXPECT_EQ(lines[200001], "x");
    EXPECT_EQ(lines[200002], "");
    EXPECT_EQ(lines[200003], "y");
}

// The C library's folding in the "C" locale is ASCII-only too: it is the
// reference for every byte and for the sort order of random texts.
TEST(TextCase, FoldingAndOrderMatchTheCLibraryInTheCLocale)
{
    const char* previous = std::setlocale(LC_CTYPE, nullptr);
    const std::string saved = previous ? previous : "C";
    std::setlocale(LC_CTYPE, "C");
    for (int b = 1; b < 256; ++b) {
        const char c = static_cast<char>(b);
        EXPECT_EQ(static_cast<unsigned char>(LowerChar(c)), std::tolower(b)) << b;
        EXPECT_EQ(static_cast<unsigned char>(UpperChar(c)), std::toupper(b)) << b;
    }
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> length(0, 6);
    // Few distinct letters in both cases and some high bytes, so that equal
    // prefixes and case-only differences are common.
    const std::string alphabet = "aAbBzZ[`_\x7f\x80\xc9\xe9";
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    auto text = [&] {
        std::string s(length(random), ' ');
        for (auto& c : s)
            c = alphabet[pick(random)];
        return s;
    };
    auto sign = [](int v) { return (v > 0) - (v < 0); };
    for (int i = 0; i < 20000; ++i) {
        const std::string a = text(), b = text();
        ASSERT_EQ(sign(CompareText(a, b)), sign(strcasecmp(a.c_str(), b.c_str()))) << a << " | " << b;
        ASSERT_EQ(SameText(a, b), strcasecmp(a.c_str(), b.c_str()) == 0) << a << " | " << b;
    }
    std::setlocale(LC_CTYPE, saved.c_str());
}
