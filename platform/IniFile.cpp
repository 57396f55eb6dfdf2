#include "platform/IniFile.h"

#include "platform/AtomicFile.h"
#include "platform/Text.h"

#include <cerrno>

namespace {

// The name inside "[name]" (trimmed), or nothing when the line is no section.
std::optional<std::string> SectionName(std::string_view line)
{
    const std::string t = Trim(line);
    if (t.size() < 2 || t.front() != '[')
        return std::nullopt;
    const auto close = t.find(']');
    if (close == std::string::npos)
        return std::nullopt;
    return Trim(std::string_view(t).substr(1, close - 1));
}

bool IsComment(std::string_view line)
{
    const std::string t = Trim(line);
    return t.empty() || t.front() == ';';
}

std::string KeyOf(std::string_view line)
{
    const auto eq = line.find('=');
    if (eq == std::string_view::npos)
        return Trim(line);
    return Trim(line.substr(0, eq));
}

} // namespace

TIniFile::TIniFile(std::string path, std::optional<mode_t> mode, std::size_t maxBytes)
    : path_(std::move(path)), mode_(mode)
{
    std::string failure;
    if (auto text = ReadOwnFile(path_, maxBytes, &failure)) {
        lines_ = SplitLines(*text);
    } else if (errno != ENOENT) {
        readError_ = errno != 0 ? errno : EIO;
        readFailure_ = std::move(failure);
    }
}

TIniFile::TLocation TIniFile::Locate(std::string_view section, std::string_view key) const
{
    TLocation loc{std::string::npos, std::string::npos, lines_.size(), false};
    bool inSection = false;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        if (auto name = SectionName(lines_[i])) {
            if (inSection)
                return loc; // the first matching section is the one that counts
            if (SameText(*name, section)) {
                inSection = true;
                loc.sectionFound = true;
                loc.sectionLine = i;
                loc.insertAt = i + 1;
            }
            continue;
        }
        if (!inSection || IsComment(lines_[i]))
            continue;
        if (SameText(KeyOf(lines_[i]), key)) {
            loc.keyLine = i;
            return loc;
        }
        loc.insertAt = i + 1;
    }
    return loc;
}

namespace {

std::string UnquotedValue(std::string_view line, std::size_t eq)
{
    std::string value = Trim(line.substr(eq + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    return value;
}

} // namespace

std::vector<TIniSection> TIniFile::Sections() const
{
    std::vector<TIniSection> out;
    for (const std::string& line : lines_) {
        if (auto name = SectionName(line)) {
            out.push_back(TIniSection{std::move(*name), {}});
            continue;
        }
        if (out.empty() || IsComment(line))
            continue;
        const auto eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        out.back().Keys.emplace_back(KeyOf(line), UnquotedValue(line, eq));
    }
    return out;
}

std::string TIniFile::QuotedValue(std::string_view value)
{
    const std::string flat = WithoutLineBreaks(value);
    const bool trimmed = Trim(flat) != flat;
    const bool enclosed = flat.size() >= 2 && (flat.front() == '"' || flat.front() == '\'') && flat.back() == flat.front();
    return trimmed || enclosed ? "\"" + flat + "\"" : flat;
}

std::optional<std::string> TIniFile::Value(std::string_view section, std::string_view key) const
{
    const TLocation loc = Locate(section, key);
    if (loc.keyLine == std::string::npos)
        return std::nullopt;
    const std::string& line = lines_[loc.keyLine];
    const auto eq = line.find('=');
    if (eq == std::string::npos)
        return std::nullopt;
    return UnquotedValue(line, eq);
}

std::string TIniFile::ReadString(std::string_view section, std::string_view key, const std::string& fallback) const
{
    return Value(section, key).value_or(fallback);
}

bool TIniFile::WriteString(std::string_view section, std::string_view key, std::string_view value)
{
    // A line break inside a value would start a line of its own.
    std::string line = std::string(key) + "=" + WithoutLineBreaks(value);

    const TLocation loc = Locate(section, key);
    auto before = lines_;
    if (loc.keyLine != std::string::npos) {
        lines_[loc.keyLine] = std::move(line);
    } else if (loc.sectionFound) {
        lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(loc.insertAt), std::move(line));
    } else {
        lines_.push_back("[" + std::string(section) + "]");
        lines_.push_back(std::move(line));
    }
    if (!WriteFileAtomic(path_, Text(), mode_)) {
        lines_ = std::move(before);
        return false;
    }
    return true;
}

std::string TIniFile::Text() const
{
    return JoinLines(lines_);
}
