#include "engine/ChangeMeasure.h"

#include <cstring>

namespace {

// Counting is the whole cost of the measure. Four interleaved tables keep
// consecutive equal bytes (runs of blanks, tags) from queueing on the same
// counter; 64-bit counters cannot wrap on any page that fits in memory.
using TCounts = std::array<std::uint64_t, 256>;
using TSubCounts = std::array<TCounts, 4>;

inline void CountBytes(TSubCounts& c, const unsigned char* p, std::size_t n)
{
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        ++c[0][w & 0xff];
        ++c[1][(w >> 8) & 0xff];
        ++c[2][(w >> 16) & 0xff];
        ++c[3][(w >> 24) & 0xff];
        ++c[0][(w >> 32) & 0xff];
        ++c[1][(w >> 40) & 0xff];
        ++c[2][(w >> 48) & 0xff];
        ++c[3][w >> 56];
    }
    for (; i < n; ++i)
        ++c[i & 3][p[i]];
}

void CountLines(const TLines& lines, TCounts& totals)
{
    TSubCounts sub{};
    for (const auto& line : lines)
        CountBytes(sub, reinterpret_cast<const unsigned char*>(line.data()), line.size());
    for (std::size_t b = 0; b < 256; ++b)
        totals[b] = sub[0][b] + sub[1][b] + sub[2][b] + sub[3][b];
}

// The counts of a text's lines and the length of their CR LF form: every CR
// and LF is a line break and no line holds one.
std::uint64_t CountText(std::string_view text, TCounts& totals)
{
    TSubCounts sub{};
    CountBytes(sub, reinterpret_cast<const unsigned char*>(text.data()), text.size());
    for (std::size_t b = 0; b < 256; ++b)
        totals[b] = sub[0][b] + sub[1][b] + sub[2][b] + sub[3][b];
    const std::uint64_t cr = totals['\r'];
    const std::uint64_t lf = totals['\n'];
    totals['\r'] = 0;
    totals['\n'] = 0;
    std::uint64_t pairs = 0;
    for (const char* p = text.data(), *end = p + text.size();
         (p = static_cast<const char*>(std::memchr(p, '\r', static_cast<std::size_t>(end - p)))) != nullptr; ++p)
        if (p + 1 < end && p[1] == '\n')
            ++pairs;
    std::uint64_t lines = cr + lf - pairs;
    if (!text.empty() && text.back() != '\r' && text.back() != '\n')
        ++lines;
    return text.size() - cr - lf + 2 * lines;
}

int ScaledMeasure(const TCounts& fresh, const TCounts& stored, std::uint64_t total);

} // namespace

EChangeMeasureUndefined::EChangeMeasureUndefined()
    : std::runtime_error("No change can be measured: both the page and its stored copy are empty")
{
}

THistogram ByteHistogram(const TLines& lines)
{
    TCounts counts;
    CountLines(lines, counts);
    THistogram result;
    for (std::size_t b = 0; b < 256; ++b)
        result[b] = static_cast<std::uint32_t>(counts[b]);
    return result;
}

int ChangeMeasure(const TLines& newLines, const TLines& storedLines)
{
    const std::uint64_t total = JoinedLength(newLines) + JoinedLength(storedLines);
    if (total == 0)
        throw EChangeMeasureUndefined();

    TCounts fresh;
    TCounts stored;
    CountLines(newLines, fresh);
    CountLines(storedLines, stored);
    return ScaledMeasure(fresh, stored, total);
}

int PageChangeMeasure(std::string_view newText, std::string_view storedText)
{
    TCounts fresh;
    TCounts stored;
    const std::uint64_t total = CountText(newText, fresh) + CountText(storedText, stored);
    if (total == 0)
        throw EChangeMeasureUndefined();
    return ScaledMeasure(fresh, stored, total);
}

bool PageUnchanged(std::string_view newText, std::string_view storedText, int threshold, std::string& valueText)
{
    if (threshold == 0) {
        const bool same = CrLfLines(newText) == CrLfLines(storedText);
        valueText = same ? "0" : ">0";
        return same;
    }
    const int measure = PageChangeMeasure(newText, storedText);
    valueText = std::to_string(measure);
    return measure < threshold;
}

namespace {

int ScaledMeasure(const TCounts& fresh, const TCounts& stored, std::uint64_t total)
{
    std::uint64_t diff = 0;
    for (std::size_t b = 0; b < 256; ++b)
        diff += fresh[b] > stored[b] ? fresh[b] - stored[b] : stored[b] - fresh[b];

    // Rounded in integers: the quotient and product in extended floating point
    // land a hair off about one exact half in twenty-five (112.5 comes out as
    // 112.50000000000000000694 and rounds up), while the rule is halves to even.
    // Away from exact halves the two forms always agree. diff is bounded by
    // total, so 5000 * diff cannot overflow for any text that fits in memory.
    const std::uint64_t scaled = diff * ChangeMeasureMax;
    std::uint64_t measure = scaled / total;
    const std::uint64_t rest = scaled % total;
    const std::uint64_t toNext = total - rest;
    if (rest > toNext || (rest == toNext && (measure & 1) != 0))
        ++measure;
    return static_cast<int>(measure);
}

} // namespace

bool SiteUnchanged(const TLines& newLines, const TLines& storedLines, int threshold,
                   std::string& valueText)
{
    if (threshold == 0) {
        const bool same = newLines == storedLines;
        valueText = same ? "0" : ">0";
        return same;
    }
    const int measure = ChangeMeasure(newLines, storedLines);
    valueText = std::to_string(measure);
    return measure < threshold;
}
