// Encoded words, address forms and the header character set.

#include "message/MessageWriter.h"
#include "message/NetCharset.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

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

TEST(EncodeWords, BFormWordsHoldWholeCharactersWithin75Characters)
{
    const auto writer = WriterFor("ko_KR.EUC-KR");
    EXPECT_EQ(writer.EncodeWords("\xC7\xD1 abc"), "=?EUC-KR?B?x9E=?= abc");
    // 24 two-byte characters: 13 characters of frame leave room for 45
    // bytes, but the 23rd character would be cut, so the word ends after 22.
    const std::string out = writer.EncodeWords(std::string(48, '\xB0'));
    std::string first = "=?EUC-KR?B?";
    for (int i = 0; i < 14; ++i)
        first += "sLCw";
    first += "sLA=?=";
    EXPECT_EQ(out, first + "\r\n\t=?EUC-KR?B?sLCwsA==?=");
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

namespace {

std::string DecodeBase64(std::string_view text)
{
    static const std::string Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (char c : text) {
        if (c == '=')
            break;
        bits = (bits << 6) | static_cast<unsigned>(Alphabet.find(c));
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return out;
}

std::string DecodeQ(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '_')
            out += ' ';
        else if (text[i] == '=' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else
            out += text[i];
    }
    return out;
}

// Undoes EncodeWords, checking every encoded word on the way: its length,
// its charset, and that it holds whole UTF-8 characters on its own.
std::string DecodeWords(const std::string& encoded, const std::string& charset)
{
    std::string out;
    std::size_t p = 0;
    while (p < encoded.size()) {
        if (encoded.compare(p, 2, "=?") != 0) {
            out += encoded[p++];
            continue;
        }
        const std::size_t end = encoded.find("?=", encoded.find('?', encoded.find('?', p + 2) + 1) + 1);
        EXPECT_NE(end, std::string::npos);
        const std::string word = encoded.substr(p, end + 2 - p);
        EXPECT_LE(word.size(), 75u) << word;
        const std::size_t q1 = word.find('?', 2);
        EXPECT_EQ(word.substr(2, q1 - 2), charset);
        const char form = word[q1 + 1];
        const std::string payload = word.substr(q1 + 3, word.size() - q1 - 5);
        const std::string bytes = form == 'B' ? DecodeBase64(payload) : DecodeQ(payload);
        EXPECT_TRUE(IsValidUTF8(bytes)) << "a word splits a character: " << word;
        out += bytes;
        p = end + 2;
        // Words of one run follow each other after CR LF and a tab.
        if (encoded.compare(p, 5, "\r\n\t=?") == 0)
            p += 3;
    }
    return out;
}

} // namespace

TEST(EncodeWords, UTF8LocaleLabelsUTF8TextAndKeepsTheLabelOfOtherBytes)
{
    const auto writer = WriterFor("en_US.UTF-8");
    EXPECT_EQ(writer.EncodeWords("Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln"),
              "=?UTF-8?Q?Gr=C3=BC=C3=9Fe?= aus =?UTF-8?Q?K=C3=B6ln?=");
    // Bytes that are not UTF-8 are Latin-1 text, and say so.
    EXPECT_EQ(writer.EncodeWords("Caf\xE9 Central"), "=?ISO-8859-1?Q?Caf=E9?= Central");
    EXPECT_EQ(writer.EncodeWords("Vendrel Delivery: News"), "Vendrel Delivery: News");
    EXPECT_EQ(WriterFor("C.UTF-8").EncodeWords("\xC3\xA9"), "=?UTF-8?Q?=C3=A9?=");
    EXPECT_EQ(WriterFor("zh_CN.UTF-8").EncodeWords("\xE4\xB8\xAD"), "=?UTF-8?B?5Lit?=");
    // Without a UTF-8 code set the table's charset stays.
    EXPECT_EQ(WriterFor("de_DE").EncodeWords("\xC3\xA9"), "=?ISO-8859-1?Q?=C3=A9?=");
    EXPECT_EQ(writer.EncodeAddress(Item("z@example.org", "Zo\xC3\xAB")), "=?UTF-8?Q?Zo=C3=AB?= <z@example.org>");
}

TEST(EncodeWords, RandomUTF8TextNeverSplitsACharacterAndDecodesBack)
{
    // Random mixes of one- to four-byte characters and blanks, long enough
    // for runs of several words, in both forms.
    std::mt19937 random(13);
    // ("?" is left out: after a "=" in a plain word it would look like the
    // start of an encoded word to the decoder here.)
    const std::vector<std::string> pieces{"a", "Z", " ", "=", "_", "\xC3\xA9", "\xD0\x96",
                                          "\xE2\x82\xAC", "\xE6\x97\xA5", "\xF0\x9F\x98\x80", "."};
    for (const char* locale : {"en_US.UTF-8", "zh_TW.UTF-8"}) {
        const auto writer = WriterFor(locale);
        for (int round = 0; round < 400; ++round) {
            std::string text;
            const int length = static_cast<int>(random() % 120);
            for (int i = 0; i < length; ++i)
                text += pieces[random() % pieces.size()];
            if (!text.empty() && text.front() == ' ')
                text.front() = 'x';
            const std::string encoded = writer.EncodeWords(text, ".");
            if (!HasHighBytes(text) && text.find('.') == std::string::npos) {
                EXPECT_EQ(encoded, text);
                continue;
            }
            const std::string ascii = writer.HeaderCharset.CharSet;
            EXPECT_EQ(DecodeWords(encoded, HasHighBytes(text) ? "UTF-8" : ascii), text) << encoded;
        }
    }
}
