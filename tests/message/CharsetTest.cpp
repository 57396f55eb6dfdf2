// The page's character set: from the HTTP response, from the page's own
// declaration, and the labels a mail may carry.

#include "message/NetCharset.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <iconv.h>
#include <strings.h>
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
    // Encodings in which ASCII bytes can mean other characters are never
    // named, nor are the names no browser knows.
    for (const char* label : {"utf-7", "UCS-4", "ebcdic-us", "iso-2022-jp", "csISO2022JP", "hz-gb-2312",
                              "iso-2022-kr", "replacement", "utf-16", "utf-32", "cp037", "x-user-defined\v"})
        EXPECT_EQ(MailCharset(label), "") << label;
    EXPECT_EQ(MailCharset("\f\tLATIN1\r\n"), "windows-1252");
    EXPECT_EQ(MailCharset("unicode11utf8"), "UTF-8");
    EXPECT_EQ(MailCharset("x-user-defined"), "x-user-defined");
    // A page's own declaration of x-user-defined is read as windows-1252.
    EXPECT_EQ(PageCharset("", "<meta charset=x-user-defined>"), "windows-1252");
    EXPECT_EQ(PageCharset("text/html; charset=x-user-defined", ""), "x-user-defined");
    EXPECT_EQ(PageCharset("", "<meta charset=\"ucs-2\">"), "UTF-8");
}

TEST(PageCharset, EveryLabelAgreesWithPythonsWebencodings)
{
    // webencodings carries the browsers' table of labels; the mail names
    // the encoding a label stands for exactly when that encoding keeps
    // ASCII bytes ASCII, under its canonical name.
    const std::string canonical[] = {"UTF-8", "IBM866", "ISO-8859-2", "ISO-8859-3", "ISO-8859-4", "ISO-8859-5",
                                     "ISO-8859-6", "ISO-8859-7", "ISO-8859-8", "ISO-8859-8-I", "ISO-8859-10",
                                     "ISO-8859-13", "ISO-8859-14", "ISO-8859-15", "ISO-8859-16", "KOI8-R",
                                     "KOI8-U", "macintosh", "windows-874", "windows-1250", "windows-1251",
                                     "windows-1252", "windows-1253", "windows-1254", "windows-1255",
                                     "windows-1256", "windows-1257", "windows-1258", "x-mac-cyrillic", "GBK",
                                     "gb18030", "Big5", "EUC-JP", "Shift_JIS", "EUC-KR", "x-user-defined"};
    const std::string command = std::string(VENDREL_PYTHON)
                                + " -c \"from webencodings.labels import LABELS\n"
                                  "for label, name in sorted(LABELS.items()): print(label + ' ' + name)\"";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char line[256];
    int labels = 0;
    while (std::fgets(line, sizeof line, pipe)) {
        std::string text(line);
        text.erase(text.find_last_not_of("\r\n") + 1);
        const auto blank = text.find(' ');
        ASSERT_NE(blank, std::string::npos) << text;
        const std::string label = text.substr(0, blank), name = text.substr(blank + 1);
        std::string expected;
        for (const std::string& known : canonical)
            if (strcasecmp(known.c_str(), name.c_str()) == 0)
                expected = known;
        EXPECT_EQ(MailCharset(label), expected) << label << " is " << name;
        std::string upper = label;
        for (char& c : upper)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        EXPECT_EQ(MailCharset(" " + upper + "\t"), expected) << label;
        ++labels;
    }
    EXPECT_EQ(pclose(pipe), 0);
    EXPECT_GT(labels, 200);
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
