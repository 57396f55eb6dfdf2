#include "engine/ActivityLog.h"

#include <gtest/gtest.h>

namespace {
class TFixedClock : public TClock {
public:
    TDateTime Now() const override { return TDateTime{}; }
};
} // namespace

TEST(ActivityLog, StampsEachEntryAndKeepsSeparatorsPlain)
{
    TFixedClock clock;
    TActivityLog log(clock);
    log.StampText = [](TDateTime) { return std::string("08/12/2026 14:05"); };
    std::vector<std::string> seen;
    log.OnLineAdded = [&](const std::string& l) { seen.push_back(l); };
    log.AddToLog("Vendrel Started");
    log.AddSeparator();
    ASSERT_EQ(log.Lines().size(), 2u);
    EXPECT_EQ(log.Lines()[0], "08/12/2026 14:05 Vendrel Started");
    EXPECT_EQ(log.Lines()[1], "");
    EXPECT_EQ(seen, (std::vector<std::string>{"08/12/2026 14:05 Vendrel Started", ""}));
}

TEST(ActivityLog, DropsTheOldestLinePast250AndSeparatorsCount)
{
    TFixedClock clock;
    TActivityLog log(clock);
    log.StampText = [](TDateTime) { return std::string("t"); };
    int removed = 0;
    log.OnFirstLineRemoved = [&] { ++removed; };
    for (int i = 0; i < 250; ++i)
        log.AddToLog(std::to_string(i));
    EXPECT_EQ(log.Lines().size(), 250u);
    EXPECT_EQ(removed, 0);
    log.AddSeparator();
    EXPECT_EQ(log.Lines().size(), 250u);
    EXPECT_EQ(log.Lines().front(), "t 1");
    log.AddToLog("next");
    EXPECT_EQ(log.Lines().size(), 250u);
    EXPECT_EQ(log.Lines().front(), "t 2");
    EXPECT_EQ(log.Lines().back(), "t next");
    EXPECT_EQ(removed, 2);
}

TEST(ActivityLog, ManyPassesKeepTheLogAt250Lines)
{
    TFixedClock clock;
    TActivityLog log(clock);
    std::size_t mirrored = 0;
    log.OnLineAdded = [&](const std::string&) { ++mirrored; };
    log.OnFirstLineRemoved = [&] { --mirrored; };
    for (int pass = 0; pass < 10000; ++pass) {
        log.AddToLog("Site unchanged (0), Skipping");
        log.AddSeparator();
    }
    EXPECT_EQ(log.Lines().size(), 250u);
    EXPECT_EQ(mirrored, 250u) << "a mirror that follows the notifications holds the same lines";
}

TEST(ActivityLog, ControlCharactersShowAsQuestionMarks)
{
    TFixedClock clock;
    TActivityLog log(clock);
    log.StampText = [](TDateTime) { return std::string("t"); };
    log.AddToLog("Delivery error: 554 \x1b[2J\x1b]0;owned\x07 bad\r\nforged\tline\x7f \xe9t\xc3\xa9");
    ASSERT_EQ(log.Lines().size(), 1u);
    EXPECT_EQ(log.Lines()[0], "t Delivery error: 554 ?[2J?]0;owned? bad??forged\tline? \xe9t\xc3\xa9");
    using namespace std::string_literals;
    EXPECT_EQ(LogLineText("a\0b"s), "a?b");
}
