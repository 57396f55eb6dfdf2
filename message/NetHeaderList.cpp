#include "message/NetHeaderList.h"

#include "platform/Text.h"

namespace {

bool IsBreakChar(char c)
{
    return c == ' ' || c == '\t' || c == ',';
}

bool IsContinuation(const std::string& line)
{
    return !line.empty() && (line[0] == ' ' || line[0] == '\t');
}

// A fold already in the text: CR LF and a blank, or CR LF and a tab (the
// form encoded words are split with).
bool ExistingBreakAt(std::string_view text, std::size_t pos)
{
    return pos + 2 < text.size() && text[pos] == '\r' && text[pos + 1] == '\n'
        && (text[pos + 2] == ' ' || text[pos + 2] == '\t');
}

bool IsWhite(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// A bare CR or LF (one that does not begin a fold) would start a new header
// line of the caller's choosing; it becomes a blank.
std::string WithoutBareLineBreaks(std::string_view text)
{
    if (text.find_first_of("\r\n") == std::string_view::npos)
        return std::string(text);
    std::string out(text);
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (out[i] == '\r' && ExistingBreakAt(out, i)) {
            i += 2;
            continue;
        }
        if (out[i] == '\r' || out[i] == '\n')
            out[i] = ' ';
    }
    return out;
}

std::string NameOf(std::string_view line)
{
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos)
        return {};
    std::string_view name = line.substr(0, colon);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t'))
        name.remove_suffix(1);
    return std::string(name);
}

std::string_view TrimBlanks(std::string_view text)
{
    while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ')
        text.remove_prefix(1);
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ')
        text.remove_suffix(1);
    return text;
}

} // namespace

std::vector<std::string> TNetHeaderList::Fold(std::string_view text, std::size_t limit)
{
    static constexpr std::string_view BreakText = "\r\n ";
    const std::size_t n = text.size();
    std::string wrapped;
    wrapped.reserve(n + n / 32 + 8);

    // Positions are counted from 1 so that "no break seen" is 0.
    std::size_t col = 1;
    std::size_t pos = 1;
    std::size_t linePos = 1;
    std::size_t breakPos = 0;
    bool inQuote = false;
    bool existingBreak = false;
    // Start of the current run of non-white characters. An encoded word is
    // one token: a comma inside a Q-encoded subject must not become a fold
    // point, or the word would be torn apart.
    std::size_t wordStart = 1;
    auto at = [&](std::size_t p) { return text[p - 1]; };
    auto insideEncodedWord = [&](std::size_t p) {
        return p >= wordStart + 2 && at(wordStart) == '=' && at(wordStart + 1) == '?';
    };
    // The value begins on the name's own line: a fold between "Subject:" and
    // its first word would start the value with a blank that some readers
    // keep, and leave a header line with no value on it.
    std::size_t valueStart = 0;
    if (const std::size_t colon = text.find(':'); colon != std::string_view::npos) {
        valueStart = colon + 2;
        while (valueStart <= n && (at(valueStart) == ' ' || at(valueStart) == '\t'))
            ++valueStart;
    }

    while (pos <= n) {
        const char cur = at(pos);
        if (cur == '\r') {
            if (!inQuote) {
                existingBreak = ExistingBreakAt(text, pos - 1);
                if (existingBreak) {
                    pos += 2;
                    breakPos = pos;
                }
            }
        } else if (IsBreakChar(cur)) {
            if (!inQuote && pos >= valueStart && !(cur == ',' && insideEncodedWord(pos)))
                breakPos = pos;
        } else if (cur == '"') {
            inQuote = !inQuote;
        }
        if (IsWhite(at(pos)))
            wordStart = pos + 1;
        ++pos;
        ++col;
        if (!inQuote && (existingBreak || (col > limit && breakPos > linePos))) {
            col = pos - breakPos;
            wrapped.append(text.substr(linePos - 1, breakPos - linePos + 1));
            if (cur != '"')
                while (pos <= n && IsBreakChar(at(pos))) {
                    if (IsWhite(at(pos)))
                        wordStart = pos + 1;
                    ++pos;
                }
            // A fold already waiting at the scan position serves as this
            // break too; adding another would leave a line of white space.
            if (!existingBreak && pos < n && !ExistingBreakAt(text, pos - 1))
                wrapped.append(BreakText);
            ++breakPos;
            linePos = breakPos;
            existingBreak = false;
        }
    }
    if (linePos <= n)
        wrapped.append(text.substr(linePos - 1));

    std::vector<std::string> lines;
    std::size_t start = 0;
    for (;;) {
        const std::size_t eol = wrapped.find("\r\n", start);
        std::string_view piece = std::string_view(wrapped).substr(
            start, eol == std::string::npos ? std::string::npos : eol - start);
        while (!piece.empty() && (piece.back() == ' ' || piece.back() == '\t'))
            piece.remove_suffix(1);
        // A continuation line of white space alone would read as the empty
        // line that ends the header.
        if (lines.empty() || !piece.empty())
            lines.emplace_back(piece);
        if (eol == std::string::npos)
            break;
        start = eol + 2;
    }
    return lines;
}

std::size_t TNetHeaderList::IndexOfName(std::string_view name) const
{
    for (std::size_t i = 0; i < FLines.size(); ++i)
        if (!IsContinuation(FLines[i]) && FLines[i].find(':') != std::string::npos
            && SameText(NameOf(FLines[i]), name))
            return i;
    return std::string::npos;
}

void TNetHeaderList::SetValue(std::string_view name, std::string_view value)
{
    std::size_t index = IndexOfName(name);
    if (index != std::string::npos) {
        std::size_t stop = index + 1;
        while (stop < FLines.size() && IsContinuation(FLines[stop]))
            ++stop;
        FLines.erase(FLines.begin() + static_cast<std::ptrdiff_t>(index),
                     FLines.begin() + static_cast<std::ptrdiff_t>(stop));
    }
    if (value.empty())
        return;
    if (index == std::string::npos)
        index = FLines.size();
    std::string text;
    text.reserve(name.size() + 2 + value.size());
    text.append(name);
    text.append(": ");
    text.append(WithoutBareLineBreaks(value));
    std::vector<std::string> folded = Fold(text);
    FLines.insert(FLines.begin() + static_cast<std::ptrdiff_t>(index),
                  std::make_move_iterator(folded.begin()), std::make_move_iterator(folded.end()));
}

std::string TNetHeaderList::Value(std::string_view name) const
{
    const std::size_t index = IndexOfName(name);
    if (index == std::string::npos)
        return {};
    const std::string& line = FLines[index];
    std::string value(TrimBlanks(std::string_view(line).substr(line.find(':') + 1)));
    for (std::size_t i = index + 1; i < FLines.size() && IsContinuation(FLines[i]); ++i) {
        const std::string_view more = TrimBlanks(FLines[i]);
        if (!value.empty() && !more.empty())
            value += ' ';
        value.append(more);
    }
    return std::string(TrimBlanks(value));
}

void TNetHeaderList::Add(std::string line)
{
    FLines.push_back(std::move(line));
}

void TNetHeaderList::AddLines(const TNetHeaderList& other)
{
    FLines.insert(FLines.end(), other.FLines.begin(), other.FLines.end());
}
