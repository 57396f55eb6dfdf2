#pragma once

// The private-profile (INI) file services as the settings need them: a
// missing file reads as every key missing; section and key names compare
// without regard to letter case; values come back trimmed, with one pair of
// enclosing quotes removed. Writing a key updates it in place, keeps every
// other line, section and comment, and reaches the disk at once (replacing
// the file atomically), as each private-profile write did.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <utility>
#include <vector>

struct TIniSection {
    std::string Name;
    // Key and value, as Value reads them, in file order.
    std::vector<std::pair<std::string, std::string>> Keys;
};

class TIniFile {
public:
    // Reads the file when it exists (as ReadOwnFile: a regular file of at most
    // maxBytes, without a byte-order mark); mode, when given, is the mode
    // every write gives the file.
    explicit TIniFile(std::string path, std::optional<mode_t> mode = std::nullopt,
                      std::size_t maxBytes = SIZE_MAX);

    const std::string& FileName() const { return path_; }
    // The file exists but could not be read (it then reads as empty).
    bool Unreadable() const { return readError_ != 0; }
    // The system's error number of that failure; 0 when the file was read or
    // is missing.
    int ReadError() const { return readError_; }
    // Why it could not be read, naming the file; empty when it was read or
    // is missing.
    const std::string& ReadFailure() const { return readFailure_; }

    std::optional<std::string> Value(std::string_view section, std::string_view key) const;
    std::string ReadString(std::string_view section, std::string_view key, const std::string& fallback) const;
    // Every section in file order, its name as written (trimmed), with every
    // key line in it; for files whose section names are data.
    std::vector<TIniSection> Sections() const;

    // A value's text on its key line such that Value reads it back as it is:
    // in double quotes when reading would otherwise trim it or take off
    // enclosing quotes.
    static std::string QuotedValue(std::string_view value);

    // Writes through to the file; gives false when the file cannot be written.
    bool WriteString(std::string_view section, std::string_view key, std::string_view value);

    // The file's text as it would be written.
    std::string Text() const;

private:
    struct TLocation {
        std::size_t sectionLine;
        std::size_t keyLine;  // npos: key missing
        std::size_t insertAt; // where a missing key goes
        bool sectionFound;
    };
    TLocation Locate(std::string_view section, std::string_view key) const;

    std::string path_;
    std::optional<mode_t> mode_;
    std::vector<std::string> lines_;
    int readError_ = 0;
    std::string readFailure_;
};
