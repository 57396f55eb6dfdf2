// The message on the wire after DATA: headers, plain body, multipart body.

#include "message/MessageWriter.h"
#include "message/NetMessageError.h"
#include "tests/message/RecordingSink.h"
#include "tests/support/ManualClock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <random>
#include <string>

namespace {

using std::chrono::system_clock;

// 2024-03-05 13:03:09 UTC, a Tuesday.
const system_clock::time_point MarchFifth = system_clock::from_time_t(1709643789);
// 2024-07-14 21:05:00 UTC, a Sunday.
const system_clock::time_point JulyFourteenth = system_clock::from_time_t(1720991100);

// Sets TZ for one test and puts the old value back.
class TTimeZone {
public:
    explicit TTimeZone(const char* zone)
    {
        if (const char* old = std::getenv("TZ"))
            FOld = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~TTimeZone()
    {
        if (FOld)
            setenv("TZ", FOld->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    std::optional<std::string> FOld;
};

constexpr const char* CentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";

class MessageWriterTest : public ::testing::Test {
protected:
    MessageWriterTest() : Zone(CentralEurope) { Writer.LocaleOverride = "en_US.UTF-8"; }

    // The message as the composition fills it for a plain test message.
    void FillPlain()
    {
        Message.Clear();
        Message.ContentTransferEncoding = "7bit";
        Message.Body = {"This is a test message sent from Vendrel"};
        Message.ContentType = "text/plain";
        Message.From.Address = "user@example.com";
        Message.From.Name = "Vendrel User";
        Message.Sender = Message.From;
        Message.Recipients.Add("dest@example.com");
        Message.Subject = "Test Message from Vendrel";
        Message.UseNowForDate = false;
        Message.Date = MarchFifth;
        Message.ExtraHeaders.SetValue("X-Mailer", "Vendrel 1.0.0");
    }

    // The message as the composition fills it for a page.
    void FillHtml(const TLines& page)
    {
        Message.Clear();
        AddPageParts(Message, {"\"News\" sent from Vendrel at 05/03/2024 14:03", "."}, page);
        Message.From.Address = "user@example.com";
        Message.From.Name = "Vendrel User";
        Message.Sender = Message.From;
        Message.Recipients.Add("one@example.com");
        Message.Recipients.Add("two@example.com", "Two");
        Message.Subject = "Vendrel Delivery: News";
        Message.UseNowForDate = false;
        Message.Date = MarchFifth;
        Message.ExtraHeaders.SetValue("X-Mailer", "Vendrel 1.0.0");
    }

    std::string Write(bool headersOnly = false)
    {
        TRecordingSink sink;
        Writer.WriteMessage(sink, Message, headersOnly);
        return sink.Wire;
    }

    TTimeZone Zone;
    TNetMessageWriter Writer;
    TNetMessage Message;
};

} // namespace

TEST_F(MessageWriterTest, PlainTestMessageOnTheWire)
{
    FillPlain();
    EXPECT_EQ(Write(), CrLf({"From: \"Vendrel User\" <user@example.com>",
                             "Subject: Test Message from Vendrel",
                             "To: dest@example.com",
                             "Content-Type: text/plain",
                             "Content-Transfer-Encoding: 7bit",
                             "Sender: Vendrel User <user@example.com>",
                             "Date: Tue, 5 Mar 2024 14:03:09 +0100",
                             "X-Mailer: Vendrel 1.0.0",
                             "",
                             "This is a test message sent from Vendrel"}));
}

TEST_F(MessageWriterTest, HtmlMessageOnTheWire)
{
    const std::string longLine = std::string(70, 'x') + "<p class=\"intro\">";
    FillHtml({"<html>", ".dot at start ", longLine, "caf\xE9 &amp; more", "</html>"});
    EXPECT_EQ(Write(), CrLf({"From: \"Vendrel User\" <user@example.com>",
                             "Subject: Vendrel Delivery: News",
                             "To: one@example.com, \"Two\" <two@example.com>",
                             "Content-Type: multipart/alternative; "
                             "boundary=\"_Boundary_000_0023_017DC8DB_69C7C9A6\"",
                             "MIME-Version: 1.0",
                             "Sender: Vendrel User <user@example.com>",
                             "Date: Tue, 5 Mar 2024 14:03:09 +0100",
                             "X-Mailer: Vendrel 1.0.0",
                             "",
                             "This is a multi-part message in MIME format",
                             "",
                             "--_Boundary_000_0023_017DC8DB_69C7C9A6",
                             "Content-Type: text/plain",
                             "Content-Transfer-Encoding: 7bit",
                             "",
                             "\"News\" sent from Vendrel at 05/03/2024 14:03",
                             "..",
                             "",
                             "--_Boundary_000_0023_017DC8DB_69C7C9A6",
                             "Content-Type: text/html",
                             "Content-Transfer-Encoding: quoted-printable",
                             "",
                             "<html>",
                             "..dot at start=20",
                             std::string(70, 'x') + "<p cl=",
                             "ass=3D\"intro\">",
                             "caf=E9 &amp; more",
                             "</html>",
                             "",
                             "--_Boundary_000_0023_017DC8DB_69C7C9A6--"}));
    EXPECT_EQ(Message.ContentType,
              "multipart/alternative; boundary=\"_Boundary_000_0023_017DC8DB_69C7C9A6\"");
}

TEST_F(MessageWriterTest, HeadersOnlyStopsAfterTheEmptyLine)
{
    FillPlain();
    const std::string wire = Write(true);
    EXPECT_EQ(wire.substr(wire.size() - 4), "\r\n\r\n");
    EXPECT_EQ(wire.find("This is a test"), std::string::npos);
}

TEST_F(MessageWriterTest, HeaderLinesGoOutOneWriteLineEach)
{
    FillPlain();
    TRecordingSink sink;
    Writer.WriteMessage(sink, Message, true);
    EXPECT_EQ(sink.WriteLines, 9);
    EXPECT_EQ(sink.Writes, 0);
}

TEST_F(MessageWriterTest, QuotedPrintableLineOf200CharactersAsThreeLines)
{
    FillHtml({std::string(200, 'a')});
    const std::string wire = Write();
    const std::string expected = CrLf({std::string(75, 'a') + "=", std::string(75, 'a') + "=",
                                       std::string(50, 'a'), "", "--_Boundary_000_0023_017DC8DB_69C7C9A6--"});
    EXPECT_EQ(wire.substr(wire.size() - expected.size()), expected);
}

TEST_F(MessageWriterTest, SoftBreakFollowedByDotIsDoubled)
{
    FillHtml({std::string(75, 'a') + ".next", "a=b", "end "});
    const std::string wire = Write();
    EXPECT_NE(wire.find(CrLf({"", std::string(75, 'a') + "=", "..next", "a=3Db", "end=20", ""})),
              std::string::npos)
        << wire;
}

TEST_F(MessageWriterTest, DotLinesInPlainBodyAreDoubled)
{
    FillPlain();
    Message.Body = {"first", ".", ".hidden", "", "last."};
    const std::string wire = Write();
    EXPECT_EQ(wire.substr(wire.find("\r\n\r\n") + 4), CrLf({"first", "..", "..hidden", "", "last."}));
}

TEST_F(MessageWriterTest, BodyLineHoldingLineBreaksCannotEndTheData)
{
    FillPlain();
    Message.Body = {"a\r\n.\r\nMAIL FROM:<x@y>", "b\n.\rc"};
    std::string wire = Write();
    EXPECT_EQ(wire.substr(wire.find("\r\n\r\n") + 4), CrLf({"a", "..", "MAIL FROM:<x@y>", "b", "..", "c"}));

    FillHtml({"x\r\n.\r\ny"});
    wire = Write();
    EXPECT_EQ(wire.find("\r\n.\r\n"), std::string::npos);
    EXPECT_NE(wire.find(CrLf({"", "x", "..", "y"})), std::string::npos);
}

TEST_F(MessageWriterTest, HighPriorityWritesXPriority2AfterDate)
{
    FillPlain();
    Message.Priority = mpHigh;
    const TNetHeaderList headers = Writer.GenerateHeader(Message);
    ASSERT_EQ(headers.Count(), 9u);
    EXPECT_EQ(headers[6], "Date: Tue, 5 Mar 2024 14:03:09 +0100");
    EXPECT_EQ(headers[7], "X-Priority: 2");
    EXPECT_EQ(headers[8], "X-Mailer: Vendrel 1.0.0");

    Message.Priority = mpLowest;
    EXPECT_EQ(Writer.GenerateHeader(Message).Value("X-Priority"), "5");
    Message.Priority = mpNormal;
    EXPECT_EQ(Writer.GenerateHeader(Message).IndexOfName("X-Priority"), std::string::npos);
}

TEST_F(MessageWriterTest, AllHeadersInTheirOrderBccNeverWritten)
{
    FillPlain();
    Message.CCList.Add("cc@example.com");
    Message.BccList.Add("hidden@example.com");
    Message.NewsGroups = {"comp.mail", "alt.test group"};
    Message.ReplyTo.Add("reply@example.com");
    Message.Organization = "Quorvan";
    Message.ReceiptRecipient.Address = "receipt@example.com";
    Message.References = "<1@example.com>";
    Message.Priority = mpHighest;
    const TNetHeaderList headers = Writer.GenerateHeader(Message);
    std::vector<std::string> names;
    for (const auto& line : headers)
        names.push_back(line.substr(0, line.find(':')));
    EXPECT_EQ(names, (std::vector<std::string>{"From", "Subject", "To", "Cc", "Newsgroups", "Content-Type",
                                               "Content-Transfer-Encoding", "Sender", "Reply-To", "Organization",
                                               "Disposition-Notification-To", "References", "Date", "X-Priority",
                                               "X-Mailer"}));
    EXPECT_EQ(headers.Value("Newsgroups"), "comp.mail,\"alt.test group\"");
    EXPECT_EQ(headers.Value("Disposition-Notification-To"), "receipt@example.com");
}

TEST_F(MessageWriterTest, EmptyFromNameGivesBareAddress)
{
    FillPlain();
    Message.From.Name.clear();
    EXPECT_EQ(Writer.GenerateHeader(Message)[0], "From: user@example.com");
}

TEST_F(MessageWriterTest, SubjectWithHighCharacterHasOneEncodedWord)
{
    FillPlain();
    Message.Subject = "Vendrel Delivery: Caf\xE9 Central";
    EXPECT_EQ(Writer.GenerateHeader(Message).Value("Subject"),
              "Vendrel Delivery: =?ISO-8859-1?Q?Caf=E9?= Central");
}

TEST_F(MessageWriterTest, LongEncodedSubjectFoldsWithoutAnEmptyLine)
{
    FillPlain();
    Message.Subject = std::string(30, '\xE9');
    const std::string wire = Write(true);
    const std::string headerBlock = wire.substr(0, wire.find("\r\n\r\n"));
    // Readers that keep the blank of a fold before the first encoded word
    // would show the subject with a leading blank.
    EXPECT_NE(headerBlock.find("\r\nSubject: =?ISO-8859-1?Q?=E9"), std::string::npos) << headerBlock;
    EXPECT_NE(headerBlock.find("?=\r\n\t=?ISO-8859-1?Q?=E9"), std::string::npos) << headerBlock;
    EXPECT_NE(headerBlock.find("Date: "), std::string::npos);
}

TEST_F(MessageWriterTest, LineBreaksInUserTextsNeverStartAHeaderLine)
{
    FillPlain();
    Message.Subject = "News\r\nBcc: victim@example.com";
    Message.From.Name = "Eve\r\nX-Evil: 1";
    Message.Sender = Message.From;
    Message.Recipients[0].Address = "dest@example.com\nCc: other@example.com";
    Message.ExtraHeaders.SetValue("X-Mailer", "Agent\rX-Evil: 2");
    const std::string wire = Write(true);
    std::vector<std::string> names;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = wire.find("\r\n", start);
        const std::string line = wire.substr(start, end - start);
        if (line.empty())
            break;
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos);
        if (line[0] != ' ' && line[0] != '\t')
            names.push_back(line.substr(0, line.find(':')));
        start = end + 2;
    }
    EXPECT_EQ(names, (std::vector<std::string>{"From", "Subject", "To", "Content-Type", "Content-Transfer-Encoding",
                                               "Sender", "Date", "X-Mailer"}));
}

TEST_F(MessageWriterTest, ClearReturnsTheEmptyState)
{
    FillHtml({"<p>"});
    Message.Priority = mpLow;
    Message.CCList.Add("c@d.e");
    Message.Clear();
    EXPECT_EQ(Message.MessageParts.Count(), 0u);
    EXPECT_TRUE(Message.Recipients.Empty());
    EXPECT_TRUE(Message.CCList.Empty());
    EXPECT_TRUE(Message.ExtraHeaders.Empty());
    EXPECT_TRUE(Message.From.Address.empty());
    EXPECT_TRUE(Message.Sender.Name.empty());
    EXPECT_TRUE(Message.ContentType.empty());
    EXPECT_EQ(Message.Priority, mpNormal);
    EXPECT_TRUE(Message.UseNowForDate);
    EXPECT_EQ(Message.Date, system_clock::time_point{});
}

TEST_F(MessageWriterTest, UseNowForDateTakesTheClock)
{
    FillPlain();
    Message.UseNowForDate = true;
    TManualClock clock;
    clock.Set(JulyFourteenth);
    Writer.Clock = &clock;
    EXPECT_EQ(Writer.GenerateHeader(Message).Value("Date"), "Sun, 14 Jul 2024 23:05:00 +0200");
}

TEST(DateText, OffsetFollowsDaylightSavingAndSign)
{
    {
        TTimeZone zone(CentralEurope);
        EXPECT_EQ(TNetMessageWriter::DateText(MarchFifth), "Tue, 5 Mar 2024 14:03:09 +0100");
        EXPECT_EQ(TNetMessageWriter::DateText(JulyFourteenth), "Sun, 14 Jul 2024 23:05:00 +0200");
    }
    {
        TTimeZone zone("EST5EDT,M3.2.0,M11.1.0");
        EXPECT_EQ(TNetMessageWriter::DateText(MarchFifth), "Tue, 5 Mar 2024 08:03:09 -0500");
        EXPECT_EQ(TNetMessageWriter::DateText(JulyFourteenth), "Sun, 14 Jul 2024 17:05:00 -0400");
    }
    {
        TTimeZone zone("UTC0");
        EXPECT_EQ(TNetMessageWriter::DateText(MarchFifth), "Tue, 5 Mar 2024 13:03:09 +0000");
    }
    {
        TTimeZone zone("IST-5:30");
        EXPECT_EQ(TNetMessageWriter::DateText(MarchFifth), "Tue, 5 Mar 2024 18:33:09 +0530");
    }
}

TEST(JapaneseTransfer, PlainBodyLinesAreConvertedToIso2022Jp)
{
    TTimeZone zone("UTC0");
    TNetMessageWriter writer;
    writer.LocaleOverride = "ja_JP";
    TNetMessage message;
    message.Clear();
    message.ContentType = "text/plain";
    message.Body = {"\x82\xA0", ".x"};
    message.Subject = "\x82\xA0";
    message.UseNowForDate = false;
    TRecordingSink sink;
    writer.WriteMessage(sink, message, false);
    EXPECT_NE(sink.Wire.find("Subject: =?ISO-2022-JP?B?GyRCJCIbKEI=?=\r\n"), std::string::npos);
    EXPECT_EQ(sink.Wire.substr(sink.Wire.find("\r\n\r\n") + 4), CrLf({"\x1b$B$\"\x1b(B", "..x"}));
}

TEST_F(MessageWriterTest, LongLinesChangeTheTransferOnlyWhenTheyMust)
{
    // A line of exactly 998 octets goes as it is; one more octet, or a dot
    // doubled in front of it, makes the body quoted-printable.
    FillPlain();
    Message.Body = {std::string(998, 'a'), "." + std::string(996, 'b')};
    std::string wire = Write();
    EXPECT_NE(wire.find("Content-Transfer-Encoding: 7bit\r\n"), std::string::npos);
    EXPECT_NE(wire.find("\r\n" + std::string(998, 'a') + "\r\n"), std::string::npos);

    for (const std::string& line : {std::string(999, 'a'), "." + std::string(997, 'b')}) {
        FillPlain();
        Message.Body = {"short =", line};
        wire = Write();
        EXPECT_EQ(wire.find("Content-Transfer-Encoding: 7bit"), std::string::npos);
        EXPECT_NE(wire.find("Content-Transfer-Encoding: quoted-printable\r\n"), std::string::npos);
        EXPECT_NE(wire.find("\r\n\r\nshort =3D\r\n"), std::string::npos) << wire.substr(0, 400);
    }
}

TEST_F(MessageWriterTest, AnAddressTooLongForALineIsRefused)
{
    FillPlain();
    Message.Recipients.Add(std::string(1000, 'x') + "@example.com");
    try {
        Write();
        FAIL();
    } catch (const ENetMessageError& e) {
        EXPECT_STREQ(e.what(), "The To header is too long to be sent.");
    }
}

// A page given whole reaches the wire exactly as its list of lines would:
// in the page part (quoted-printable), in the alternative and as a plain
// 7bit body, whatever mix of breaks, dots and long lines it holds.
TEST_F(MessageWriterTest, AWholeTextGoesOutAsItsLinesWould)
{
    std::mt19937 random(11);
    static const std::string Pieces[] = {"\r", "\n", "\r\n", ".", "..", "a", "=", " ", "\t", "caf\xe9",
                                         std::string(80, 'w'), std::string(1100, 'l')};
    std::uniform_int_distribution<int> count(0, 30);
    std::uniform_int_distribution<int> pick(0, static_cast<int>(std::size(Pieces)) - 1);
    for (int i = 0; i < 600; ++i) {
        std::string text;
        for (int n = count(random); n > 0; --n)
            text += Pieces[pick(random)];
        for (std::size_t part : {0u, 1u}) {
            FillHtml({"<html>"});
            static_cast<TNetText&>(Message.MessageParts[part]).Body = SplitLines(text);
            const std::string asLines = Write();
            static_cast<TNetText&>(Message.MessageParts[part]).Body = BodyLines(text);
            ASSERT_EQ(Write(), asLines) << part << " " << testing::PrintToString(text);
        }

        FillPlain();
        Message.Body = SplitLines(text);
        const std::string plain = Write();
        Message.Body = BodyLines(text);
        ASSERT_EQ(Write(), plain) << testing::PrintToString(text);
    }
}

// Every write to the connection is a send: a page of short lines goes out
// in blocks, not a send a line.
TEST_F(MessageWriterTest, APageOfShortLinesGoesOutInBlocks)
{
    const std::string page(2'000'000, '\r');
    FillHtml({});
    static_cast<TNetText&>(Message.MessageParts[1]).Body = BodyLines(page);
    TRecordingSink sink;
    Writer.WriteMessage(sink, Message, false);
    EXPECT_GT(sink.Wire.size(), 2 * page.size());
    EXPECT_LT(sink.Writes + sink.WriteLines, 100) << "sends for a page of " << page.size() << " empty lines";

    FillPlain();
    Message.Body = BodyLines(page);
    TRecordingSink plain;
    Writer.WriteMessage(plain, Message, false);
    EXPECT_EQ(plain.Wire.size() - plain.Wire.find("\r\n\r\n") - 4, 2 * page.size());
    EXPECT_LT(plain.Writes + plain.WriteLines, 100);
}
