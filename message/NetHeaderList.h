#pragma once

// Header lines of a message or of a message part: "Name: value", with long
// values folded at 78 columns onto continuation lines that begin with a blank.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

class TNetHeaderList {
public:
    static constexpr std::size_t FoldLength = 78;

    // Replaces the named header (compared without regard to case) by the
    // folded "Name: value"; a new header goes at the end. An empty value
    // removes the header, so it never produces a line.
    void SetValue(std::string_view name, std::string_view value);
    // The value with its continuation lines joined by one blank, trimmed;
    // empty when the header is missing.
    std::string Value(std::string_view name) const;

    // Appends one raw line as it is.
    void Add(std::string line);
    // Appends every line of another list as it is.
    void AddLines(const TNetHeaderList& other);
    void Clear() { FLines.clear(); }
    bool Empty() const { return FLines.empty(); }
    std::size_t Count() const { return FLines.size(); }
    const std::string& operator[](std::size_t index) const { return FLines[index]; }
    const std::vector<std::string>& Lines() const { return FLines; }
    std::vector<std::string>::const_iterator begin() const { return FLines.begin(); }
    std::vector<std::string>::const_iterator end() const { return FLines.end(); }

    // Index of the first header line with this name, or npos.
    std::size_t IndexOfName(std::string_view name) const;

    // Folds "Name: value" text into header lines: breaks after a blank, tab
    // or comma outside double quotes before the column exceeds the limit
    // (never before the value's first word), keeps breaks already present,
    // and strips trailing white space.
    static std::vector<std::string> Fold(std::string_view text, std::size_t limit = FoldLength);

private:
    std::vector<std::string> FLines;
};
