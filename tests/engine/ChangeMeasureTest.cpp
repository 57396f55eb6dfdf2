#include "engine/ChangeMeasure.h"

#include <gtest/gtest.h>

#include <random>

namespace {

// One line: `marks` copies of `mark`, padded with 'a' so that the line and its
// CR LF take exactly `width` bytes.
std::string Line(char mark, std::size_t marks, std::size_t width)
{
    return std::string(marks, mark) + std::string(width - 2 - marks, 'a');
}

int Measure(const TLines& fresh, const TLines& stored)
{
    return ChangeMeasure(fresh, stored);
}

} // namespace

TEST(ByteHistogram, CountsEveryByteOfEveryLineButNoBreaks)
{
    // Lengths around the 8-byte stride, bytes of the upper half included.
    std::mt19937 rng(7);
    TLines lines;
    THistogram expected{};
    for (std::size_t len = 0; len < 40; ++len) {
        std::string line;
        for (std::size_t i = 0; i < len; ++i) {
            const auto b = static_cast<unsigned char>(rng() % 256);
            line += static_cast<char>(b);
            ++expected[b];
        }
        lines.push_back(line);
    }
    EXPECT_EQ(ByteHistogram(lines), expected);
    EXPECT_EQ(ByteHistogram({}), THistogram{});
}

TEST(ChangeMeasure, WorkedExamples)
{
    EXPECT_EQ(Measure({"abd"}, {"abc"}), 1000);
    EXPECT_EQ(Measure({"xyz"}, {"abc"}), 3000);
    // Position does not matter, only the bytes.
    EXPECT_EQ(Measure({"cba", "fed"}, {"abcdef"}), 0);
    // Zero stored lines: D / Lnew * 5000, short of 5000 because of the break.
    EXPECT_EQ(Measure({"abc"}, {}), 3000);
    EXPECT_EQ(Measure({"", ""}, {}), 0);
}

TEST(ChangeMeasure, RoundsHalvesToEven)
{
    // Two 10000-byte texts differing in 2, 6 and 2 (of 4000) bytes.
    EXPECT_EQ(Measure({Line('b', 1, 10000)}, {Line('c', 1, 10000)}), 0);   // 0.5
    EXPECT_EQ(Measure({Line('b', 3, 10000)}, {Line('c', 3, 10000)}), 2);   // 1.5
    EXPECT_EQ(Measure({Line('b', 1, 2000)}, {Line('c', 1, 2000)}), 2);     // 2.5
    // Halves that floating point misses by a hair in either direction.
    EXPECT_EQ(Measure({Line('b', 9, 400)}, {Line('c', 9, 400)}), 112);     // 112.5
    EXPECT_EQ(Measure({Line('b', 39, 400)}, {Line('c', 39, 400)}), 488);   // 487.5
    // Just off a half rounds to the nearer side.
    EXPECT_EQ(Measure({Line('b', 1, 9999)}, {Line('c', 1, 9999)}), 1);       // 0.50005
    EXPECT_EQ(Measure({Line('b', 3, 10000), ""}, {Line('c', 3, 10000)}), 1); // 1.49985
}

TEST(ChangeMeasure, BothTextsEmptyIsUndefined)
{
    EXPECT_THROW(Measure({}, {}), EChangeMeasureUndefined);
    try {
        Measure({}, {});
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()), "");
    }
}

TEST(SiteUnchanged, ThresholdZeroComparesLineForLine)
{
    std::string value;
    // A change of line-break style only splits into the same lines.
    EXPECT_TRUE(SiteUnchanged(SplitLines("a\nb\n"), SplitLines("a\r\nb\r\n"), 0, value));
    EXPECT_EQ(value, "0");
    // Rearranged bytes measure 0 but are still a change.
    EXPECT_FALSE(SiteUnchanged({"ba"}, {"ab"}, 0, value));
    EXPECT_EQ(value, ">0");
    EXPECT_FALSE(SiteUnchanged({"a", ""}, {"a"}, 0, value));
    EXPECT_EQ(value, ">0");
    // Nothing to measure, but nothing differs either.
    EXPECT_TRUE(SiteUnchanged({}, {}, 0, value));
}

TEST(SiteUnchanged, PositiveThresholdSkipsBelowMeasure)
{
    std::string value;
    for (int threshold : {1, 30, 5000, 20000}) {
        EXPECT_TRUE(SiteUnchanged({"same", "text"}, {"same", "text"}, threshold, value));
        EXPECT_EQ(value, "0");
    }
    EXPECT_FALSE(SiteUnchanged({"abd"}, {"abc"}, 1000, value));
    EXPECT_EQ(value, "1000");
    EXPECT_TRUE(SiteUnchanged({"abd"}, {"abc"}, 1001, value));
    // Above the largest possible measure nothing is delivered.
    EXPECT_TRUE(SiteUnchanged({"xyz"}, {}, 5001, value));
    EXPECT_EQ(value, "3000");
    // The 0.5 change rounds to 0, which only threshold 1 and up skip.
    EXPECT_TRUE(SiteUnchanged({Line('b', 1, 10000)}, {Line('c', 1, 10000)}, 1, value));
    EXPECT_EQ(value, "0");
    EXPECT_THROW(SiteUnchanged({}, {}, 30, value), EChangeMeasureUndefined);
}

TEST(SiteUnchanged, AChangeAfterANulByteIsSeen)
{
    using namespace std::string_literals;
    const TLines stored = SplitLines("<p>a\0b</p>\r\n<p>old text</p>\r\n"s);
    const TLines fresh = SplitLines("<p>a\0b</p>\r\n<p>new text</p>\r\n"s);
    std::string value;
    EXPECT_FALSE(SiteUnchanged(fresh, stored, 0, value));
    EXPECT_EQ(value, ">0");
    EXPECT_FALSE(SiteUnchanged(fresh, stored, 1, value));
    // "old" and "new" share no byte: 6 of 29 + 29 bytes.
    EXPECT_EQ(value, "517");
    EXPECT_EQ(ByteHistogram(stored)[0], 1u) << "the NUL itself is counted";
}

// Texts built from the bytes that decide line splitting, so that every kind
// of break, break pair and final break turns up.
std::string RandomBreakText(std::mt19937& random)
{
    static constexpr char Bytes[] = {'\r', '\n', '\r', '\n', 'a', 'b', ' ', '\0', '.'};
    std::uniform_int_distribution<int> length(0, 24);
    std::uniform_int_distribution<int> pick(0, sizeof Bytes - 1);
    std::string text(static_cast<std::size_t>(length(random)), ' ');
    for (auto& c : text)
        c = Bytes[pick(random)];
    return text;
}

TEST(PageUnchanged, AgreesWithTheLineListsForEveryBreakShape)
{
    std::mt19937 random(8);
    for (int i = 0; i < 20000; ++i) {
        const std::string fresh = RandomBreakText(random);
        const std::string stored = RandomBreakText(random);
        const TLines freshLines = SplitLines(fresh);
        const TLines storedLines = SplitLines(stored);
        ASSERT_EQ(CrLfLines(fresh), JoinLines(freshLines)) << testing::PrintToString(fresh);
        for (int threshold : {0, 1, 700}) {
            std::string byLines;
            std::string byText;
            if (freshLines.empty() && storedLines.empty() && threshold != 0) {
                EXPECT_THROW(PageUnchanged(fresh, stored, threshold, byText), EChangeMeasureUndefined);
                continue;
            }
            EXPECT_EQ(PageUnchanged(fresh, stored, threshold, byText),
                      SiteUnchanged(freshLines, storedLines, threshold, byLines));
            ASSERT_EQ(byText, byLines) << testing::PrintToString(fresh) << " " << testing::PrintToString(stored);
        }
    }
}
