#pragma once

// The user's list of watched pages. A site has no record of its own: its
// entry text carries name, address and threshold, and the list keeps the
// entries sorted without regard to letter case, each with its tick.

#include "engine/SiteOptions.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

// name + 18 blanks + "{" + address + "}" + threshold; empty when the name or
// the address is empty.
std::string MakeSiteEntry(const std::string& name, const std::string& address, int threshold);
std::string SiteNameOf(const std::string& entry);
std::string SiteAddressOf(const std::string& entry);
int SiteThresholdOf(const std::string& entry);

class TSiteList {
public:
    int Count() const { return static_cast<int>(items_.size()); }
    const std::string& Entry(int index) const { return items_.at(static_cast<std::size_t>(index)).entry; }
    bool Checked(int index) const { return items_.at(static_cast<std::size_t>(index)).ticked; }
    void SetChecked(int index, bool ticked);

    // Inserts at the entry's sorted place (after equal entries); gives its index.
    int Add(const std::string& entry, bool ticked = false);
    // Replaces an entry's text, moving it to its sorted place; gives the new index.
    int SetEntry(int index, const std::string& entry);
    void Delete(int index);
    // Swaps two rows, as the hidden move buttons do.
    void Exchange(int a, int b);
    void Clear();

    // The sites' own options, by name: they are not part of the entry, and
    // two sites of one name share them as they share a stored page.
    const TSiteOptionsMap& Options() const { return options_; }
    // nullptr when the site has none.
    const TSiteOptions* OptionsOf(const std::string& name) const;
    // Empty options remove the site's.
    void SetOptions(const std::string& name, const TSiteOptions& options);
    void SetAllOptions(TSiteOptionsMap options);
    // After a site's name changed from from to to: its options follow it,
    // and stay under from as well while another site still has that name.
    void RenameOptions(const std::string& from, const std::string& to);
    // After a site was deleted: its options go unless another site still
    // has the name.
    void DropOptions(const std::string& name);

    // Lets the window's check list mirror the model.
    std::function<void()> OnChange;

private:
    struct TItem {
        std::string entry;
        bool ticked;
    };
    void Changed();
    bool NameInUse(const std::string& name) const;
    // The key name's options are kept under (exact, else differing in
    // letter case only); end() when none.
    TSiteOptionsMap::iterator OptionsKey(const std::string& name);
    std::vector<TItem> items_;
    TSiteOptionsMap options_;
};

inline std::string SiteNameOf(const TSiteList& list, int index) { return SiteNameOf(list.Entry(index)); }
inline std::string SiteAddressOf(const TSiteList& list, int index) { return SiteAddressOf(list.Entry(index)); }
inline int SiteThresholdOf(const TSiteList& list, int index) { return SiteThresholdOf(list.Entry(index)); }
bool SiteSelected(const TSiteList& list, int index);
void SetAllTicks(TSiteList& list, bool ticked);

// The largest "Sites.dat" that is read: as large as one page may be.
constexpr std::size_t MaxSiteListBytes = std::size_t{64} << 20;

// Empties the list and reads "Sites.dat" (a regular file of at most
// MaxSiteListBytes; a byte-order mark at its start is left out); false on
// any failure, keeping what was read before it, with failure (when given)
// saying why.
bool LoadSiteList(TSiteList& list, const std::string& path, std::string* failure = nullptr);

// The index of the first site of that name; -1 when there is none. Sites
// of one name share one stored page: only the first of them is checked.
int FirstSiteOfName(const TSiteList& list, const std::string& name);
// The log line for a later site of a name that an earlier one has.
std::string DuplicateSiteText(const std::string& name);
// Writes the whole list, replacing the file atomically; false on any failure.
bool SaveSiteList(const TSiteList& list, const std::string& path);
// First start: every line of "Source.dat" becomes a ticked entry, unchanged.
bool SeedSiteList(TSiteList& list, const std::string& sourcePath);

// The data folder's "HTML/" (created when missing; the data folder itself
// when it cannot be made).
std::string PageFolder(const std::string& dataFolder);
// The site's stored page: page folder + name + ".html".
std::string StoredPagePath(const std::string& pageFolder, const std::string& name);

// The longest name whose stored page, and the temporary file it is saved
// through, are still file names of their own.
constexpr std::size_t MaxSiteNameBytes = 255 - 5 - 11;

// Why a site's name cannot name its stored page (the site editor's refused
// characters, "." or "..", a NUL, more than MaxSiteNameBytes, or no name at
// all); empty when it can. Such a site is never fetched, mailed or stored.
std::string SiteNameError(const std::string& name);
