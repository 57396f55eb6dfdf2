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

TEST(ActivityLog, DropsOneOldestLinePerEntryPast250)
{
    TFixedClock clock;
    TActivityLog log(clock);
    log.StampText = [](TDateTime) { return std::string("t"); };
    int removed = 0;
    log.OnFirstLineRemoved = [&] { ++removed; };
    for (int i = 0; i < 250; ++i)
        log.AddToLog(std::to_string(i));
    EXPECT_EQ(log.Lines().size(), 250u);
    log.AddSeparator();
    EXPECT_EQ(log.Lines().size(), 251u) << "separators are never trimmed on their own";
    log.AddToLog("next");
    EXPECT_EQ(log.Lines().size(), 251u);
    EXPECT_EQ(log.Lines().front(), "t 1");
    EXPECT_EQ(log.Lines().back(), "t next");
    EXPECT_EQ(removed, 1);
}
