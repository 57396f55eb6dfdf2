// The page's character set: from the HTTP response, from the page's own
// declaration, and the labels a mail may carry.

#include "message/NetCharset.h"

#include <gtest/gtest.h>

#include <iconv.h>
#include <random>
#include <string>
#include <vector>

TEST(PageCharset, ContentTypeParameter)
{
    EXPECT_EQ(CharsetOfContentType("text/html; charset=UTF-8"), "UTF-8");
    EXPECT_EQ(CharsetOfContentType("text/html;charset=\"windows-1251\""), "windows-1251");
    EXPECT_EQ(CharsetOfContentType("text/html; format=flowed; CharSet = koi8-r ; x=y"), "koi8-r");
    EXPECT_EQ(CharsetOfContentType("text/html; name=\"a;charset=b\"; charset=utf-8"), "utf-8");
    EXPECT_EQ(CharsetOfContentType("text/html"), "");
    EXPECT_EQ(CharsetOfContentType(""), "");
    EXPECT_EQ(CharsetOfContentType("text/html; charset"), "");
}

TEST(PageCharset, MetaDeclarationsAsBrowsersFindThem)
{
    EXPECT_EQ(MetaCharset("<html><head><meta charset=\"windows-1251\"><title>x</title>"), "windows-1251");
    EXPECT_EQ(MetaCharset("<META CHARSET=utf-8>"), "utf-8");
    EXPECT_EQ(MetaCharset("<meta http-equiv=\"Content-Type\" content=\"text/html; charset=koi8-r\">"), "koi8-r");
    EXPECT_EQ(MetaCharset("<meta content='text/html;charset=\"iso-8859-2\"' http-equiv=content-type>"),
              "iso-8859-2");
    // A content attribute without the pragma declares nothing.
    EXPECT_EQ(MetaCharset("<meta content=\"text/html; charset=koi8-r\"><meta charset=utf-8>"), "utf-8");
    // Comments and quoted ">" in other tags hide nothing and show nothing.
    EXPECT_EQ(MetaCharset("<!-- <meta charset=koi8-r> --><meta charset=utf-8>"), "utf-8");
    EXPECT_EQ(MetaCharset("<a title=\"<meta charset=koi8-r>\"><meta charset=utf-8>"), "utf-8");
    // The first appearance of an attribute counts.
    EXPECT_EQ(MetaCharset("<meta charset=big5 charset=utf-8>"), "big5");
    EXPECT_EQ(MetaCharset("<metadata charset=utf-8><p>"), "");
    EXPECT_EQ(MetaCharset("<p>no declaration</p>"), "");
    // Only the first 1024 bytes are scanned, and a tag cut there counts not.
    EXPECT_EQ(MetaCharset(std::string(1100, ' ') + "<meta charset=utf-8>"), "");
    EXPECT_EQ(MetaCharset(std::string(1010, ' ') + "<meta charset=utf-8>"), "");
}

TEST(PageCharset, LabelsAMailMayCarry)
{
    EXPECT_EQ(MailCharset("utf8"), "UTF-8");
    EXPECT_EQ(MailCharset(" UTF-8 "), "UTF-8");
    EXPECT_EQ(MailCharset("Windows-1251"), "windows-1251");
    EXPECT_EQ(MailCharset("koi8-r"), "KOI8-R");
    EXPECT_EQ(MailCharset("iso-8859-2"), "ISO-8859-2");
    EXPECT_EQ(MailCharset("shift_jis"), "Shift_JIS");
    // Browsers show these as windows-1252; so must the mail.
    EXPECT_EQ(MailCharset("ISO-8859-1"), "windows-1252");
    EXPECT_EQ(MailCharset("us-ascii"), "windows-1252");
    // Lines of UTF-16 cannot be carried as text lines.
    EXPECT_EQ(MailCharset("utf-16le"), "");
    EXPECT_EQ(MailCharset("no-such-charset"), "");
    EXPECT_EQ(MailCharset("utf-8\r\nBcc: x"), "");
    EXPECT_EQ(MailCharset("a\"b"), "");
    EXPECT_EQ(MailCharset(""), "");
}

TEST(PageCharset, ByteOrderMarkThenHttpThenTheMeta)
{
    const std::string meta = "<meta charset=windows-1251><p>x";
    EXPECT_EQ(PageCharset("text/html; charset=koi8-r", meta), "KOI8-R");
    EXPECT_EQ(PageCharset("text/html", meta), "windows-1251");
    EXPECT_EQ(PageCharset("text/html; charset=bogus", meta), "windows-1251");
    EXPECT_EQ(PageCharset("text/html; charset=koi8-r", "\xEF\xBB\xBF" + meta), "UTF-8");
    // A page cannot be UTF-16 in bytes its own ASCII declaration was read from.
    EXPECT_EQ(PageCharset("", "<meta charset=utf-16>"), "UTF-8");
    EXPECT_EQ(PageCharset("", "<p>x"), "");
}

TEST(PageCharset, RandomPagesNeverBreakTheScan)
{
    // Pieces of markup shuffled together, and plain random bytes: the scan
    // must end, and anything it answers stands in the page.
    const std::vector<std::string> pieces{"<meta", " charset=", "utf-8", "\"", "'", ">", "<!--", "-->", "<",
                                          "</", "<!", "<?", "=", " ", "/", "http-equiv=content-type",
                                          "content=\"text/html;charset=koi8-r\"", "a", "\xFF", "\0"};
    std::mt19937 random(7);
    for (int round = 0; round < 3000; ++round) {
        std::string page;
        const int count = static_cast<int>(random() % 60);
        for (int i = 0; i < count; ++i) {
            if (round % 3 == 0)
                page += static_cast<char>(random() % 256);
            else
                page += pieces[random() % pieces.size()];
        }
        const std::string found = MetaCharset(page);
        if (!found.empty()) {
            EXPECT_NE(page.find(found), std::string::npos) << page;
        }
        const std::string label = MailCharset(found);
        if (!label.empty()) {
            EXPECT_EQ(label.find_first_of(" \t\r\n\";"), std::string::npos);
        }
    }
}

TEST(PageCharset, UTF8ValidityAgreesWithTheSystemsConverter)
{
    iconv_t cd = iconv_open("UTF-32LE", "UTF-8");
    ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
    std::mt19937 random(11);
    const std::vector<std::string> pieces{"a", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xC3", "\x80",
                                          "\xED\xA0\x80", "\xC0\xAF", "\xF4\x90\x80\x80", "\xE0\x80\xAF", "\xFF"};
    for (int round = 0; round < 5000; ++round) {
        std::string text;
        const int count = static_cast<int>(random() % 6);
        for (int i = 0; i < count; ++i)
            text += pieces[random() % pieces.size()];
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        std::string out(text.size() * 4 + 8, '\0');
        char* in = text.data();
        std::size_t inLeft = text.size();
        char* o = out.data();
        std::size_t outLeft = out.size();
        const bool systemValid = iconv(cd, &in, &inLeft, &o, &outLeft) != static_cast<std::size_t>(-1);
        EXPECT_EQ(IsValidUTF8(text), systemValid) << "[" << text << "]";
    }
    iconv_close(cd);
    EXPECT_EQ(AsUTF8("Caf\xE9"), "Caf\xC3\xA9");
    EXPECT_EQ(AsUTF8("Caf\xC3\xA9"), "Caf\xC3\xA9");
}
