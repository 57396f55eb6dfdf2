// "SiteOptions.dat" beside the site list: saved and loaded with it, through
// renames, deletes, hostile names and values, and the user's own edits.

#include "engine/Settings.h"
#include "engine/SiteList.h"
#include "engine/SiteOptions.h"
#include "tests/support/TempDataFolder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

struct SiteOptionsFile : ::testing::Test {
    TTempDataFolder tmp{TDesktopHome::Untouched};
    TSettingsFiles files{tmp.DataFolder(), tmp.Root(), tmp.Root() + "vendrel"};
    TSettings settings;
    TSiteList sites;

    SiteOptionsFile()
    {
        WriteFile(files.SettingsPath(), "[Settings]\r\nActiveNetConnection=False\r\n");
        WriteFile(files.SitesPath(), "");
    }
    void Add(const std::string& name, const TSiteOptions& options = {})
    {
        sites.Add(MakeSiteEntry(name, "http://127.0.0.1/" , -2), true);
        sites.SetOptions(name, options);
    }
    void Save() { SaveSettingsTo(files, settings, sites); }
    TSiteList Reloaded()
    {
        TSiteList again;
        TSettings s;
        LoadSettingsFrom(files, s, again);
        return again;
    }
};

} // namespace

TEST_F(SiteOptionsFile, HostileNamesAndValuesComeBackAsTheyWere)
{
    const std::vector<std::pair<std::string, TSiteOptions>> cases = {
        {"Prices", {"#price", ""}},
        {"[Bracketed", {"div > .a[data-x=\"1\"]", "a;b=c"}},
        {"Semi;colon = sign", {"  spaced selector  ", " spaced pattern "}},
        {"Quotes\"in'name", {"\"quoted\"", "'quoted'"}},
        {"Ünïcode — name", {"[title='é']", "(?i)naïve"}},
        {"only ignore", {"", "\\d+:\\d+"}},
        {";comment-like", {"*", "="}},
        {"x", {"\"", "'"}},
    };
    for (const auto& [name, options] : cases)
        Add(name, options);
    Save();
    const TSiteList again = Reloaded();
    EXPECT_EQ(again.Options(), sites.Options());
    // Names that differ in letter case only are two sites with options of their own.
    Add("case", {".lower", ""});
    Add("CASE", {".upper", ""});
    Save();
    EXPECT_EQ(*Reloaded().OptionsOf("case"), (TSiteOptions{".lower", ""}));
    EXPECT_EQ(*Reloaded().OptionsOf("CASE"), (TSiteOptions{".upper", ""}));
    for (const auto& [name, options] : cases) {
        ASSERT_NE(again.OptionsOf(name), nullptr) << name;
        EXPECT_EQ(*again.OptionsOf(name), options) << name;
    }
}

TEST_F(SiteOptionsFile, NamesThatCannotHeadASectionCarryNoOptions)
{
    for (const std::string name : {"a]b", "]", " leading", "trailing\t"})
        EXPECT_FALSE(SiteOptionsNameError(name).empty()) << name;
    EXPECT_NE(SiteOptionsNameError("a]b").find("holds \"]\""), std::string::npos);
    EXPECT_TRUE(SiteOptionsNameError("a[b").empty());

    // Were one set anyway (the editor refuses it), it is not written, and it
    // cannot spill into a section of another name.
    Add("Shop]\r\n[Other", {"#evil", ""});
    Add("Other");
    Save();
    const TSiteList again = Reloaded();
    EXPECT_EQ(again.OptionsOf("Other"), nullptr);
    EXPECT_TRUE(again.Options().empty());
}

TEST_F(SiteOptionsFile, RenamesMoveTheSectionAndDeletesRemoveIt)
{
    Add("Old", {".a", "x"});
    Add("Keep", {".k", ""});
    Save();
    // What the editor does on a rename, then on a delete.
    sites.SetEntry(1, MakeSiteEntry("New", "http://127.0.0.1/", -2));
    sites.RenameOptions("Old", "New");
    const int keep = SiteNameOf(sites, 0) == "Keep" ? 0 : 1;
    sites.Delete(keep);
    sites.DropOptions("Keep");
    Save();

    const TSiteList again = Reloaded();
    EXPECT_EQ(again.OptionsOf("Old"), nullptr);
    ASSERT_NE(again.OptionsOf("New"), nullptr);
    EXPECT_EQ(*again.OptionsOf("New"), (TSiteOptions{".a", "x"}));
    EXPECT_EQ(again.OptionsOf("Keep"), nullptr);
    EXPECT_EQ(ReadFile(files.SiteOptionsPath()).find("[Old]"), std::string::npos);

    // Two sites of one name share their options, as they share a stored
    // page: renaming or deleting one leaves them with the other.
    sites.Add(MakeSiteEntry("New", "http://127.0.0.2/", -2), true);
    sites.SetEntry(0, MakeSiteEntry("Renamed", "http://127.0.0.1/", -2));
    sites.RenameOptions("New", "Renamed");
    ASSERT_NE(sites.OptionsOf("New"), nullptr);
    ASSERT_NE(sites.OptionsOf("Renamed"), nullptr);
    sites.Delete(SiteNameOf(sites, 0) == "Renamed" ? 0 : 1);
    sites.DropOptions("Renamed");
    EXPECT_EQ(sites.OptionsOf("Renamed"), nullptr);
    EXPECT_NE(sites.OptionsOf("New"), nullptr);
}

TEST_F(SiteOptionsFile, HandEditsAreReadAsAnIniFileIsRead)
{
    WriteFile(files.SitesPath(), "News" + std::string(18, ' ') + "{http://127.0.0.1/}-2\r\n");
    WriteFile(files.SiteOptionsPath(),
              "; my notes\n"
              "[news]\n"
              "  WATCH =  \"  #main .story \"  \n"
              "Ignore=updated \\d+ minutes ago\n"
              "Other=kept apart\n"
              "[news]\n"
              "Watch=second section of the name is not read\n"
              "[Empty]\n"
              "Watch=\n"
              "Ignore=\n"
              "[Half]\n"
              "Ignore=x\n");
    const TSiteList again = Reloaded();
    ASSERT_NE(again.OptionsOf("News"), nullptr) << "a section differing in letter case still counts";
    EXPECT_EQ(*again.OptionsOf("News"), (TSiteOptions{"  #main .story ", "updated \\d+ minutes ago"}));
    EXPECT_EQ(again.OptionsOf("Empty"), nullptr) << "empty keys measure the site as before";
    ASSERT_NE(again.OptionsOf("Half"), nullptr);
    EXPECT_EQ(*again.OptionsOf("Half"), (TSiteOptions{"", "x"}));

    // Set from the editor, the site's options are written under its own
    // spelling and the hand-written section of the other case goes.
    TSettings s;
    TSiteList list;
    LoadSettingsFrom(files, s, list);
    list.SetOptions("News", {"#main", ""});
    SaveSettingsTo(files, s, list);
    const std::string text = ReadFile(files.SiteOptionsPath());
    EXPECT_NE(text.find("\r\n[News]\r\nWatch=#main\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("[news]"), std::string::npos) << text;
}

TEST_F(SiteOptionsFile, TheFileComesOnlyWithOptionsAndAnUnreadableOneStopsTheLoad)
{
    Add("Plain");
    Save();
    struct stat st {};
    EXPECT_NE(::stat(files.SiteOptionsPath().c_str(), &st), 0) << "no options, no file";

    sites.SetOptions("Plain", {".a", ""});
    Save();
    EXPECT_EQ(::stat(files.SiteOptionsPath().c_str(), &st), 0);
    sites.SetOptions("Plain", {});
    Save();
    EXPECT_EQ(Reloaded().Options().size(), 0u) << "the last options removed are removed from the file";

    // A file that is there but cannot be read fails the load, so that the
    // next save cannot write no options over the user's.
    std::remove(files.SiteOptionsPath().c_str());
    ASSERT_EQ(::mkdir(files.SiteOptionsPath().c_str(), 0700), 0);
    TSettingsStore store(files);
    TSettings s;
    TSiteList list;
    EXPECT_THROW(store.Load(s, list), ESettingsError);
    EXPECT_NE(store.LoadFailure().find("SiteOptions.dat"), std::string::npos) << store.LoadFailure();
    EXPECT_THROW(store.Save(s, list), ESettingsSaveRefused);
}
