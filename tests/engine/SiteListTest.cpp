#include "engine/SiteList.h"

#include "tests/support/TempDataFolder.h"

#include <gtest/gtest.h>

namespace {
const std::string Pad(18, ' ');
}

TEST(SiteEntry, RoundTripsNameAddressAndThreshold)
{
    const std::string e = MakeSiteEntry("News", "http://example.org/a", -2);
    EXPECT_EQ(e, "News" + Pad + "{http://example.org/a}-2");
    EXPECT_EQ(SiteNameOf(e), "News");
    EXPECT_EQ(SiteAddressOf(e), "http://example.org/a");
    EXPECT_EQ(SiteThresholdOf(e), -2);
    EXPECT_EQ(SiteThresholdOf(MakeSiteEntry("A", "b", 120)), 120);
    EXPECT_EQ(MakeSiteEntry("", "http://x", 1), "");
    EXPECT_EQ(MakeSiteEntry("x", "", 1), "");
}

TEST(SiteEntry, ReadsEntriesWithoutBraces)
{
    const std::string e = "Plain text   ";
    EXPECT_EQ(SiteNameOf(e), "Plain text");
    EXPECT_EQ(SiteAddressOf(e), "Plain text   ");
    EXPECT_EQ(SiteThresholdOf(e), -2);
}

TEST(SiteEntry, BraceInsideAddressKeepsAddressButThresholdReadsDefault)
{
    const std::string e = MakeSiteEntry("Q", "http://x/?q={a}", 30);
    EXPECT_EQ(SiteAddressOf(e), "http://x/?q={a}");
    EXPECT_EQ(SiteThresholdOf(e), -2);
    EXPECT_EQ(SiteNameOf("Tab\tname \t {x}1"), "Tab\tname \t") << "only blanks at the end are removed";
    EXPECT_EQ(SiteThresholdOf("a{b}junk"), -2);
}

TEST(SiteList, StaysSortedWithoutRegardToCase)
{
    TSiteList list;
    list.Add("beta" + Pad + "{b}-2");
    list.Add("Alpha" + Pad + "{a}-2");
    list.Add("GAMMA" + Pad + "{g}-2");
    const int i = list.Add("alpha2" + Pad + "{a2}-2", true);
    EXPECT_EQ(i, 1);
    EXPECT_EQ(SiteNameOf(list, 0), "Alpha");
    EXPECT_EQ(SiteNameOf(list, 2), "beta");
    EXPECT_EQ(SiteNameOf(list, 3), "GAMMA");
    EXPECT_TRUE(SiteSelected(list, 1));
    EXPECT_FALSE(SiteSelected(list, 0));
    const int moved = list.SetEntry(0, "zeta" + Pad + "{z}-2");
    EXPECT_EQ(moved, 3);
    SetAllTicks(list, true);
    for (int k = 0; k < list.Count(); ++k)
        EXPECT_TRUE(list.Checked(k));
}

TEST(SitesFile, LoadsTicksMarksAndSkipsEmptyLines)
{
    TTempDataFolder tmp;
    const std::string path = tmp.Root() + "Sites.dat";
    WriteFile(path, "b" + Pad + "{http://b}0\r\n\r\n*a" + Pad + "{http://a}-1\rc" + Pad + "{http://c}5\n*\r\n");
    TSiteList list;
    ASSERT_TRUE(LoadSiteList(list, path));
    ASSERT_EQ(list.Count(), 4);
    EXPECT_EQ(list.Entry(0), "") << "a line holding only * is an empty entry";
    EXPECT_FALSE(list.Checked(0));
    EXPECT_EQ(SiteNameOf(list, 1), "a");
    EXPECT_FALSE(list.Checked(1));
    EXPECT_EQ(SiteThresholdOf(list, 1), -1);
    EXPECT_TRUE(list.Checked(2));
    EXPECT_TRUE(list.Checked(3));

    ASSERT_TRUE(SaveSiteList(list, path));
    EXPECT_EQ(ReadFile(path), "*\r\n*a" + Pad + "{http://a}-1\r\nb" + Pad + "{http://b}0\r\nc" + Pad + "{http://c}5\r\n");
}

TEST(SitesFile, MissingFileFailsAndEmptiesTheList)
{
    TTempDataFolder tmp;
    TSiteList list;
    list.Add("x");
    EXPECT_FALSE(LoadSiteList(list, tmp.Root() + "none.dat"));
    EXPECT_EQ(list.Count(), 0);
}

TEST(SitesFile, SourceLinesBecomeTickedEntriesUnchanged)
{
    TTempDataFolder tmp;
    const std::string path = tmp.Root() + "Source.dat";
    WriteFile(path, "*star" + Pad + "{http://s}-2\r\n\r\nnews" + Pad + "{http://n}-2\r\n");
    TSiteList list;
    ASSERT_TRUE(SeedSiteList(list, path));
    ASSERT_EQ(list.Count(), 3);
    EXPECT_EQ(list.Entry(0), "") << "empty lines of Source.dat become empty entries";
    EXPECT_EQ(SiteNameOf(list, 1), "*star");
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(list.Checked(i));
    EXPECT_FALSE(SeedSiteList(list, tmp.Root() + "none.dat"));
}

TEST(StoredPage, LivesInTheHtmlFolderOfTheDataFolder)
{
    TTempDataFolder tmp;
    const std::string pages = PageFolder(tmp.DataFolder());
    EXPECT_EQ(pages, tmp.DataFolder() + "HTML/");
    EXPECT_TRUE(FileExists(tmp.DataFolder() + "HTML"));
    EXPECT_EQ(StoredPagePath(pages, "News"), tmp.DataFolder() + "HTML/News.html");
}

TEST(StoredPage, NamesThatCannotNameAFileAreRefusedWithTheirReason)
{
    using namespace std::string_literals;
    for (const std::string& name : {"News"s, "a.b"s, "..."s, ".hidden"s, "caf\xe9 & bar"s, std::string(MaxSiteNameBytes, 'n')})
        EXPECT_EQ(SiteNameError(name), "") << name;
    const struct {
        std::string name;
        const char* reason;
    } refused[] = {
        {"", "it is empty"},
        {".", "it is \".\""},
        {"..", "it is \"..\""},
        {"../../../escape", "it holds one of"},
        {"a/b", "it holds one of"},
        {"a\\b", "it holds one of"},
        {"a:b", "it holds one of"},
        {"a|b", "it holds one of"},
        {"a\0b"s, "it holds a NUL byte"},
        {std::string(MaxSiteNameBytes + 1, 'n'), "it is longer than 239 bytes"},
    };
    for (const auto& r : refused) {
        const std::string error = SiteNameError(r.name);
        EXPECT_EQ(error.rfind("The site name cannot be used as a file name: ", 0), 0u) << r.name;
        EXPECT_NE(error.find(r.reason), std::string::npos) << r.name << ": " << error;
    }
}
