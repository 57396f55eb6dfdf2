#include "engine/ActivityLog.h"
#include "message/NetCharset.h"

#include <gtest/gtest.h>

#include <cstdlib>

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
    EXPECT_EQ(log.Lines()[0], "t Delivery error: 554 ?[2J?]0;owned? bad forged\tline? \xe9t\xc3\xa9");
    using namespace std::string_literals;
    EXPECT_EQ(LogLineText("a\0b"s), "a?b");
}

TEST(ActivityLog, LineBreaksReadAsBlanksAndC1AndBidiControlsAsQuestionMarks)
{
    struct Case {
        const char* message;
        const char* shown;
    } cases[] = {
        // A refused command's reply text ends with CR LF; its lines run on.
        {"Delivery error: 5.7.1 Relaying denied\r\n", "Delivery error: 5.7.1 Relaying denied"},
        {"Delivery error: first\r\nsecond\r\n", "Delivery error: first second"},
        {"a\nb\rc\r\n\r\nd", "a b c  d"},
        // C1 controls, written in UTF-8 (CSI, NEL, the first and the last)
        // and as single bytes of text that is not UTF-8.
        {"x\xc2\x9b" "2Jy \xc2\x85 \xc2\x80\xc2\x9f", "x?2Jy ? ??"},
        {"x\x9b" "2J\x85 \x80\x9f \xa0\xff", "x?2J? ?? \xa0\xff"},
        // Embeddings, overrides and isolates; their neighbours stay.
        {"a\xe2\x80\xae" "cod.exe", "a?cod.exe"},
        {"\xe2\x80\xaa\xe2\x80\xab\xe2\x80\xac\xe2\x80\xad\xe2\x80\xae", "?????"},
        {"\xe2\x81\xa6\xe2\x81\xa7\xe2\x81\xa8\xe2\x81\xa9", "????"},
        {"\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa", "\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa"},
        // Letters of two, three and four bytes, and a C1 sequence cut short.
        {"caf\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x98\x80 \xc2", "caf\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x98\x80 \xc2"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(LogLineText(c.message), c.shown) << c.message;
}

TEST(ActivityLog, NoControlOfAnyKindSurvivesRandomText)
{
    // Whatever bytes a server sends, the line holds no C0 control but the
    // tab, no DEL, no byte that a terminal reads as C1 and no bidi control,
    // and valid UTF-8 stays valid.
    std::srand(10);
    const std::string pieces[] = {"\r", "\n", "\x1b", "\x7f", "\x9b", "\xc2", "\x85", "\xe2\x80", "\xae",
                                  "\xe2\x81\xa6", "\xc3\xa9", "a", " ", "\t"};
    for (int round = 0; round < 5000; ++round) {
        std::string message;
        for (int i = std::rand() % 16; i > 0; --i)
            message += pieces[std::rand() % std::size(pieces)];
        const std::string shown = LogLineText(message);
        for (std::size_t i = 0; i < shown.size(); ++i) {
            const auto b = static_cast<unsigned char>(shown[i]);
            ASSERT_FALSE((b < 0x20 && b != '\t') || b == 0x7f) << message;
            // A byte 0x80..0x9F never stands on its own, where a terminal
            // would take it for a C1 control.
            if (b >= 0x80 && b <= 0x9f) {
                ASSERT_TRUE(i > 0 && static_cast<unsigned char>(shown[i - 1]) >= 0x80) << message;
            }
            ASSERT_FALSE(shown.compare(i, 2, "\xc2\x85") == 0 || shown.compare(i, 2, "\xc2\x9b") == 0) << message;
            ASSERT_FALSE(shown.compare(i, 3, "\xe2\x80\xae") == 0 || shown.compare(i, 3, "\xe2\x81\xa6") == 0)
                << message;
        }
        if (IsValidUTF8(message)) {
            ASSERT_TRUE(IsValidUTF8(shown)) << message;
        }
    }
}
