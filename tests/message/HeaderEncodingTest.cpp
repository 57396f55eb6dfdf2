// Encoded words, address forms and the header character set.

#include "message/MessageWriter.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

TNetMessageWriter WriterFor(const std::string& locale)
{
    TNetMessageWriter writer;
    writer.LocaleOverride = locale;
    writer.ChooseHeaderCharset();
    return writer;
}

TNetEMailAddressItem Item(std::string address, std::string name)
{
    TNetEMailAddressItem item;
    item.Address = std::move(address);
    item.Name = std::move(name);
    return item;
}

} // namespace

TEST(EncodeWords, AsciiTextIsUnchanged)
{
    const auto writer = WriterFor("en_GB.UTF-8");
    EXPECT_EQ(writer.EncodeWords("Vendrel Delivery: News"), "Vendrel Delivery: News");
    EXPECT_EQ(writer.EncodeWords("  two  blanks _=?x "), "  two  blanks _=?x ");
}

TEST(EncodeWords, OnlyTheWordWithAHighCharacterIsEncodedInQ)
{
    const auto writer = WriterFor("de_DE");
    EXPECT_EQ(writer.EncodeWords("Price drop: caf\xE9 now"), "Price drop: =?ISO-8859-1?Q?caf=E9?= now");
}

TEST(EncodeWords, AdjacentForcingWordsShareOneRunWithUnderscoreForBlank)
{
    const auto writer = WriterFor("C");
    EXPECT_EQ(writer.EncodeWords("Gr\xFC\xDF" "e aus K\xF6ln"),
              "=?ISO-8859-1?Q?Gr=FC=DFe?= aus =?ISO-8859-1?Q?K=F6ln?=");
    EXPECT_EQ(writer.EncodeWords("Gr\xFC\xDF" "e K\xF6ln!"), "=?ISO-8859-1?Q?Gr=FC=DFe_K=F6ln!?=");
    EXPECT_EQ(writer.EncodeWords("\xE9t\xE9\t\xE9=?_"), "=?ISO-8859-1?Q?=E9t=E9=09=E9=3D=3F=5F?=");
}

TEST(EncodeWords, EncodedWordsAreAtMost75CharactersInQ)
{
    const auto writer = WriterFor("C");
    const std::string out = writer.EncodeWords(std::string(30, '\xE9'));
    std::string first = "=?ISO-8859-1?Q?";
    for (int i = 0; i < 19; ++i)
        first += "=E9";
    first += "?=";
    std::string second = "=?ISO-8859-1?Q?";
    for (int i = 0; i < 11; ++i)
        second += "=E9";
    second += "?=";
    EXPECT_EQ(first.size(), 74u);
    EXPECT_EQ(out, first + "\r\n\t" + second);
}

TEST(EncodeWords, BFormInGroupsOfThreeWithin75Characters)
{
    const auto writer = WriterFor("ko_KR.EUC-KR");
    EXPECT_EQ(writer.EncodeWords("\xC7\xD1 abc"), "=?EUC-KR?B?x9E=?= abc");
    const std::string out = writer.EncodeWords(std::string(48, '\xB0'));
    // 13 characters of frame leave room for 15 groups of four.
    const std::string group = "sLCw";
    std::string first = "=?EUC-KR?B?";
    for (int i = 0; i < 15; ++i)
        first += group;
    EXPECT_EQ(out, first + "?=\r\n\t=?EUC-KR?B?" + group + "?=");
}

TEST(EncodeWords, ExtraSpecialsForceEncoding)
{
    const auto writer = WriterFor("C");
    EXPECT_EQ(writer.EncodeWords("a.b c", "."), "=?ISO-8859-1?Q?a=2Eb?= c");
}

TEST(EncodeWords, LineBreaksOutsideEncodedWordsBecomeBlanks)
{
    const auto writer = WriterFor("C");
    EXPECT_EQ(writer.EncodeWords("Hello\r\nBcc: victim@example.com"), "Hello  Bcc: victim@example.com");
    EXPECT_EQ(writer.EncodeWords("Caf\xE9\r\nBcc: v"), "=?ISO-8859-1?Q?Caf=E9?=  Bcc: v");
    EXPECT_EQ(writer.EncodeWords("\nCaf\xE9"), " =?ISO-8859-1?Q?Caf=E9?=");
    // Inside a run they are encoded, which is harmless.
    EXPECT_EQ(writer.EncodeWords("Caf\xE9\r\n\xE9"), "=?ISO-8859-1?Q?Caf=E9=0D=0A=E9?=");
}

TEST(EncodeWords, JapaneseTextIsConvertedToIso2022JpThenEncodedInB)
{
    auto writer = WriterFor("ja_JP");
    EXPECT_EQ(writer.HeaderCharset.JapaneseCodePage, "CP932");
    EXPECT_EQ(writer.EncodeWords("News \x82\xA0"), "News =?ISO-2022-JP?B?GyRCJCIbKEI=?=");
    EXPECT_EQ(ConvertToISO2022JP("a\x82\xA0" "b", "CP932"), "a\x1b$B$\"\x1b(Bb");
    EXPECT_EQ(ConvertToISO2022JP("\xE3\x81\x82", "UTF-8"), "\x1b$B$\"\x1b(B");
}

TEST(EncodeWords, UnconvertibleJapaneseBytesBecomeQuestionMarks)
{
    EXPECT_EQ(ConvertToISO2022JP("\x82\xA0\x82", "CP932"), "\x1b$B$\"\x1b(B?");
    EXPECT_EQ(ConvertToISO2022JP("plain", "CP932"), "plain");
}

TEST(HeaderCharset, ChosenFromTheLocaleLanguage)
{
    struct Case {
        const char* locale;
        const char* charset;
        char encoding;
        TNetHeaderTransfer transfer;
    };
    for (const Case& c : {Case{"zh_CN.UTF-8", "GB2312", 'B', htBit8}, Case{"zh_SG", "GB2312", 'B', htBit8},
                          Case{"zh_TW.Big5", "Big5", 'B', htBit8}, Case{"zh_HK.UTF-8", "Big5", 'B', htBit8},
                          Case{"ja_JP.eucJP", "ISO-2022-JP", 'B', htISO2022JP},
                          Case{"ko_KR.UTF-8", "EUC-KR", 'B', htBit8}, Case{"de_DE@euro", "ISO-8859-1", 'Q', htBit8},
                          Case{"C", "ISO-8859-1", 'Q', htBit8}, Case{"", "ISO-8859-1", 'Q', htBit8},
                          Case{"jam_JM", "ISO-8859-1", 'Q', htBit8}}) {
        const TNetHeaderCharset charset = HeaderCharsetForLocale(c.locale);
        EXPECT_EQ(charset.CharSet, c.charset) << c.locale;
        EXPECT_EQ(charset.Encoding, c.encoding) << c.locale;
        EXPECT_EQ(charset.Transfer, c.transfer) << c.locale;
    }
    EXPECT_EQ(HeaderCharsetForLocale("ja_JP.eucJP").JapaneseCodePage, "eucJP");
    EXPECT_EQ(HeaderCharsetForLocale("ja_JP.UTF-8@x").JapaneseCodePage, "UTF-8");
}

TEST(HeaderCharset, FirstNonEmptyOfLcAllLcCtypeLang)
{
    const auto keep = [](const char* name) {
        const char* v = std::getenv(name);
        return v ? std::optional<std::string>(v) : std::nullopt;
    };
    const auto all = keep("LC_ALL"), ctype = keep("LC_CTYPE"), lang = keep("LANG");
    setenv("LC_ALL", "", 1);
    setenv("LC_CTYPE", "ko_KR", 1);
    setenv("LANG", "ja_JP", 1);
    EXPECT_EQ(UserLocaleName(), "ko_KR");
    unsetenv("LC_CTYPE");
    EXPECT_EQ(UserLocaleName(), "ja_JP");
    setenv("LC_ALL", "zh_CN", 1);
    TNetMessageWriter writer;
    writer.ChooseHeaderCharset();
    EXPECT_EQ(writer.HeaderCharset.CharSet, "GB2312");
    const auto restore = [](const char* name, const std::optional<std::string>& v) {
        if (v)
            setenv(name, v->c_str(), 1);
        else
            unsetenv(name);
    };
    restore("LC_ALL", all);
    restore("LC_CTYPE", ctype);
    restore("LANG", lang);
}

TEST(EncodeAddress, NameInDoubleQuotesWithBackslashes)
{
    const auto writer = WriterFor("C");
    EXPECT_EQ(writer.EncodeAddress(Item("jo@example.com", "Jo \"JJ\" \\ Smith")),
              "\"Jo \\\"JJ\\\" \\\\ Smith\" <jo@example.com>");
    EXPECT_EQ(writer.EncodeAddress(Item("jo@example.com", "Vendrel User")), "\"Vendrel User\" <jo@example.com>");
}

TEST(EncodeAddress, EmptyNameGivesTheBareAddress)
{
    const auto writer = WriterFor("C");
    EXPECT_EQ(writer.EncodeAddress(Item("jo@example.com", "")), "jo@example.com");
}

TEST(EncodeAddress, NonAsciiNameIsEncodedWithPhraseSpecials)
{
    const auto writer = WriterFor("C");
    EXPECT_EQ(writer.EncodeAddress(Item("m@example.com", "M\xFCller, Hans")),
              "=?ISO-8859-1?Q?M=FCller=2C?= Hans <m@example.com>");
}

TEST(EncodeAddress, LineBreaksInNameOrAddressNeverReachTheHeaderRaw)
{
    const auto writer = WriterFor("C");
    EXPECT_EQ(writer.EncodeAddress(Item("a@b.c\r\nBcc: v@x.y", "")), "a@b.c  Bcc: v@x.y");
    EXPECT_EQ(writer.EncodeAddress(Item("a@b.c", "Bob\r\nBcc: v")), "Bob  =?ISO-8859-1?Q?Bcc=3A?= v <a@b.c>");
}

TEST(EncodeAddress, ListJoinedByCommaAndBlank)
{
    const auto writer = WriterFor("C");
    TNetEMailAddressList list;
    list.Add("a@b.c");
    list.Add("d@e.f", "D");
    EXPECT_EQ(writer.EncodeAddressList(list), "a@b.c, \"D\" <d@e.f>");
    EXPECT_EQ(writer.EncodeAddressList(TNetEMailAddressList{}), "");
}

TEST(AddressText, BareAddressOrNameWithAngleBrackets)
{
    EXPECT_EQ(Item("john@example.com", "").Text(), "john@example.com");
    EXPECT_EQ(Item("john@example.com", "John Smith").Text(), "John Smith <john@example.com>");
    EXPECT_EQ(Item("john.smith@example.com", "J").Text(), "J <john.smith@example.com>");
    EXPECT_EQ(Item("a@b.c", "A@B.C").Text(), "<a@b.c>");
}

TEST(AddressText, NameWithSpecialsIsQuoted)
{
    EXPECT_EQ(Item("john@example.com", "Smith, John").Text(), "\"Smith, John\" <john@example.com>");
    EXPECT_EQ(Item("a@b.c", "Jo \"J\" \\").Text(), "\"Jo \\\"J\\\" \\\\\" <a@b.c>");
}

TEST(AddressText, LocalPartWithNonAtomCharactersIsQuoted)
{
    EXPECT_EQ(Item("john smith@example.com", "").Text(), "<\"john smith\"@example.com>");
    EXPECT_EQ(Item("jo\"hn x@ex.com", "").Text(), "<\"jo\\\"hn x\"@ex.com>");
}

TEST(AddressText, EmptyAddressWithName)
{
    EXPECT_EQ(Item("", "Bob").Text(), "Bob <>");
    EXPECT_EQ(Item("", "").Text(), "");
}

TEST(AddressText, NeverHoldsALineBreak)
{
    EXPECT_EQ(Item("a@b.c", "Bob\r\nBcc: v").Text(), "\"Bob  Bcc: v\" <a@b.c>");
    EXPECT_EQ(Item("a@b.c\nX", "").Text(), "a@b.c X");
}
