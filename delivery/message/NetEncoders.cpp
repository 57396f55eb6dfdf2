#include "delivery/message/NetEncoders.h"

#include <array>
#include <cstdint>

namespace {

constexpr char Base64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char HexDigits[] = "0123456789ABCDEF";

// Characters that quoted-printable writes as they are: 33..126 except "=",
// and the blank and tab (which are taken back before a line end).
constexpr std::array<bool, 256> LiteralTable()
{
    std::array<bool, 256> table{};
    for (int c = 32; c <= 126; ++c)
        table[static_cast<std::size_t>(c)] = c != '=';
    table['\t'] = true;
    return table;
}
constexpr std::array<bool, 256> Literal = LiteralTable();

} // namespace

std::string TNetEncoderMIME::Encode(std::string_view text)
{
    std::string out;
    out.resize((text.size() + 2) / 3 * 4);
    char* o = out.data();
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t left = text.size();
    for (; left >= 3; left -= 3, p += 3) {
        const std::uint32_t v = (std::uint32_t(p[0]) << 16) | (std::uint32_t(p[1]) << 8) | p[2];
        *o++ = Base64Alphabet[(v >> 18) & 63];
        *o++ = Base64Alphabet[(v >> 12) & 63];
        *o++ = Base64Alphabet[(v >> 6) & 63];
        *o++ = Base64Alphabet[v & 63];
    }
    if (left == 1) {
        *o++ = Base64Alphabet[p[0] >> 2];
        *o++ = Base64Alphabet[(p[0] & 3) << 4];
        *o++ = '=';
        *o++ = '=';
    } else if (left == 2) {
        *o++ = Base64Alphabet[p[0] >> 2];
        *o++ = Base64Alphabet[((p[0] & 3) << 4) | (p[1] >> 4)];
        *o++ = Base64Alphabet[(p[1] & 15) << 2];
        *o++ = '=';
    }
    return out;
}

std::string TNetEncoderQuotedPrintable::Encode(std::string_view text)
{
    std::string out;
    EncodeTo(text, out);
    return out;
}

void TNetEncoderQuotedPrintable::EncodeTo(std::string_view text, std::string& out)
{
    const std::size_t n = text.size();
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    // Worst case: every byte as a triplet, plus a soft break per 25 triplets.
    const std::size_t start = out.size();
    out.resize(start + n * 3 + (n / 24 + 2) * 3);
    char* const base = out.data();
    char* o = base + start;
    int c = 0;

    auto softBreak = [&] {
        *o++ = '=';
        *o++ = '\r';
        *o++ = '\n';
        c = 0;
    };
    auto triplet = [&](unsigned char ch) {
        if (c > 72)
            softBreak();
        *o++ = '=';
        *o++ = HexDigits[ch >> 4];
        *o++ = HexDigits[ch & 15];
        c += 3;
    };
    // A blank or tab just before a line end would be lost by mail relays
    // that strip trailing white space.
    auto encodeTrailingWhite = [&] {
        if (c > 0 && (o[-1] == ' ' || o[-1] == '\t')) {
            const auto ch = static_cast<unsigned char>(o[-1]);
            --o;
            --c;
            triplet(ch);
        }
    };

    std::size_t i = 0;
    while (i < n) {
        const unsigned char ch = in[i];
        if (ch == '\r' && i + 1 < n && in[i + 1] == '\n') {
            encodeTrailingWhite();
            *o++ = '\r';
            *o++ = '\n';
            c = 0;
            i += 2;
            continue;
        }
        if (c == 75 && !(i + 2 < n && in[i + 1] == '\r' && in[i + 2] == '\n'))
            softBreak();
        if (Literal[ch]) {
            *o++ = static_cast<char>(ch);
            ++c;
        } else {
            triplet(ch);
        }
        ++i;
    }
    encodeTrailingWhite();
    out.resize(static_cast<std::size_t>(o - base));
}
