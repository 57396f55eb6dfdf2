#include "engine/DataFolder.h"

#include "tests/support/TempDataFolder.h"

#include <cstdlib>
#include <gtest/gtest.h>

TEST(DataFolder, LivesBelowTheUserDataHomeAndIsCreated)
{
    TTempDataFolder tmp;
    EXPECT_EQ(DataFolder(), tmp.DataFolder());
    EXPECT_TRUE(FileExists(tmp.DataFolder()));
}

TEST(DataFolder, ThatCannotBeMadeSaysWhichAndWhyAndNeverFallsBack)
{
    TTempDataFolder tmp;
    setenv("TMPDIR", (tmp.Root() + "tmp").c_str(), 1);
    // A file where the maker's folder should be blocks its creation.
    WriteFile(tmp.Root() + "data/Quorvan", "blocker");
    try {
        const std::string folder = DataFolder();
        ADD_FAILURE() << "got " << folder;
    } catch (const EDataFolderError& e) {
        EXPECT_EQ(std::string(e.what()), "Vendrel cannot make its data folder " + tmp.DataFolder() +
                                             " (cannot make the folder " + tmp.Root() +
                                             "data/Quorvan/: a file of that name is in the way)");
    }
    // A folder the system refuses is named with the system's reason.
    setenv("XDG_DATA_HOME", "/proc/vendrel-cannot-be-here", 1);
    try {
        DataFolder();
        ADD_FAILURE() << "no error";
    } catch (const EDataFolderError& e) {
        const std::string text = e.what();
        const std::string start = "cannot make the folder /proc/vendrel-cannot-be-here/: ";
        const auto at = text.find(start);
        ASSERT_NE(at, std::string::npos) << text;
        EXPECT_GT(text.size(), at + start.size() + 2) << "a reason follows: " << text;
    }
    unsetenv("TMPDIR");
    EXPECT_FALSE(FileExists(tmp.Root() + "tmp"));
}
