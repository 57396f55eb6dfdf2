#include "message/NetEncoders.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string QP(std::string_view text)
{
    return TNetEncoderQuotedPrintable::Encode(text);
}

std::string A(std::size_t n)
{
    return std::string(n, 'a');
}

} // namespace

TEST(Base64, StandardVectorsWithPadding)
{
    EXPECT_EQ(TNetEncoderMIME::Encode(""), "");
    EXPECT_EQ(TNetEncoderMIME::Encode("f"), "Zg==");
    EXPECT_EQ(TNetEncoderMIME::Encode("fo"), "Zm8=");
    EXPECT_EQ(TNetEncoderMIME::Encode("foo"), "Zm9v");
    EXPECT_EQ(TNetEncoderMIME::Encode("foob"), "Zm9vYg==");
    EXPECT_EQ(TNetEncoderMIME::Encode("fooba"), "Zm9vYmE=");
    EXPECT_EQ(TNetEncoderMIME::Encode("foobar"), "Zm9vYmFy");
}

TEST(Base64, LoginTextsAndHighBytesOnOneLine)
{
    EXPECT_EQ(TNetEncoderMIME::Encode("user@example.com"), "dXNlckBleGFtcGxlLmNvbQ==");
    EXPECT_EQ(TNetEncoderMIME::Encode("secret"), "c2VjcmV0");
    EXPECT_EQ(TNetEncoderMIME::Encode(std::string("\xFB\xFF\xBF\x00", 4)), "+/+/AA==");
    const std::string longer = TNetEncoderMIME::Encode(std::string(300, 'x'));
    EXPECT_EQ(longer.size(), 400u);
    EXPECT_EQ(longer.find_first_of("\r\n"), std::string::npos);
}

TEST(QuotedPrintable, LongLineBecomes76And76And50)
{
    const std::string out = QP(A(200) + "\r\n");
    EXPECT_EQ(out, A(75) + "=\r\n" + A(75) + "=\r\n" + A(50) + "\r\n");
}

TEST(QuotedPrintable, Line76LongEndingAtHardBreakIsNotSoftBroken)
{
    EXPECT_EQ(QP(A(76) + "\r\n"), A(76) + "\r\n");
    EXPECT_EQ(QP(A(77) + "\r\n"), A(75) + "=\r\naa\r\n");
}

TEST(QuotedPrintable, TrailingBlankOrTabIsEncoded)
{
    EXPECT_EQ(QP("abc \r\n"), "abc=20\r\n");
    EXPECT_EQ(QP("abc\t\r\n"), "abc=09\r\n");
    EXPECT_EQ(QP("a b \r\nc "), "a b=20\r\nc=20");
    EXPECT_EQ(QP(" \r\n"), "=20\r\n");
}

TEST(QuotedPrintable, TrailingBlankNearLineEndGetsSoftBreakFirst)
{
    EXPECT_EQ(QP(A(75) + " \r\n"), A(75) + "=\r\n=20\r\n");
    EXPECT_EQ(QP(A(73) + " \r\n"), A(73) + "=\r\n=20\r\n");
    EXPECT_EQ(QP(A(72) + " \r\n"), A(72) + "=20\r\n");
}

TEST(QuotedPrintable, EqualsSignAndNonAsciiBytesAreEncoded)
{
    EXPECT_EQ(QP("a=b\r\n"), "a=3Db\r\n");
    EXPECT_EQ(QP("caf\xE9\r\n"), "caf=E9\r\n");
    EXPECT_EQ(QP(std::string("\x00\x7F\xFF", 3)), "=00=7F=FF");
}

TEST(QuotedPrintable, LoneCarriageReturnAndLineFeedAreEncoded)
{
    EXPECT_EQ(QP("a\rb\nc\n\r\r\n"), "a=0Db=0Ac=0A=0D\r\n");
}

TEST(QuotedPrintable, EncodedTripletIsNeverSplit)
{
    EXPECT_EQ(QP(A(72) + "=\r\n"), A(72) + "=3D\r\n");
    EXPECT_EQ(QP(A(73) + "=\r\n"), A(73) + "=\r\n=3D\r\n");
    EXPECT_EQ(QP(A(74) + "=x\r\n"), A(74) + "=\r\n=3Dx\r\n");
}

TEST(QuotedPrintable, NoOutputLineExceeds76Characters)
{
    std::string input;
    for (int i = 0; i < 5000; ++i) {
        const char pick = "ab =\t\xE9\r\n."[static_cast<unsigned>(i * 7919) % 9];
        input += pick;
        if (i % 97 == 0)
            input += "\r\n";
    }
    const std::string out = QP(input);
    std::size_t start = 0;
    while (start < out.size()) {
        std::size_t end = out.find("\r\n", start);
        if (end == std::string::npos)
            end = out.size();
        EXPECT_LE(end - start, 76u) << out.substr(start, end - start);
        const std::string_view line(out.data() + start, end - start);
        if (!line.empty()) {
            EXPECT_TRUE(line.back() != ' ' && line.back() != '\t') << line;
        }
        start = end + 2;
    }
}

TEST(QuotedPrintable, AppendsToExistingOutput)
{
    std::string out = "head:";
    TNetEncoderQuotedPrintable::EncodeTo("x=y", out);
    EXPECT_EQ(out, "head:x=3Dy");
}

TEST(QuotedPrintable, BlockBoundariesDoNotChangeTheOutput)
{
    // Blanks right before CR LF at every offset around the 4096-byte blocks
    // of EncodeTo, compared with the one-piece EncodeInto.
    for (std::size_t shift = 4080; shift < 4100; ++shift) {
        std::string input(shift, 'a');
        input += " \r\n=\t\r\n";
        input += std::string(5000, '\xE9');
        input += ' ';
        std::string whole(TNetEncoderQuotedPrintable::MaxEncodedLength(input.size()), '\0');
        whole.resize(TNetEncoderQuotedPrintable::EncodeInto(input, whole.data()));
        EXPECT_EQ(QP(input), whole) << shift;
    }
}

TEST(QuotedPrintable, WorstCaseStaysWithinMaxEncodedLength)
{
    for (const std::string& input :
         {std::string(10000, '\xFF'), std::string(10000, ' '), std::string(9999, '='),
          [] {
              std::string s;
              while (s.size() < 10000)
                  s += std::string(24, '\x01') + "a ";
              return s;
          }()}) {
        EXPECT_LE(QP(input).size(), TNetEncoderQuotedPrintable::MaxEncodedLength(input.size()));
        EXPECT_LE(QP(input + "\r\n").size(), TNetEncoderQuotedPrintable::MaxEncodedLength(input.size() + 2));
    }
}
