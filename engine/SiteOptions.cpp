#include "engine/SiteOptions.h"

#include "platform/AtomicFile.h"
#include "platform/IniFile.h"
#include "platform/Text.h"

#include <cerrno>
#include <set>

namespace {

constexpr const char* WatchKey = "Watch";
constexpr const char* IgnoreKey = "Ignore";

} // namespace

std::string SiteOptionsNameError(const std::string& name)
{
    const std::string start = "A site whose name ";
    const std::string end = " cannot watch only part of its page or ignore text: rename it to use these options.";
    if (name.find(']') != std::string::npos)
        return start + "holds \"]\"" + end;
    if (!name.empty() && (static_cast<unsigned char>(name.front()) <= 32 || static_cast<unsigned char>(name.back()) <= 32))
        return start + "begins or ends with a blank" + end;
    return {};
}

const TSiteOptions* FindSiteOptions(const TSiteOptionsMap& options, const std::string& name)
{
    if (const auto exact = options.find(name); exact != options.end())
        return &exact->second;
    for (const auto& [key, value] : options)
        if (SameText(key, name))
            return &value;
    return nullptr;
}

bool LoadSiteOptions(const std::string& path, TSiteOptionsMap& options)
{
    options.clear();
    const TIniFile ini(path);
    if (ini.Unreadable()) {
        errno = ini.ReadError();
        return false;
    }
    std::set<std::string> seen;
    for (const TIniSection& section : ini.Sections()) {
        // The first section of a name counts. Names that differ in letter
        // case only are sites of their own (the site list tells them apart).
        if (!seen.insert(section.Name).second)
            continue;
        TSiteOptions o;
        bool watchSeen = false, ignoreSeen = false;
        for (const auto& [key, value] : section.Keys) {
            if (!watchSeen && SameText(key, WatchKey)) {
                o.Watch = value;
                watchSeen = true;
            } else if (!ignoreSeen && SameText(key, IgnoreKey)) {
                o.Ignore = value;
                ignoreSeen = true;
            }
        }
        if (!o.Empty())
            options.emplace(section.Name, std::move(o));
    }
    return true;
}

std::string SiteOptionsText(const TSiteOptionsMap& options)
{
    std::string text = "; Vendrel's per-site options: one section per site name.\r\n"
                       "; Watch = a CSS selector: only the parts of the page it matches are measured.\r\n"
                       "; Ignore = a regular expression (PCRE2): text it matches is not measured.\r\n";
    for (const auto& [name, o] : options) {
        if (o.Empty() || !SiteOptionsNameError(name).empty() || name.find_first_of("\r\n") != std::string::npos)
            continue;
        text += "\r\n[" + name + "]\r\n";
        if (!o.Watch.empty())
            text += std::string(WatchKey) + "=" + TIniFile::QuotedValue(o.Watch) + "\r\n";
        if (!o.Ignore.empty())
            text += std::string(IgnoreKey) + "=" + TIniFile::QuotedValue(o.Ignore) + "\r\n";
    }
    return text;
}

bool SaveSiteOptions(const std::string& path, const TSiteOptionsMap& options)
{
    return WriteFileAtomic(path, SiteOptionsText(options));
}
