#include "engine/SiteList.h"

#include "platform/AtomicFile.h"
#include "platform/Text.h"
#include "platform/Utilities.h"

#include <algorithm>

namespace {

bool LessText(const std::string& a, const std::string& b)
{
    return CompareText(a, b) < 0;
}

} // namespace

std::string MakeSiteEntry(const std::string& name, const std::string& address, int threshold)
{
    if (name.empty() || address.empty())
        return {};
    return name + std::string(18, ' ') + "{" + address + "}" + std::to_string(threshold);
}

std::string SiteNameOf(const std::string& entry)
{
    std::string name = entry.substr(0, entry.find('{'));
    while (!name.empty() && name.back() == ' ')
        name.pop_back();
    return name;
}

std::string SiteAddressOf(const std::string& entry)
{
    const auto open = entry.find('{');
    const std::size_t start = open == std::string::npos ? 0 : open + 1;
    const auto close = entry.rfind('}');
    const std::size_t end = (close == std::string::npos || close < start) ? entry.size() : close;
    return entry.substr(start, end - start);
}

int SiteThresholdOf(const std::string& entry)
{
    // The threshold is read after the first brace while the address ends at the
    // last one, so a brace inside the address makes it -2.
    const auto close = entry.find('}');
    if (close == std::string::npos)
        return -2;
    return StrToIntDef(std::string_view(entry).substr(close + 1), -2);
}

void TSiteList::Changed()
{
    if (OnChange)
        OnChange();
}

void TSiteList::SetChecked(int index, bool ticked)
{
    items_.at(static_cast<std::size_t>(index)).ticked = ticked;
    Changed();
}

int TSiteList::Add(const std::string& entry, bool ticked)
{
    const auto at = std::upper_bound(items_.begin(), items_.end(), entry,
                                     [](const std::string& e, const TItem& item) { return LessText(e, item.entry); });
    const auto it = items_.insert(at, TItem{entry, ticked});
    Changed();
    return static_cast<int>(it - items_.begin());
}

int TSiteList::SetEntry(int index, const std::string& entry)
{
    const bool ticked = Checked(index);
    items_.erase(items_.begin() + index);
    return Add(entry, ticked);
}

void TSiteList::Delete(int index)
{
    items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
    Changed();
}

void TSiteList::Exchange(int a, int b)
{
    std::swap(items_.at(static_cast<std::size_t>(a)), items_.at(static_cast<std::size_t>(b)));
    Changed();
}

void TSiteList::Clear()
{
    items_.clear();
    Changed();
}

bool TSiteList::NameInUse(const std::string& name) const
{
    for (const TItem& item : items_)
        if (SiteNameOf(item.entry) == name)
            return true;
    return false;
}

TSiteOptionsMap::iterator TSiteList::OptionsKey(const std::string& name)
{
    if (const auto exact = options_.find(name); exact != options_.end())
        return exact;
    for (auto it = options_.begin(); it != options_.end(); ++it)
        if (SameText(it->first, name))
            return it;
    return options_.end();
}

const TSiteOptions* TSiteList::OptionsOf(const std::string& name) const
{
    return FindSiteOptions(options_, name);
}

void TSiteList::SetOptions(const std::string& name, const TSiteOptions& options)
{
    // A hand-written section that differs from the name in letter case only
    // is replaced by one spelt as the site is, unless a site is named so.
    const auto key = OptionsKey(name);
    if (key != options_.end() && key->first != name && !NameInUse(key->first))
        options_.erase(key);
    if (options.Empty())
        options_.erase(name);
    else
        options_[name] = options;
    Changed();
}

void TSiteList::SetAllOptions(TSiteOptionsMap options)
{
    options_ = std::move(options);
    Changed();
}

void TSiteList::RenameOptions(const std::string& from, const std::string& to)
{
    if (from == to)
        return;
    const auto key = OptionsKey(from);
    if (key == options_.end())
        return;
    const TSiteOptions moved = key->second;
    if (!NameInUse(key->first))
        options_.erase(key);
    // The new name's own options (a site of that name already had some)
    // give way to the ones the user set on this site.
    if (const auto old = OptionsKey(to); old != options_.end() && !NameInUse(old->first))
        options_.erase(old);
    options_[to] = moved;
    Changed();
}

void TSiteList::DropOptions(const std::string& name)
{
    const auto key = OptionsKey(name);
    if (key == options_.end() || NameInUse(key->first))
        return;
    options_.erase(key);
    Changed();
}

bool SiteSelected(const TSiteList& list, int index)
{
    return list.Checked(index);
}

void SetAllTicks(TSiteList& list, bool ticked)
{
    for (int i = 0; i < list.Count(); ++i)
        list.SetChecked(i, ticked);
}

bool LoadSiteList(TSiteList& list, const std::string& path, std::string* failure)
{
    list.Clear();
    const auto text = ReadOwnFile(path, MaxSiteListBytes, failure);
    if (!text)
        return false;
    for (const auto& line : SplitLines(*text)) {
        if (line.empty())
            continue;
        if (line.front() == '*')
            list.Add(line.substr(1), false);
        else
            list.Add(line, true);
    }
    return true;
}

int FirstSiteOfName(const TSiteList& list, const std::string& name)
{
    for (int i = 0; i < list.Count(); ++i)
        if (SiteNameOf(list, i) == name)
            return i;
    return -1;
}

std::string DuplicateSiteText(const std::string& name)
{
    return "Site " + name + " appears more than once in Sites.dat; only the first is checked";
}

bool SaveSiteList(const TSiteList& list, const std::string& path)
{
    std::string text;
    for (int i = 0; i < list.Count(); ++i) {
        if (!list.Checked(i))
            text += '*';
        text += list.Entry(i);
        text += "\r\n";
    }
    return WriteFileAtomic(path, text);
}

bool SeedSiteList(TSiteList& list, const std::string& sourcePath)
{
    list.Clear();
    const auto text = ReadWholeFile(sourcePath);
    if (!text)
        return false;
    for (const auto& line : SplitLines(*text))
        list.Add(line, true);
    return true;
}

std::string PageFolder(const std::string& dataFolder)
{
    const std::string pages = dataFolder + "HTML/";
    return ForceFolder(pages) ? pages : dataFolder;
}

std::string StoredPagePath(const std::string& pageFolder, const std::string& name)
{
    return pageFolder + name + ".html";
}

std::string SiteNameError(const std::string& name)
{
    // The name becomes a path below the page folder: "/" or ".." would reach
    // files anywhere, and a NUL would end the path early at another file.
    const std::string start = "The site name cannot be used as a file name: ";
    if (name.empty())
        return start + "it is empty";
    if (name == "." || name == "..")
        return start + "it is \"" + name + "\"";
    if (HasInvalidFileChars(name))
        return start + "it holds one of \\ / : * ? \" < > |";
    if (name.find('\0') != std::string::npos)
        return start + "it holds a NUL byte";
    if (name.size() > MaxSiteNameBytes)
        return start + "it is longer than " + std::to_string(MaxSiteNameBytes) + " bytes";
    return {};
}
