#include "message/NetHeaderList.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using Lines = std::vector<std::string>;

namespace {

Lines Set(std::string_view name, std::string_view value)
{
    TNetHeaderList list;
    list.SetValue(name, value);
    return list.Lines();
}

} // namespace

TEST(HeaderFolding, ManyRecipientsFoldAfterLastCommaBeforeColumn78)
{
    EXPECT_EQ(Set("To", "user01@example.org, user02@example.org, user03@example.org, "
                        "user04@example.org, user05@example.org, user06@example.org"),
              (Lines{"To: user01@example.org, user02@example.org, user03@example.org,",
                     " user04@example.org, user05@example.org, user06@example.org"}));
}

TEST(HeaderFolding, TwentyFiveWordsFoldAfterBlanksWithOneBlankContinuation)
{
    std::string subject;
    for (char c = 'A'; c <= 'Y'; ++c) {
        if (!subject.empty())
            subject += ' ';
        subject += std::string("word") + c;
    }
    EXPECT_EQ(Set("Subject", subject),
              (Lines{"Subject: wordA wordB wordC wordD wordE wordF wordG wordH wordI wordJ wordK",
                     " wordL wordM wordN wordO wordP wordQ wordR wordS wordT wordU wordV wordW wordX",
                     " wordY"}));
}

TEST(HeaderFolding, MultipartContentTypeOf84CharactersStaysOneLine)
{
    const Lines lines =
        Set("Content-Type", "multipart/alternative; boundary=\"_Boundary_000_0023_017DC8DB_69C7C9A6\"");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].size(), 84u);
    EXPECT_EQ(lines[0],
              "Content-Type: multipart/alternative; boundary=\"_Boundary_000_0023_017DC8DB_69C7C9A6\"");
}

TEST(HeaderFolding, DoubleQuotedStretchIsNotBrokenInside)
{
    const std::string name = "Doe, Jane and Smith, John of the Very Long Department Name, Westfield Office";
    // The value starts on the name's line however long its first word.
    EXPECT_EQ(Set("From", "\"" + name + "\" <a@b.c>"), (Lines{"From: \"" + name + "\"", " <a@b.c>"}));
}

TEST(HeaderFolding, ShortValueIsOneLine)
{
    EXPECT_EQ(Set("X-Mailer", "Vendrel 1.0.0"),
              (Lines{"X-Mailer: Vendrel 1.0.0"}));
}

TEST(HeaderFolding, ExistingFoldIsKept)
{
    EXPECT_EQ(Set("References", "<a@b>\r\n <c@d>"), (Lines{"References: <a@b>", " <c@d>"}));
}

TEST(HeaderFolding, EncodedWordsSplitWithTabStayOnTheirOwnLines)
{
    // Two encoded words joined by CR LF and a tab: the tab line must not be
    // emptied into a header-ending blank line.
    const std::string first = "=?ISO-8859-1?Q?" + std::string(19 * 3, 'x') + "?=";
    const std::string second = "=?ISO-8859-1?Q?abc?=";
    EXPECT_EQ(Set("Subject", first + "\r\n\t" + second),
              (Lines{"Subject: " + first, "\t" + second}));
}

TEST(HeaderFolding, CommaInsideEncodedWordIsNoBreakPoint)
{
    const std::string word = "=?ISO-8859-1?Q?M=FCller,_" + std::string(40, 'a') + ",_b?=";
    EXPECT_EQ(Set("Subject", "Report " + word), (Lines{"Subject: Report", " " + word}));
}

TEST(HeaderFolding, NoLineIsOnlyWhiteSpace)
{
    for (const std::string& value :
         {std::string(70, 'a') + " \r\n\tb", std::string(70, 'a') + ",\r\n b", std::string(80, ' ') + "x"}) {
        for (const auto& line : Set("Subject", value))
            EXPECT_NE(line.find_first_not_of(" \t"), std::string::npos) << value;
    }
}

TEST(HeaderSetValue, BareLineBreaksNeverStartAHeaderLine)
{
    TNetHeaderList list;
    list.SetValue("X-Mailer", "Agent\r\nBcc: victim@example.com");
    list.SetValue("Organization", "Org\nX-Evil: 1");
    list.SetValue("References", "Ref\rX-Evil: 2");
    EXPECT_EQ(list.Lines(), (Lines{"X-Mailer: Agent  Bcc: victim@example.com", "Organization: Org X-Evil: 1",
                                   "References: Ref X-Evil: 2"}));
}

TEST(HeaderSetValue, ReplacesFirstMatchIgnoringCaseWithItsContinuations)
{
    TNetHeaderList list;
    list.Add("From: a@b.c");
    list.Add("X-Mailer: Old");
    list.Add(" continued");
    list.Add("Date: today");
    list.SetValue("x-mailer", "New");
    EXPECT_EQ(list.Lines(), (Lines{"From: a@b.c", "x-mailer: New", "Date: today"}));
    EXPECT_EQ(list.Value("X-MAILER"), "New");
}

TEST(HeaderSetValue, EmptyValueRemovesTheHeader)
{
    TNetHeaderList list;
    list.SetValue("Subject", "");
    EXPECT_TRUE(list.Empty());
    list.SetValue("Subject", "s");
    list.Add(" more");
    list.SetValue("To", "t@u.v");
    list.SetValue("Subject", "");
    EXPECT_EQ(list.Lines(), (Lines{"To: t@u.v"}));
}

TEST(HeaderValue, JoinsContinuationLinesWithOneBlank)
{
    TNetHeaderList list;
    list.Add("Subject:   first  ");
    list.Add("   second");
    list.Add("\tthird ");
    list.Add("To: x");
    EXPECT_EQ(list.Value("subject"), "first second third");
    EXPECT_EQ(list.Value("Cc"), "");
}

TEST(HeaderValue, FoldedValueReadsBackUnfolded)
{
    TNetHeaderList list;
    std::string value;
    for (int i = 0; i < 30; ++i)
        value += (i ? " " : "") + std::string("word") + std::to_string(i);
    list.SetValue("Subject", value);
    EXPECT_GT(list.Count(), 1u);
    EXPECT_EQ(list.Value("Subject"), value);
}
