#pragma once

// Text is 8-bit throughout the program. These helpers give the few text rules
// every subsystem shares: line splitting, letter case and integer reading.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using TLines = std::vector<std::string>;

// Splits at CR LF, a lone CR or a lone LF; every other byte, NUL included,
// belongs to its line.
// A final line break does not produce an empty last line.
TLines SplitLines(std::string_view text);

// Every line followed by CR LF.
std::string JoinLines(const TLines& lines);

// JoinLines(SplitLines(text)) without the list of lines between: a text of
// millions of short lines would take dozens of times its size as a list.
std::string CrLfLines(std::string_view text);

// Length of JoinLines(lines) without building it.
std::uint64_t JoinedLength(const TLines& lines);

// ASCII white space, as the web's formats read it (HTML, CSS, encoding
// labels): space, tab, LF, FF and CR. Asked for nearly every byte of a page.
inline constexpr std::array<bool, 256> AsciiSpaceTable = [] {
    std::array<bool, 256> t{};
    for (unsigned char c : {' ', '\t', '\n', '\r', '\f'})
        t[c] = true;
    return t;
}();

inline bool IsAsciiSpace(char c)
{
    return AsciiSpaceTable[static_cast<unsigned char>(c)];
}

// Letter case is ASCII only: bytes above 127 are never folded, whatever the
// locale says, so that comparisons and sort orders never change with it.
inline char LowerChar(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline char UpperChar(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string UpperCase(std::string_view text);
std::string LowerCase(std::string_view text);
bool SameText(std::string_view a, std::string_view b);
// Below zero, zero or above zero as a sorts before, with or after b, letter
// case ignored and bytes compared unsigned; a prefix sorts first.
int CompareText(std::string_view a, std::string_view b);
bool StartsText(std::string_view prefix, std::string_view text);
// Position of needle in text ignoring letter case, or npos.
std::size_t FindText(std::string_view text, std::string_view needle, std::size_t from = 0);

// The text with every CR and LF turned into a blank, for values that must
// stay on one line.
std::string WithoutLineBreaks(std::string_view text);

// Removes leading and trailing blanks and control characters (bytes up to 32).
std::string Trim(std::string_view text);

// A signed 32-bit decimal integer (optional blanks before, optional sign),
// or a "$"-prefixed hexadecimal one; anything else gives nothing.
std::optional<std::int32_t> ParseInt32(std::string_view text);
std::int32_t StrToIntDef(std::string_view text, std::int32_t fallback);
