#include "message/NetEncoders.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

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

constexpr std::uint64_t Ones = 0x0101010101010101ull;
constexpr std::uint64_t Highs = 0x8080808080808080ull;

// True when all eight bytes are printable (32..126) and none is "=".
inline bool EightPlain(const unsigned char* p)
{
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    const std::uint64_t below32 = (v - Ones * 0x20) & ~v;
    const std::uint64_t above126 = (v + Ones) | v;
    const std::uint64_t e = v ^ (Ones * '=');
    const std::uint64_t equals = (e - Ones) & ~e;
    return ((below32 | above126 | equals) & Highs) == 0;
}

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

namespace {

// Encodes in[i..end) (looking ahead up to n) at w and returns the new write
// position; c is the count of characters on the current output line. The
// caller provides room for TNetEncoderQuotedPrintable::MaxEncodedLength.
char* EncodeRange(const unsigned char* in, std::size_t n, std::size_t& i, std::size_t end, char* w, int& c)
{
    while (i < end) {
        // Plain characters while the line has room: the common case, eight
        // at a time where it can.
        while (c <= 67 && i + 8 <= end && EightPlain(in + i)) {
            std::memcpy(w, in + i, 8);
            w += 8;
            i += 8;
            c += 8;
        }
        while (c < 75 && i < end && Literal[in[i]]) {
            *w++ = static_cast<char>(in[i++]);
            ++c;
        }
        if (i >= end)
            break;
        const unsigned char ch = in[i];
        if (ch == '\r' && i + 1 < n && in[i + 1] == '\n') {
            // A blank or tab just before a line end would be lost by mail
            // relays that strip trailing white space.
            if (c > 0 && (w[-1] == ' ' || w[-1] == '\t')) {
                const auto white = static_cast<unsigned char>(*--w);
                if (--c > 72) {
                    *w++ = '=';
                    *w++ = '\r';
                    *w++ = '\n';
                }
                *w++ = '=';
                *w++ = HexDigits[white >> 4];
                *w++ = HexDigits[white & 15];
            }
            *w++ = '\r';
            *w++ = '\n';
            c = 0;
            i += 2;
            continue;
        }
        if (c == 75 && !(i + 2 < n && in[i + 1] == '\r' && in[i + 2] == '\n')) {
            *w++ = '=';
            *w++ = '\r';
            *w++ = '\n';
            c = 0;
        }
        if (Literal[ch]) {
            *w++ = static_cast<char>(ch);
            ++c;
        } else {
            if (c > 72) {
                *w++ = '=';
                *w++ = '\r';
                *w++ = '\n';
                c = 0;
            }
            *w++ = '=';
            *w++ = HexDigits[ch >> 4];
            *w++ = HexDigits[ch & 15];
            c += 3;
        }
        ++i;
    }
    return w;
}

// The end of the text counts as a line end for a trailing blank or tab.
char* EncodeFinish(char* w, int c)
{
    if (c > 0 && (w[-1] == ' ' || w[-1] == '\t')) {
        const auto white = static_cast<unsigned char>(*--w);
        if (--c > 72) {
            *w++ = '=';
            *w++ = '\r';
            *w++ = '\n';
        }
        *w++ = '=';
        *w++ = HexDigits[white >> 4];
        *w++ = HexDigits[white & 15];
    }
    return w;
}

} // namespace

std::size_t TNetEncoderQuotedPrintable::MaxEncodedLength(std::size_t length)
{
    // Three characters per byte at most, and a soft break at most once per
    // 73 characters of line.
    return length * 3 + length / 8 + 16;
}

std::size_t TNetEncoderQuotedPrintable::EncodeInto(std::string_view text, char* out)
{
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t i = 0;
    int c = 0;
    char* w = EncodeRange(in, text.size(), i, text.size(), out, c);
    return static_cast<std::size_t>(EncodeFinish(w, c) - out);
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
    // Room is made per block of input, so that mostly-ASCII text does not
    // pay for the worst case up front.
    constexpr std::size_t Block = 4096;
    const std::size_t start = out.size();
    out.resize(start + n + n / 8 + 64);
    std::size_t used = start;
    std::size_t i = 0;
    int c = 0;
    do {
        const std::size_t end = std::min(n, i + Block);
        // One byte of lookahead may be consumed past the block end.
        const std::size_t needed = MaxEncodedLength(end - i + 1);
        if (out.size() - used < needed)
            out.resize(std::max(out.size() * 2, used + needed));
        char* w = EncodeRange(in, n, i, end, out.data() + used, c);
        if (i >= n)
            w = EncodeFinish(w, c);
        used = static_cast<std::size_t>(w - out.data());
    } while (i < n);
    out.resize(used);
}
