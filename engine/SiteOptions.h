#pragma once

// A site's own options beyond its entry: the part of its page to watch (a CSS
// selector) and the text to ignore (a regular expression). They live in
// "SiteOptions.dat" beside "Sites.dat", one INI section per site name, and
// travel with the site list: loaded and saved with it, moved when a site is
// renamed, dropped when it is deleted.

#include <map>
#include <string>

struct TSiteOptions {
    std::string Watch;  // CSS selector; empty: the whole page
    std::string Ignore; // PCRE2 pattern; empty: nothing ignored
    bool Empty() const { return Watch.empty() && Ignore.empty(); }
    bool operator==(const TSiteOptions&) const = default;
};

// By site name, exactly as the sites spell it.
using TSiteOptionsMap = std::map<std::string, TSiteOptions>;

inline constexpr const char* SiteOptionsFileName = "SiteOptions.dat";

// A name can head an INI section only when it holds no "]" and does not
// begin or end with a blank or control character (the section line is read
// trimmed). Gives why not, for the site editor; empty when it can.
std::string SiteOptionsNameError(const std::string& name);

// The options of a name: the section spelt exactly so, else the first whose
// name differs only in letter case (a hand-written section); nullptr when
// none.
const TSiteOptions* FindSiteOptions(const TSiteOptionsMap& options, const std::string& name);

// Reads the file: a missing file is no options at all. Sections whose keys
// are both empty or missing are left out. Gives false (errno set) when the
// file exists but cannot be read; options is then empty.
bool LoadSiteOptions(const std::string& path, TSiteOptionsMap& options);
// Replaces the file atomically with one section per entry that has options
// and a name that can carry them. Gives false (errno set) on failure.
bool SaveSiteOptions(const std::string& path, const TSiteOptionsMap& options);
// The file's text as SaveSiteOptions writes it.
std::string SiteOptionsText(const TSiteOptionsMap& options);
